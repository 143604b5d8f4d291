// The LZ decoder: copies of every kind, the window and its flushes, the
// stored copy, the output path, and solid continuation.

#include <gtest/gtest.h>

#include <random>

#include "tests/unpack/unpack_harness.h"

using namespace unpacktest;

namespace {

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = uint8_t(rng());
  return v;
}

}  // namespace

TEST(LzDecoder, TenLiteralsLeaveInOneWrite) {
  Harness h;
  LzStream s;
  s.literals(arctest::bytes_of("0123456789"));
  EXPECT_EQ(h.unpack(s.finish(), 10), s.expected);
  EXPECT_EQ(h.out.writes, std::vector<int32_t>{10});
  EXPECT_EQ(unpacked_left, -1);
  EXPECT_EQ(unpacked_write_total, 10u);
  EXPECT_TRUE(h.checksum_matches());
}

// New copies: the length and distance a slot pair gives, with the bonus
// lengths of far distances.
struct NewCopyCase {
  int length_slot;
  uint32_t length_extra;
  int distance_slot;
  uint32_t distance_extra;
  uint32_t length;
  uint32_t distance;
};

class NewCopy : public ::testing::TestWithParam<NewCopyCase> {};

TEST_P(NewCopy, SlotsGiveLengthAndDistance) {
  const NewCopyCase& c = GetParam();
  Harness h;
  LzStream s;
  // Enough history for the copy to read real bytes.
  s.literals(random_bytes(c.distance + 20, c.distance));
  bitw::put_new_copy(s.w, s.codes, c.length_slot, c.length_extra, c.distance_slot, c.distance_extra);
  s.model_copy(c.length, c.distance);
  s.literal('z');
  const auto& out = h.unpack(s.finish(), int32_t(s.expected.size()));
  EXPECT_EQ(unpack_state.last_length, c.length);
  EXPECT_EQ(unpack_state.last_distance, c.distance);
  ASSERT_EQ(out.size(), s.expected.size());
  EXPECT_TRUE(out == s.expected);
  EXPECT_TRUE(h.checksum_matches());
}

INSTANTIATE_TEST_SUITE_P(
    Slots, NewCopy,
    ::testing::Values(NewCopyCase{0, 0, 26, 0, 4, 8193},          // 0x2000 rule
                      NewCopyCase{0, 0, 36, 0, 5, 262145},        // both rules
                      NewCopyCase{0, 0, 25, 2047, 4, 8192},       // 8192 already earns +1
                      NewCopyCase{0, 0, 24, 2047, 3, 6144},
                      NewCopyCase{0, 0, 35, 65535, 5, 262144},    // 0x40000 exactly
                      NewCopyCase{0, 0, 34, 65535, 4, 196608},
                      NewCopyCase{7, 0, 0, 0, 10, 1},
                      NewCopyCase{27, 31, 47, 65535, 260, 1048576},  // longest, whole window
                      NewCopyCase{8, 1, 5, 1, 12, 8}));

TEST(LzDecoder, DistanceOneRepeatsTheLastByte) {
  Harness h;
  LzStream s;
  s.literal(0x61);
  s.copy(10, 1);
  EXPECT_EQ(h.unpack(s.finish(), 11), std::vector<uint8_t>(11, 0x61));
}

TEST(LzDecoder, ShortCopies) {
  Harness h;
  LzStream s;
  s.literals(random_bytes(300, 3));
  bitw::put_short_copy(s.w, s.codes, 0, 0);  // distance 1, length 2: the last byte twice
  s.model_copy(2, 1);
  bitw::put_short_copy(s.w, s.codes, 7, 63);  // 192 + 1 + 63
  s.model_copy(2, 256);
  bitw::put_short_copy(s.w, s.codes, 3, 5);  // 16 + 1 + 5
  s.model_copy(2, 22);
  EXPECT_EQ(h.unpack(s.finish(), int32_t(s.expected.size())), s.expected);
  EXPECT_EQ(unpack_state.last_distance, 22u);
  EXPECT_EQ(unpack_state.last_length, 2u);
}

