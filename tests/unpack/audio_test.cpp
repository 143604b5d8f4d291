// The multimedia predictor.

#include <gtest/gtest.h>

#include <cstring>

#include "tests/unpack/unpack_harness.h"
#include "unpack/arc_audio.h"

using namespace unpacktest;

namespace {

// Decodes the deltas on channel 0 of a fresh state.
std::vector<uint8_t> decode_channel0(const std::vector<uint32_t>& deltas) {
  std::vector<uint8_t> out;
  for (uint32_t d : deltas) out.push_back(decode_audio_byte(d));
  return out;
}

}  // namespace

TEST(AudioPredictor, FirstBytesOfAFreshChannel) {
  reset_unpack_state();
  EXPECT_EQ(decode_audio_byte(0x10), 0xF0);
  const AudioChannelState& c = unpack_state.channels[0];
  EXPECT_EQ(c.last_delta, -16);
  EXPECT_EQ(unpack_state.channel_delta, -16);
  EXPECT_EQ(c.last_byte, -16);
  EXPECT_EQ(c.error_sum[0], 128u);  // the delta as a signed byte, times 8

  EXPECT_EQ(decode_audio_byte(0), 0xF0);  // predicted 0xF0, nothing taken off
  EXPECT_EQ(c.last_byte, 240);
  EXPECT_EQ(c.last_delta, 0);  // 240 - (-16) = 256, a signed byte 0
  EXPECT_EQ(c.hist1, -16);
  EXPECT_EQ(c.hist2, -16);
  EXPECT_EQ(c.byte_count, 2u);
}

TEST(AudioPredictor, Delta0x80IsSubtractedAs128ButWeighedAsMinus128) {
  reset_unpack_state();
  EXPECT_EQ(decode_audio_byte(0x80), 0x80);  // 0 - 128
  const AudioChannelState& c = unpack_state.channels[0];
  EXPECT_EQ(c.error_sum[0], 1024u);
  EXPECT_EQ(c.last_byte, -128);
  EXPECT_EQ(c.last_delta, -128);
  EXPECT_EQ(decode_audio_byte(0xFF), 0x81);  // P = 0x80, minus 255 = -127
  EXPECT_EQ(c.error_sum[0], 1024u + 8u);
  EXPECT_EQ(c.last_delta, 1);
}

TEST(AudioPredictor, WeightsTakePartInThePrediction) {
  reset_unpack_state();
  AudioChannelState& c = unpack_state.channels[0];
  c.coef1 = 3;
  c.coef2 = -2;
  c.coef5 = 5;
  c.last_byte = 100;
  c.last_delta = 10;
  c.hist1 = 4;
  unpack_state.channel_delta = -7;
  // hist1 = 10, hist2 = 6; p = 800 + 30 - 12 - 35 = 783 -> 97; 97 - 1 = 96
  EXPECT_EQ(decode_audio_byte(1), 96);
  EXPECT_EQ(c.hist2, 6);
  EXPECT_EQ(c.last_delta, -4);
  // Negative predictions keep bits 3 to 10: p = -9 reads as 0xFE.
  reset_unpack_state();
  unpack_state.channels[0].last_byte = -1;
  unpack_state.channels[0].coef5 = -1;
  unpack_state.channel_delta = 1;
  EXPECT_EQ(decode_audio_byte(0), 0xFE);
}

TEST(AudioPredictor, AdaptationEvery32BytesPicksTheSmallestCounter) {
  struct Case {
    int winner_a, winner_b;  // counters set smaller than the rest (b = -1: one)
    int32_t start;           // coef1 before
    int32_t coef1_after;
  };
  const Case cases[] = {
      {2, -1, 0, 1},    // counter 2 alone: coef1 + 1
      {1, 2, 0, -1},    // 1 and 2 equal: the lower wins, coef1 - 1
      {1, -1, -17, -17},  // no lowering below -17
      {1, -1, -16, -17},
      {2, -1, 16, 16},  // no raising above 16
      {2, -1, 15, 16},
      {0, 1, 5, 5},     // counter 0 wins ties with everybody
  };
  for (const Case& k : cases) {
    reset_unpack_state();
    AudioChannelState& c = unpack_state.channels[0];
    c.coef1 = k.start;
    c.byte_count = 31;
    for (uint32_t& s : c.error_sum) s = 500;
    c.error_sum[k.winner_a] = 100;
    if (k.winner_b >= 0) c.error_sum[k.winner_b] = 100;
    // A silent byte adds nothing to any counter, then the 32nd byte adapts.
    decode_audio_byte(0);
    EXPECT_EQ(c.coef1, k.coef1_after) << k.winner_a << "/" << k.winner_b << " from " << k.start;
    for (uint32_t s : c.error_sum) EXPECT_EQ(s, 0u);
  }
}

