// The decoding loops run most steps in stretches between the per-step checks,
// and the multimedia loop keeps the predictor's error terms aside until each
// channel adapts. Here whole entries are decoded that way and once more one
// step at a time with the counters updated at once (unpack_step_by_step), and
// everything observable must agree: bytes, write calls, read requests,
// progress reports, checksum, and the decoder state at the end.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/unpack/unpack_harness.h"

using namespace unpacktest;

namespace {

// Smooth random deltas with now and then a jump, so that the weights move.
uint32_t random_delta(std::mt19937& rng) {
  return rng() % 8 == 0 ? rng() % 256 : (rng() % 9 + 252) & 0xFF;
}

// A packed stream of multimedia stretches with random codes (1 to 15 bits)
// and channel counts, and now and then an LZ stretch between them.
struct MixedStream {
  bitw::BitWriter w;
  uint32_t produced = 0;
  enum { none, audio, lz } mode = none;
  std::vector<bitw::Code> codes;
  uint32_t channel = 0;  // the channel that takes the next symbol
  bitw::LzCodes lz_codes = bitw::LzCodes::flat();
  // The copy state the decoder keeps, to know how long its copies are.
  uint32_t ring[4] = {0, 0, 0, 0}, ring_index = 0, last_length = 0;

  void note_copy(uint32_t length, uint32_t distance) {
    ring[ring_index++ & 3] = distance;
    last_length = length;
    produced += length;
  }

