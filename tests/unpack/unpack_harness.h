// Test harness for the decoder: an in-memory packed input, an output stream
// that records every write, and the per-entry setup the driver makes before
// it decodes an entry.
#pragma once

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "archive/arc_block.h"
#include "archive/arc_checksum.h"
#include "archive/arc_extract.h"
#include "archive/archive_class.h"
#include "tests/support/archive_builder.h"
#include "tests/support/bit_writer.h"
#include "unpack/arc_unpack.h"
#include "unpack/arc_unpack_internal.h"

namespace unpacktest {

// Packed data in memory. Records the size of every read request; can be
// told to deliver at most `chunk` bytes per read.
class TestInput : public TAbstractStream {
 public:
  std::vector<uint8_t> data;
  size_t pos = 0;
  int32_t chunk = 0;                 // 0: no limit
  std::vector<int32_t> requests;     // count of each read call

  bool open(const char*) override { return true; }
  bool create(const char*) override { return false; }
  bool close() override { return true; }
  int32_t write(const void*, int32_t) override { return 0; }
  int32_t read(void* buffer, int32_t count) override {
    requests.push_back(count);
    size_t n = pos >= data.size() ? 0 : data.size() - pos;
    if (size_t(count) < n) n = size_t(count);
    if (chunk > 0 && n > size_t(chunk)) n = size_t(chunk);
    if (n) std::memcpy(buffer, data.data() + pos, n);
    pos += n;
    return int32_t(n);
  }
  uint32_t seek(int32_t offset, int32_t) override {
    pos = size_t(offset);
    return kSeekOk;
  }
  int32_t position() override { return int32_t(pos); }
  int32_t size() override { return int32_t(data.size()); }
};

// Records each write call's size and the bytes written.
class CaptureOutput : public TOutputStream {
 public:
  std::vector<uint8_t> bytes;
  std::vector<int32_t> writes;
  int32_t accept_limit = -1;  // >= 0: report at most this many bytes written per call

  bool open(const char*) override { return true; }
  bool create(const char*) override { return true; }
  bool close() override { return true; }
  int32_t write(const void* buffer, int32_t count) override {
    writes.push_back(count);
    const uint8_t* p = static_cast<const uint8_t*>(buffer);
    bytes.insert(bytes.end(), p, p + count);
    if (accept_limit >= 0 && count > accept_limit) return accept_limit;
    return count;
  }
  int32_t read(void*, int32_t) override { return 0; }
  uint32_t seek(int32_t, int32_t) override { return kSeekOk; }
  int32_t position() override { return int32_t(bytes.size()); }
  int32_t size() override { return int32_t(bytes.size()); }
  void set_times() override {}
  void erase() override {}
};

// One decoding run after another over the same window, as the driver makes
// them within one extraction run.
struct Harness {
  TestInput in;
  CaptureOutput out;
  std::vector<uint8_t> window = std::vector<uint8_t>(kWindowSize, 0xCD);

  Harness() {
    init_crc_table();
    reset_unpack_state();
    arc_format = 2;
    archive_stream = &in;
    output_stream = &out;
    window_buffer = window.data();
    OnProgress = TProgressHook();
  }
  ~Harness() {
    archive_stream = nullptr;
    output_stream = nullptr;
    window_buffer = nullptr;
    OnProgress = TProgressHook();
  }

  // The driver's per-entry setup; the packed data replaces the input.
  void begin_entry(const std::vector<uint8_t>& packed, int32_t unpacked_size) {
    in.data = packed;
    in.pos = 0;
    in.requests.clear();
    out.bytes.clear();
    out.writes.clear();
    packed_read_total = 0;
    unpacked_write_total = 0;
    entry_checksum = arc_format == 1 ? 0 : 0xFFFFFFFFu;
    packed_left = int32_t(packed.size());
    unpacked_left = unpacked_size;
    test_only = false;
    skip_checksum = false;
    file_header.unp_size = uint32_t(unpacked_size);
  }