TEST(AudioPredictor, EachWeightFollowsItsCounters) {
  for (int counter = 3; counter <= 10; ++counter) {
    reset_unpack_state();
    AudioChannelState& c = unpack_state.channels[0];
    c.byte_count = 63;
    for (uint32_t& s : c.error_sum) s = 9;
    c.error_sum[counter] = 1;
    decode_audio_byte(0);
    int32_t coefs[5] = {c.coef1, c.coef2, c.coef3, c.coef4, c.coef5};
    int which = (counter - 1) / 2;
    for (int k = 0; k < 5; ++k) EXPECT_EQ(coefs[k], k == which ? (counter % 2 ? -1 : 1) : 0) << counter;
  }
}

// The rounds move a weight their own way: every counter on every weight
// value, the bounds and a step beyond them included, as the plain path does.
TEST(AudioPredictor, RoundsMoveWeightsAsThePlainPathDoes) {
  for (uint32_t counter = 0; counter < 11; ++counter)
    for (int32_t v = -18; v <= 17; ++v) {
      AudioChannelState plain{};
      plain.coef1 = v, plain.coef2 = -v, plain.coef3 = v + 1, plain.coef4 = v - 1, plain.coef5 = -v - 1;
      AudioChannelState flat = plain;
      audio_detail::apply_counter(plain, counter);
      audio_detail::apply_counter_in_rounds(flat, counter);
      EXPECT_EQ(std::memcmp(&plain, &flat, sizeof plain), 0) << "counter " << counter << " value " << v;
    }
}

TEST(AudioPredictor, SilentCycleLeavesWeightsAlone) {
  reset_unpack_state();
  std::vector<uint8_t> out = decode_channel0(std::vector<uint32_t>(64, 0));
  EXPECT_EQ(out, std::vector<uint8_t>(64, 0));
  const AudioChannelState& c = unpack_state.channels[0];
  EXPECT_EQ(c.coef1 | c.coef2 | c.coef3 | c.coef4 | c.coef5, 0);
  EXPECT_EQ(c.byte_count, 64u);
}

TEST(AudioPredictor, ChannelsAdaptByTheirOwnCounts) {
  reset_unpack_state();
  unpack_state.channel_count = 2;
  // Alternate the two channels; each counts only its own bytes.
  for (int i = 0; i < 64; ++i) {
    unpack_state.current_channel = uint32_t(i % 2);
    decode_audio_byte(uint32_t(i % 2 ? 0xFE : 0xFC));
  }
  EXPECT_EQ(unpack_state.channels[0].byte_count, 32u);
  EXPECT_EQ(unpack_state.channels[1].byte_count, 32u);
  // Both adapted once (their 32nd byte), so both sums were cleared there.
  for (int ch = 0; ch < 2; ++ch)
    for (uint32_t s : unpack_state.channels[ch].error_sum) EXPECT_EQ(s, 0u) << ch;
  // One more byte on channel 0 only: channel 1's counters stay clear.
  unpack_state.current_channel = 0;
  decode_audio_byte(0x33);
  EXPECT_NE(unpack_state.channels[0].error_sum[0], 0u);
  EXPECT_EQ(unpack_state.channels[1].error_sum[0], 0u);
  EXPECT_EQ(unpack_state.channels[0].byte_count, 33u);
}

// A full cycle's winning counter, however the machine finds it, against the
// plain sums: random series over their whole ranges and the extremes, and
// narrow ones, where several counters tie and the lowest must win.
TEST(AudioPredictor, CycleWinnerMatchesThePlainSums) {
  std::mt19937 rng(16);
  for (int round = 0; round < 4000; ++round) {
    // Every third round takes only the ends of each range, so that some
    // counters reach the largest sums a cycle can have.
    const bool narrow = round % 3 == 1, ends = round % 3 == 2;
    auto pick = [&](int lo, int hi) {
      if (narrow) return int16_t(int(rng() % 3) - 1);
      int r = int(rng() % (ends ? 2 : 4));
      return int16_t(r == 0 ? lo : r == 1 ? hi : lo + int(rng() % uint32_t(hi - lo + 1)));
    };
    int16_t delta[32], change[36], cd[32];
    // The low byte of a delta's entry is its code length, not part of it.
    for (auto& v : delta) v = int16_t((narrow ? rng() % 2 * 255 : uint32_t(pick(0, 255))) << 8 | (1 + rng() % 15));
    for (auto& v : change) v = pick(-128, 127);
    for (auto& v : cd) v = pick(-128, 127);
    uint32_t plain[11] = {};
    add_series_errors_plain(plain, delta, change + 4, cd, 32);
    for (uint32_t level = 0; level <= audio_vector_level(); ++level)
      ASSERT_EQ(series_cycle_winner_at(level, delta, change + 4, cd), audio_detail::winning_counter(plain))
          << "round " << round << " vector level " << level;
  }
}