TEST(LzDecoder, OldDistanceLengthsGrowWithDistance) {
  // Symbol 257 with repeat slot 0 after a copy at distance d.
  const std::pair<uint32_t, uint32_t> cases[] = {
      {256, 2}, {257, 3}, {300, 3}, {0x1FFF, 3}, {0x2000, 4}, {0x3FFFF, 4}, {0x40000, 5}};
  for (auto [distance, length] : cases) {
    Harness h;
    LzStream s;
    s.literals(random_bytes(distance + 5, distance));
    s.copy(distance >= 0x40000 ? 5 : distance >= 0x2000 ? 4 : 3, distance);
    bitw::put_old_copy(s.w, s.codes, 1, 0, 0);
    s.model_copy(length, distance);
    EXPECT_EQ(h.unpack(s.finish(), int32_t(s.expected.size())), s.expected) << distance;
    EXPECT_EQ(unpack_state.last_length, length) << distance;
    EXPECT_EQ(unpack_state.last_distance, distance);
  }
}

TEST(LzDecoder, OldDistancesPickTheKthMostRecent) {
  for (int k = 1; k <= 4; ++k) {
    Harness h;
    LzStream s;
    s.literals(random_bytes(40, 9));
    for (uint32_t d = 5; d <= 9; ++d) s.copy(3, d);  // long enough to need a new copy
    bitw::put_old_copy(s.w, s.codes, k, 8, 1);       // repeat slot 8: 8 + 2 + 1
    uint32_t want = 10 - uint32_t(k);                // 257: 9, 258: 8, 259: 7, 260: 6
    s.model_copy(11, want);
    EXPECT_EQ(h.unpack(s.finish(), int32_t(s.expected.size())), s.expected) << k;
    EXPECT_EQ(unpack_state.last_distance, want);
    // The copy enters the ring in turn: the sixth copy goes to slot 1.
    EXPECT_EQ(unpack_state.old_distance_index, 6u);
    EXPECT_EQ(unpack_state.old_distances[1], want);
    EXPECT_EQ(unpack_state.old_distances[0], 9u);
  }
}

TEST(LzDecoder, CopiesBeforeAnyDistanceUseZero) {
  Harness h;
  LzStream s;
  // Symbol 256 first: length 0 at distance 0, nothing produced, the ring
  // gets a 0.
  s.w.put_symbol(s.codes.main, 256);
  s.literals(arctest::bytes_of("abc"));
  // An old distance from the reset ring: distance 0 copies each window byte
  // onto itself (zeros of the fresh window) and still counts.
  bitw::put_old_copy(s.w, s.codes, 2, 0, 0);
  s.model_copy(2, 0);
  s.literal('d');
  const auto& out = h.unpack(s.finish(), 6);
  EXPECT_EQ(out, (std::vector<uint8_t>{'a', 'b', 'c', 0, 0, 'd'}));
  EXPECT_EQ(unpack_state.old_distance_index, 2u);
  EXPECT_EQ(unpack_state.old_distances[0], 0u);
  EXPECT_EQ(unpack_state.old_distances[1], 0u);
  EXPECT_EQ(unpacked_left, -1);
}

TEST(LzDecoder, RepeatSymbolRepeatsTheLastCopy) {
  Harness h;
  LzStream s;
  s.literals(random_bytes(100, 4));
  s.copy(20, 37);
  s.w.put_symbol(s.codes.main, 256);
  s.model_copy(20, 37);
  bitw::put_short_copy(s.w, s.codes, 2, 7);  // distance 16
  s.model_copy(2, 16);
  s.w.put_symbol(s.codes.main, 256);
  s.model_copy(2, 16);
  EXPECT_EQ(h.unpack(s.finish(), int32_t(s.expected.size())), s.expected);
  EXPECT_EQ(unpack_state.old_distance_index, 4u);
}

TEST(LzDecoder, CopyPastTheSizeIsMadeInFullAndWritten) {
  Harness h;
  LzStream s;
  s.literals(arctest::bytes_of("xy"));
  s.copy(30, 2);
  // The entry claims 10 bytes; the copy runs to 32 and all of them go out.
  const auto& out = h.unpack(s.finish(), 10);
  EXPECT_EQ(out, s.expected);
  EXPECT_EQ(out.size(), 32u);
  EXPECT_EQ(unpacked_left, 9 - 32);
}

