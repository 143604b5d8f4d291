// The extraction driver over archives built in memory: which entries are
// asked for, created, written, checked, stamped and deleted, and which
// result code the run ends with.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "archive/arc_block.h"
#include "archive/arc_checksum.h"
#include "archive/arc_extract.h"
#include "archive/archive_class.h"
#include "tests/support/archive_builder.h"
#include "tests/tools/compressed_file.h"
#include "tests/tools/temp_dir.h"
#include "pack/archive_writer.h"

using arctest::ArchiveBuilder;
using arctest::FileSpec;
using arctest::MainHeaderSpec;
using arctest::stored_file;
using tooltest::TempDir;
using tooltest::compressed_file;

namespace {

// One driver run with recording hooks. Targets go into a private folder; a
// name listed in `decline` gets an empty target, one in `redirect` the
// path given there.
class DriverRun {
 public:
  explicit DriverRun(const std::string& tag) : dir(tag) {}

  std::vector<std::string> decline;
  std::vector<std::pair<std::string, std::string>> redirect;

  std::vector<std::string> asked;       // archived names given to the target hook
  std::vector<std::string> messages;    // OnMessage texts
  std::vector<std::string> errors;      // OnErrorMessage texts
  std::vector<std::pair<int32_t, int32_t>> progress;
  bool archive_left_open = false;
  TempDir dir;

  int32_t run(const std::vector<uint8_t>& archive, bool register_payload = true) {
    payload = archive;
    if (register_payload) TMyMemoryStream::register_block("#101", payload.data(), int32_t(payload.size()));
    init_crc_table();
    TMyMemoryStream input;
    TPosixFileStream output;
    archive_stream = &input;
    output_stream = &output;
    OnGetTargetPath = {&DriverRun::target_hook, this};
    OnProgress = {&DriverRun::progress_hook, this};
    OnMessage = {&DriverRun::message_hook, this};
    OnErrorMessage = {&DriverRun::error_hook, this};
    extract_result = 0;

    extract_archive();

    archive_left_open = input.opened;
    window_after_run = window_buffer;
    OnGetTargetPath = {};
    OnProgress = {};
    OnMessage = {};
    OnErrorMessage = {};
    archive_stream = nullptr;
    output_stream = nullptr;
    release_buffers();
    TMyMemoryStream::unregister_block("#101");
    return extract_result;
  }

  const uint8_t* window_after_run = nullptr;

 private:
  std::vector<uint8_t> payload;

  static void target_hook(void* object, const std::string& name, std::string& target) {
    auto* self = static_cast<DriverRun*>(object);
    self->asked.push_back(name);
    for (const auto& d : self->decline) {
      if (d == name) {
        target.clear();
        return;
      }
    }
    for (const auto& r : self->redirect) {
      if (r.first == name) {
        target = r.second;
        return;
      }
    }
    target = self->dir.file(name_part(name));
  }
  static std::string name_part(const std::string& name) {
    const size_t cut = name.find_last_of("/\\:");
    return cut == std::string::npos ? name : name.substr(cut + 1);
  }
  static void progress_hook(void* object, int32_t done, int32_t total) {
    static_cast<DriverRun*>(object)->progress.emplace_back(done, total);
  }
  static void message_hook(void* object, const std::string& text) {
    static_cast<DriverRun*>(object)->messages.push_back(text);
  }
  static void error_hook(void* object, const std::string& text) {
    static_cast<DriverRun*>(object)->errors.push_back(text);
  }
};

std::vector<uint8_t> bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

using Names = std::vector<std::string>;

}  // namespace

