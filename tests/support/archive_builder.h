// Test helper: writes archives of the version 2.0 container format in memory,
// byte by byte, so that tests can build sound archives and damage them in
// controlled ways (wrong header CRCs, odd sizes, stubs in front, blocks the
// extractor must skip).
//
// Header-only and independent of the code under test: it carries its own
// CRC-32, so a checksum bug in the reader cannot hide behind the helper.
//
// Typical use:
//   ArchiveBuilder b;
//   b.marker().main_header().file(stored_file("a.txt", "hello"));
//   std::vector<uint8_t> bytes = b.bytes();
//   TMyMemoryStream::register_block("#101", bytes.data(), int32_t(bytes.size()));
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace arctest {

// Standard CRC-32 (IEEE 802.3, reflected 0xEDB88320, final complement).
inline uint32_t crc32(const void* data, size_t count, uint32_t crc = 0) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  crc = ~crc;
  for (size_t i = 0; i < count; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}
inline uint32_t crc32(const std::vector<uint8_t>& v) { return crc32(v.data(), v.size()); }

inline std::vector<uint8_t> bytes_of(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

inline void put_u8(std::vector<uint8_t>& out, uint32_t v) { out.push_back(uint8_t(v)); }
inline void put_u16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}
inline void put_u32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
inline void patch_u16(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  out[at] = uint8_t(v);
  out[at + 1] = uint8_t(v >> 8);
}

// Options of the 13-byte main header (type 0x73).
struct MainHeaderSpec {
  uint16_t flags = 0;                   // 0x08 = solid
  std::vector<uint8_t> extra;           // bytes after the 13, counted in head_size
  std::optional<uint16_t> head_size;    // default 13 + extra.size()
  std::optional<uint16_t> head_crc;     // default: the correct value
  bool bad_crc = false;                 // store the correct value with its bits flipped
  uint16_t reserved1 = 0;
  uint32_t reserved2 = 0;
};

// One file entry (type 0x74): a fixed 32-byte header, the name, extra header
// bytes, then the packed data.
struct FileSpec {
  std::string name;
  std::vector<uint8_t> packed;          // the bytes that follow the header
  std::vector<uint8_t> unpacked;        // what the entry decodes to (for unp_size and file_crc)
  uint16_t flags = 0x8000;              // long block; the real payload uses 0x8060
  uint8_t host_os = 2;
  uint32_t file_time = 0x25810000u | 0x08C0u;  // DOS date/time; not used by the extractor
  uint8_t unp_ver = 20;
  uint8_t method = 0x30;                // stored
  uint32_t attr = 0x20;
  std::vector<uint8_t> extra;           // header bytes after the name, counted in head_size
  std::optional<uint32_t> pack_size;    // default packed.size()
  std::optional<uint32_t> unp_size;     // default unpacked.size()
  std::optional<uint32_t> file_crc;     // default crc32(unpacked)
  std::optional<uint16_t> name_size;    // default name.size()
  std::optional<uint16_t> head_size;    // default 32 + name.size() + extra.size()
  std::optional<uint16_t> head_crc;     // default: the correct value
  bool bad_crc = false;                 // store the correct value with its bits flipped
};

// A stored entry: method 0x30, packed bytes = unpacked bytes.
inline FileSpec stored_file(const std::string& name, const std::vector<uint8_t>& content) {
  FileSpec f;
  f.name = name;
  f.packed = content;
  f.unpacked = content;
  return f;
}
inline FileSpec stored_file(const std::string& name, const std::string& content) {
  return stored_file(name, bytes_of(content));
}

// A compressed entry: raw packed bytes from the caller's own bit writer, and
// the bytes they decode to. Method 0x35 (best) by default, unpack version 20.
inline FileSpec packed_file(const std::string& name, const std::vector<uint8_t>& packed,
                            const std::vector<uint8_t>& unpacked, uint8_t method = 0x35) {
  FileSpec f;
  f.name = name;
  f.packed = packed;
  f.unpacked = unpacked;
  f.method = method;
  return f;
}

// Any other block (comment 0x75, sub-block 0x77, anything): 7-byte base
// header, the 4-byte data size when flags has 0x8000, extra header bytes,
// then the data (only when flags has 0x8000).
struct BlockSpec {
  uint8_t type = 0x75;
  uint16_t flags = 0;
  std::vector<uint8_t> extra;
  std::vector<uint8_t> data;
  std::optional<uint32_t> data_size;    // default data.size()
  std::optional<uint16_t> head_size;    // default 7 (+4) + extra.size()
  std::optional<uint16_t> head_crc;     // default: CRC over bytes 2.. of the header
};

class ArchiveBuilder {
 public:
  // n bytes of stub before the archive (a self-extractor's code).
  ArchiveBuilder& prefix(size_t n, uint8_t fill = 0x90) {
    out_.insert(out_.end(), n, fill);
    return *this;
  }
  // Arbitrary bytes at the current end.
  ArchiveBuilder& raw(const std::vector<uint8_t>& bytes) {
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  // The 7-byte marker; first byte 0x72 (as in the payload) or 0x52.
  ArchiveBuilder& marker(uint8_t first = 0x72) {
    const uint8_t m[7] = {first, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
    out_.insert(out_.end(), m, m + 7);
    return *this;
  }
  ArchiveBuilder& main_header(const MainHeaderSpec& s = MainHeaderSpec()) {
    const size_t start = out_.size();
    put_u16(out_, 0);
    put_u8(out_, 0x73);
    put_u16(out_, s.flags);
    put_u16(out_, s.head_size ? *s.head_size : uint16_t(13 + s.extra.size()));
    put_u16(out_, s.reserved1);
    put_u32(out_, s.reserved2);
    // The CRC covers bytes 2..12 only; extra bytes are not covered.
    uint16_t crc = uint16_t(crc32(&out_[start + 2], 11));
    if (s.bad_crc) crc = uint16_t(~crc);
    patch_u16(out_, start, s.head_crc ? *s.head_crc : crc);
    raw(s.extra);
    return *this;
  }
  // The old format's 7-byte main header: "RE~^", head_size, flags.
  ArchiveBuilder& old_main_header(uint16_t head_size = 7, uint8_t flags = 0) {
    const uint8_t m[4] = {0x52, 0x45, 0x7E, 0x5E};
    out_.insert(out_.end(), m, m + 4);
    put_u16(out_, head_size);
    put_u8(out_, flags);
    return *this;
  }
  ArchiveBuilder& file(const FileSpec& f) {
    const size_t start = out_.size();
    const uint16_t name_size = f.name_size ? *f.name_size : uint16_t(f.name.size());
    put_u16(out_, 0);
    put_u8(out_, 0x74);
    put_u16(out_, f.flags);
    put_u16(out_, f.head_size ? *f.head_size : uint16_t(32 + f.name.size() + f.extra.size()));
    put_u32(out_, f.pack_size ? *f.pack_size : uint32_t(f.packed.size()));
    put_u32(out_, f.unp_size ? *f.unp_size : uint32_t(f.unpacked.size()));
    put_u8(out_, f.host_os);
    put_u32(out_, f.file_crc ? *f.file_crc : crc32(f.unpacked));
    put_u32(out_, f.file_time);
    put_u8(out_, f.unp_ver);
    put_u8(out_, f.method);
    put_u16(out_, name_size);
    put_u32(out_, f.attr);
    out_.insert(out_.end(), f.name.begin(), f.name.end());
    // The CRC covers bytes 2..31 and the name, not the extra bytes.
    uint16_t crc = uint16_t(crc32(&out_[start + 2], 30 + f.name.size()));
    if (f.bad_crc) crc = uint16_t(~crc);
    patch_u16(out_, start, f.head_crc ? *f.head_crc : crc);
    raw(f.extra);
    raw(f.packed);
    return *this;
  }
  ArchiveBuilder& block(const BlockSpec& b) {
    const size_t start = out_.size();
    const bool has_data = (b.flags & 0x8000) != 0;
    put_u16(out_, 0);
    put_u8(out_, b.type);
    put_u16(out_, b.flags);
    put_u16(out_, b.head_size ? *b.head_size
                              : uint16_t(7 + (has_data ? 4 : 0) + b.extra.size()));
    if (has_data) put_u32(out_, b.data_size ? *b.data_size : uint32_t(b.data.size()));
    raw(b.extra);
    const uint16_t crc = uint16_t(crc32(&out_[start + 2], out_.size() - start - 2));
    patch_u16(out_, start, b.head_crc ? *b.head_crc : crc);
    if (has_data) raw(b.data);
    return *this;
  }
  // A comment block (0x75) with its text as the block's data.
  ArchiveBuilder& comment(const std::string& text) {
    BlockSpec b;
    b.type = 0x75;
    b.flags = 0x8000;
    b.data = bytes_of(text);
    return block(b);
  }
  // A sub-block (0x77) carrying data.
  ArchiveBuilder& sub_block(const std::vector<uint8_t>& data) {
    BlockSpec b;
    b.type = 0x77;
    b.flags = 0x8000;
    b.data = data;
    return block(b);
  }
  // An end-of-archive block (0x7B), which the reader skips like any other.
  ArchiveBuilder& end_block() {
    BlockSpec b;
    b.type = 0x7B;
    return block(b);
  }

  // Current size: the offset the next block will start at.
  size_t offset() const { return out_.size(); }
  const std::vector<uint8_t>& bytes() const { return out_; }
  std::vector<uint8_t>& mutable_bytes() { return out_; }

 private:
  std::vector<uint8_t> out_;
};

}  // namespace arctest