  void leave_mode() {
    if (mode == audio) w.put_symbol(codes[channel], 256);
    if (mode == lz) w.put_symbol(lz_codes.main, 269);
  }
  void add_audio(std::mt19937& rng, uint32_t channels, uint32_t bytes) {
    leave_mode();
    codes.clear();
    for (uint32_t c = 0; c < channels; ++c)
      codes.emplace_back(random_complete_lengths(rng, 257, 257));
    bitw::write_audio_table_block(w, codes, {});
    // The decoder keeps its channel across blocks unless the count shrank.
    if (channel >= channels) channel = 0;
    mode = audio;
    for (uint32_t i = 0; i < bytes; ++i) {
      w.put_symbol(codes[channel], random_delta(rng));
      if (++channel == channels) channel = 0;
    }
    produced += bytes;
  }
  // Literals (often in runs), copies of every kind: short ones, new ones
  // of every length slot (up to the longest step, 260 bytes), at an old
  // distance, and the repeat of the last. With random_codes, the block's
  // codes are random complete codes of 1 to 15 bits instead of flat ones.
  void add_lz(std::mt19937& rng, uint32_t steps, bool random_codes = false) {
    leave_mode();
    if (random_codes)
      lz_codes = bitw::LzCodes(bitw::Code(random_complete_lengths(rng, 298, 298)),
                               bitw::Code(random_complete_lengths(rng, 48, 48)),
                               bitw::Code(random_complete_lengths(rng, 28, 28)));
    bitw::write_lz_table_block(w, lz_codes.lengths(), {});
    mode = lz;
    for (uint32_t i = 0; i < steps; ++i) {
      uint32_t kind = rng() % 24;
      if (kind < 12) {
        uint32_t run = kind < 4 ? 1 + rng() % 12 : 1;
        for (uint32_t k = 0; k < run; ++k) bitw::put_literal(w, lz_codes, uint8_t(rng()));
        produced += run;
      } else if (kind < 15) {
        int slot = int(rng() % 8);
        uint32_t extra = rng() & ((1u << (slot < 2 ? 2 : slot < 6 ? slot : 6)) - 1);
        static const uint32_t kShortBase[8] = {0, 4, 8, 16, 32, 64, 128, 192};
        bitw::put_short_copy(w, lz_codes, slot, extra);
        note_copy(2, kShortBase[slot] + 1 + extra);
      } else if (kind < 19) {
        int ls = int(rng() % 28), ds = int(rng() % 48);
        uint32_t lextra = rng() & ((1u << length_bits(ls)) - 1);
        uint32_t dextra = rng() & ((1u << distance_bits(ds)) - 1);
        uint32_t distance = distance_base(ds) + 1 + dextra;
        bitw::put_new_copy(w, lz_codes, ls, lextra, ds, dextra);
        note_copy(length_base(ls) + 3 + lextra + (distance >= 0x2000) + (distance >= 0x40000), distance);
      } else if (kind < 23) {
        int k = 1 + int(rng() % 4), ls = int(rng() % 28);
        uint32_t lextra = rng() & ((1u << length_bits(ls)) - 1);
        uint32_t distance = ring[(ring_index - uint32_t(k)) & 3];
        bitw::put_old_copy(w, lz_codes, k, ls, lextra);
        note_copy(length_base(ls) + 2 + lextra + (distance >= 0x40000) + (distance >= 0x2000) + (distance >= 0x101),
                  distance);
      } else {
        w.put_symbol(lz_codes.main, 256);
        note_copy(last_length, ring[(ring_index - 1) & 3]);
      }
    }
  }
};

struct Outcome {
  std::vector<uint8_t> bytes;
  std::vector<int32_t> writes, requests;
  std::vector<std::pair<int32_t, int32_t>> progress;
  uint32_t checksum = 0, packed_read = 0;
  int32_t unpacked_left = 0;
  AudioChannelState channels[kMaxChannels];
  int32_t channel_delta = 0;
  uint32_t current_channel = 0, channel_count = 0, input_pos = 0, input_bit = 0, input_top = 0;
  uint64_t input_base = 0;
  uint32_t window_pos = 0, write_pos = 0;
  bool audio_mode = false;
};

void record_progress(void* object, int32_t done, int32_t total) {
  static_cast<Outcome*>(object)->progress.push_back({done, total});
}

// Decodes the entries (packed data, unpacked size) as one solid run.
Outcome decode(const std::vector<std::pair<std::vector<uint8_t>, int32_t>>& entries, bool step_by_step) {
  Harness h;
  Outcome r;
  OnProgress.code = record_progress;
  OnProgress.object = &r;
  unpack_step_by_step = step_by_step;
  bool solid = false;
  for (const auto& [packed, size] : entries) {
    h.unpack(packed, size, solid);
    solid = true;
    r.bytes.insert(r.bytes.end(), h.out.bytes.begin(), h.out.bytes.end());
    r.writes.insert(r.writes.end(), h.out.writes.begin(), h.out.writes.end());
    r.requests.insert(r.requests.end(), h.in.requests.begin(), h.in.requests.end());
    r.checksum ^= entry_checksum;
    r.packed_read += packed_read_total;
  }
  unpack_step_by_step = false;
  const TUnpackState& s = unpack_state;
  r.unpacked_left = unpacked_left;
  std::memcpy(r.channels, s.channels, sizeof r.channels);
  r.channel_delta = s.channel_delta;
  r.current_channel = s.current_channel;
  r.channel_count = s.channel_count;
  r.input_pos = s.input_pos;
  r.input_bit = s.input_bit;
  r.input_top = s.input_top;
  r.input_base = s.input_base;
  r.window_pos = s.window_pos;
  r.write_pos = s.write_pos;
  r.audio_mode = s.audio_mode;
  return r;
}

// Both ways must agree in everything; returns how many channels ended with
// weights that moved, to show that the comparison covered adaptation.
int expect_same(const std::vector<std::pair<std::vector<uint8_t>, int32_t>>& entries, const char* what) {
  Outcome a = decode(entries, false);
  Outcome b = decode(entries, true);
  EXPECT_EQ(a.bytes.size(), b.bytes.size()) << what;
  EXPECT_TRUE(a.bytes == b.bytes) << what;
  EXPECT_EQ(a.writes, b.writes) << what;
  EXPECT_EQ(a.requests, b.requests) << what;
  EXPECT_EQ(a.progress, b.progress) << what;
  EXPECT_EQ(a.checksum, b.checksum) << what;
  EXPECT_EQ(a.packed_read, b.packed_read) << what;
  EXPECT_EQ(a.unpacked_left, b.unpacked_left) << what;
  EXPECT_EQ(a.channel_delta, b.channel_delta) << what;
  EXPECT_EQ(a.current_channel, b.current_channel) << what;
  EXPECT_EQ(a.channel_count, b.channel_count) << what;
  EXPECT_EQ(a.input_pos, b.input_pos) << what;
  EXPECT_EQ(a.input_bit, b.input_bit) << what;
  EXPECT_EQ(a.input_top, b.input_top) << what;
  EXPECT_EQ(a.input_base, b.input_base) << what;
  EXPECT_EQ(a.window_pos, b.window_pos) << what;
  EXPECT_EQ(a.write_pos, b.write_pos) << what;
  EXPECT_EQ(a.audio_mode, b.audio_mode) << what;
  int moved = 0;
  for (uint32_t c = 0; c < kMaxChannels; ++c) {
    EXPECT_EQ(std::memcmp(&a.channels[c], &b.channels[c], sizeof a.channels[c]), 0) << what << " channel " << c;
    const AudioChannelState& x = a.channels[c];
    moved += x.coef1 != 0 || x.coef2 != 0 || x.coef3 != 0 || x.coef4 != 0 || x.coef5 != 0;
  }
  return moved;
}

}  // namespace