TEST(LzDecoder, LongEntryWrapsTheWindowAndFlushesInLargePieces) {
  Harness h;
  LzStream s;
  std::mt19937 rng(99);
  s.literals(random_bytes(3000, 1));
  // 2.5 MiB of copies at any distance, with a literal now and then.
  while (s.expected.size() < 2600000) {
    if (rng() % 8 == 0) s.literal(uint8_t(rng()));
    uint32_t distance = 1 + rng() % uint32_t(std::min<size_t>(s.expected.size(), kWindowSize));
    uint32_t bonus = (distance >= 0x2000) + (distance >= 0x40000);
    s.copy(3 + bonus + rng() % 256, distance);
  }
  const auto& out = h.unpack(s.finish(), int32_t(s.expected.size()));
  ASSERT_EQ(out.size(), s.expected.size());
  EXPECT_TRUE(out == s.expected);
  EXPECT_TRUE(h.checksum_matches());

  // The first piece is nearly the whole window; after that each flush of the
  // loop wraps the window end and goes out as two calls that together are
  // at least the window less 269 bytes. The last flush takes the rest.
  const auto& w = h.out.writes;
  ASSERT_GE(w.size(), 4u);
  EXPECT_GE(w[0], 1048307);
  EXPECT_LE(w[0], 1048576);
  EXPECT_EQ(w[0] + w[1], 1048576);  // the second call ends exactly at the window end
  EXPECT_GE(w[1] + w[2], 1048307);
  int64_t total = 0;
  for (int32_t n : w) total += n;
  EXPECT_EQ(total, int64_t(s.expected.size()));
}

TEST(LzDecoder, ProgressAtEveryMultipleOf4096Left) {
  struct Calls {
    std::vector<std::pair<int32_t, int32_t>> v;
  } calls;
  Harness h;
  OnProgress.object = &calls;
  OnProgress.code = [](void* o, int32_t done, int32_t total) {
    static_cast<Calls*>(o)->v.push_back({done, total});
  };
  LzStream s;
  s.literals(random_bytes(10000, 5));
  h.unpack(s.finish(), 10000);
  // Counted from 9999 (bytes left minus one): reports at 8192, 4096 and 0.
  std::vector<std::pair<int32_t, int32_t>> want{{1808, 10000}, {5904, 10000}, {10000, 10000}};
  EXPECT_EQ(calls.v, want);

  // A copy that jumps over a multiple makes no report for it.
  calls.v.clear();
  LzStream c;
  c.literals(random_bytes(199, 6));  // left: 4299 -> 4100
  c.copy(10, 5);                     // 4100 -> 4090, past 4096
  c.literals(random_bytes(4091, 7));
  EXPECT_EQ(h.unpack(c.finish(), 4300), c.expected);
  EXPECT_EQ(calls.v, (std::vector<std::pair<int32_t, int32_t>>{{4300, 4300}}));
}

TEST(OutputPath, TestOnlySkipChecksumAndOldFormatChecksum) {
  Harness h;
  LzStream s;
  s.literals(random_bytes(5000, 6));

  h.begin_entry(s.finish(), 5000);
  test_only = true;
  unpack_entry(h.window.data(), false);
  EXPECT_TRUE(h.out.writes.empty());
  EXPECT_EQ(unpacked_write_total, 5000u);
  EXPECT_EQ(~entry_checksum, arctest::crc32(s.expected));

  h.begin_entry(s.finish(), 5000);
  skip_checksum = true;
  unpack_entry(h.window.data(), false);
  EXPECT_EQ(h.out.bytes, s.expected);
  EXPECT_EQ(entry_checksum, 0xFFFFFFFFu);

  arc_format = 1;
  h.begin_entry(s.finish(), 5000);
  unpack_entry(h.window.data(), false);
  EXPECT_EQ(entry_checksum, update_checksum(0, s.expected.data(), s.expected.size(), 1));
  EXPECT_EQ(entry_checksum >> 16, 0u);
}

TEST(OutputPath, ShortWritesCountOnlyWhatTheStreamTook) {
  Harness h;
  h.out.accept_limit = 3;
  test_only = false;
  skip_checksum = false;
  uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  h.begin_entry({}, 0);
  EXPECT_EQ(write_unpacked(data, 10), 3);
  EXPECT_EQ(unpacked_write_total, 3u);
  EXPECT_EQ(~entry_checksum, arctest::crc32(data, 3));
  EXPECT_EQ(write_unpacked(data, -5), 0);  // nothing is read from a negative count
  EXPECT_EQ(unpacked_write_total, 3u);
}