  // Decodes one compressed entry and returns its output.
  const std::vector<uint8_t>& unpack(const std::vector<uint8_t>& packed, int32_t unpacked_size,
                                     bool solid = false) {
    begin_entry(packed, unpacked_size);
    unpack_entry(window.data(), solid);
    return out.bytes;
  }

  // The CRC-32 the output stream received, as the driver would compare it.
  bool checksum_matches() const { return ~entry_checksum == arctest::crc32(out.bytes); }
};

// A random complete prefix code: leaves of a random binary tree no deeper than
// 15, given to a random subset of the alphabet.
inline std::vector<uint8_t> random_complete_lengths(std::mt19937& rng, size_t alphabet, size_t coded) {
  std::vector<uint8_t> leaves{0};
  while (leaves.size() < coded) {
    size_t k = rng() % leaves.size();
    if (leaves[k] >= 15) continue;
    uint8_t d = uint8_t(leaves[k] + 1);
    leaves[k] = d;
    leaves.push_back(d);
  }
  std::vector<size_t> order(alphabet);
  for (size_t i = 0; i < alphabet; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  std::vector<uint8_t> lengths(alphabet, 0);
  for (size_t i = 0; i < coded; ++i) lengths[order[i]] = leaves[i];
  return lengths;
}

// Slot tables of the format, written out independently of the decoder's.
inline uint32_t length_base(int slot) {
  static const uint32_t base[28] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  10,  12,  14,  16,  20,
                                    24, 28, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224};
  return base[slot];
}
inline int length_bits(int slot) { return slot < 8 ? 0 : (slot - 4) / 4; }
inline uint32_t distance_base(int slot) {
  if (slot < 4) return uint32_t(slot);
  if (slot < 36) return (2u + uint32_t(slot & 1)) << (slot / 2 - 1);
  return 262144u + 65536u * uint32_t(slot - 36);
}
inline int distance_bits(int slot) { return slot < 4 ? 0 : slot >= 34 ? 16 : slot / 2 - 1; }

// An LZ stream under construction, with a model of the bytes it decodes to:
// a plain vector that copies reach back into (zeros before the entry start).
struct LzStream {
  bitw::BitWriter w;
  bitw::LzCodes codes = bitw::LzCodes::flat();
  std::vector<uint8_t> expected;
  std::vector<uint8_t> history;  // bytes of earlier entries of a solid run
  std::vector<uint32_t> distances;  // of every copy so far, oldest first
  uint32_t last_length = 0;

  explicit LzStream(bool table_block = true) {
    if (table_block) bitw::write_lz_table_block(w, codes.lengths(), {});
  }
  void literal(uint8_t b) {
    bitw::put_literal(w, codes, b);
    expected.push_back(b);
  }
  void literals(const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) literal(b);
  }
  // What a copy of length at distance appends to the model.
  void model_copy(uint32_t length, uint32_t distance) {
    distances.push_back(distance);
    last_length = length;
    for (uint32_t k = 0; k < length; ++k) {
      int64_t at = int64_t(history.size() + expected.size()) - int64_t(distance ? distance : kWindowSize);
      uint8_t b = 0;
      if (at >= 0)
        b = size_t(at) < history.size() ? history[size_t(at)] : expected[size_t(at) - history.size()];
      expected.push_back(b);
    }
  }
  // A new copy (symbols 270-297) of the given total length and distance.
  void copy(uint32_t length, uint32_t distance) {
    uint32_t bonus = (distance >= 0x2000) + (distance >= 0x40000);
    uint32_t raw_len = length - 3 - bonus;
    int ls = 27;
    while (length_base(ls) > raw_len) --ls;
    int ds = 47;
    while (distance_base(ds) > distance - 1) --ds;
    bitw::put_new_copy(w, codes, ls, raw_len - length_base(ls), ds, distance - 1 - distance_base(ds));
    model_copy(length, distance);
  }
  // The k-th most recent copy distance (1 = the last), 0 before there was one.
  uint32_t recent(int k) const {
    return distances.size() >= size_t(k) ? distances[distances.size() - size_t(k)] : 0;
  }
  std::vector<uint8_t> finish() const { return w.finish(4); }
};

}  // namespace unpacktest
