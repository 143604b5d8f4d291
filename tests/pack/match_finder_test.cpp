// The match finder against a brute-force search, a parse run twice against
// one run once, and round trips at every level over the shapes that strain
// the finder: runs, noise, repeats at the window's edge, the buffer's move.

#include "pack/match_finder.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "archive/arc_format.h"
#include "tests/pack/pack_test_util.h"

using namespace packtest;

namespace {

constexpr uint32_t kMaxLen = 258;

// The longest copy at p that the format allows (3 bytes only below 0x2000,
// 4 below 0x40000, 5 beyond), at most max_len bytes.
uint32_t brute_longest(const Bytes& d, uint32_t p, uint32_t max_len) {
  uint32_t best = 0;
  uint32_t reach = std::min<uint32_t>(p, kWindowSize - 1);
  for (uint32_t dist = 1; dist <= reach; dist++) {
    uint32_t l = match_length(&d[p], &d[p - dist], max_len);
    if (l > best && l >= 3 + new_copy_bonus(dist)) best = l;
  }
  return best;
}

Bytes periodic(size_t n, size_t period, uint64_t seed) {
  Bytes unit = noise_data(period, seed), out;
  while (out.size() < n) out.insert(out.end(), unit.begin(), unit.end());
  out.resize(n);
  return out;
}

// Text with edits, so the trees hold many near matches of every length.
Bytes edited_text(size_t n, uint64_t seed) {
  Bytes d = text_data(n, seed);
  Rng r(seed + 7);
  for (size_t i = 0; i + 300 < n; i += 200 + r.below(400)) {
    size_t from = r.below(static_cast<uint32_t>(i + 1));
    size_t len = std::min<size_t>(r.below(300), i - from);
    std::copy(d.begin() + from, d.begin() + from + len, d.begin() + i);
    d[i + r.below(static_cast<uint32_t>(len + 1))] ^= 0x20;
  }
  return d;
}

struct Shape {
  const char* name;
  Bytes data;
};

std::vector<Shape> finder_shapes() {
  return {{"zeros", Bytes(20000, 0)},
          {"period 2", periodic(20000, 2, 1)},
          {"period 3", periodic(20000, 3, 2)},
          {"noise", noise_data(20000, 3)},
          {"text", edited_text(30000, 4)},
          {"binary", binary_data(30000, 5)},
          {"long period", periodic(30000, 5000, 6)}};
}

// Every match a search reports is real, lengths grow, and the longest is
// the longest there is (trees deep enough to see every node) or no longer.
void check_against_brute_force(const Shape& s, bool tree, int depth, uint32_t stride) {
  const bool exhaustive = tree && depth >= 256;
  const Bytes& d = s.data;
  MatchFinder mf;
  mf.reset(static_cast<uint32_t>(d.size()), depth, kMaxLen, tree);
  mf.set_buffer(d.data(), static_cast<uint32_t>(d.size()));
  Match out[300];
  for (uint32_t p = 0; p < d.size(); p++) {
    uint32_t max_len = std::min<uint32_t>(kMaxLen, static_cast<uint32_t>(d.size()) - p);
    int n = mf.find(p, 0, max_len, out);
    uint32_t prev = 0;
    for (int i = 0; i < n; i++) {
      const Match& m = out[i];
      ASSERT_TRUE(m.dist >= 1 && m.dist <= p && m.dist < kWindowSize) << s.name << " at " << p;
      ASSERT_GT(m.len, prev) << s.name << " at " << p;
      ASSERT_LE(m.len, max_len) << s.name << " at " << p;
      ASSERT_GE(m.len, 3 + new_copy_bonus(m.dist)) << s.name << " at " << p;
      ASSERT_EQ(match_length(&d[p], &d[p - m.dist], m.len), m.len) << s.name << " at " << p;
      prev = m.len;
    }
    if (p % stride) continue;
    uint32_t want = brute_longest(d, p, max_len);
    // Three-byte copies come from the last position of their hash only.
    if (exhaustive && want >= 4) {
      ASSERT_EQ(prev, want) << s.name << " at " << p;
    } else {
      ASSERT_LE(prev, want) << s.name << " at " << p;
    }
  }
}

TEST(MatchFinder, TreesFindTheLongestMatchAndOnlyRealOnes) {
  for (const Shape& s : finder_shapes()) check_against_brute_force(s, true, 256, 7);
}

TEST(MatchFinder, ChainsAndShallowTreesReportOnlyRealMatches) {
  for (const Shape& s : finder_shapes()) {
    check_against_brute_force(s, false, 24, 13);
    check_against_brute_force(s, true, 4, 13);
  }
}

TEST(MatchFinder, FarMatchesNeedTheirBonusAndStayInTheWindow) {
  // A block repeated beyond the window and within it, at distances where a
  // copy needs 4 and 5 bytes: the finder reports what a search of all
  // distances finds, never a copy from outside the window.
  Bytes unit = edited_text(5000, 8);
  Bytes d = noise_data(kWindowSize + 300000, 9);
  auto put = [&](size_t at) { std::copy(unit.begin(), unit.end(), d.begin() + at); };
  put(1000);
  put(1000 + kWindowSize + 10);       // the first copy is just out of reach
  put(300000);
  put(300000 + 0x40000 + 5);          // five bytes needed
  put(700000);
  put(700000 + 0x2000 + 3);           // four bytes needed
  MatchFinder mf;
  mf.reset(static_cast<uint32_t>(d.size()), 256, kMaxLen, true);
  mf.set_buffer(d.data(), static_cast<uint32_t>(d.size()));
  Match out[300];
  // In order: the finder answers about positions it has not passed yet.
  for (uint32_t at : {uint32_t(300000 + 0x40000 + 5), uint32_t(700000 + 0x2000 + 3), uint32_t(1000 + kWindowSize + 10)}) {
    for (uint32_t p = at; p < at + unit.size(); p += 97) {
      mf.insert_to(p);
      uint32_t max_len = kMaxLen;
      int n = mf.find(p, 0, max_len, out);
      uint32_t got = n ? out[n - 1].len : 0;
      for (int i = 0; i < n; i++) {
        ASSERT_LT(out[i].dist, kWindowSize);
        ASSERT_EQ(match_length(&d[p], &d[p - out[i].dist], out[i].len), out[i].len);
      }
      uint32_t want = brute_longest(d, p, max_len);
      if (want >= 4) {
        ASSERT_EQ(got, want) << "at " << p;
      }
    }
  }
}

// A parse run twice over a stretch (a trial, then the real one with other
// jumps and limits, then the next stretch from where the real one ended)
// gets exactly the answers of a finder that only saw the real parses.
TEST(MatchFinder, TrialParseChangesNoAnswerOfTheRealOne) {
  for (const Shape& s : finder_shapes()) {
    const Bytes& d = s.data;
    const uint32_t size = static_cast<uint32_t>(d.size());
    MatchFinder a, b;
    for (MatchFinder* mf : {&a, &b}) {
      mf->reset(size, 32, 96, true);
      mf->set_buffer(d.data(), size);
    }
    Rng r(11);
    Match ma[300], mb[300];
    // A parse from `from` that searches some positions and jumps over
    // others; returns where it stopped.
    auto parse = [&](MatchFinder& mf, uint32_t from, uint32_t to, uint64_t seed, Match* out,
                     std::vector<std::vector<uint32_t>>* log) {
      Rng pr(seed);
      uint32_t p = from;
      while (p < to) {
        uint32_t max_len = std::min<uint32_t>(size - p, 1 + pr.below(kMaxLen));
        std::vector<uint32_t> got = {p, mf.find_short(p, 0)};
        int n = mf.find(p, 0, max_len, out);
        for (int i = 0; i < n; i++) got.insert(got.end(), {out[i].len, out[i].dist});
        if (log) log->push_back(got);
        uint32_t jump = pr.below(4) == 0 ? 1 + pr.below(300) : 1;
        p = std::min(size, p + jump);
        mf.insert_to(p);
      }
      return p;
    };
    uint32_t pos = 1000;
    b.insert_to(pos);
    a.insert_to(pos);
    while (pos + 4000 < size) {
      uint32_t seg_end = pos + 2000 + r.below(2000);
      uint64_t seed = r.next();
      a.repeat_from(pos);
      b.repeat_from(pos);
      parse(a, pos, std::min(size, seg_end + 500), seed + 1, ma, nullptr);  // the trial runs further
      std::vector<std::vector<uint32_t>> la, lb;
      uint32_t end_a = parse(a, pos, seg_end, seed, ma, &la);
      uint32_t end_b = parse(b, pos, seg_end, seed, mb, &lb);
      ASSERT_EQ(end_a, end_b);
      ASSERT_EQ(la, lb) << s.name << " from " << pos;
      pos = end_a;
    }
  }
}

// Packs one entry at every level; the reference decoder gives it back.
void round_trip_every_level(const Bytes& data, const char* what) {
  for (int level = 1; level <= 5; level++) {
    TPackState state;
    pack_state_reset(state);
    Bytes packed;
    pack_entry(state, data.data(), data.size(), false, level, packed);
    RefDecoder dec;
    Bytes back;
    ref_unpack(dec, packed.data(), packed.size(), static_cast<uint32_t>(data.size()), false, back);
    ASSERT_TRUE(back == data) << what << " level " << level;
  }
}

TEST(MatchFinder, EveryLevelRoundTripsRunsNoiseAndRepeats) {
  for (const Shape& s : finder_shapes()) round_trip_every_level(s.data, s.name);
  round_trip_every_level(Bytes(300000, 0), "long zeros");
  round_trip_every_level(periodic(300000, 2, 12), "long period 2");
}

TEST(MatchFinder, EveryLevelRoundTripsRepeatsAtTheWindowsEdge) {
  // A block repeated at distances just inside, at and just past the window.
  Bytes unit = edited_text(3000, 13);
  Bytes d = noise_data(3 * kWindowSize + 20000, 14);
  size_t at = 5000;
  for (uint32_t dist : {kWindowSize - 1, kWindowSize, kWindowSize + 1}) {
    std::copy(unit.begin(), unit.end(), d.begin() + at);
    std::copy(unit.begin(), unit.end(), d.begin() + at + dist);
    at += 5000;
  }
  round_trip_every_level(d, "window's edge");
}

TEST(MatchFinder, EveryLevelRoundTripsAcrossTheBuffersMove) {
  // 3.4 MB: the encoder moves its buffer and the finder's positions past
  // 2 MiB; repeats reach back across the move, and runs cross it.
  Bytes d = edited_text(3400000, 15);
  Bytes bin = binary_data(400000, 16);
  std::copy(bin.begin(), bin.end(), d.begin() + 1800000);
  std::copy(bin.begin(), bin.end(), d.begin() + 2500000);
  std::fill(d.begin() + 2090000, d.begin() + 2110000, 0);
  round_trip_every_level(d, "buffer's move");
}

}  // namespace