// Many blocks of all channel counts with LZ blocks between them, long enough
// to pass many progress reports and input refills; the entry decoded whole,
// cut short in mid-cycle, and asked for far more than the data holds (the
// reader runs off the end and the entry is given up).
TEST(Stretches, MixedEntriesMatchStepByStep) {
  for (uint32_t seed = 1; seed <= 3; ++seed) {
    std::mt19937 rng(seed);
    MixedStream m;
    for (int block = 0; block < 14; ++block) {
      if (block % 5 == 4)
        m.add_lz(rng, 100 + rng() % 3000);
      else
        m.add_audio(rng, 1 + rng() % 4, 2000 + rng() % 30000);
    }
    std::vector<uint8_t> packed = m.w.finish(4);
    int32_t total = int32_t(m.produced);
    std::string tag = "seed " + std::to_string(seed);

    EXPECT_GT(expect_same({{packed, total}}, (tag + " whole").c_str()), 0);
    Outcome whole = decode({{packed, total}}, false);
    EXPECT_EQ(whole.bytes.size(), size_t(total));
    expect_same({{packed, total - 13}}, (tag + " cut").c_str());
    expect_same({{packed, total + 50000}}, (tag + " overrun").c_str());
  }
}

// Many short multimedia blocks with the channel count changing each time
// (so blocks start at every channel of a round, with channel_delta from a
// channel that is no longer the one before, and with the channels' byte
// counts out of step), a few bytes of LZ between some of them, and long
// codes now and then: the rounds' ragged ends and their set-up.
TEST(Stretches, ShortBlocksAtEveryChannelMatchStepByStep) {
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    std::mt19937 rng(700 + seed);
    MixedStream m;
    for (int block = 0; block < 400; ++block) {
      if (block % 9 == 8)
        m.add_lz(rng, 1 + rng() % 6);
      else
        m.add_audio(rng, 1 + rng() % 4, 1 + rng() % (block % 3 == 0 ? 200 : 9));
    }
    std::vector<uint8_t> packed = m.w.finish(4);
    int32_t total = int32_t(m.produced);
    std::string tag = "seed " + std::to_string(seed);
    EXPECT_GT(expect_same({{packed, total}}, (tag + " whole").c_str()), 0);
    expect_same({{packed, total - 7}}, (tag + " cut").c_str());
  }
}

// Multimedia output that wraps the window with one and with four channels,
// in one entry, and a solid entry that goes on in mid-round.
TEST(Stretches, OneAndFourChannelsAcrossTheWindowEnd) {
  std::mt19937 rng(4141);
  MixedStream first, second;
  first.add_audio(rng, 4, 500003);
  first.add_audio(rng, 1, 600001);
  first.add_audio(rng, 4, 1);
  second.mode = MixedStream::audio;
  second.codes = first.codes;
  second.channel = first.channel;
  for (int i = 0; i < 3; ++i) {  // no table block: the first entry's tables go on
    for (uint32_t k = 0; k < 5001; ++k) {
      second.w.put_symbol(second.codes[second.channel], random_delta(rng));
      if (++second.channel == second.codes.size()) second.channel = 0;
    }
    second.produced += 5001;
  }
  std::vector<std::pair<std::vector<uint8_t>, int32_t>> run = {
      {first.w.finish(4), int32_t(first.produced)}, {second.w.finish(4), int32_t(second.produced)}};
  EXPECT_GT(expect_same(run, "wrap"), 0);
  EXPECT_EQ(decode(run, false).bytes.size(), size_t(first.produced + second.produced));
}

