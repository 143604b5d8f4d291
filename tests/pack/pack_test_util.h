// Helpers of the encoder tests: synthetic data of the kinds a payload holds,
// a reader for the archives the encoder writes, and round trips through the
// plain reference decoder and through the setup's own extraction driver.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "archive/arc_block.h"
#include "archive/arc_checksum.h"
#include "archive/arc_extract.h"
#include "archive/archive_class.h"
#include "pack/archive_writer.h"
#include "pack/huffman_lengths.h"
#include "tests/pack/ref_decoder.h"

namespace packtest {

using Bytes = std::vector<uint8_t>;

struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint32_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return static_cast<uint32_t>(s >> 11);
  }
  uint32_t below(uint32_t n) { return next() % n; }
};

inline Bytes text_data(size_t n, uint64_t seed = 1) {
  static const char* words[] = {"the", "screen", "saver", "window", "install", "folder", "of", "and",
                                "a", "program", "setup", "file", "to", "is", "in", "Velmora",
                                "licence", "agreement", "user", "may", "not", "copy", "shall", "with"};
  Rng r(seed);
  Bytes out;
  while (out.size() < n) {
    const char* w = words[r.below(24)];
    out.insert(out.end(), w, w + std::strlen(w));
    uint32_t p = r.below(20);
    out.push_back(p == 0 ? '.' : p == 1 ? ',' : p == 2 ? '\n' : ' ');
  }
  out.resize(n);
  return out;
}

// Records of an executable's look: opcodes from a small set, addresses that
// step, zero padding and repeated import names.
inline Bytes binary_data(size_t n, uint64_t seed = 2) {
  Rng r(seed);
  Bytes out;
  uint32_t addr = 0x401000;
  static const uint8_t ops[][3] = {{0x55, 0x8B, 0xEC}, {0x8B, 0x45, 0x08}, {0xE8, 0, 0}, {0xC3, 0, 0}, {0x6A, 0x00, 0}};
  while (out.size() < n) {
    uint32_t k = r.below(10);
    if (k < 6) {
      const uint8_t* o = ops[r.below(5)];
      out.insert(out.end(), o, o + 3);
      addr += 4 + r.below(64);
      for (int i = 0; i < 4; i++) out.push_back(static_cast<uint8_t>(addr >> (8 * i)));
    } else if (k < 8) {
      out.insert(out.end(), r.below(48), 0);
    } else {
      static const char* names[] = {"KERNEL32.dll", "GetProcAddress", "LoadLibraryA", "CreateFileA"};
      const char* s = names[r.below(4)];
      out.insert(out.end(), s, s + std::strlen(s) + 1);
    }
  }
  out.resize(n);
  return out;
}

// Sampled sound: a few sines with a little noise, 8-bit unsigned or 16-bit
// little-endian signed, interleaved over `channels`.
inline Bytes audio_data(size_t frames, int channels, int bytes_per_sample, uint64_t seed = 3) {
  Rng r(seed);
  Bytes out;
  for (size_t i = 0; i < frames; i++)
    for (int c = 0; c < channels; c++) {
      double t = static_cast<double>(i);
      double v = 0.45 * std::sin(t * (0.031 + 0.007 * c)) + 0.3 * std::sin(t * 0.0047 + c) +
                 0.02 * (static_cast<int>(r.below(1000)) - 500) / 500.0;
      if (bytes_per_sample == 1) {
        out.push_back(static_cast<uint8_t>(128 + static_cast<int>(v * 120)));
      } else {
        int s = static_cast<int>(v * 30000);
        out.push_back(static_cast<uint8_t>(s & 0xFF));
        out.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
      }
    }
  return out;
}

// A raster image: smooth gradients with a little noise, `channels` bytes a pixel.
inline Bytes image_data(int width, int height, int channels, uint64_t seed = 4) {
  Rng r(seed);
  Bytes out;
  for (int y = 0; y < height; y++)
    for (int x = 0; x < width; x++)
      for (int c = 0; c < channels; c++) {
        int v = (x * (c + 1) + y * 2) / 3 + static_cast<int>(40 * std::sin((x + y * c) * 0.05)) +
                static_cast<int>(r.below(5));
        out.push_back(static_cast<uint8_t>(v));
      }
  return out;
}

