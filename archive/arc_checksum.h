// The two checksums of the archive format: CRC-32 (polynomial 0xEDB88320,
// used for headers and file data) and the 16-bit rotating sum of the old format.
#pragma once

#include <cstddef>
#include <cstdint>

extern uint32_t crc_table[256];

// Builds crc_table; must run before any checksum is computed.
void init_crc_table();

// One checksum step over count bytes. kind 1: the 16-bit checksum (result has
// the upper 16 bits clear); any other kind (2 is passed): CRC-32 without the
// final complement. Callers start CRC-32 at 0xFFFFFFFF and compare complements.
uint32_t update_checksum(uint32_t start, const void* data, size_t count, int kind);