// A solid entry that starts with the tables the one before announced at its
// very end, after a block decoded wholly in rounds, which make no use of the
// tables' single-step look-up: the announcement must be read with the new
// tables, not with a look-up left from the block before them.
TEST(Stretches, TablesAnnouncedAfterABlockOfRoundsReachTheNextEntry) {
  for (uint32_t seed = 1; seed <= 3; ++seed) {
    std::mt19937 rng(5100 + seed);
    MixedStream first, second;
    // Three channels end on the third, and two go on with the first: its
    // channel_delta is not from the channel before it, so its step is a
    // single one, which makes its table's look-up. The next tables of the
    // same count are used in rounds only.
    first.add_audio(rng, 3, 6);
    first.add_audio(rng, 2, 40);
    first.add_audio(rng, 2, 4000);
    first.w.put_symbol(first.codes[first.channel], 256);
    second.codes = {bitw::Code(random_complete_lengths(rng, 257, 257)),
                    bitw::Code(random_complete_lengths(rng, 257, 257))};
    bitw::write_audio_table_block(first.w, second.codes, {});
    second.mode = MixedStream::audio;
    second.channel = first.channel;
    for (uint32_t k = 0; k < 3000; ++k) {
      second.w.put_symbol(second.codes[second.channel], random_delta(rng));
      if (++second.channel == second.codes.size()) second.channel = 0;
    }
    second.produced = 3000;
    std::vector<std::pair<std::vector<uint8_t>, int32_t>> run = {
        {first.w.finish(4), int32_t(first.produced)}, {second.w.finish(4), int32_t(second.produced)}};
    expect_same(run, ("seed " + std::to_string(seed)).c_str());
  }
}

// Runs of code lengths hard on the rounds' register: codes longer than the
// look-up entries (15 bits) among their longest (11 bits), one, three or all
// four of every four, at every place of a top-up and with every channel
// count. Four long codes take more bits than a top-up brings.
TEST(Stretches, LongCodesAtEveryPlaceOfATopUpMatchStepByStep) {
  // Lengths 1 to 10 for deltas 0-9, 11 bits for delta 10, 15 bits for
  // deltas 11-25 and the table-block symbol: a complete code.
  std::vector<uint8_t> lengths(257, 0);
  for (uint32_t d = 0; d < 10; ++d) lengths[d] = uint8_t(d + 1);
  lengths[10] = 11;
  for (uint32_t d = 11; d <= 25; ++d) lengths[d] = 15;
  lengths[256] = 15;
  const bitw::Code code(lengths);
  std::mt19937 rng(77);
  for (uint32_t channels = 1; channels <= 4; ++channels) {
    for (uint32_t long_codes : {1u, 3u, 4u}) {
      for (uint32_t phase = 0; phase < 4; ++phase) {
        MixedStream m;
        m.codes.assign(channels, code);
        bitw::write_audio_table_block(m.w, m.codes, {});
        m.mode = MixedStream::audio;
        for (uint32_t i = 0; i < 3000; ++i) {
          m.w.put_symbol(m.codes[m.channel], (i + phase) % 4 < long_codes ? 11 + rng() % 15 : 10);
          if (++m.channel == channels) m.channel = 0;
        }
        m.produced = 3000;
        std::vector<std::pair<std::vector<uint8_t>, int32_t>> run = {{m.w.finish(4), int32_t(m.produced)}};
        const std::string tag = std::to_string(channels) + " channels, " + std::to_string(long_codes) +
                                " long, phase " + std::to_string(phase);
        expect_same(run, tag.c_str());
        EXPECT_EQ(decode(run, false).bytes.size(), 3000u) << tag;
      }
    }
  }
}

// LZ entries long enough to wrap the window: copies of up to 260 bytes near
// the flush margin and the window end.
TEST(Stretches, LongLzEntriesMatchStepByStep) {
  std::mt19937 rng(91);
  MixedStream m;
  m.add_lz(rng, 60000);
  m.add_audio(rng, 3, 5000);
  m.add_lz(rng, 60000);
  std::vector<std::pair<std::vector<uint8_t>, int32_t>> run = {{m.w.finish(4), int32_t(m.produced)}};
  ASSERT_GT(m.produced, kWindowSize);
  expect_same(run, "long lz");
  EXPECT_EQ(decode(run, false).bytes.size(), size_t(m.produced));
}

