// Archives written by the encoder, decoded again: by the plain reference
// decoder and by the setup's own extraction driver, over every kind of data
// a payload holds, every level, solid and not.

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/pack/pack_test_util.h"

using namespace packtest;

namespace {

std::vector<TPackFile> corpus_files(size_t scale) {
  std::vector<TPackFile> f;
  f.push_back({"docs\\readme.txt", text_data(scale), 0x25810840});
  f.push_back({"VLRemove.exe", binary_data(scale), 0x25810840});
  f.push_back({"sounds\\click8.wav", audio_data(scale, 1, 1), 0});
  f.push_back({"sounds\\stereo16.wav", audio_data(scale / 4, 2, 2), 0});
  f.push_back({"splash.bmp", image_data(128, static_cast<int>(scale / 384), 3), 0});
  f.push_back({"random.bin", noise_data(scale / 4), 0});
  f.push_back({"empty.txt", {}, 0});
  f.push_back({"one.txt", {'x'}, 0});
  return f;
}

// Both decoders give back every file; returns the archive size.
size_t check_round_trip(const std::vector<TPackFile>& files, int level, bool solid) {
  Bytes archive;
  pack_archive(files, level, solid, archive);
  std::vector<Bytes> ref;
  EXPECT_TRUE(ref_extract(archive, ref)) << "level " << level << " solid " << solid;
  std::map<std::string, Bytes> out;
  EXPECT_EQ(driver_extract(archive, out), 0) << "level " << level << " solid " << solid;
  for (size_t i = 0; i < files.size(); i++) {
    if (i < ref.size()) {
      EXPECT_TRUE(ref[i] == files[i].data) << files[i].name << " level " << level;
    }
    EXPECT_TRUE(out[files[i].name] == files[i].data) << files[i].name << " level " << level << " solid " << solid;
  }
  return archive.size();
}

TEST(PackRoundTrip, EveryKindEveryLevelSolidAndNot) {
  auto files = corpus_files(48 * 1024);
  size_t raw = 0;
  for (auto& f : files) raw += f.data.size();
  size_t sizes[6];
  for (int level = 0; level <= 5; level++) {
    for (bool solid : {false, true}) {
      size_t n = check_round_trip(files, level, solid);
      if (!solid) {
        sizes[level] = n;
      }
    }
  }
  // Stored holds everything plus headers; every level compresses, the best
  // level at least as well as the fastest.
  EXPECT_GT(sizes[0], raw);
  for (int level = 1; level <= 5; level++) EXPECT_LT(sizes[level], raw * 3 / 4) << level;
  EXPECT_LE(sizes[5], sizes[1]);
}

TEST(PackRoundTrip, ArchiveLayoutAndMethods) {
  auto files = corpus_files(16 * 1024);
  Bytes archive;
  pack_archive(files, 3, true, archive);
  bool solid_flag = false;
  std::vector<Entry> entries;
  ASSERT_TRUE(read_archive(archive, 0, solid_flag, entries));
  EXPECT_TRUE(solid_flag);
  ASSERT_EQ(entries.size(), files.size());
  for (size_t i = 0; i < entries.size(); i++) {
    const Entry& e = entries[i];
    EXPECT_EQ(e.name, files[i].name);
    EXPECT_EQ(e.h.unp_ver, 20);
    EXPECT_EQ(e.h.flags & 0x80E0, 0x8080);  // long block, 1 MiB dictionary
    EXPECT_EQ(e.h.head_size, 32 + e.name.size());
    EXPECT_EQ(e.h.file_time, files[i].file_time);
  }
  // Text compresses; random data is stored; every entry after the first is
  // marked solid; the empty entry is stored.
  EXPECT_EQ(entries[0].h.method, kMethodBest);
  EXPECT_EQ(entries[0].h.flags & LHD_SOLID, 0);
  for (size_t i = 1; i < entries.size(); i++) EXPECT_EQ(entries[i].h.flags & LHD_SOLID, LHD_SOLID) << i;
  EXPECT_EQ(entries[5].h.method, kMethodStored);
  EXPECT_EQ(entries[6].h.method, kMethodStored);
  EXPECT_EQ(entries[6].h.pack_size, 0u);
  EXPECT_EQ(entries[7].h.method, kMethodStored);  // one byte does not shrink
}

TEST(PackRoundTrip, SolidSharesHistoryAcrossEntries) {
  // Two copies of the same text: in a solid archive the second costs little.
  Bytes t = text_data(60000, 9);
  std::vector<TPackFile> files = {{"a.txt", t, 0}, {"b.txt", t, 0}};
  size_t plain = check_round_trip(files, 3, false);
  size_t solid = check_round_trip(files, 3, true);
  EXPECT_LT(solid * 10, plain * 6);
}

// An entry that claims to continue a previous one, first in its run, starts
// from a decoder that nothing of this run has set: it must decode the same
// whatever an earlier run in the process left in the window, the tables or
// the copy state (or the allocator in the window's memory), never show it.
TEST(PackRoundTrip, FirstEntryMarkedSolidFindsNothingOfAnEarlierRun) {
  Bytes t = text_data(60000, 31);
  Bytes two;
  pack_archive({{"a.txt", t, 0}, {"b.txt", t, 0}}, 3, true, two);
  bool solid_flag = false;
  std::vector<Entry> entries;
  ASSERT_TRUE(read_archive(two, 0, solid_flag, entries));
  ASSERT_EQ(entries.size(), 2u);
  ASSERT_TRUE(entries[1].h.flags & LHD_SOLID);
  ASSERT_NE(entries[1].h.method, kMethodStored);
  // The second entry alone, behind a main header without the solid flag
  // (in a solid archive nothing is written at all).
  const size_t first = kMarkerSize + (two[kMarkerSize + 5] | two[kMarkerSize + 6] << 8);
  const size_t second = first + entries[0].h.head_size + entries[0].h.pack_size;
  Bytes alone;
  pack_main_header(alone, false);
  alone.insert(alone.end(), two.begin() + static_cast<std::ptrdiff_t>(second), two.end());

  // Runs before it that fill the whole window and set tables of their own.
  std::vector<Bytes> outputs;
  for (const Bytes& before : {text_data(1100000, 32), audio_data(600000, 2, 2, 33)}) {
    Bytes filler;
    pack_archive({{"f.bin", before, 0}}, 3, false, filler);
    std::map<std::string, Bytes> out;
    ASSERT_EQ(driver_extract(filler, out), 0);
    out.clear();
    driver_extract(alone, out, true);
    outputs.push_back(out["b.txt"]);
  }
  EXPECT_TRUE(outputs[0] == outputs[1]) << outputs[0].size() << " and " << outputs[1].size() << " bytes";
}

TEST(PackRoundTrip, EntryLargerThanTheWindow) {
  // 1.6 MiB: repeats from far back (beyond 0x40000) and a window that wraps
  // while the decoder writes it out in pieces.
  Bytes block = text_data(300000, 11);
  Bytes noise = noise_data(400000, 12);
  Bytes data = block;
  data.insert(data.end(), noise.begin(), noise.end());
  data.insert(data.end(), block.begin(), block.end());
  Bytes more = binary_data(600000, 13);
  data.insert(data.end(), more.begin(), more.end());
  ASSERT_GT(data.size(), (1u << 20) + 300000);
  pack_stats = {};
  check_round_trip({{"big.bin", data, 0}}, 3, false);
  EXPECT_GT(pack_stats.far_copies, 0u);
  check_round_trip({{"big.bin", data, 0}}, 5, false);
}

TEST(PackRoundTrip, SolidRunCopiesFromEarlierEntriesAcrossTheWindow) {
  // Three entries of 450 KB: the third repeats the first, 900 KB back
  // (beyond 0x40000, within the 1 MiB window that the run shares); the
  // window wraps during the third entry.
  Bytes a = text_data(450000, 14), b = binary_data(450000, 15);
  Bytes c = a;
  for (size_t i = 0; i < c.size(); i += 5000) c[i] ^= 0x20;
  std::vector<TPackFile> files = {{"a", a, 0}, {"b", b, 0}, {"c", c, 0}};
  pack_stats = {};
  size_t solid = check_round_trip(files, 3, true);
  EXPECT_GT(pack_stats.far_copies, 0u);
  size_t plain = check_round_trip(files, 3, false);
  EXPECT_LT(solid + a.size() / 10, plain);
}

TEST(PackRoundTrip, SolidRunAroundStoredEntries) {
  // Stored entries inside a solid run: the compressed entries after them
  // keep the decoder's tables but must not copy from the window, which the
  // stored copy bypassed (and may have used as its buffer). The first
  // compressed entry, preceded only by stored ones, starts afresh.
  Bytes t1 = text_data(40000, 16), t3 = text_data(30000, 17);
  std::vector<TPackFile> files = {{"n1", noise_data(50000, 18), 0}, {"t1", t1, 0},
                                  {"n2", noise_data(40000, 19), 0}, {"t2", t1, 0},
                                  {"e", {}, 0},                    {"t3", t3, 0},
                                  {"w", audio_data(20000, 2, 1, 20), 0}};
  for (int level : {1, 3, 5}) {
    Bytes archive;
    pack_archive(files, level, true, archive);
    bool solid_flag = false;
    std::vector<Entry> entries;
    ASSERT_TRUE(read_archive(archive, 0, solid_flag, entries));
    ASSERT_EQ(entries.size(), files.size());
    EXPECT_EQ(entries[0].h.method, kMethodStored);
    EXPECT_EQ(entries[1].h.method, kMethodBest);
    EXPECT_EQ(entries[1].h.flags & LHD_SOLID, 0);  // no tables to continue with yet
    for (size_t i = 2; i < entries.size(); i++) EXPECT_EQ(entries[i].h.flags & LHD_SOLID, LHD_SOLID) << i;
    EXPECT_EQ(entries[2].h.method, kMethodStored);
    EXPECT_EQ(entries[3].h.method, kMethodBest);
    // t2 repeats t1, but across a stored entry it cannot refer back to it.
    EXPECT_GT(entries[3].packed.size() * 2, entries[1].packed.size());
    std::vector<Bytes> ref;
    EXPECT_TRUE(ref_extract(archive, ref)) << level;
    std::map<std::string, Bytes> out;
    EXPECT_EQ(driver_extract(archive, out), 0) << level;
    for (auto& f : files) EXPECT_TRUE(out[f.name] == f.data) << f.name << " level " << level;
  }
}

TEST(PackRoundTrip, EntriesLongerThanTheEncodersBuffer) {
  // 4.8 MB in a solid pair: the encoder holds a window and two more of the
  // entry at a time, so it reads in pieces and moves its buffer (and the
  // match finder with it) on the way. Repeats reach back across the move,
  // and the second entry starts from the first one's window.
  Bytes part = text_data(900000, 21), wav = audio_data(150000, 2, 2, 22), bin = binary_data(800000, 23);
  Bytes data;
  for (int round = 0; round < 2; round++) {
    data.insert(data.end(), part.begin(), part.end());
    data.insert(data.end(), wav.begin(), wav.end());
    data.insert(data.end(), bin.begin(), bin.end());
    for (size_t i = round; i < part.size(); i += 997) part[i] ^= 0x11;
  }
  Bytes tail(data.end() - 500000, data.end());
  std::vector<TPackFile> files = {{"big", data, 0}, {"tail", tail, 0}};
  ASSERT_GT(data.size(), 3u << 20);
  for (int level : {1, 4}) {
    pack_stats = {};
    size_t n = check_round_trip(files, level, true);
    EXPECT_LT(n, data.size() / 2) << level;
    EXPECT_GT(pack_stats.far_copies, 0u) << level;
    EXPECT_GT(pack_stats.audio_bytes, 0u) << level;
  }
}

TEST(PackRoundTrip, ShortSourceOrFullSinkIsAFailureNotAnEntry) {
  // The archive writer streams from a source into a sink: a source that
  // ends before the entry's size or a sink that refuses a write is reported,
  // at every level, not written as an entry.
  Bytes data = text_data(200000, 24);

  class ShortSource : public ByteSource {
   public:
    explicit ShortSource(const Bytes& d) : in_(d.data(), d.size() / 2) {}
    size_t read(uint8_t* p, size_t n) override { return in_.read(p, n); }
    bool rewind() override { return in_.rewind(); }

   private:
    MemorySource in_;
  };
  class FullSink : public VectorSink {
   public:
    FullSink(std::vector<uint8_t>& v, size_t room) : VectorSink(v), room_(room) {}
    bool write(const uint8_t* p, size_t n) override { return position() + n <= room_ && VectorSink::write(p, n); }

   private:
    size_t room_;
  };
  for (int level : {0, 3, 5}) {
    TPackRun run;
    pack_run_start(run, level, false);
    TPackEntryInfo info;
    info.name = "t";
    std::vector<uint8_t> out;
    VectorSink sink(out);
    ShortSource shorter(data);
    EXPECT_EQ(pack_run_add(run, shorter, data.size(), info, sink), PackAddResult::read_failed) << level;
    MemorySource in(data.data(), data.size());
    std::vector<uint8_t> small;
    FullSink full(small, 5000);
    EXPECT_EQ(pack_run_add(run, in, data.size(), info, full), PackAddResult::write_failed) << level;
  }
}

}  // namespace
