// The container reader: finds the archive in archive_stream, reads its main
// header, and walks its blocks one header at a time.
//
// Layout of the new format (all integers little-endian):
//
//   marker       7 bytes   0x52|0x72 'a' 'r' '!' 0x1A 0x07 0x00
//   main header 13 bytes   crc16 type=0x73 flags16 size16 reserved16 reserved32
//   blocks...               each starting with the 7-byte base header
//                             crc16 type8 flags16 head_size16
//                           and, with flags bit 0x8000, a 32-bit data size;
//                           a block spans head_size (+ data size) bytes.
//
// A file header (0x74) has 32 fixed bytes, then the name:
//
//    0 crc16     2 type     3 flags16   5 head_size16  7 pack_size32
//   11 unp_size32  15 host_os  16 file_crc32  20 file_time32
//   24 unp_ver  25 method  26 name_size16  28 attr32  32 name...
//
// Header checksums are the low 16 bits of the CRC-32 over the header from
// byte 2 on: bytes 2..12 of the main header, bytes 2..31 plus the name of a
// file header. Bytes a header carries beyond these are not covered.
//
// The old format begins with "RE~^", a 16-bit head_size and 8-bit flags; it is
// recognised, but its blocks are not read.
#include "archive/arc_block.h"

#include <climits>
#include <cstring>
#include <new>

#include "archive/arc_checksum.h"
#include "archive/arc_extract.h"
#include "archive/archive_class.h"

uint8_t marker[7];
int arc_format = 0;
MainHeader main_header;
int main_header_size = 0;
bool solid = false;
FileHeader file_header;
std::string file_name;
BlockHeader block_header;
uint32_t header_crc = 0;
int32_t block_start = 0;
int32_t next_block = 0;
uint8_t last_block_type = 0;
uint8_t* search_buffer = nullptr;

namespace {

// The old format's main header, as it stands at the start of the archive.
struct OldMainHeader {
  uint8_t mark[4];
  uint16_t head_size;
  uint8_t flags;
};
OldMainHeader old_main_header;

// The marker after its first byte (upper or lower case).
const uint8_t* const kNewMarkTail = kMarker + 1;

uint16_t get_u16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t get_u32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

bool is_new_marker(const uint8_t* p) {
  return (p[0] == kMarker[0] || p[0] == kMarkerLowerFirst) && std::memcmp(p + 1, kNewMarkTail, 6) == 0;
}

// Fills main_header from the old format's header, once it has been read.
void adopt_old_main_header() {
  std::memset(&main_header, 0, sizeof main_header);
  main_header.head_type = MAIN_HEAD;
  main_header.flags = uint16_t(old_main_header.flags & 0x3F);
  main_header.head_size = old_main_header.head_size;
}

// The self-extractor scan: the archive lies somewhere in the stream bytes
// 7..131,062 behind a program stub. Reads that window in one go, then tests
// every 'R'/'r' in it, looking only at bytes that were actually read.
bool scan_for_archive() {
  search_buffer = new (std::nothrow) uint8_t[kSfxSearchSize];
  if (search_buffer == nullptr) return false;
  int32_t got = archive_stream->read(search_buffer, kSfxScanBytes);
  if (got < 0) got = 0;
  const uint8_t* buf = search_buffer;
  // Buffer index of the old self-extractor's signature (stream offset 28).
  const int32_t sig = kOldSfxSignatureOffset - 7;
  const bool old_sfx = got >= sig + 4 && std::memcmp(buf + sig, kOldSfxSignature, 4) == 0;

  bool found = false;
  for (int32_t i = 0; i < got; ++i) {
    if (buf[i] != 0x52 && buf[i] != 0x72) continue;
    const int32_t candidate = 7 + i;
    if (old_sfx && i + 3 < got && std::memcmp(buf + i + 1, kOldMark + 1, 3) == 0) {
      arc_format = 1;
      archive_stream->seek(candidate, 0);
      found = read_header(MAIN_HEAD) == kOldMainHeaderSize;
      break;
    }
    // The marker, then the main header's type byte two bytes further on.
    if (i + 9 < got && std::memcmp(buf + i + 1, kNewMarkTail, 6) == 0 && buf[i + 9] == MAIN_HEAD) {
      arc_format = 2;
      archive_stream->seek(candidate, 0);
      archive_stream->read(marker, 7);
      // A main header cut short by the end of the stream is no archive.
      found = read_header(MAIN_HEAD) == kMainHeaderSize;
      break;
    }
  }
  release_search_buffer();
  return found;
}

}  // namespace

void release_search_buffer() {
  delete[] search_buffer;
  search_buffer = nullptr;
}

bool open_archive() {
  arc_format = 0;
  solid = false;
  if (archive_stream == nullptr) return false;
  if (archive_stream->read(marker, 7) < 7) return false;

  bool found;
  if (std::memcmp(marker, kOldMark, 4) == 0) {
    // The old format only with a capital 'R' at the very start.
    arc_format = 1;
    archive_stream->seek(0, 0);
    found = read_header(MAIN_HEAD) == kOldMainHeaderSize;
  } else if (is_new_marker(marker)) {
    arc_format = 2;
    found = read_header(MAIN_HEAD) == kMainHeaderSize;
  } else {
    found = scan_for_archive();
  }
  if (!found) {
    arc_format = 0;
    return false;
  }

  if (arc_format == 1) {
    main_header_size = kOldMainHeaderSize;
    adopt_old_main_header();
  } else {
    main_header_size = kMainHeaderSize;
    // A damaged main header is reported, but the entries are still read:
    // each of them carries its own checksum.
    if (uint16_t(~header_crc) != main_header.head_crc) report_error("Broken header");
  }
  solid = (main_header.flags & MHD_SOLID) != 0;
  return true;
}