inline Bytes noise_data(size_t n, uint64_t seed = 5) {
  Rng r(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(r.next());
  return out;
}

// One entry of an archive as written.
struct Entry {
  FileHeader h;
  std::string name;
  Bytes packed;
};

// Walks an archive written by the encoder (marker at offset `at`), checking
// the header CRCs as the reader does. Returns false on any fault.
inline bool read_archive(const Bytes& a, size_t at, bool& solid_flag, std::vector<Entry>& out) {
  if (!crc_table[1]) init_crc_table();
  auto u16 = [&](size_t p) { return uint32_t(a[p]) | uint32_t(a[p + 1]) << 8; };
  auto u32 = [&](size_t p) { return u16(p) | u16(p + 2) << 16; };
  if (a.size() < at + 20 || a[at] != 0x52 || a[at + 1] != 0x61 || a[at + 9] != 0x73) return false;
  size_t m = at + 7;
  if (u16(m) != (~update_checksum(0xFFFFFFFFu, &a[m + 2], 11, 2) & 0xFFFF)) return false;
  solid_flag = (u16(m + 3) & 0x08) != 0;
  size_t p = m + u16(m + 5);
  while (p < a.size()) {
    if (p + 32 > a.size()) return false;
    Entry e;
    e.h.head_crc = static_cast<uint16_t>(u16(p));
    e.h.head_type = a[p + 2];
    e.h.flags = static_cast<uint16_t>(u16(p + 3));
    e.h.head_size = static_cast<uint16_t>(u16(p + 5));
    e.h.pack_size = u32(p + 7);
    e.h.unp_size = u32(p + 11);
    e.h.file_crc = u32(p + 16);
    e.h.file_time = u32(p + 20);
    e.h.unp_ver = a[p + 24];
    e.h.method = a[p + 25];
    e.h.name_size = static_cast<uint16_t>(u16(p + 26));
    e.h.attr = u32(p + 28);
    if (e.h.head_type != 0x74 || p + 32 + e.h.name_size > a.size()) return false;
    uint32_t crc = ~update_checksum(0xFFFFFFFFu, &a[p + 2], 30 + e.h.name_size, 2);
    if ((crc & 0xFFFF) != e.h.head_crc) return false;
    e.name.assign(a.begin() + p + 32, a.begin() + p + 32 + e.h.name_size);
    size_t data = p + e.h.head_size;
    if (data + e.h.pack_size > a.size()) return false;
    e.packed.assign(a.begin() + data, a.begin() + data + e.h.pack_size);
    out.push_back(e);
    p = data + e.h.pack_size;
  }
  return true;
}

// Decodes every entry of an archive with the reference decoder.
inline bool ref_extract(const Bytes& archive, std::vector<Bytes>& files, size_t at = 0) {
  bool solid_flag = false;
  std::vector<Entry> entries;
  if (!read_archive(archive, at, solid_flag, entries)) return false;
  static RefDecoder d;
  files.clear();
  for (const Entry& e : entries) {
    Bytes out;
    if (e.h.method == kMethodStored) {
      out = e.packed;
    } else {
      ref_unpack(d, e.packed.data(), e.packed.size(), e.h.unp_size, (e.h.flags & LHD_SOLID) != 0, out);
    }
    if (out.size() != e.h.unp_size || pack_crc32(out.data(), out.size()) != e.h.file_crc) return false;
    files.push_back(out);
  }
  return true;
}

// An output stream that keeps every created file in memory.
class MemoryOutput : public TOutputStream {
 public:
  std::map<std::string, Bytes> files;
  bool keep_erased = false;  // keep what the driver wrote before a failed checksum
  bool open(const char*) override { return false; }
  bool create(const char* n) override {
    name = n;
    files[name].clear();
    opened = true;
    return true;
  }
  bool close() override {
    opened = false;
    return true;
  }
  int32_t write(const void* b, int32_t count) override {
    Bytes& f = files[name];
    f.insert(f.end(), static_cast<const uint8_t*>(b), static_cast<const uint8_t*>(b) + count);
    return count;
  }
  int32_t read(void*, int32_t) override { return 0; }
  uint32_t seek(int32_t, int32_t) override { return kSeekOk; }
  int32_t position() override { return static_cast<int32_t>(files[name].size()); }
  int32_t size() override { return static_cast<int32_t>(files[name].size()); }
  void set_times() override {}
  void erase() override {
    if (!name.empty() && !keep_erased) files.erase(name);
    opened = false;
  }
};

// Runs the setup's extraction driver over the archive in memory. Targets are
// the archived names themselves. Returns the run's result code.
inline int32_t driver_extract(const Bytes& archive, std::map<std::string, Bytes>& files, bool keep_erased = false) {
  init_crc_table();
  TMyMemoryStream::register_block("#101", archive.data(), static_cast<int32_t>(archive.size()));
  TMyMemoryStream input;
  MemoryOutput output;
  output.keep_erased = keep_erased;
  archive_stream = &input;
  output_stream = &output;
  OnGetTargetPath = {[](void*, const std::string& n, std::string& target) { target = n; }, nullptr};
  OnProgress = {};
  OnMessage = {};
  OnErrorMessage = {};
  extract_result = 0;
  extract_archive();
  int32_t result = extract_result;
  OnGetTargetPath = {};
  archive_stream = nullptr;
  output_stream = nullptr;
  release_buffers();
  TMyMemoryStream::unregister_block("#101");
  files = output.files;
  return result;
}

}  // namespace packtest