TEST(StoredEntry, CopiedInChunksOf32512) {
  Harness h;
  std::vector<uint8_t> data = random_bytes(100000, 8);
  h.begin_entry(data, 100000);
  copy_stored_entry();
  EXPECT_EQ(h.out.bytes, data);
  EXPECT_EQ(h.out.writes, (std::vector<int32_t>{32512, 32512, 32512, 2464}));
  ASSERT_GE(h.in.requests.size(), 4u);
  EXPECT_EQ(h.in.requests[0], 32512);
  EXPECT_EQ(h.in.requests[3], 2464);  // cut to the packed bytes left
  EXPECT_EQ(unpacked_left, 0);
  EXPECT_EQ(packed_left, 0);
  EXPECT_TRUE(h.checksum_matches());
}

TEST(StoredEntry, BytesPastTheSizeAreReadButNotWritten) {
  Harness h;
  std::vector<uint8_t> data = random_bytes(80000, 10);
  h.begin_entry(data, 40000);
  copy_stored_entry();
  EXPECT_EQ(h.out.bytes, std::vector<uint8_t>(data.begin(), data.begin() + 40000));
  EXPECT_EQ(packed_left, 0);
  EXPECT_EQ(packed_read_total, 80000u);
  EXPECT_EQ(unpacked_left, 0);

  // A size that does not fit the signed count writes nothing at all.
  h.begin_entry(data, int32_t(0x80000000u));
  copy_stored_entry();
  EXPECT_TRUE(h.out.bytes.empty());
  EXPECT_EQ(packed_left, 0);
}

// The window is not cleared for a fresh entry: what earlier entries (or the
// allocation) left in it must still read as zeros, on every path a copy can
// take there, and bytes a stored entry put there stay visible to a solid
// entry after it.
TEST(LzDecoder, WindowLeftoversReadAsZerosInAFreshEntry) {
  for (bool step_by_step : {false, true}) {
    Harness h;
    unpack_step_by_step = step_by_step;
    LzStream first;
    first.literals(random_bytes(300000, 21));
    ASSERT_EQ(h.unpack(first.finish(), 300000), first.expected);

    // Sources in the stretch the first entry wrote, in the untouched rest,
    // overlapping the current position and at distance 0 (the reset ring).
    LzStream fresh;
    fresh.literals(arctest::bytes_of("xyz"));
    fresh.copy(40, kWindowSize - 1000);
    fresh.copy(250, kWindowSize - 200000);
    fresh.copy(10, 1000);
    fresh.copy(20, 700000);
    bitw::put_old_copy(fresh.w, fresh.codes, 1, 0, 0);  // at 700000 again: 2 + 3 bytes
    fresh.model_copy(5, 700000);
    fresh.literals(random_bytes(50, 22));
    fresh.copy(60, 3);
    const auto& out = h.unpack(fresh.finish(), int32_t(fresh.expected.size()));
    EXPECT_EQ(out, fresh.expected) << step_by_step;
    EXPECT_TRUE(h.checksum_matches());

    // A stored entry fills the window's start behind the decoder's back;
    // a solid entry copying from there sees those bytes, also where the
    // output has not reached yet.
    LzStream short_entry;
    short_entry.literals(random_bytes(400, 24));
    h.unpack(short_entry.finish(), 400);
    std::vector<uint8_t> stored = random_bytes(5000, 23);
    h.begin_entry(stored, 5000);
    copy_stored_entry();
    LzStream solid(false);
    solid.copy(100, kWindowSize - 4000);  // reads from 400 + 4000 on
    const auto& more = h.unpack(solid.finish(), 100, true);
    ASSERT_EQ(more.size(), 100u);
    EXPECT_TRUE(std::equal(more.begin(), more.end(), stored.begin() + 4400)) << step_by_step;
    unpack_step_by_step = false;
  }
}

