// What the encoder puts in a stream: every symbol kind and both kinds of
// table block, audio blocks of 1 to 4 channels and mixed entries, and codes
// that need the full 15 bits; each stream is checked by decoding it.

#include <gtest/gtest.h>

#include <numeric>

#include "tests/pack/pack_test_util.h"

using namespace packtest;

namespace {

// Packs one entry from a fresh state and decodes it with both decoders.
Bytes pack_and_check(const Bytes& data, int level, const char* what) {
  TPackState state;
  pack_state_reset(state);
  Bytes packed;
  pack_entry(state, data.data(), data.size(), false, level, packed);
  RefDecoder d;
  Bytes back;
  ref_unpack(d, packed.data(), packed.size(), static_cast<uint32_t>(data.size()), false, back);
  EXPECT_TRUE(back == data) << what << " level " << level << " (reference decoder)";
  std::vector<TPackFile> files = {{"entry", data, 0}};
  Bytes archive;
  pack_archive(files, level, false, archive);
  std::map<std::string, Bytes> out;
  EXPECT_EQ(driver_extract(archive, out), 0) << what;
  EXPECT_TRUE(out["entry"] == data) << what << " level " << level << " (driver)";
  return packed;
}

// Text with repeats at a few recurring distances (old-distance copies and
// repeats of the last copy), byte pairs close by (short copies), far
// repeats, and a change of statistics half-way (a second table block).
Bytes mixed_lz_data() {
  Bytes d = text_data(40000, 21);
  Rng r(22);
  Bytes rec = binary_data(3000, 23);
  for (int i = 0; i < 400; i++) {
    // The same record again and again, with one changed byte each time: a
    // copy, a literal, then a copy at the distance before.
    size_t at = d.size();
    d.insert(d.end(), rec.begin(), rec.begin() + 40);
    d[at + 10 + r.below(20)] ^= 0x5A;
    d.push_back(static_cast<uint8_t>(r.next()));
    d.push_back(d[d.size() - 3]);
    d.push_back(d[d.size() - 3]);
    d.push_back(static_cast<uint8_t>(r.next()));
  }
  for (int i = 0; i < 2000; i++) {  // two-byte echoes
    d.push_back(static_cast<uint8_t>('A' + r.below(26)));
    d.push_back(static_cast<uint8_t>('0' + r.below(10)));
    d.push_back(static_cast<uint8_t>(r.next()));
    if (i > 4) {
      size_t back = 3 * (1 + r.below(4)) + 0;
      d.push_back(d[d.size() - back]);
      d.push_back(d[d.size() - back]);
    }
  }
  Bytes distant = text_data(20000, 24);
  d.insert(d.end(), distant.begin(), distant.end());
  Bytes fill = noise_data(300000, 25);
  for (auto& b : fill) b &= 0x3F;
  d.insert(d.end(), fill.begin(), fill.end());
  d.insert(d.end(), distant.begin(), distant.end());  // at a distance above 0x40000
  Bytes tail = binary_data(60000, 26);
  d.insert(d.end(), tail.begin(), tail.end());
  return d;
}

TEST(PackCoding, EverySymbolKindAndBothTableBlockKinds) {
  Bytes data = mixed_lz_data();
  for (int level : {3, 5}) {
    pack_stats = {};
    pack_and_check(data, level, "mixed");
    const TPackStats& s = pack_stats;
    EXPECT_GT(s.literals, 0u) << level;
    EXPECT_GT(s.repeat_last, 0u) << level;
    for (int k = 0; k < 4; k++) EXPECT_GT(s.old_distance[k], 0u) << "symbol " << 257 + k << " level " << level;
    EXPECT_GT(s.short_copies, 0u) << level;
    EXPECT_GT(s.new_copies, 0u) << level;
    EXPECT_GT(s.far_copies, 0u) << level;
    EXPECT_GT(s.table_blocks, 1u) << level;
    EXPECT_GT(s.table_keep, 0u) << "a block coded as changes, level " << level;
    EXPECT_LT(s.table_keep, s.table_blocks) << "a block coded from zeros, level " << level;
    EXPECT_GT(s.cl_runs[0] + s.cl_runs[1] + s.cl_runs[2], 0u) << level;
    EXPECT_GT(s.cl_runs[1], 0u) << level;
    EXPECT_GT(s.cl_runs[2], 0u) << level;
  }
}

TEST(PackCoding, AudioBlocksOfOneToFourChannels) {
  for (int channels = 1; channels <= 4; channels++) {
    Bytes data = audio_data(120000 / channels, channels, 1, 30 + channels);
    pack_stats = {};
    Bytes packed = pack_and_check(data, 3, "audio");
    EXPECT_GT(pack_stats.audio_blocks[channels], 0u) << channels << " channels";
    EXPECT_GT(pack_stats.audio_bytes, data.size() / 2) << channels;
    EXPECT_LT(packed.size(), data.size() / 2) << channels;
  }
  // 16-bit stereo interleaves four byte streams.
  Bytes stereo16 = audio_data(40000, 2, 2, 35);
  pack_stats = {};
  pack_and_check(stereo16, 5, "16-bit stereo");
  EXPECT_GT(pack_stats.audio_blocks[4] + pack_stats.audio_blocks[2], 0u);
}

TEST(PackCoding, EntrySwitchingBetweenAudioAndLz) {
  // Text, sound, text again, sound with another channel count: the entry
  // switches block kinds (audio symbol 256 and LZ symbol 269 both announce
  // table blocks), and the later text refers back across the sound.
  Bytes t = text_data(70000, 40);
  Bytes a1 = audio_data(70000, 1, 1, 41);
  Bytes a2 = audio_data(35000, 2, 1, 42);
  Bytes data = t;
  data.insert(data.end(), a1.begin(), a1.end());
  data.insert(data.end(), t.begin(), t.begin() + 30000);
  Bytes t2 = text_data(40000, 43);
  data.insert(data.end(), t2.begin(), t2.end());
  data.insert(data.end(), a2.begin(), a2.end());
  for (int level : {1, 3, 5}) {
    pack_stats = {};
    pack_and_check(data, level, "audio and text");
    EXPECT_GE(pack_stats.lz_blocks, 2u) << level;
    EXPECT_GT(pack_stats.audio_blocks[1], 0u) << level;
    EXPECT_GT(pack_stats.audio_blocks[2], 0u) << level;
  }
}

TEST(PackCoding, SkewedStatisticsNeedFifteenBitCodes) {
  // Byte frequencies that grow like Fibonacci numbers: an unlimited Huffman
  // code would be far deeper than 15 bits.
  uint32_t freq[40];
  freq[0] = freq[1] = 1;
  for (int i = 2; i < 40; i++) freq[i] = freq[i - 1] + freq[i - 2];
  uint8_t len[40];
  pack_huffman_lengths(freq, 40, 15, len);
  double kraft = 0;
  int longest = 0;
  for (int i = 0; i < 40; i++) {
    ASSERT_GE(len[i], 1);
    ASSERT_LE(len[i], 15);
    kraft += std::ldexp(1.0, -len[i]);
    longest = std::max<int>(longest, len[i]);
  }
  EXPECT_LE(kraft, 1.0);
  EXPECT_EQ(longest, 15);

  // A stream with such a literal alphabet (scaled to fit in memory) decodes,
  // including the codes at the very end of the code space.
  Bytes data;
  Rng r(50);
  std::vector<uint8_t> pool;
  uint32_t f[24];
  f[0] = f[1] = 1;
  for (int i = 2; i < 24; i++) f[i] = f[i - 1] + f[i - 2];
  for (int i = 0; i < 24; i++) pool.insert(pool.end(), f[i], static_cast<uint8_t>(i * 7));
  for (size_t i = 0; i < 200000; i++) data.push_back(pool[r.below(static_cast<uint32_t>(pool.size()))]);
  for (int i = 0; i < 24; i++) data.push_back(static_cast<uint8_t>(i * 7));  // the rarest ones too
  pack_and_check(data, 3, "skewed");
  pack_and_check(data, 5, "skewed");

  // One used symbol gets a one-bit code; none gets nothing.
  uint32_t one[5] = {0, 0, 7, 0, 0};
  pack_huffman_lengths(one, 5, 15, len);
  EXPECT_EQ(len[2], 1);
  EXPECT_EQ(len[0] + len[1] + len[3] + len[4], 0);
}

TEST(PackCoding, TinyAndDegenerateEntries) {
  // Lengths at which the last copy must stop exactly at the end, runs of one
  // byte (copies at distance 1 longer than the distance), all zeros.
  for (size_t n : {1u, 2u, 3u, 4u, 5u, 7u, 258u, 259u, 300u, 4099u}) {
    Bytes run(n, 'a');
    pack_and_check(run, 3, "run");
    pack_and_check(run, 5, "run");
    Bytes mixed = text_data(n, n);
    pack_and_check(mixed, 5, "short text");
  }
  Bytes zeros(700000, 0);
  Bytes packed = pack_and_check(zeros, 5, "zeros");
  EXPECT_LT(packed.size(), 2000u);
}

TEST(PackCoding, SolidEntriesCarryTablesAndAudioState) {
  // Solid entries start with the previous entry's tables and predictor
  // state; each entry announces its own first table block.
  std::vector<TPackFile> files;
  files.push_back({"a.wav", audio_data(30000, 2, 1, 60), 0});
  files.push_back({"b.wav", audio_data(30000, 2, 1, 61), 0});
  files.push_back({"c.txt", text_data(30000, 62), 0});
  files.push_back({"d.wav", audio_data(20000, 1, 1, 63), 0});
  files.push_back({"e.txt", text_data(30000, 62), 0});
  for (int level : {2, 4}) {
    Bytes archive;
    pack_archive(files, level, true, archive);
    std::vector<Bytes> ref;
    ASSERT_TRUE(ref_extract(archive, ref)) << level;
    std::map<std::string, Bytes> out;
    EXPECT_EQ(driver_extract(archive, out), 0) << level;
    for (auto& f : files) EXPECT_TRUE(out[f.name] == f.data) << f.name << " level " << level;
    bool solid_flag = false;
    std::vector<Entry> entries;
    ASSERT_TRUE(read_archive(archive, 0, solid_flag, entries));
    for (size_t i = 1; i < entries.size(); i++) EXPECT_EQ(entries[i].h.flags & LHD_SOLID, LHD_SOLID) << i;
    // The repeated text costs almost nothing the second time.
    EXPECT_LT(entries[4].packed.size() * 20, entries[2].packed.size()) << level;
  }
}

}  // namespace
