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

// The counter whose sum is the smallest, ties going to the lower counter.
inline uint32_t winning_counter(const uint32_t* sum) {
  uint32_t best = 0;
  for (uint32_t k = 1; k < 11; ++k)
    if (sum[k] < sum[best]) best = k;
  return best;
}

// Weights move one step at a time and stay within -17..16.
inline void lower(int32_t& coef) {
  if (coef >= -16) --coef;
}
inline void raise(int32_t& coef) {
  if (coef < 16) ++coef;
}

// Moves the weight that counter k stands for by one step: counter 2j - 1
// lowers weight j, counter 2j raises it, counter 0 (the weights were right)
// changes nothing.
inline void apply_counter(AudioChannelState& c, uint32_t k) {
  switch (k) {
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
    default: break;
  }
}

// The same move for the multimedia rounds, worked out from k for each
// weight rather than by a jump on k: which counter wins follows the data,
// so a jump through a table on it is mostly mispredicted, and the
// processor stopped fetching the bytes after each cycle end until the
// winner was known. Here mostly only the weights wait for it.
inline void apply_counter_in_rounds(AudioChannelState& c, uint32_t k) {
  auto move = [k](int32_t& coef, uint32_t j) {
    coef += int32_t(k == 2 * j && coef < 16) - int32_t(k == 2 * j - 1 && coef >= -16);
  };
  move(c.coef1, 1);
  move(c.coef2, 2);
  move(c.coef3, 3);
  move(c.coef4, 4);
  // The fifth weight (on channel_delta) moves in about one cycle in fifty:
  // behind a branch that is nearly always foretold, the product added last
  // to each prediction need not wait for the winner.
  if (k >= 9) move(c.coef5, 5);
}

// Every 32 bytes of a channel: the smallest error sum wins, all sums
// restart, and the winner's weight moves.
inline void adapt(AudioChannelState& c) {
  const uint32_t best = winning_counter(c.error_sum);
  for (uint32_t& s : c.error_sum) s = 0;
  apply_counter(c, best);
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

// The multimedia loop's record of what its steps made, from which each
// channel's error counters are summed only when it adapts, a whole cycle at
// a time and off the byte-to-byte dependency chain.
//
// A channel's history and its error terms all follow from the series of its
// changes (last_delta after each byte, c[i]) and of its deltas (d[i]):
//     hist1 = c[i-1]
//     hist2 = c[i-1] - c[i-2],  hist3 = c[i-2] - c[i-3],  hist4 = c[i-3] - c[i-4]
//     e = d[i] as a signed byte, times 8
// and channel_delta is the change of the byte before, on the channel before
// (channel k-1 at the same index, or the last channel at the index before,
// for channel 0). So a step stores only its change and its delta. The
// series are kept by round (one byte of every channel, channel 0 first), all
// channels at the same index for the same round.
//
// The prediction's history terms also collapse onto the series:
//     c1*hist1 + c2*hist2 + c3*hist3 + c4*hist4
//         = (c1+c2)*c[i-1] + (c3-c2)*c[i-2] + (c4-c3)*c[i-3] - c4*c[i-4]
// with weights that change only when the channel adapts.
//
// The terms fit 16 bits: e is a signed byte times 8 (-1024..1016), hist1 and
// channel_delta signed bytes, hist2..hist4 differences of two signed bytes
// (-255..255), as every state that the steps produce has them. So one error
// is at most 1279, a whole cycle's sum of one counter at most 40928, and a
// full cycle is summed in 16-bit lanes, many bytes at a time where the
// machine has vector registers.
constexpr uint32_t kSeriesBack = 40;      // entries kept before the current round
constexpr uint32_t kSeriesRounds = 1024;  // rounds of one stretch at most
constexpr uint32_t kSeriesLength = kSeriesBack + kSeriesRounds + 8;
// The deltas are kept in the high byte of 16-bit entries (the low 16 bits
// of the look-up entry as they are: the low byte is the code length, 1 to
// 15, so an arithmetic shift by 5 gives the delta times 8), at a fixed
// distance from the changes of the same channel and index.
constexpr uint32_t kSeriesDeltas = kMaxChannels * kSeriesLength;  // from a change to its delta
struct AudioSeries {
  int16_t data[2 * kMaxChannels * kSeriesLength];
  int16_t* change(uint32_t k) { return data + k * kSeriesLength; }
  int16_t* delta(uint32_t k) { return data + kSeriesDeltas + k * kSeriesLength; }
};

// Whether a channel's state lies within the ranges that the steps keep it
// in, so that its history can be kept as 16-bit series.
inline bool audio_state_in_range(const AudioChannelState& c) {
  auto in = [](int32_t v, int32_t lo, int32_t hi) { return v >= lo && v <= hi; };
  return in(c.last_delta, -128, 127) && in(c.hist1, -128, 127) && in(c.hist2, -255, 255) &&
         in(c.hist3, -255, 255) && in(c.hist4, -255, 255);
}

// Adds the error terms of count bytes of one channel to its counters: the
// bytes' deltas at delta[0..count) (high bytes), their changes at
// change[0..count) (with the four before them), and the changes their
// predictions took as channel_delta at cd[0..count).
inline void add_series_errors_plain(uint32_t* sum, const int16_t* delta, const int16_t* change, const int16_t* cd,
                                    uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    const int16_t* c = change + i;
    add_errors(sum, AudioErrors{(delta[i] >> 8) * 8, c[-1], c[-1] - c[-2], c[-2] - c[-3],
                                c[-3] - c[-4], cd[i]});
  }
}

// The counter that wins a full cycle of one channel (32 bytes, its
// terms laid out as for add_series_errors_plain) when its sums start from
// zero, with 256- or 512-bit vectors where the processor has them.
uint32_t series_cycle_winner(const int16_t* delta, const int16_t* change, const int16_t* cd);
// The widest vectors this machine offers the winner's sums: 2 for 512
// bits, 1 for 256, 0 for none; and the winner with vectors of a given
// level at most (for the tests, which hold every level to the plain sums).
uint32_t audio_vector_level();
uint32_t series_cycle_winner_at(uint32_t level, const int16_t* delta, const int16_t* change, const int16_t* cd);