TEST(Solid, EntriesContinueWindowDistancesAndTrailingTables) {
  Harness h;
  // Entry 1: flat codes, ends by announcing new tables for entry 2.
  LzStream a;
  a.literals(random_bytes(5000, 12));
  a.copy(40, 1234);
  size_t a_size = a.expected.size();
  a.w.put_symbol(a.codes.main, 269);
  std::mt19937 rng(13);
  std::vector<uint8_t> m = random_complete_lengths(rng, 298, 298);
  std::vector<uint8_t> d = random_complete_lengths(rng, 48, 48);
  std::vector<uint8_t> r = random_complete_lengths(rng, 28, 28);
  bitw::LzCodes next{bitw::Code(m), bitw::Code(d), bitw::Code(r)};
  bitw::write_lz_table_block(a.w, next.lengths(), a.codes.lengths(), true);
  EXPECT_EQ(h.unpack(a.finish(), int32_t(a_size)), a.expected);
  EXPECT_TRUE(h.checksum_matches());
  std::vector<uint8_t> now(unpack_state.previous_lengths, unpack_state.previous_lengths + 374);
  EXPECT_EQ(now, next.lengths()) << "the trailing table block was read";

  // Entry 2, solid: no table block; the new codes are in force, copies reach
  // into entry 1's bytes, and the old-distance ring carries on.
  LzStream b(false);
  b.codes = next;
  b.history = a.expected;
  b.literals(arctest::bytes_of("solid"));
  b.copy(100, 4000);
  bitw::put_old_copy(b.w, b.codes, 2, 0, 0);  // the second most recent: entry 1's 1234
  b.model_copy(3, 1234);
  const auto& out = h.unpack(b.finish(), int32_t(b.expected.size()), true);
  EXPECT_EQ(out, b.expected);
  EXPECT_TRUE(h.checksum_matches());
  EXPECT_EQ(unpack_state.write_pos, unpack_state.window_pos);
}

TEST(Solid, NonSolidEntryStartsFromAZeroedWindow) {
  Harness h;
  LzStream a;
  a.literals(random_bytes(3000, 14));
  h.unpack(a.finish(), 3000);
  LzStream b;
  b.literal(7);
  b.copy(50, 2000);  // before the entry start: zeros, not entry 1's bytes
  EXPECT_EQ(h.unpack(b.finish(), 51), b.expected);
  EXPECT_EQ(unpack_state.old_distance_index, 1u);
}

TEST(Audio, TwoChannelBlockInterleavesAndFeedsLzCopies) {
  Harness h;
  bitw::BitWriter w;
  bitw::Code flat = bitw::Code::uniform(257, 9);
  bitw::write_audio_table_block(w, {flat, flat}, {});
  w.put_symbol(flat, 0x10);  // channel 0: 0 - 0x10 = 0xF0
  w.put_symbol(flat, 0x05);  // channel 1: 0 - 5 = 0xFB
  w.put_symbol(flat, 0x00);  // channel 0: predicted 0xF0
  w.put_symbol(flat, 256);   // channel 1's table announces a table block
  bitw::LzCodes codes = bitw::LzCodes::flat();
  bitw::write_lz_table_block(w, codes.lengths(), {});
  bitw::put_new_copy(w, codes, 0, 0, 2, 0);  // length 3 at distance 3
  const auto& out = h.unpack(w.finish(4), 6);
  EXPECT_EQ(out, (std::vector<uint8_t>{0xF0, 0xFB, 0xF0, 0xF0, 0xFB, 0xF0}));
  // Channel 1 weighed its delta against channel 0's (-16), and kept its own
  // count; the LZ block left current_channel where the audio stopped.
  EXPECT_EQ(unpack_state.channels[1].error_sum[9], 16u + 40u);
  EXPECT_EQ(unpack_state.channels[0].byte_count, 2u);
  EXPECT_EQ(unpack_state.channels[1].byte_count, 1u);
  EXPECT_EQ(unpack_state.current_channel, 1u);
  EXPECT_TRUE(h.checksum_matches());
}

TEST(Audio, SolidEntryReceivesTrailingAudioTables) {
  Harness h;
  bitw::BitWriter w;
  bitw::Code flat = bitw::Code::uniform(257, 9);
  bitw::write_audio_table_block(w, {flat}, {});
  for (int i = 0; i < 40; ++i) w.put_symbol(flat, uint32_t(i));
  w.put_symbol(flat, 256);
  // The announced block: three channels, 8-bit codes on all but 256.
  std::vector<uint8_t> eight(257, 8);
  eight[256] = 9;
  eight[255] = 9;
  bitw::Code c8(eight);
  std::vector<uint8_t> prev(flat.length);
  bitw::write_audio_table_block(w, {c8, c8, c8}, prev);
  const auto& first = h.unpack(w.finish(4), 40);
  EXPECT_EQ(first.size(), 40u);
  EXPECT_EQ(unpack_state.channel_count, 3u);

  bitw::BitWriter w2;
  for (int i = 0; i < 6; ++i) w2.put_symbol(c8, 0);
  const auto& second = h.unpack(w2.finish(4), 6, true);
  EXPECT_EQ(second.size(), 6u);
  EXPECT_EQ(unpack_state.channels[0].byte_count, 40u + 2u);
  EXPECT_EQ(unpack_state.channels[2].byte_count, 2u);
}

