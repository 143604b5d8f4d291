// Bit input, table building, symbol decoding and table blocks.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "tests/unpack/unpack_harness.h"

using namespace unpacktest;

namespace {

// Puts bytes at the start of the input buffer and the reader at bit 0.
void load_bits(const std::vector<uint8_t>& bytes) {
  std::memset(unpack_state.input_buffer, 0, sizeof unpack_state.input_buffer);
  std::memcpy(unpack_state.input_buffer, bytes.data(), bytes.size());
  unpack_state.input_pos = 0;
  unpack_state.input_bit = 0;
  unpack_state.input_top = uint32_t(bytes.size());
}

uint32_t bits_consumed() { return unpack_state.input_pos * 8 + unpack_state.input_bit; }

}  // namespace

TEST(BitInput, PeekAcrossThreeBytesAndSkip) {
  Harness h;
  load_bits({0x01, 0xAB, 0xCD, 0xEF});
  skip_bits(7);
  // 1 bit of the first byte, all 8 of the second, 7 of the third.
  EXPECT_EQ(peek_bits(), (1u << 15) | (0xABu << 7) | (0xCDu >> 1));
  skip_bits(9);
  EXPECT_EQ(unpack_state.input_pos, 2u);
  EXPECT_EQ(unpack_state.input_bit, 0u);
  EXPECT_EQ(get_bits(4), 0xCu);
  EXPECT_EQ(get_bits(16), 0xDEF0u);
}

TEST(BitInput, ShortEntryFillsOnceAndRefillsKeepStaleBytes) {
  Harness h;
  std::vector<uint8_t> packed(5000);
  for (size_t i = 0; i < packed.size(); ++i) packed[i] = uint8_t(i * 7);
  h.begin_entry(packed, 0);
  fill_input(true);
  EXPECT_EQ(unpack_state.input_top, 5000u);
  EXPECT_EQ(packed_left, 0);
  EXPECT_EQ(packed_read_total, 5000u);
  ASSERT_EQ(h.in.requests.size(), 1u);
  EXPECT_EQ(h.in.requests[0], 5000);  // the request is cut to packed_left

  // A refill that gets nothing still moves the kept bytes and leaves the rest.
  unpack_state.input_buffer[8170] = 0x5A;
  unpack_state.input_buffer[100] = 0x77;
  unpack_state.input_pos = 8170;
  fill_input(false);
  EXPECT_EQ(unpack_state.input_pos, 10u);
  EXPECT_EQ(unpack_state.input_top, 10u);
  EXPECT_EQ(unpack_state.input_buffer[10], 0x5A);
  EXPECT_EQ(unpack_state.input_buffer[100], 0x77);
  EXPECT_EQ(h.in.requests.size(), 1u);  // nothing left to ask for
}

TEST(BitInput, RefillContinuesTheStreamSeamlessly) {
  Harness h;
  std::vector<uint8_t> packed(20000);
  std::mt19937 rng(7);
  for (auto& b : packed) b = uint8_t(rng());
  h.begin_entry(packed, 0);
  fill_input(true);
  EXPECT_EQ(unpack_state.input_top, 8192u);
  // Walk the stream 13 bits at a time, refilling at the step threshold, and
  // compare every field with the bytes themselves.
  for (uint32_t bit = 0; bit + 16 <= 19000 * 8; bit += 13) {
    if (unpack_state.input_pos > kRefillStep) fill_input(false);
    uint32_t byte = bit / 8, off = bit % 8;
    uint32_t want = ((uint32_t(packed[byte]) << 16 | uint32_t(packed[byte + 1]) << 8 | packed[byte + 2]) >>
                     (8 - off)) & 0xFFFF;
    ASSERT_EQ(peek_bits(), want) << "at bit " << bit;
    skip_bits(13);
  }
  ASSERT_GE(h.in.requests.size(), 3u);
  EXPECT_EQ(h.in.requests[1], 8160);
}

