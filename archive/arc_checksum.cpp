// The two checksums of the archive format.
//
// CRC-32: the reflected form of the IEEE 802.3 polynomial (0xEDB88320).
// Long runs go sixteen bytes per step: table k holds the CRC register after
// a byte followed by k zero bytes, so the sixteen lookups of one step,
// combined by XOR, advance the CRC over sixteen bytes at once; the unaligned
// start and the tail go byte by byte with table 0, the classic one.
// update_checksum applies no final complement: callers start at 0xFFFFFFFF
// and compare the complement of the result, so the values stored in the
// archive are the ordinary CRC-32 of the covered bytes.
//
// The 16-bit checksum of the old format: add the byte, keep 16 bits, rotate
// the 16-bit value left by one. Cheap, weak, and kept only so that old-format
// entries could be checked the way their writer computed them.
#include "archive/arc_checksum.h"

#include <cstdint>

uint32_t crc_table[256];

namespace {

// crc_slices[k][b]: the CRC register after byte b and k zero bytes;
// crc_slices[0] is crc_table.
constexpr int kSlices = 16;
uint32_t crc_slices[kSlices][256];

inline uint32_t load_le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

void init_crc_table() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    crc_table[i] = c;
    crc_slices[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i)
    for (int k = 1; k < kSlices; ++k) {
      uint32_t prev = crc_slices[k - 1][i];
      crc_slices[k][i] = (prev >> 8) ^ crc_table[prev & 0xFFu];
    }
}

uint32_t update_checksum(uint32_t start, const void* data, size_t count, int kind) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (kind == 1) {
    uint32_t c = start & 0xFFFFu;
    for (size_t i = 0; i < count; ++i) {
      c = (c + p[i]) & 0xFFFFu;
      c = ((c << 1) | (c >> 15)) & 0xFFFFu;
    }
    return c;
  }
  uint32_t c = start;
  for (; count > 0 && (reinterpret_cast<uintptr_t>(p) & 7) != 0; --count, ++p)
    c = crc_table[(c ^ *p) & 0xFFu] ^ (c >> 8);
  const uint32_t(&t)[kSlices][256] = crc_slices;
  for (; count >= 16; count -= 16, p += 16) {
    uint32_t w0 = load_le32(p) ^ c;
    uint32_t w1 = load_le32(p + 4);
    uint32_t w2 = load_le32(p + 8);
    uint32_t w3 = load_le32(p + 12);
    c = t[15][w0 & 0xFFu] ^ t[14][(w0 >> 8) & 0xFFu] ^ t[13][(w0 >> 16) & 0xFFu] ^ t[12][w0 >> 24] ^
        t[11][w1 & 0xFFu] ^ t[10][(w1 >> 8) & 0xFFu] ^ t[9][(w1 >> 16) & 0xFFu] ^ t[8][w1 >> 24] ^
        t[7][w2 & 0xFFu] ^ t[6][(w2 >> 8) & 0xFFu] ^ t[5][(w2 >> 16) & 0xFFu] ^ t[4][w2 >> 24] ^
        t[3][w3 & 0xFFu] ^ t[2][(w3 >> 8) & 0xFFu] ^ t[1][(w3 >> 16) & 0xFFu] ^ t[0][w3 >> 24];
  }
  for (; count > 0; --count, ++p) c = crc_table[(c ^ *p) & 0xFFu] ^ (c >> 8);
  return c;
}
