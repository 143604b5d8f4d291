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

// The byte channel c predicts next, before the delta is subtracted; the
// packer chooses each delta from it.
inline uint8_t audio_prediction(const AudioChannelState& c, int32_t channel_delta) {
  const int32_t p = 8 * c.last_byte + c.coef1 * c.last_delta + c.coef2 * (c.last_delta - c.hist1) +
                    c.coef3 * c.hist2 + c.coef4 * c.hist3 + c.coef5 * channel_delta;
  return uint8_t((uint32_t(p) >> 3) & 0xFF);
}

// One output byte of channel c from its delta; channel_delta is the delta
// of the channel that produced the previous byte, and becomes this one's.
inline uint8_t audio_step(AudioChannelState& c, int32_t& channel_delta, uint32_t delta) {
  using namespace audio_detail;
  const int32_t predicted = audio_prediction(c, channel_delta);
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

  // The delta is subtracted as an unsigned byte but weighed as a signed one.
  int32_t out = predicted - int32_t(delta & 0xFF);
  add_errors(c.error_sum, AudioErrors{signed_byte(int32_t(delta)) * 8, h1, h2, h3, h4, cd});

  c.last_delta = signed_byte(out - c.last_byte);
  channel_delta = c.last_delta;
  c.last_byte = out;

  if ((c.byte_count & 31) == 0) adapt(c);
  return uint8_t(out & 0xFF);
}

// The same steps with the counters deferred. The counters are only read
// when the channel adapts, so the decoding loop collects each byte's terms
// until then and adds a cycle's worth in one go, off the byte-to-byte
// dependency chain; the sums are the same.
//
// The terms are kept as series, which also hold the channel's history: h3
// and h4 of a byte are h2 of the one and two bytes before it, and hist1 is
// h1 of the byte before. So a step stores only its new h1 and h2 (and e and
// cd), the series start with the history the channel had before them, and
// the state's hist fields and byte count are brought up to date only when
// the terms are added (audio_settle).
//
// The terms fit 16 bits: e is a signed byte times 8 (-1024..1016), h1 and cd
// are signed bytes, h2..h4 differences of two signed bytes (-255..255), as
// every state that the steps produce has them. So one error is at most 1279,
// a whole cycle's sum of one counter at most 40928, and a full cycle is
// summed in 16-bit lanes, many bytes at a time where the machine has vector
// registers.
struct AudioPending {
  uint32_t count;       // bytes collected
  uint32_t due;         // bytes from the last settling to the next adaptation
  int16_t e[32];        // e of byte k
  int16_t cd[32];       // cd of byte k
  int16_t h1[33];       // h1 of byte k at k + 1; [0] the hist1 before byte 0
  int16_t h2[35];       // h2 of byte k at k + 3; [0..2] hist4, hist3, hist2 before byte 0
};

// Whether a channel's state lies within the ranges that the steps keep it
// in, so that its terms can wait in 16-bit form.
inline bool audio_state_in_range(const AudioChannelState& c) {
  auto in = [](int32_t v, int32_t lo, int32_t hi) { return v >= lo && v <= hi; };
  return in(c.last_delta, -128, 127) && in(c.hist1, -128, 127) && in(c.hist2, -255, 255) &&
         in(c.hist3, -255, 255) && in(c.hist4, -255, 255);
}

// Starts collecting for channel c.
inline void audio_pending_start(const AudioChannelState& c, AudioPending& q) {
  q.count = 0;
  q.due = 32 - (c.byte_count & 31);
  q.h1[0] = int16_t(c.hist1);
  q.h2[0] = int16_t(c.hist4);
  q.h2[1] = int16_t(c.hist3);
  q.h2[2] = int16_t(c.hist2);
}

// |e - h| and |e + h| summed over one full cycle of terms.
inline void sum_error_pair(const int16_t* e, const int16_t* h, uint32_t& minus, uint32_t& plus) {
  uint16_t m = 0, p = 0;
  for (uint32_t k = 0; k < 32; ++k) {
    int16_t a = int16_t(e[k] - h[k]), b = int16_t(e[k] + h[k]);
    m = uint16_t(m + uint16_t(a < 0 ? -a : a));
    p = uint16_t(p + uint16_t(b < 0 ? -b : b));
  }
  minus += m;
  plus += p;
}