TEST(BitInput, ReadPackedStopsAtTheEntryAndOnShortReads) {
  Harness h;
  std::vector<uint8_t> packed(100, 1);
  h.begin_entry(packed, 0);
  packed_left = 60;
  h.in.chunk = 25;
  uint8_t buf[100];
  EXPECT_EQ(read_packed(buf, 100), 25);  // one read, not repeated
  EXPECT_EQ(h.in.requests.back(), 60);
  EXPECT_EQ(read_packed(buf, 100), 25);
  EXPECT_EQ(read_packed(buf, 100), 10);
  EXPECT_EQ(read_packed(buf, 100), 0);
  EXPECT_EQ(packed_left, 0);
  EXPECT_EQ(packed_read_total, 60u);
  EXPECT_EQ(read_packed(buf, 0), 0);
}

TEST(DecodeTable, LengthsOneTwoTwo) {
  Harness h;
  DecodeTable t{};
  const uint8_t lengths[3] = {1, 2, 2};
  build_decode_table(lengths, t, 3);
  EXPECT_EQ(t.limit[0], 0u);
  EXPECT_EQ(t.limit[1], 0x8000u);
  for (int l = 2; l < 16; ++l) EXPECT_EQ(t.limit[l], 0xFFFFu) << l;
  EXPECT_EQ(t.first[1], 0u);
  EXPECT_EQ(t.first[2], 1u);
  EXPECT_EQ(t.symbol_count, 3u);

  // Codes 0, 10, 11; the all-ones pattern reads as 0xFFFE and is symbol 2.
  load_bits({0xFF, 0xFF, 0xFF});
  EXPECT_EQ(decode_symbol(t), 2u);
  EXPECT_EQ(bits_consumed(), 2u);
  load_bits({0x40, 0, 0});  // 0, 10, then zeros
  EXPECT_EQ(decode_symbol(t), 0u);
  EXPECT_EQ(decode_symbol(t), 1u);
  EXPECT_EQ(bits_consumed(), 3u);
}

TEST(DecodeTable, FullDepthCodeDecodesAllOnes) {
  Harness h;
  // 1, 2, ..., 14, 15, 15: complete, last limit 0x10000 stored as 0xFFFF.
  std::vector<uint8_t> lengths;
  for (int l = 1; l <= 15; ++l) lengths.push_back(uint8_t(l));
  lengths.push_back(15);
  DecodeTable t{};
  build_decode_table(lengths.data(), t, uint32_t(lengths.size()));
  EXPECT_EQ(t.limit[15], 0xFFFFu);
  load_bits({0xFF, 0xFF, 0xFF});
  EXPECT_EQ(decode_symbol(t), 15u);
  EXPECT_EQ(bits_consumed(), 15u);
  load_bits({0xFF, 0xFC, 0});  // 14 ones then 0: symbol 14 with 15 bits
  EXPECT_EQ(decode_symbol(t), 14u);
  EXPECT_EQ(bits_consumed(), 15u);
}

TEST(DecodeTable, CodesPastTheAlphabetAndEmptyTables) {
  Harness h;
  DecodeTable t{};
  // Only symbol 1 is coded (code 0); a pattern starting with 1 runs to
  // length 15, and from 11 on lands past the table: position 0, which holds
  // symbol 1.
  const uint8_t one[2] = {0, 1};
  build_decode_table(one, t, 2);
  load_bits({0xC0, 0, 0});
  EXPECT_EQ(decode_symbol(t), 1u);
  EXPECT_EQ(bits_consumed(), 15u);

  // No coded symbol: length 15 and position 0 for every pattern. Positions
  // not filled by this build keep the earlier build's symbols.
  const uint8_t none[2] = {0, 0};
  build_decode_table(none, t, 2);
  load_bits({0x12, 0x34, 0x56});
  EXPECT_EQ(decode_symbol(t), 1u);
  EXPECT_EQ(bits_consumed(), 15u);
}

