// Unsigned numbers as decimal text, for the small shipped programs: one
// call of the C library's formatter links its whole machinery (floating
// point included), several times the size of what these programs need.
#pragma once

#include <cstddef>
#include <cstdint>

// Room for the longest 64-bit number and its terminating zero.
constexpr size_t kDecimalTextSize = 21;

// Writes value in decimal, with a terminating zero, into out (at least
// kDecimalTextSize bytes); returns the number of digits.
inline size_t decimal_text(uint64_t value, char* out) {
  char reversed[kDecimalTextSize];
  size_t n = 0;
  do {
    reversed[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (size_t i = 0; i < n; i++) out[i] = reversed[n - 1 - i];
  out[n] = 0;
  return n;
}