TEST(Driver, StoredAndCompressedEntriesAreWrittenCheckedAndStamped) {
  const auto text = tooltest::sample_text(20000, 1);
  ArchiveBuilder b;
  b.marker().main_header().file(stored_file("docs\\readme.txt", "hello, world\n")).file(compressed_file("big.txt", text));
  DriverRun r("written");
  EXPECT_EQ(r.run(b.bytes()), 0);

  EXPECT_EQ(r.asked, (Names{"docs\\readme.txt", "big.txt"}));
  EXPECT_EQ(tooltest::read_file(r.dir.file("readme.txt")), bytes("hello, world\n"));
  EXPECT_EQ(tooltest::read_file(r.dir.file("big.txt")), text);
  EXPECT_EQ(r.messages, (Names{"extracting " + r.dir.file("readme.txt"), "extracting " + r.dir.file("big.txt")}));
  // Every written file carries the release time, whatever the entry says.
  EXPECT_EQ(tooltest::mtime_of(r.dir.file("big.txt")), tooltest::release_time());
  EXPECT_EQ(tooltest::mtime_of(r.dir.file("readme.txt")), tooltest::release_time());
  // Each decoded entry starts with a report of 0 done out of its size.
  ASSERT_FALSE(r.progress.empty());
  EXPECT_EQ(r.progress.front(), std::make_pair(0, 13));
  EXPECT_NE(std::find(r.progress.begin(), r.progress.end(), std::make_pair(0, 20000)), r.progress.end());
  // The window is gone and the archive closed after a normal end.
  EXPECT_EQ(r.window_after_run, nullptr);
  EXPECT_FALSE(r.archive_left_open);
}

TEST(Driver, EntriesThatCannotBeWrittenAreReportedAndTheRunGoesOn) {
  FileSpec v21 = stored_file("new.bin", "needs a later version");
  v21.unp_ver = 21;
  FileSpec v12 = stored_file("old.bin", "needs an earlier version");
  v12.unp_ver = 12;
  ArchiveBuilder b;
  b.marker().main_header().file(v21).file(stored_file("a.txt", "first")).file(v12).file(stored_file("b.txt", "second"));
  DriverRun r("version");
  EXPECT_EQ(r.run(b.bytes()), EXTRACT_BAD_VERSION);
  // The caller is still asked, but nothing is created for the entry.
  EXPECT_EQ(r.asked, (Names{"new.bin", "a.txt", "old.bin", "b.txt"}));
  EXPECT_EQ(r.dir.names(), (Names{"a.txt", "b.txt"}));
  EXPECT_EQ(tooltest::read_file(r.dir.file("b.txt")), bytes("second"));
}

TEST(Driver, CompressedEntryOfVersionWithoutDecoderIsUnsupportedNotSilentSuccess) {
  for (uint8_t ver : {13, 15}) {
    SCOPED_TRACE(int(ver));
    FileSpec old = arctest::packed_file("old.bin", {0x12, 0x34, 0x56, 0x78}, bytes("whatever it was"));
    old.unp_ver = ver;
    FileSpec old_stored = stored_file("old-stored.txt", "stored data needs no decoder");
    old_stored.unp_ver = ver;
    ArchiveBuilder b;
    b.marker().main_header().file(old).file(old_stored).file(stored_file("after.txt", "still written"));
    DriverRun r("v13");
    EXPECT_EQ(r.run(b.bytes()), EXTRACT_BAD_VERSION);
    EXPECT_EQ(r.asked, (Names{"old.bin", "old-stored.txt", "after.txt"}));
    // No empty file is left behind; the run goes on with the next entries.
    EXPECT_EQ(r.dir.names(), (Names{"after.txt", "old-stored.txt"}));
    EXPECT_EQ(tooltest::read_file(r.dir.file("old-stored.txt")), bytes("stored data needs no decoder"));
    EXPECT_EQ(tooltest::read_file(r.dir.file("after.txt")), bytes("still written"));
    EXPECT_EQ(r.window_after_run, nullptr);
  }
}

TEST(Driver, DirectoryAndVolumeLabelEntriesCreateNothingAndHideNothing) {
  // A directory entry that claims packed data: a complete file block inside
  // it must not be taken for an entry of its own.
  ArchiveBuilder hidden;
  hidden.file(stored_file("hidden.txt", "not listed anywhere"));
  FileSpec dir;
  dir.name = "docs";
  dir.attr = 0x10;
  dir.packed = hidden.bytes();
  FileSpec label;
  label.name = "VOLUME";
  label.attr = 0x08;
  ArchiveBuilder b;
  b.marker().main_header().file(dir).file(label).file(stored_file("docs\\shown.txt", "listed"));
  DriverRun r("dir");
  EXPECT_EQ(r.run(b.bytes()), 0);
  EXPECT_EQ(r.asked, (Names{"docs", "VOLUME", "docs\\shown.txt"}));
  EXPECT_EQ(r.dir.names(), (Names{"shown.txt"}));
  EXPECT_FALSE(tooltest::file_exists(r.dir.file("hidden.txt")));
  EXPECT_EQ(r.messages.size(), 1u);
}