// Random streams of literals, copies of every kind and table blocks with
// fresh codes, against the model.
TEST(LzDecoder, RandomStreamsMatchTheModel) {
  static const uint32_t kShortBase[8] = {0, 4, 8, 16, 32, 64, 128, 192};
  static const int kShortBits[8] = {2, 2, 3, 4, 5, 6, 6, 6};
  std::mt19937 rng(2026);
  for (int round = 0; round < 12; ++round) {
    Harness h;
    LzStream s;
    size_t target = 1000 + rng() % 300000;
    int tables = 0;
    while (s.expected.size() < target) {
      uint32_t what = rng() % 1000;
      if (what < 450) {
        s.literal(uint8_t(rng() % 7 == 0 ? rng() : 'a' + rng() % 4));
      } else if (what < 800) {
        uint32_t reach = uint32_t(std::min<size_t>(s.expected.size() + 100, kWindowSize));
        uint32_t distance = 1 + (rng() % 2 ? rng() % 64 : rng() % reach);
        uint32_t bonus = (distance >= 0x2000) + (distance >= 0x40000);
        s.copy(3 + bonus + rng() % (rng() % 4 ? 10 : 256), distance);
      } else if (what < 880) {
        int slot = int(rng() % 8);
        uint32_t extra = rng() % (1u << kShortBits[slot]);
        bitw::put_short_copy(s.w, s.codes, slot, extra);
        s.model_copy(2, kShortBase[slot] + 1 + extra);
      } else if (what < 960) {
        int k = 1 + int(rng() % 4);
        int slot = int(rng() % 28);
        uint32_t extra = rng() % (1u << length_bits(slot));
        uint32_t distance = s.recent(k);
        uint32_t length = length_base(slot) + 2 + extra + (distance >= 0x40000) + (distance >= 0x2000) +
                          (distance >= 0x101);
        bitw::put_old_copy(s.w, s.codes, k, slot, extra);
        s.model_copy(length, distance);
      } else if (what < 990) {
        s.w.put_symbol(s.codes.main, 256);
        s.model_copy(s.last_length, s.recent(1));
      } else {
        // New codes for every symbol, as changes or from zero.
        ++tables;
        bitw::LzCodes next{bitw::Code(random_complete_lengths(rng, 298, 298)),
                           bitw::Code(random_complete_lengths(rng, 48, 48)),
                           bitw::Code(random_complete_lengths(rng, 28, 28))};
        s.w.put_symbol(s.codes.main, 269);
        std::vector<uint8_t> prev = rng() % 2 ? s.codes.lengths() : std::vector<uint8_t>();
        bitw::write_lz_table_block(s.w, next.lengths(), prev, rng() % 2 == 0);
        s.codes = next;
      }
    }
    const auto& out = h.unpack(s.finish(), int32_t(s.expected.size()));
    ASSERT_EQ(out.size(), s.expected.size()) << round;
    EXPECT_TRUE(out == s.expected) << "round " << round << ", " << tables << " table blocks";
    EXPECT_TRUE(h.checksum_matches());
  }
}

// Copies wherever they fall in the window: near its end, wrapping, reading
// ahead of the writes, overlapping from behind, at distance 0 and at the
// whole window; against the byte-at-a-time definition.
TEST(LzDecoder, CopiesAnywhereInTheWindowMatchByteByByte) {
  Harness h;
  std::mt19937 rng(404);
  std::vector<uint8_t> window(kWindowSize);
  for (auto& b : window) b = uint8_t(rng());
  unpack_state.window = h.window.data();
  unpack_state.window_fill = kWindowSize;  // every byte written: none reads as zero
  const uint32_t positions[] = {0, 1, 100, 5000, kWindowSize - 300, kWindowSize - 260, kWindowSize - 5,
                                kWindowSize - 1};
  const uint32_t distances[] = {0, 1, 2, 3, 7, 8, 9, 12, 15, 16, 17, 31, 63, 64, 100, 259, 260, 261, 4096, 1000000,
                                kWindowSize - 261, kWindowSize - 260, kWindowSize - 2, kWindowSize - 1,
                                kWindowSize};
  const uint32_t lengths[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 12, 16, 17, 31, 33, 64, 130, 257, 260};
  for (uint32_t pos : positions)
    for (uint32_t d : distances)
      for (uint32_t len : lengths) {
        std::vector<uint8_t> want = window;
        uint32_t dst = pos, src = (pos - d) & (kWindowSize - 1);
        for (uint32_t k = 0; k < len; ++k) {
          want[dst] = want[src];
          dst = (dst + 1) & (kWindowSize - 1);
          src = (src + 1) & (kWindowSize - 1);
        }
        // Only the stretch around the copy can change; compare that.
        std::memcpy(h.window.data(), window.data(), kWindowSize);
        unpack_state.window_pos = pos;
        copy_match(len, d);
        ASSERT_EQ(unpack_state.window_pos, dst);
        for (uint32_t k = 0; k < 600; ++k) {
          uint32_t at = (pos - 300 + k) & (kWindowSize - 1);
          ASSERT_EQ(h.window[at], want[at]) << pos << " " << d << " " << len << " at " << at;
        }
      }
}