int read_header(uint8_t type) {
  if (archive_stream == nullptr) return 0;
  if (type == MAIN_HEAD && arc_format == 1) {
    uint8_t raw[kOldMainHeaderSize] = {};
    const int n = archive_stream->read(raw, kOldMainHeaderSize);
    std::memcpy(old_main_header.mark, raw, 4);
    old_main_header.head_size = get_u16(raw + 4);
    old_main_header.flags = raw[6];
    return n;
  }
  if (type == MAIN_HEAD) {
    // Zero-filled first, so that a short read leaves defined fields.
    uint8_t raw[kMainHeaderSize] = {};
    const int n = archive_stream->read(raw, kMainHeaderSize);
    main_header.head_crc = get_u16(raw);
    main_header.head_type = raw[2];
    main_header.flags = get_u16(raw + 3);
    main_header.head_size = get_u16(raw + 5);
    main_header.reserved1 = get_u16(raw + 7);
    main_header.reserved2 = get_u32(raw + 9);
    header_crc = update_checksum(0xFFFFFFFFu, raw + 2, kMainHeaderSize - 2, 2);
    return n;
  }
  if (type == FILE_HEAD) {
    uint8_t raw[kFileHeaderSize] = {};
    const int n = archive_stream->read(raw, kFileHeaderSize);
    file_header.head_crc = get_u16(raw);
    file_header.head_type = raw[2];
    file_header.flags = get_u16(raw + 3);
    file_header.head_size = get_u16(raw + 5);
    file_header.pack_size = get_u32(raw + 7);
    file_header.unp_size = get_u32(raw + 11);
    file_header.host_os = raw[15];
    file_header.file_crc = get_u32(raw + 16);
    file_header.file_time = get_u32(raw + 20);
    file_header.unp_ver = raw[24];
    file_header.method = raw[25];
    file_header.name_size = get_u16(raw + 26);
    file_header.attr = get_u32(raw + 28);
    header_crc = update_checksum(0xFFFFFFFFu, raw + 2, kFileHeaderSize - 2, 2);
    return n;
  }
  return 0;
}

int32_t read_block(uint16_t request) {
  // The old format's blocks are not read: such an archive lists no entries.
  if (arc_format != 2 || archive_stream == nullptr) return 0;

  const FileHeader kept = file_header;
  const bool accept_sub = (request & 0x8000) != 0;
  const uint8_t type = uint8_t(request & 0xFF);
  int n;
  for (;;) {
    block_start = archive_stream->position();
    // Every block is read as if it were a file header; for skipping, only its
    // base header and data size matter.
    n = read_header(FILE_HEAD);
    // A few stray bytes at the end hold no base header: no further block.
    if (n < 7) n = 0;
    if (n != 0) {
      if (file_header.head_size < 7) return 0;
      int64_t next = int64_t(block_start) + file_header.head_size;
      if (file_header.flags & LONG_BLOCK) next += file_header.pack_size;
      // A block must move the walk forward and stay within 32-bit offsets.
      if (next <= block_start || next > INT32_MAX) return 0;
      next_block = int32_t(next);
    } else if (archive_stream->size() < next_block) {
      // The previous block claimed more bytes than the archive has.
      report_error("Unexpected end of file");
    }
    if (n > 0 && type != SUB_HEAD) last_block_type = type;
    if (n == 0 || type == 0 || file_header.head_type == type ||
        (file_header.head_type == SUB_HEAD && accept_sub && type == last_block_type)) {
      break;
    }
    // A block that reaches beyond the end of the archive: stop here rather
    // than go on parsing its contents as if they were further headers.
    if (archive_stream->seek(next_block, 0) != kSeekOk) {
      report_error("Unexpected end of file");
      n = 0;
      break;
    }
  }

  block_header.head_crc = file_header.head_crc;
  block_header.head_type = file_header.head_type;
  block_header.flags = file_header.flags;
  block_header.head_size = file_header.head_size;
  block_header.data_size = file_header.pack_size;

  if (n == 0) {
    // No further block: leave the last entry's header and the stream as the
    // caller knew them.
    if (type == FILE_HEAD) {
      file_header = kept;
      archive_stream->seek(block_start, 0);
    }
    return 0;
  }
  if (file_header.head_type != type) return n;

  if (type == FILE_HEAD) {
    const uint16_t name_size = file_header.name_size;
    file_name.assign(name_size, '\0');
    const int32_t got = name_size == 0 ? 0 : archive_stream->read(&file_name[0], name_size);
    header_crc = update_checksum(header_crc, file_name.data(), got > 0 ? size_t(got) : 0u, 2);
    // A name cut short by the end of the archive is as broken as a wrong CRC.
    if (got != name_size || uint16_t(~header_crc) != file_header.head_crc) {
      if (got >= 0 && got < name_size) file_name.resize(size_t(got));
      extract_result = EXTRACT_BAD_HEADER;
      return 0;
    }
    return n + name_size;
  }
  return n;
}