TEST(Driver, DeclinedOrUncreatableTargetGivesCode11AndTheRunGoesOn) {
  ArchiveBuilder b;
  b.marker().main_header().file(stored_file("kept.txt", "old")).file(stored_file("nowhere.txt", "x")).file(
      stored_file("last.txt", "last"));
  DriverRun r("target");
  r.decline = {"kept.txt"};
  r.redirect = {{"nowhere.txt", r.dir.file("missing-folder/nowhere.txt")}};
  EXPECT_EQ(r.run(b.bytes()), EXTRACT_CANNOT_CREATE);
  EXPECT_EQ(r.asked, (Names{"kept.txt", "nowhere.txt", "last.txt"}));
  EXPECT_EQ(r.dir.names(), (Names{"last.txt"}));
  EXPECT_EQ(r.messages, (Names{"extracting " + r.dir.file("last.txt")}));
}

TEST(Driver, AlteredDataIsWrittenThenDeletedWithCode3) {
  const auto text = tooltest::sample_text(5000, 2);
  FileSpec altered = stored_file("altered.txt", "the original text");
  altered.packed[4] ^= 0x20;
  FileSpec compressed = compressed_file("packed.txt", text);
  compressed.file_crc = arctest::crc32(text) ^ 1;
  ArchiveBuilder b;
  b.marker().main_header().file(altered).file(compressed).file(stored_file("fine.txt", "fine"));
  DriverRun r("crc");
  EXPECT_EQ(r.run(b.bytes()), EXTRACT_BAD_CHECKSUM);
  EXPECT_EQ(r.dir.names(), (Names{"fine.txt"}));
  // Both were announced and decoded in full before the check.
  EXPECT_EQ(r.messages.size(), 3u);
}

TEST(Driver, DamagedFileHeaderEndsTheRunAfterTheEarlierEntries) {
  FileSpec damaged = stored_file("second.txt", "two");
  damaged.bad_crc = true;
  ArchiveBuilder b;
  b.marker().main_header().file(stored_file("first.txt", "one")).file(damaged).file(stored_file("third.txt", "three"));
  DriverRun r("header");
  EXPECT_EQ(r.run(b.bytes()), EXTRACT_BAD_HEADER);
  EXPECT_EQ(r.asked, (Names{"first.txt"}));
  EXPECT_EQ(r.dir.names(), (Names{"first.txt"}));
  EXPECT_EQ(r.window_after_run, nullptr);
  EXPECT_FALSE(r.archive_left_open);
}

TEST(Driver, PartsContinuedFromAnotherVolumeAndSubBlocksArePassedOver) {
  FileSpec continued = stored_file("split.bin", "tail of a file");
  continued.flags |= LHD_SPLIT_BEFORE;
  // A sub-block whose data looks like a file block.
  ArchiveBuilder inner;
  inner.file(stored_file("inner.txt", "inside a sub-block"));
  ArchiveBuilder b;
  b.marker().main_header().file(continued).sub_block(inner.bytes()).file(stored_file("whole.txt", "whole"));
  DriverRun r("split");
  EXPECT_EQ(r.run(b.bytes()), 0);
  EXPECT_EQ(r.asked, (Names{"whole.txt"}));
  EXPECT_EQ(r.dir.names(), (Names{"whole.txt"}));
}

