// The multimedia predictor of unpack version 20.
//
// Sampled data (audio) is coded as differences against a prediction. Each
// channel predicts its next byte from its last output value, its last delta
// (the change between its last two outputs), the three most recent changes
// of that delta, and the delta just produced by whichever channel came
// before it:
//
//     p = 8*last_byte + c1*hist1 + c2*hist2 + c3*hist3 + c4*hist4 + c5*channel_delta
//     byte = ((p >> 3) & 0xFF) - delta        (mod 256)
//
// The weights adapt every 32 bytes of a channel. Alongside the output, the
// channel sums the error that each of ten single-step weight changes would
// have made (counter 0: no change); the change with the smallest sum wins,
// ties going to the lower counter, and all sums start again from zero.
//
// The step is inline here so that the decoding loop can keep it in line;
// decode_audio_byte (arc_unpack_internal.h) is the same step on the module
// state's current channel.
#pragma once

#include <cstdint>

#include "unpack/arc_unpack_internal.h"

namespace audio_detail {

inline int32_t abs32(int32_t v) { return v < 0 ? -v : v; }

// The low 8 bits of v read as a signed byte.
inline int32_t signed_byte(int32_t v) { return ((v & 0xFF) ^ 0x80) - 0x80; }

// Weights move one step at a time and stay within -17..16.
inline void lower(int32_t& coef) {
  if (coef >= -16) --coef;
}
inline void raise(int32_t& coef) {
  if (coef < 16) ++coef;
}

// Every 32 bytes of a channel: the smallest error sum wins (ties to the
// lower counter), all sums restart, and the winner's weight moves.
inline void adapt(AudioChannelState& c) {
  uint32_t* sum = c.error_sum;
  uint32_t best = 0;
  uint32_t best_sum = sum[0];
  sum[0] = 0;
  for (uint32_t k = 1; k < 11; ++k) {
    if (sum[k] < best_sum) {
      best_sum = sum[k];
      best = k;
    }
    sum[k] = 0;
  }
  switch (best) {
    case 1: lower(c.coef1); break;
    case 2: raise(c.coef1); break;
    case 3: lower(c.coef2); break;
    case 4: raise(c.coef2); break;
    case 5: lower(c.coef3); break;
    case 6: raise(c.coef3); break;
    case 7: lower(c.coef4); break;
    case 8: raise(c.coef4); break;
    case 9: lower(c.coef5); break;
    case 10: raise(c.coef5); break;
    default: break;  // counter 0: the weights were right
  }
}

}  // namespace audio_detail

// One output byte of channel c from its delta; channel_delta is the delta
// of the channel that produced the previous byte, and becomes this one's.
inline uint8_t audio_step(AudioChannelState& c, int32_t& channel_delta, uint32_t delta) {
  using namespace audio_detail;
  ++c.byte_count;

  const int32_t h1 = c.last_delta;
  const int32_t h2 = c.last_delta - c.hist1;
  const int32_t h3 = c.hist2;
  const int32_t h4 = c.hist3;
  c.hist4 = h4;
  c.hist3 = h3;
  c.hist2 = h2;
  c.hist1 = h1;
  const int32_t cd = channel_delta;

  int32_t p = 8 * c.last_byte + c.coef1 * h1 + c.coef2 * h2 + c.coef3 * h3 + c.coef4 * h4 + c.coef5 * cd;
  int32_t predicted = int32_t((uint32_t(p) >> 3) & 0xFF);
  // The delta is subtracted as an unsigned byte but weighed as a signed one.
  int32_t out = predicted - int32_t(delta & 0xFF);
  int32_t e = signed_byte(int32_t(delta)) * 8;

  uint32_t* sum = c.error_sum;
  sum[0] += uint32_t(abs32(e));
  sum[1] += uint32_t(abs32(e - h1));
  sum[2] += uint32_t(abs32(e + h1));
  sum[3] += uint32_t(abs32(e - h2));
  sum[4] += uint32_t(abs32(e + h2));
  sum[5] += uint32_t(abs32(e - h3));
  sum[6] += uint32_t(abs32(e + h3));
  sum[7] += uint32_t(abs32(e - h4));
  sum[8] += uint32_t(abs32(e + h4));
  sum[9] += uint32_t(abs32(e - cd));
  sum[10] += uint32_t(abs32(e + cd));

  c.last_delta = signed_byte(out - c.last_byte);
  channel_delta = c.last_delta;
  c.last_byte = out;

  if ((c.byte_count & 31) == 0) adapt(c);
  return uint8_t(out & 0xFF);
}
