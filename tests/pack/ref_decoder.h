// A second, deliberately plain decoder for unpack version 20, kept beside the
// encoder's tests: it follows the decoding rules step by step (the limit
// search with the low peek bit cleared and limits capped at 0xFFFF, the
// length adjustments, the end-of-entry rule) without the production
// decoder's buffering, so an encoder fault and a decoder fault can be told
// apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct RefDecoder {
  std::vector<uint8_t> window = std::vector<uint8_t>(1u << 20);
  uint32_t window_pos = 0;
  uint32_t old_distances[4] = {};
  uint32_t old_index = 0;
  uint32_t last_distance = 0, last_length = 0;
  uint8_t previous_lengths[1028] = {};
  bool audio_mode = false;
  uint32_t channel_count = 1, current_channel = 0;
  int32_t channel_delta = 0;
  struct Chan {
    int32_t coef[5], hist[4], last_delta;
    uint32_t error_sum[11], byte_count;
    int32_t last_byte;
  } chan[4] = {};
  struct Table {
    uint32_t limit[16], first[16];
    std::vector<uint32_t> symbols;
    uint32_t count = 0;
  } main_t, dist_t, rep_t, cl_t, audio_t[4];
  // Counts of what the stream held, for tests that want a kind to appear.
  uint32_t table_blocks = 0;
};

// Decodes one entry of unp_size bytes from packed[0..n). solid: continue the
// decoder's state. Appends the bytes to out.
void ref_unpack(RefDecoder& d, const uint8_t* packed, size_t n, uint32_t unp_size, bool solid,
                std::vector<uint8_t>& out);
