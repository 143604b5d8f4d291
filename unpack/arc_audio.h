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

// The errors that each candidate adjustment would have made on one byte:
// e is the delta as a signed byte times 8, the others are the histories and
// channel_delta the prediction used.
struct AudioErrors {
  int32_t e, h1, h2, h3, h4, cd;
};

// Adds one byte's errors to the eleven counters.
inline void add_errors(uint32_t* sum, const AudioErrors& x) {
  using audio_detail::abs32;
  sum[0] += uint32_t(abs32(x.e));
  sum[1] += uint32_t(abs32(x.e - x.h1));
  sum[2] += uint32_t(abs32(x.e + x.h1));
  sum[3] += uint32_t(abs32(x.e - x.h2));
  sum[4] += uint32_t(abs32(x.e + x.h2));
  sum[5] += uint32_t(abs32(x.e - x.h3));
  sum[6] += uint32_t(abs32(x.e + x.h3));
  sum[7] += uint32_t(abs32(x.e - x.h4));
  sum[8] += uint32_t(abs32(x.e + x.h4));
  sum[9] += uint32_t(abs32(x.e - x.cd));
  sum[10] += uint32_t(abs32(x.e + x.cd));
}

// Errors of a channel's bytes not yet added to its counters. The counters
// are only read when the channel adapts, so the decoding loop collects the
// errors of up to one cycle (32 bytes) and adds them in one go, off the
// byte-to-byte dependency chain; the sums are the same.
struct AudioPending {
  uint32_t count;
  int32_t e[32], h1[32], h2[32], h3[32], h4[32], cd[32];
};

// Adds the pending errors to the counters.
inline void fold_errors(AudioChannelState& c, AudioPending& q) {
  using audio_detail::abs32;
  uint32_t s[11] = {};
  for (uint32_t k = 0; k < q.count; ++k) {
    int32_t e = q.e[k];
    s[0] += uint32_t(abs32(e));
    s[1] += uint32_t(abs32(e - q.h1[k]));
    s[2] += uint32_t(abs32(e + q.h1[k]));
    s[3] += uint32_t(abs32(e - q.h2[k]));
    s[4] += uint32_t(abs32(e + q.h2[k]));
    s[5] += uint32_t(abs32(e - q.h3[k]));
    s[6] += uint32_t(abs32(e + q.h3[k]));
    s[7] += uint32_t(abs32(e - q.h4[k]));
    s[8] += uint32_t(abs32(e + q.h4[k]));
    s[9] += uint32_t(abs32(e - q.cd[k]));
    s[10] += uint32_t(abs32(e + q.cd[k]));
  }
  for (int k = 0; k < 11; ++k) c.error_sum[k] += s[k];
  q.count = 0;
}

// One output byte of channel c from its delta; channel_delta is the delta
// of the channel that produced the previous byte, and becomes this one's.
// With pending set, the byte's errors wait there until the channel adapts
// (or the caller folds them); without, they go to the counters at once.
inline uint8_t audio_step(AudioChannelState& c, int32_t& channel_delta, uint32_t delta,
                          AudioPending* pending = nullptr) {
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

  if (pending) {
    uint32_t k = pending->count++;
    pending->e[k] = e;
    pending->h1[k] = h1;
    pending->h2[k] = h2;
    pending->h3[k] = h3;
    pending->h4[k] = h4;
    pending->cd[k] = cd;
  } else {
    add_errors(c.error_sum, AudioErrors{e, h1, h2, h3, h4, cd});
  }

  c.last_delta = signed_byte(out - c.last_byte);
  channel_delta = c.last_delta;
  c.last_byte = out;

  if ((c.byte_count & 31) == 0) {
    if (pending) fold_errors(c, *pending);
    adapt(c);
  }
  return uint8_t(out & 0xFF);
}