TEST(DecodeTable, MatchesCanonicalCodesOnEveryPattern) {
  Harness h;
  std::mt19937 rng(2024);
  const size_t sizes[] = {19, 28, 48, 257, 298};
  for (int round = 0; round < 20; ++round) {
    size_t alphabet = sizes[round % 5];
    size_t coded = 2 + rng() % (alphabet - 1);
    std::vector<uint8_t> lengths = random_complete_lengths(rng, alphabet, coded);
    bitw::Code code(lengths);
    DecodeTable t{};
    build_decode_table(lengths.data(), t, uint32_t(alphabet));
    // Reference: the symbol whose code is a prefix of the pattern.
    std::vector<int> by_prefix(1 << 16, -1);
    for (size_t s = 0; s < alphabet; ++s) {
      if (!lengths[s]) continue;
      uint32_t lo = code.code[s] << (16 - lengths[s]);
      for (uint32_t p = lo; p < lo + (1u << (16 - lengths[s])); ++p) by_prefix[p] = int(s);
    }
    for (uint32_t p = 0; p < 0x10000; ++p) {
      load_bits({uint8_t(p >> 8), uint8_t(p), 0});
      uint32_t sym = decode_symbol(t);
      ASSERT_EQ(int(sym), by_prefix[p]) << "round " << round << " pattern " << p;
      ASSERT_EQ(bits_consumed(), lengths[sym]);
    }
  }
}

// Table blocks, read through the bit reader from a packed entry.
class TableBlock : public ::testing::Test {
 protected:
  Harness h;
  void load(const bitw::BitWriter& w) {
    packed = w.finish(8);
    h.begin_entry(packed, 0);
    unpack_state.input_pos = 0;
    unpack_state.input_bit = 0;
    fill_input(true);
  }
  std::vector<uint8_t> prev() const {
    return std::vector<uint8_t>(unpack_state.previous_lengths, unpack_state.previous_lengths + kMaxLengths);
  }
  std::vector<uint8_t> packed;
};

TEST_F(TableBlock, LzBlockBuildsTheThreeTablesAndKeepsItsLengths) {
  std::mt19937 rng(5);
  std::vector<uint8_t> lengths = random_complete_lengths(rng, 298, 298);
  auto d = random_complete_lengths(rng, 48, 48);
  auto r = random_complete_lengths(rng, 28, 28);
  lengths.insert(lengths.end(), d.begin(), d.end());
  lengths.insert(lengths.end(), r.begin(), r.end());
  bitw::BitWriter w;
  bitw::write_lz_table_block(w, lengths, {}, true);
  bitw::LzCodes codes{bitw::Code(std::vector<uint8_t>(lengths.begin(), lengths.begin() + 298)),
                      bitw::Code(d), bitw::Code(r)};
  size_t block_bits = w.bit_count();
  w.put_symbol(codes.main, 297);
  w.put_symbol(codes.distance, 47);
  w.put_symbol(codes.repeat, 27);
  load(w);
  read_tables();
  EXPECT_FALSE(unpack_state.audio_mode);
  EXPECT_EQ(bits_consumed(), block_bits);
  std::vector<uint8_t> now = prev();
  EXPECT_EQ(std::vector<uint8_t>(now.begin(), now.begin() + 374), lengths);
  EXPECT_EQ(decode_symbol(unpack_state.main_table), 297u);
  EXPECT_EQ(decode_symbol(unpack_state.distance_table), 47u);
  EXPECT_EQ(decode_symbol(unpack_state.repeat_length_table), 27u);
}

TEST_F(TableBlock, ChangesAgainstPreviousLengthsOrAgainstZeros) {
  std::vector<uint8_t> base(374, 14);
  std::memcpy(unpack_state.previous_lengths, base.data(), base.size());
  bitw::BitWriter w;
  // Keep bit set: symbol 3 on a place whose previous length is 14 gives 1.
  std::vector<bitw::LengthItem> items(374, {0, 0});
  items[0] = {3, 0};
  items[1] = {15, 0};
  bitw::write_table_block(w, false, true, 1, bitw::default_cl_lengths(), items);
  // Keep bit clear: the same symbols count from zero.
  bitw::write_table_block(w, false, false, 1, bitw::default_cl_lengths(), items);
  load(w);
  read_tables();
  EXPECT_EQ(unpack_state.previous_lengths[0], 1);
  EXPECT_EQ(unpack_state.previous_lengths[1], 13);
  EXPECT_EQ(unpack_state.previous_lengths[2], 14);
  unpack_state.previous_lengths[1000] = 9;  // beyond this block's lengths
  read_tables();
  EXPECT_EQ(unpack_state.previous_lengths[0], 3);
  EXPECT_EQ(unpack_state.previous_lengths[1], 15);
  EXPECT_EQ(unpack_state.previous_lengths[2], 0);
  EXPECT_EQ(unpack_state.previous_lengths[1000], 0);  // the reset clears all 1028
}