TEST(Driver, SolidArchiveIsExtractedWithStateCarriedOver) {
  // The later entries repeat most of the first, so their packed data refers
  // back into the window the earlier entries left.
  const auto first = tooltest::sample_text(30000, 3);
  auto second = first;
  second.insert(second.end(), {'e', 'n', 'd'});
  const auto third = std::vector<uint8_t>(first.begin() + 1000, first.begin() + 25000);
  TPackState state;
  pack_state_reset(state);
  std::vector<uint8_t> p1, p2, p3;
  pack_entry(state, first.data(), first.size(), false, 5, p1);
  pack_entry(state, second.data(), second.size(), true, 5, p2);
  pack_entry(state, third.data(), third.size(), true, 5, p3);
  ASSERT_LT(p2.size(), second.size() / 4);  // really depends on the first entry
  FileSpec f1 = arctest::packed_file("one.txt", p1, first);
  FileSpec f2 = arctest::packed_file("two.txt", p2, second);
  FileSpec f3 = arctest::packed_file("three.txt", p3, third);
  f2.flags |= LHD_SOLID;
  f3.flags |= LHD_SOLID;
  MainHeaderSpec solid_main;
  solid_main.flags = MHD_SOLID;
  ArchiveBuilder b;
  b.marker().main_header(solid_main).file(f1).file(f2).file(f3);

  {
    DriverRun r("solid");
    EXPECT_EQ(r.run(b.bytes()), 0);
    EXPECT_EQ(r.dir.names(), (Names{"one.txt", "three.txt", "two.txt"}));
    EXPECT_EQ(tooltest::read_file(r.dir.file("one.txt")), first);
    EXPECT_EQ(tooltest::read_file(r.dir.file("two.txt")), second);
    EXPECT_EQ(tooltest::read_file(r.dir.file("three.txt")), third);
    EXPECT_EQ(tooltest::mtime_of(r.dir.file("three.txt")), tooltest::release_time());
  }
  {
    // A declined or uncreatable entry is still decoded, without output, so
    // the entries after it come out right.
    DriverRun r("solid-declined");
    r.decline = {"one.txt"};
    r.redirect = {{"two.txt", r.dir.file("missing-folder/two.txt")}};
    EXPECT_EQ(r.run(b.bytes()), EXTRACT_CANNOT_CREATE);
    EXPECT_EQ(r.dir.names(), (Names{"three.txt"}));
    EXPECT_EQ(tooltest::read_file(r.dir.file("three.txt")), third);
    EXPECT_EQ(r.messages, (Names{"skipped one.txt", "skipped two.txt", "extracting " + r.dir.file("three.txt")}));
  }
}

TEST(Driver, RunsThatCannotStartEndWithTheirCode) {
  {
    DriverRun r("missing");
    EXPECT_EQ(r.run({}, false), EXTRACT_NO_RESOURCE);
    EXPECT_TRUE(r.asked.empty());
    EXPECT_EQ(r.window_after_run, nullptr);
  }
  {
    DriverRun r("not-archive");
    EXPECT_EQ(r.run(bytes("this is just a text file, nothing like an archive at all")), EXTRACT_NOT_ARCHIVE);
    EXPECT_TRUE(r.asked.empty());
    EXPECT_FALSE(r.archive_left_open);
  }
}

TEST(Driver, EntryClaimingMoreDataThanTheArchiveHoldsEndsTheRun) {
  FileSpec truncated = stored_file("cut.txt", "the whole text of the entry");
  truncated.packed.resize(10);  // the header still claims the full size
  truncated.pack_size = 27;
  ArchiveBuilder b;
  b.marker().main_header().file(stored_file("ok.txt", "ok")).file(truncated);
  DriverRun r("truncated");
  EXPECT_EQ(r.run(b.bytes()), EXTRACT_BAD_CHECKSUM);
  EXPECT_EQ(r.dir.names(), (Names{"ok.txt"}));
  EXPECT_EQ(r.errors, (Names{"Unexpected end of file"}));
}

TEST(Driver, DefaultTargetIsTheNamePartInTheProgramFolder) {
  const std::string t = GetDefaultTarget("dir/sub\\drive:name.txt");
  const std::string tail = "name.txt";
  ASSERT_GT(t.size(), tail.size());
  EXPECT_EQ(t.substr(t.size() - tail.size()), tail);
  const char sep = t[t.size() - tail.size() - 1];
  EXPECT_TRUE(sep == '/' || sep == '\\') << t;
  // Names that leave no file name of their own are declined.
  EXPECT_EQ(GetDefaultTarget("docs/"), "");
  EXPECT_EQ(GetDefaultTarget("docs\\.."), "");
  EXPECT_EQ(GetDefaultTarget("."), "");
}
