// Damaged and hostile packed data: every entry must end, and no input may
// make the decoder touch memory outside its buffers (the sanitizers watch).
// Without the overrun bound the first two tests never finish.

#include <gtest/gtest.h>

#include <random>

#include "tests/unpack/unpack_harness.h"

using namespace unpacktest;

namespace {

// An LZ block whose main code holds one symbol only.
std::vector<uint8_t> single_symbol_block(uint32_t symbol) {
  std::vector<uint8_t> lengths(374, 0);
  lengths[symbol] = 1;
  lengths[298] = 1;  // one distance slot
  lengths[346] = 1;  // one repeat slot
  bitw::BitWriter w;
  bitw::write_lz_table_block(w, lengths, {});
  return w.finish();
}

}  // namespace

TEST(DamagedStream, EndlessTableBlocksStopPastTheData) {
  // Symbol 269 over and over: each one reads a table block out of the zeros
  // and stale bytes that follow the data, and produces nothing.
  Harness h;
  std::vector<uint8_t> packed = single_symbol_block(269);
  h.unpack(packed, 100000);
  EXPECT_EQ(unpacked_write_total, 0u);
  EXPECT_FALSE(h.checksum_matches() && unpacked_write_total == 100000u);
  // The bound is checked before each step; the last step may have read one
  // whole table block (at most 1028 lengths of 22 bits) beyond it.
  EXPECT_LE(unpack_state.input_base + unpack_state.input_pos,
            packed.size() + kOverrunMargin + 2900);
}

TEST(DamagedStream, EndlessEmptyCopiesStopPastTheData) {
  // Symbol 256 before any copy repeats a copy of length 0, one bit a time.
  Harness h;
  std::vector<uint8_t> packed = single_symbol_block(256);
  h.unpack(packed, 5000);
  EXPECT_EQ(unpacked_write_total, 0u);
  EXPECT_EQ(unpacked_left, 4999);
  EXPECT_GT(unpack_state.old_distance_index, 8 * kOverrunMargin - 8);
  EXPECT_LE(unpack_state.input_base + unpack_state.input_pos,
            packed.size() + kOverrunMargin + 8);
}

TEST(DamagedStream, SoundStreamsEndingAtTheLastByteDecodeInFull) {
  // The look-ahead reads past the end of the data; within the margin that is
  // no damage. Lengths chosen so that the data ends right at a refill.
  for (size_t n : {1u, 7u, 7270u, 7271u, 7272u, 20000u}) {
    Harness h;
    LzStream s;
    std::mt19937 rng{uint32_t(n)};
    for (size_t i = 0; i < n; ++i) s.literal(uint8_t(rng()));
    s.copy(200, 3);
    std::vector<uint8_t> packed = s.w.finish(0);
    EXPECT_EQ(h.unpack(packed, int32_t(s.expected.size())), s.expected) << n;
    EXPECT_TRUE(h.checksum_matches());
  }
}

TEST(DamagedStream, TruncatedStreamEndsAndFailsItsChecksum) {
  Harness h;
  LzStream s;
  std::mt19937 rng(3);
  while (s.expected.size() < 200000) {
    if (rng() % 3) s.literal(uint8_t(rng()));
    else s.copy(3 + rng() % 100, 1 + rng() % 1000);
  }
  std::vector<uint8_t> packed = s.finish();
  packed.resize(packed.size() / 2);
  h.unpack(packed, int32_t(s.expected.size()));
  EXPECT_LT(unpacked_write_total, s.expected.size());
  EXPECT_NE(~entry_checksum, arctest::crc32(s.expected));
}

TEST(DamagedStream, RandomBytesNeverRunAway) {
  std::mt19937 rng(77);
  const int32_t sizes[] = {0, 1, 1000, 300000, 0x7FFFFFFF, int32_t(0x80000000u), -1};
  Harness h;
  for (int round = 0; round < 300; ++round) {
    size_t n = rng() % 4 ? rng() % 3000 : rng() % 40000;
    std::vector<uint8_t> packed(n);
    for (auto& b : packed) b = uint8_t(rng() % 5 ? rng() : 0xFF);
    // Sometimes a sound table block in front, so decoding gets further.
    if (round % 3 == 0) {
      LzStream s;
      std::vector<uint8_t> head = s.w.finish();
      packed.insert(packed.begin(), head.begin(), head.end());
    }
    int32_t size = sizes[rng() % 7];
    bool solid = round % 5 == 4;
    h.unpack(packed, size, solid);
    ASSERT_LE(packed_read_total, packed.size());
    ASSERT_LE(uint64_t(unpacked_write_total), uint64_t(std::max(size, 0)) + 300)
        << "round " << round;
  }
}
