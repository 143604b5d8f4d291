// Length-limited canonical Huffman code lengths for the encoder's tables.
#pragma once

#include <cstdint>

// Canonical Huffman code lengths limited to max_bits for freq[0..n).
// Used symbols get 1..max_bits; a lone used symbol gets length 1.
void pack_huffman_lengths(const uint32_t* freq, int n, int max_bits, uint8_t* lengths);
