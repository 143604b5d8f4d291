// The two checksums of the archive format.
//
// CRC-32: the reflected form of the IEEE 802.3 polynomial (0xEDB88320), one
// table lookup per byte. update_checksum applies no final complement: callers
// start at 0xFFFFFFFF and compare the complement of the result, so the values
// stored in the archive are the ordinary CRC-32 of the covered bytes.
//
// The 16-bit checksum of the old format: add the byte, keep 16 bits, rotate
// the 16-bit value left by one. Cheap, weak, and kept only so that old-format
// entries could be checked the way their writer computed them.
#include "archive/arc_checksum.h"

uint32_t crc_table[256];

void init_crc_table() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    crc_table[i] = c;
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
  for (size_t i = 0; i < count; ++i) c = crc_table[(c ^ p[i]) & 0xFFu] ^ (c >> 8);
  return c;
}