TEST_F(TableBlock, RunsStoreLengthsAndAreCutAtTheEnd) {
  std::vector<uint8_t> base(374, 4);
  std::memcpy(unpack_state.previous_lengths, base.data(), base.size());
  std::vector<bitw::LengthItem> items;
  items.push_back({16, 1});   // at the first place: repeats 0, four times
  items.push_back({2, 0});    // place 4: 4 + 2
  items.push_back({16, 3});   // places 5-10: 6 (stored, not a change)
  items.push_back({17, 7});   // places 11-20: zeros
  for (int i = 21; i < 300; ++i) items.push_back({0, 0});
  items.push_back({18, 127}); // 138 zeros, only 74 places left
  bitw::BitWriter w;
  bitw::write_table_block(w, false, true, 1, bitw::default_cl_lengths(), items);
  size_t block_bits = w.bit_count();
  w.put(0xFFFF, 16);
  load(w);
  read_tables();
  EXPECT_EQ(bits_consumed(), block_bits);
  const uint8_t* p = unpack_state.previous_lengths;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(p[i], 0) << i;
  EXPECT_EQ(p[4], 6);
  for (int i = 5; i <= 10; ++i) EXPECT_EQ(p[i], 6) << i;
  for (int i = 11; i <= 20; ++i) EXPECT_EQ(p[i], 0) << i;
  for (int i = 21; i < 300; ++i) ASSERT_EQ(p[i], 4) << i;
  for (int i = 300; i < 374; ++i) ASSERT_EQ(p[i], 0) << i;
}

TEST_F(TableBlock, AudioBlocksAnnounceOneToFourChannels) {
  for (int channels = 1; channels <= 4; ++channels) {
    std::mt19937 rng{uint32_t(channels)};
    std::vector<bitw::Code> codes;
    for (int c = 0; c < channels; ++c) codes.emplace_back(random_complete_lengths(rng, 257, 257));
    unpack_state.current_channel = 2;
    bitw::BitWriter w;
    bitw::write_audio_table_block(w, codes, {}, true);
    size_t block_bits = w.bit_count();
    for (int c = 0; c < channels; ++c) w.put_symbol(codes[c], 256);
    load(w);
    read_tables();
    EXPECT_TRUE(unpack_state.audio_mode);
    EXPECT_EQ(unpack_state.channel_count, uint32_t(channels));
    EXPECT_EQ(unpack_state.current_channel, channels > 2 ? 2u : 0u);
    EXPECT_EQ(bits_consumed(), block_bits) << channels;  // 257 lengths per channel
    // The multimedia tables' fast[] is made on first use by a single step.
    for (int c = 0; c < channels; ++c) {
      ensure_fast_table(unpack_state.audio_tables[c]);
      EXPECT_EQ(decode_symbol(unpack_state.audio_tables[c]), 256u) << c;
    }
  }
}