// The same for a full cycle of terms, in plain code.
inline void add_cycle_errors_plain(uint32_t* sum, const AudioPending& q) {
  uint16_t s0 = 0;
  for (uint32_t k = 0; k < 32; ++k) s0 = uint16_t(s0 + uint16_t(q.e[k] < 0 ? -q.e[k] : q.e[k]));
  sum[0] += s0;
  sum_error_pair(q.e, q.h1 + 1, sum[1], sum[2]);
  sum_error_pair(q.e, q.h2 + 3, sum[3], sum[4]);
  sum_error_pair(q.e, q.h2 + 2, sum[5], sum[6]);
  sum_error_pair(q.e, q.h2 + 1, sum[7], sum[8]);
  sum_error_pair(q.e, q.cd, sum[9], sum[10]);
}

// Adds a full cycle's terms to the eleven counters: with 256-bit vectors
// where the processor has them (sixteen terms to a register), else plain.
void add_cycle_errors(uint32_t* sum, const AudioPending& q);

// Adds the collected terms to the counters, brings the channel's history
// and byte count up to date, and starts the series again from there.
inline void audio_settle(AudioChannelState& c, AudioPending& q) {
  const uint32_t n = q.count;
  uint32_t* sum = c.error_sum;
  if (n == 32) {
    add_cycle_errors(sum, q);
  } else {
    for (uint32_t k = 0; k < n; ++k)
      add_errors(sum, AudioErrors{q.e[k], q.h1[k + 1], q.h2[k + 3], q.h2[k + 2], q.h2[k + 1], q.cd[k]});
  }
  c.byte_count += n;
  c.hist1 = q.h1[n];
  c.hist2 = q.h2[n + 2];
  c.hist3 = q.h2[n + 1];
  c.hist4 = q.h2[n];
  q.h1[0] = q.h1[n];
  q.h2[0] = q.h2[n];
  q.h2[1] = q.h2[n + 1];
  q.h2[2] = q.h2[n + 2];
  q.due -= n;
  q.count = 0;
}

// A channel's adaptation with its counters deferred: settles q and adapts.
// Out of line, so that the step's loop keeps its registers for the step.
void audio_cycle_end(AudioChannelState& c, AudioPending& q);

// audio_step with the counters deferred to q.
inline uint8_t audio_step_deferred(AudioChannelState& c, AudioPending& q, int32_t& channel_delta,
                                   uint32_t delta) {
  using namespace audio_detail;
  const uint32_t k = q.count;
  const int32_t h1 = c.last_delta;
  const int32_t h2 = h1 - q.h1[k];
  const int32_t h3 = q.h2[k + 2];
  const int32_t h4 = q.h2[k + 1];
  const int32_t cd = channel_delta;
  q.e[k] = int16_t(signed_byte(int32_t(delta)) * 8);
  q.cd[k] = int16_t(cd);
  q.h1[k + 1] = int16_t(h1);
  q.h2[k + 3] = int16_t(h2);

  // As in audio_step, but with the byte-to-byte chain through cd kept
  // short: bits 3-10 of p = 8*last_byte + r are last_byte + (r >> 3)
  // modulo 256, so the new last_delta, (p >> 3) - delta - last_byte as a
  // signed byte, is bits 3-10 of r - 8*delta and does not wait for
  // last_byte. The output value, ((p >> 3) & 0xFF) - delta, follows off the
  // chain: adding delta back gives the byte last_byte + last_delta + delta.
  const int32_t d = int32_t(delta & 0xFF);
  int32_t r = c.coef1 * h1 + c.coef2 * h2 + c.coef3 * h3 + c.coef4 * h4 - 8 * d;
  r += c.coef5 * cd;
  const int32_t change = int32_t(int8_t(uint8_t(uint32_t(r) >> 3)));
  const uint8_t byte = uint8_t(c.last_byte + change);
  c.last_byte = ((c.last_byte + change + d) & 0xFF) - d;
  c.last_delta = change;
  channel_delta = change;

  q.count = k + 1;
  if (k + 1 == q.due) audio_cycle_end(c, q);
  return byte;
}