// Random codes of every length (long ones go past the look-up entries to
// the search), runs of literals, and copies of every kind, including those
// at old distances and repeats of the last, in entries of several sizes and
// a solid run after them.
TEST(Stretches, RandomCodesAndEveryCopyKindMatchStepByStep) {
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    std::mt19937 rng(300 + seed);
    MixedStream first, second;
    for (int block = 0; block < 6; ++block) first.add_lz(rng, 2000 + rng() % 20000, block % 2 == 0);
    second.mode = MixedStream::lz;
    second.lz_codes = first.lz_codes;
    std::memcpy(second.ring, first.ring, sizeof second.ring);  // the copy state carries on
    second.ring_index = first.ring_index;
    second.last_length = first.last_length;
    second.add_lz(rng, 30000, true);
    std::vector<std::pair<std::vector<uint8_t>, int32_t>> run = {
        {first.w.finish(4), int32_t(first.produced)}, {second.w.finish(4), int32_t(second.produced)}};
    std::string tag = "seed " + std::to_string(seed);
    expect_same(run, tag.c_str());
    EXPECT_EQ(decode(run, false).bytes.size(), size_t(first.produced + second.produced)) << tag;
    expect_same({{run[0].first, int32_t(first.produced) - 1000}}, (tag + " cut").c_str());
  }
}

// The worst steps for the bounds: every copy 260 bytes long and 51 bits
// wide (15-bit codes for the longest length slot and the farthest distance
// slot, all extra bits), with one-bit literals between them now and then.
TEST(Stretches, WidestAndLongestLzStepsMatchStepByStep) {
  // Complete codes with lengths 1, 2, ..., 14, 15, 15.
  auto chain = [](size_t alphabet, std::vector<size_t> symbols) {
    std::vector<uint8_t> lengths(alphabet, 0);
    for (size_t i = 0; i < symbols.size(); ++i) lengths[symbols[i]] = uint8_t(std::min<size_t>(i + 1, 15));
    return bitw::Code(lengths);
  };
  std::vector<size_t> main_symbols, distance_symbols;
  for (size_t i = 0; i < 15; ++i) main_symbols.push_back(i);
  main_symbols.push_back(297);
  for (size_t i = 0; i < 14; ++i) distance_symbols.push_back(i);
  distance_symbols.push_back(46);
  distance_symbols.push_back(47);
  MixedStream m;
  m.lz_codes = bitw::LzCodes(chain(298, main_symbols), chain(48, distance_symbols),
                             bitw::Code::uniform(28, 5));
  bitw::write_lz_table_block(m.w, m.lz_codes.lengths(), {});
  m.mode = MixedStream::lz;
  std::mt19937 rng(5);
  while (m.produced < kWindowSize + 300000) {
    uint32_t literals = rng() % 4 == 0 ? rng() % 8 : 0;
    for (uint32_t i = 0; i < literals; ++i) bitw::put_literal(m.w, m.lz_codes, 0);
    bitw::put_new_copy(m.w, m.lz_codes, 27, 31, 47, rng() & 0xFFFF);
    m.produced += literals + 260;
  }
  std::vector<std::pair<std::vector<uint8_t>, int32_t>> run = {{m.w.finish(4), int32_t(m.produced)}};
  expect_same(run, "widest");
  EXPECT_EQ(decode(run, false).bytes.size(), size_t(m.produced));
}

// A solid run of two long multimedia entries: the window wraps in the
// second, with flushes at its end and the first entry's state carried over.
TEST(Stretches, SolidRunAcrossTheWindowEnd) {
  std::mt19937 rng(77);
  MixedStream first, second;
  first.add_audio(rng, 2, 700000);
  second.mode = MixedStream::audio;  // the run goes on in multimedia mode
  second.codes = first.codes;
  second.channel = first.channel;
  second.add_audio(rng, 3, 450000);
  std::vector<std::pair<std::vector<uint8_t>, int32_t>> run = {
      {first.w.finish(4), int32_t(first.produced)}, {second.w.finish(4), int32_t(second.produced)}};
  EXPECT_GT(expect_same(run, "solid"), 0);
  Outcome whole = decode(run, false);
  EXPECT_EQ(whole.bytes.size(), size_t(first.produced + second.produced));
  EXPECT_EQ(whole.window_pos, (first.produced + second.produced) & kWindowMask);
}
