// Little-endian fields for the product generators, which write the binary
// formats (icons, sounds) byte by byte into a growing buffer.
#pragma once

#include <cstdint>
#include <vector>

inline void put16(std::vector<uint8_t>& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

inline void put32(std::vector<uint8_t>& b, uint32_t v) {
  put16(b, v & 0xFFFF);
  put16(b, v >> 16);
}