// The running CRC-32 over every short length at every alignment, and over
// long runs split anywhere, against an independent bitwise CRC.
TEST(OutputPath, Crc32AtEveryAlignmentAndSplit) {
  init_crc_table();
  std::vector<uint8_t> data = random_bytes(4096 + 16, 21);
  for (size_t align = 0; align < 8; ++align)
    for (size_t len = 0; len <= 40; ++len)
      ASSERT_EQ(~update_checksum(0xFFFFFFFFu, data.data() + align, len, 2),
                arctest::crc32(data.data() + align, len))
          << align << " " << len;
  std::mt19937 rng(22);
  for (int round = 0; round < 50; ++round) {
    size_t a = 1 + rng() % 4000, b = rng() % 16;
    uint32_t c = update_checksum(0xFFFFFFFFu, data.data() + b, a, 2);
    c = update_checksum(c, data.data() + b + a, 4096 - a, 2);
    ASSERT_EQ(~c, arctest::crc32(data.data() + b, 4096));
  }
}

// The decoding loop defers the error counters of the predictor to each
// channel's adaptation; its bytes and final channel states must equal the
// byte-at-a-time predictor's over many cycles, channel counts changing
// mid-stream, and an entry that ends mid-cycle.
TEST(Audio, LoopMatchesTheSingleStepPredictor) {
  Harness h;
  std::mt19937 rng(515);
  bitw::BitWriter w;
  bitw::Code flat = bitw::Code::uniform(257, 9);
  std::vector<std::pair<uint32_t, uint32_t>> steps;  // channel count, delta
  std::vector<uint8_t> prev;
  for (int block = 0; block < 6; ++block) {
    uint32_t channels = 1 + rng() % 4;
    if (block > 0) w.put_symbol(flat, 256);
    bitw::write_audio_table_block(w, std::vector<bitw::Code>(channels, flat), prev);
    prev.assign(257 * channels, 9);
    int bytes = 200 + int(rng() % 900);
    for (int i = 0; i < bytes; ++i) {
      // Smooth signals with now and then a jump, so the weights move.
      uint32_t delta = rng() % 8 == 0 ? rng() % 256 : (rng() % 9 + 252) & 0xFF;
      w.put_symbol(flat, delta);
      steps.push_back({channels, delta});
    }
  }
  const auto& out = h.unpack(w.finish(4), int32_t(steps.size()));
  TUnpackState decoded = unpack_state;

  reset_unpack_state();
  std::vector<uint8_t> want;
  for (auto [channels, delta] : steps) {
    if (unpack_state.channel_count != channels) {
      unpack_state.channel_count = channels;
      if (unpack_state.current_channel >= channels) unpack_state.current_channel = 0;
    }
    want.push_back(decode_audio_byte(delta));
    if (++unpack_state.current_channel == channels) unpack_state.current_channel = 0;
  }
  EXPECT_EQ(out, want);
  int moved = 0;
  for (uint32_t c = 0; c < kMaxChannels; ++c) {
    const AudioChannelState& a = decoded.channels[c];
    const AudioChannelState& b = unpack_state.channels[c];
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "channel " << c;
    moved += a.coef1 != 0 || a.coef2 != 0 || a.coef3 != 0 || a.coef4 != 0 || a.coef5 != 0;
  }
  EXPECT_GT(moved, 0) << "the weights never adapted; the comparison proves little";
}
