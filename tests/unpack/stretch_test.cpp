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
  // Literals, short copies and new copies of every length slot (up to the
  // longest step, 260 bytes).
  void add_lz(std::mt19937& rng, uint32_t steps) {
    leave_mode();
    bitw::write_lz_table_block(w, lz_codes.lengths(), {});
    mode = lz;
    for (uint32_t i = 0; i < steps; ++i) {
      uint32_t kind = rng() % 20;
      if (kind < 12) {
        bitw::put_literal(w, lz_codes, uint8_t(rng()));
        produced += 1;
      } else if (kind < 16) {
        bitw::put_short_copy(w, lz_codes, int(rng() % 8), 1);
        produced += 2;
      } else {
        int ls = int(rng() % 28), ds = int(rng() % 48);
        uint32_t lextra = rng() & ((1u << length_bits(ls)) - 1);
        uint32_t dextra = rng() & ((1u << distance_bits(ds)) - 1);
        uint32_t distance = distance_base(ds) + 1 + dextra;
        bitw::put_new_copy(w, lz_codes, ls, lextra, ds, dextra);
        produced += length_base(ls) + 3 + lextra + (distance >= 0x2000) + (distance >= 0x40000);
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