// The multimedia loop's look-up entries, after a table block, against the
// search for every peek: a delta's code that fits the entry's bits gives
// its length, the delta and -8 * delta whatever bits follow it; anything
// else (the table-block symbol, a longer code) is left to the search, which
// marks the table-block symbol and no delta as such. Codes of every length,
// over-full and nearly empty ones, one to four channels.
TEST_F(TableBlock, AudioEntriesAgreeWithTheSearchForEveryPeek) {
  std::mt19937 rng(1616);
  for (uint32_t sym = 0; sym < 256; ++sym)
    for (uint32_t len = 1; len <= 15; ++len) ASSERT_FALSE(audio_entry_is_block(audio_entry(sym, len))) << sym;
  for (uint32_t len = 1; len <= 15; ++len) ASSERT_TRUE(audio_entry_is_block(audio_entry(256, len)));
  for (int round = 0; round < 12; ++round) {
    const uint32_t channels = 1 + uint32_t(round) % 4;
    std::vector<bitw::Code> codes;
    for (uint32_t c = 0; c < channels; ++c) {
      const int kind = int(rng() % 3);
      std::vector<uint8_t> lengths = random_complete_lengths(rng, 257, kind == 0 ? 257 : kind == 1 ? 3 + rng() % 20 : 257);
      if (kind == 2)  // over-full codes near the entries' width
        for (auto& l : lengths) if (l && rng() % 2) l = uint8_t(kAudioEntryBits + (rng() % 3) - 1);
      codes.emplace_back(lengths);
    }
    bitw::BitWriter w;
    bitw::write_audio_table_block(w, codes, {}, true);
    load(w);
    read_tables();
    ASSERT_EQ(unpack_state.channel_count, channels);
    for (uint32_t c = 0; c < channels; ++c) {
      const DecodeTable& t = unpack_state.audio_tables[c];
      for (uint32_t p = 0; p < (1u << kAudioEntryBits); ++p) {
        const uint32_t e = unpack_state.audio_entries[c][p];
        const uint32_t v = p << (16 - kAudioEntryBits);
        const uint32_t tails[] = {0, (1u << (16 - kAudioEntryBits)) - 1, uint32_t(rng()) & ((1u << (16 - kAudioEntryBits)) - 1)};
        if (e == 0) {
          // Left to the search: the table-block symbol, or a code longer
          // than the entries' bits for some peek with these top bits.
          bool long_or_block = false;
          for (uint32_t tail : tails) {
            uint32_t r = decode_search(t, v | tail);
            long_or_block = long_or_block || (r >> 4) == 256 || (r & 15) > kAudioEntryBits;
          }
          ASSERT_TRUE(long_or_block) << "round " << round << " channel " << c << " peek " << p;
          continue;
        }
        const uint32_t len = e & 63, delta = (e >> 8) & 0xFF;
        ASSERT_LE(len, kAudioEntryBits);
        // -8 * delta, shifted left by 21 bits: -delta in the top byte.
        ASSERT_EQ(e >> 16, ((0u - delta) & 0xFF) << 8);
        for (uint32_t tail : tails)
          ASSERT_EQ(decode_search(t, v | tail), delta << 4 | len) << "round " << round << " channel " << c << " peek " << p;
      }
    }
  }
}

TEST_F(TableBlock, ThreeChannelHeaderReads771Lengths) {
  // First bits 1, 1, 10; all 771 lengths coded as "no change" with a 1-bit
  // code-length code for symbol 0, so the block is 4 + 76 + 771 bits.
  std::vector<uint8_t> cl(19, 0);
  cl[0] = 1;
  cl[18] = 1;
  bitw::BitWriter w;
  bitw::write_table_block(w, true, true, 3, cl, std::vector<bitw::LengthItem>(771, {0, 0}));
  EXPECT_EQ(w.bit_count(), 4u + 76u + 771u);
  w.put(0xFFFFFFFF, 32);
  load(w);
  read_tables();
  EXPECT_EQ(bits_consumed(), 4u + 76u + 771u);
  // The same count of lengths in LZ mode is not enough: it always reads 374.
  bitw::BitWriter lz;
  bitw::write_table_block(lz, false, true, 1, cl, std::vector<bitw::LengthItem>(374, {0, 0}));
  size_t lz_bits = lz.bit_count();
  lz.put(0xFFFFFFFF, 32);
  load(lz);
  read_tables();
  EXPECT_EQ(bits_consumed(), lz_bits);
}

TEST_F(TableBlock, BlockNearTheBufferEndRefillsBeforeEachSymbol) {
  // A table block that straddles the first refill boundary decodes the same
  // as one at the start of the buffer.
  std::mt19937 rng(11);
  std::vector<uint8_t> lengths = random_complete_lengths(rng, 374, 300);
  bitw::BitWriter w;
  for (int i = 0; i < 8150 * 8 + 3; ++i) w.put_bit(1);
  size_t start = w.bit_count();
  bitw::write_lz_table_block(w, lengths, {}, false);
  size_t end = w.bit_count();
  load(w);
  skip_bits(8);
  while (bits_consumed() + 16 <= start) skip_bits(16);
  skip_bits(uint32_t(start - bits_consumed()));
  read_tables();
  std::vector<uint8_t> now = prev();
  EXPECT_EQ(std::vector<uint8_t>(now.begin(), now.begin() + 374), lengths);
  EXPECT_EQ(unpack_state.input_base + unpack_state.input_pos, end / 8);
  EXPECT_EQ(unpack_state.input_bit, end % 8);
}

// The same for blocks starting every third bit from some way before the
// refill zone to the buffer's last bytes, where the decoder may call for a
// table block, with four channels' lengths written one symbol each, so the
// window meets the refill at every place of a symbol.
TEST_F(TableBlock, BlockStartingAtEveryBitAroundTheBufferEnd) {
  std::mt19937 rng(12);
  std::vector<bitw::Code> codes;
  std::vector<uint8_t> all;
  for (int c = 0; c < 4; ++c) {
    codes.emplace_back(random_complete_lengths(rng, 257, 40 + 50 * c));
    all.insert(all.end(), codes.back().length.begin(), codes.back().length.end());
  }
  for (size_t start = 8040 * 8; start < 8190 * 8; start += 3) {
    bitw::BitWriter w;
    for (size_t i = 0; i < start; ++i) w.put_bit(i % 3 == 0);
    bitw::write_audio_table_block(w, codes, {}, false);
    const size_t end = w.bit_count();
    load(w);
    while (bits_consumed() + 16 <= start) skip_bits(16);
    skip_bits(uint32_t(start - bits_consumed()));
    read_tables();
    ASSERT_EQ(std::vector<uint8_t>(unpack_state.previous_lengths, unpack_state.previous_lengths + all.size()), all)
        << "start " << start;
    ASSERT_EQ(unpack_state.input_base * 8 + unpack_state.input_pos * 8 + unpack_state.input_bit, end) << "start " << start;
  }
}

// The table lookup must give exactly what the four-comparison search gives,
// symbol and bits consumed, for every peek, whatever the lengths: complete,
// incomplete, over-full, empty, or with codes that run past the alphabet.
TEST(DecodeTable, FastLookupEqualsTheSearchForEveryPeek) {
  Harness h;
  std::mt19937 rng(31337);
  std::vector<std::vector<uint8_t>> sets;
  const uint32_t sizes[] = {19, 28, 48, 257, 298};
  for (uint32_t n : sizes) {
    sets.push_back(std::vector<uint8_t>(n, 0));                      // nothing coded
    sets.push_back(std::vector<uint8_t>(n, 1));                      // hopelessly over-full
    sets.push_back(std::vector<uint8_t>(n, 15));
    for (int l = 1; l <= 15; ++l) {                                  // one symbol
      std::vector<uint8_t> one(n, 0);
      one[rng() % n] = uint8_t(l);
      sets.push_back(one);
    }
    for (int k = 0; k < 6; ++k) {
      sets.push_back(random_complete_lengths(rng, n, 2 + rng() % (n - 1)));
      std::vector<uint8_t> any(n);                                   // random, mostly invalid
      for (auto& l : any) l = uint8_t(rng() % 4 ? rng() % 16 : 0);
      sets.push_back(any);
      std::vector<uint8_t> sparse(n, 0);                             // incomplete
      for (int j = 0; j < 5; ++j) sparse[rng() % n] = uint8_t(8 + rng() % 8);
      sets.push_back(sparse);
      std::vector<uint8_t> boundary = random_complete_lengths(rng, n, n);  // lengths around kFastBits
      for (auto& l : boundary) if (l && rng() % 2) l = uint8_t(kFastBits + (rng() % 3) - 1);
      sets.push_back(boundary);
    }
  }
  for (size_t k = 0; k < sets.size(); ++k) {
    const auto& lengths = sets[k];
    DecodeTable t{};
    // Stale symbols from an earlier build matter for the position-0 rule.
    std::vector<uint8_t> earlier = random_complete_lengths(rng, lengths.size(), lengths.size());
    build_decode_table(earlier.data(), t, uint32_t(earlier.size()));
    build_decode_table(lengths.data(), t, uint32_t(lengths.size()));
    for (uint32_t p = 0; p < 0x10000; ++p) {
      load_bits({uint8_t(p >> 8), uint8_t(p), 0x5A});
      uint32_t fast = decode_symbol(t);
      uint32_t fast_bits = bits_consumed();
      load_bits({uint8_t(p >> 8), uint8_t(p), 0x5A});
      uint32_t slow = decode_symbol_search(t, peek_bits());
      ASSERT_EQ(fast, slow) << "set " << k << " pattern " << p;
      ASSERT_EQ(fast_bits, bits_consumed()) << "set " << k << " pattern " << p;
    }
  }
}
