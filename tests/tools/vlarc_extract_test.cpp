// What vlarc adds around the driver, in process: the rules for archived
// names, how names are shown, NAME patterns, the archive file stream against
// the memory stream, and the safe output under a disk that fills up.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "archive/arc_checksum.h"
#include "archive/arc_extract.h"
#include "archive/archive_class.h"
#include "tests/support/archive_builder.h"
#include "tests/tools/temp_dir.h"
#include "tools/archive_file_stream.h"
#include "tools/entry_names.h"
#include "tools/safe_output.h"

using arctest::ArchiveBuilder;
using arctest::stored_file;
using tooltest::TempDir;

namespace {

using Parts = std::vector<std::string>;

Parts split(const std::string& name, bool windows, std::string* reason = nullptr) {
  Parts parts;
  std::string why;
  if (!split_entry_name(name, windows, parts, why)) {
    EXPECT_FALSE(why.empty()) << name;
    EXPECT_TRUE(parts.empty()) << name;
  }
  if (reason) *reason = why;
  return parts;
}

}  // namespace

TEST(EntryNames, SafeNamesSplitIntoFoldersOnBothRuleSets) {
  for (bool windows : {false, true}) {
    SCOPED_TRACE(windows);
    EXPECT_EQ(split("a.txt", windows), (Parts{"a.txt"}));
    EXPECT_EQ(split("src\\d1/a.txt", windows), (Parts{"src", "d1", "a.txt"}));
    EXPECT_EQ(split("./a//b\\.\\c", windows), (Parts{"a", "b", "c"}));
    EXPECT_EQ(split("dir/", windows), (Parts{"dir"}));
    EXPECT_EQ(split("caf\xC3\xA9.txt", windows), (Parts{"caf\xC3\xA9.txt"}));
  }
  // Windows drops trailing dots, so "b.." is refused there only.
  EXPECT_EQ(split("..a/b..", false), (Parts{"..a", "b.."}));
  EXPECT_TRUE(split("..a/b..", true).empty());
}

TEST(EntryNames, NamesThatLeaveTheFolderOrHideBytesAreRefused) {
  const std::string nul("harmless.txt\0/.bashrc", 21);
  for (bool windows : {false, true}) {
    SCOPED_TRACE(windows);
    for (const std::string& bad :
         {std::string("../evil"), std::string("a/../../evil"), std::string("a\\..\\b"), std::string("/etc/passwd"),
          std::string("\\\\server\\share\\x"), std::string("C:\\x"), std::string("c:x"), std::string(""),
          std::string("."), std::string("./"), nul, std::string("esc\x1b[2J"), std::string("ok\nforged: OK"),
          std::string("del\x7F")}) {
      EXPECT_TRUE(split(bad, windows).empty()) << shown(bad);
    }
  }
  std::string why;
  split(nul, false, &why);
  EXPECT_NE(why.find("NUL"), std::string::npos) << why;
  // Windows rules: devices with any extension or case, trailing dots and
  // blanks, characters Windows refuses, stream names.
  for (const char* bad : {"NUL", "aux.txt", "COM1", "lpt9.log", "con .txt", "d/CONOUT$", "a.", "b ",
                                 "dir./x", "a:stream", "what?", "x|y", "com\xB9"}) {
    EXPECT_TRUE(split(bad, true).empty()) << bad;
  }
  for (const char* fine : {"NULL", "auxiliary.txt", "COM10", "console", "a.b"}) {
    EXPECT_FALSE(split(fine, true).empty()) << fine;
  }
  // The same names are plain files elsewhere.
  for (const char* fine : {"NUL", "aux.txt", "a.", "b ", "ab:c"}) EXPECT_FALSE(split(fine, false).empty()) << fine;
}

TEST(EntryNames, ShownTextHasNoControlBytesAndReadsBackUniquely) {
  EXPECT_EQ(shown("docs\\readme.txt"), "docs\\readme.txt");
  EXPECT_EQ(shown(std::string("a\0b", 3)), "a\\x00b");
  EXPECT_EQ(shown("\x1b[31mOK\n"), "\\x1B[31mOK\\x0A");
  EXPECT_EQ(shown("caf\xC3\xA9"), "caf\xC3\xA9");
  EXPECT_EQ(shown("\xE9t\xE9"), "\\xE9t\\xE9");                  // not UTF-8
  EXPECT_EQ(shown("\xC2\x9B" "2J"), "\\xC2\\x9B2J");               // C1 control (CSI)
  EXPECT_EQ(shown("a\xE2\x80\xAE" "cod.exe"), "a\\xE2\\x80\\xAEcod.exe");  // right-to-left override
  EXPECT_EQ(shown("\xC0\xAF"), "\\xC0\\xAF");                      // overlong '/'
  EXPECT_EQ(shown("\\x41"), "\\x5Cx41");                           // a literal escape is escaped
  EXPECT_NE(shown("\\x41"), shown("A"));
  // Any bytes at all: nothing below 0x20, no DEL, no C1 byte pairs.
  uint32_t seed = 12345;
  for (int round = 0; round < 2000; ++round) {
    std::string name;
    for (int i = 0; i < 24; ++i) {
      seed = seed * 1103515245u + 12345u;
      name += static_cast<char>(seed >> 23);
    }
    const std::string s = shown(name);
    for (size_t i = 0; i < s.size(); ++i) {
      const unsigned char b = static_cast<unsigned char>(s[i]);
      ASSERT_TRUE(b >= 0x20 && b != 0x7F) << s;
      if (b == 0xC2 && i + 1 < s.size()) {
        ASSERT_GE(static_cast<unsigned char>(s[i + 1]), 0xA0) << s;
      }
    }
  }
}

TEST(EntryNames, PatternsAndCollisionKeys) {
  EXPECT_TRUE(name_matches("docs\\readme.txt", "docs/readme.txt"));
  EXPECT_TRUE(name_matches("*.txt", "a/b.txt"));
  EXPECT_TRUE(name_matches("d1/*", "d1\\a.txt"));
  EXPECT_TRUE(name_matches("*a*b*", "xxaxxbxx"));
  EXPECT_TRUE(name_matches("*", ""));
  EXPECT_FALSE(name_matches("d1/*", "d2/a.txt"));
  EXPECT_FALSE(name_matches("*.txt", "a.txt.bak"));
  EXPECT_FALSE(name_matches("a.txt", "A.TXT"));
  EXPECT_EQ(target_key({"Dir", "Report.txt"}, true), target_key({"dIR", "REPORT.TXT"}, true));
  EXPECT_NE(target_key({"Dir", "Report.txt"}, false), target_key({"dIR", "REPORT.TXT"}, false));
  EXPECT_NE(target_key({"ab", "c"}, false), target_key({"a", "bc"}, false));
}

// Reads and seeks of the file stream, over a file larger than its buffer,
// give what the memory stream gives over the same bytes.
TEST(ArchiveFileStream, AgreesWithTheMemoryStream) {
  TempDir tmp("stream");
  const std::vector<uint8_t> data = tooltest::noise(3 * TArchiveFileStream::kBufferSize + 123, 9);
  ASSERT_TRUE(tooltest::write_file(tmp.file("a.bin"), data));
  TMyMemoryStream::register_block("#101", data.data(), static_cast<int32_t>(data.size()));
  TMyMemoryStream memory;
  TArchiveFileStream file(tmp.file("a.bin"));
  ASSERT_TRUE(memory.open("#101"));
  ASSERT_TRUE(file.open("#101"));
  EXPECT_EQ(file.size(), memory.size());
  uint32_t seed = 77;
  std::vector<uint8_t> a(200000), b(200000);
  for (int step = 0; step < 3000; ++step) {
    seed = seed * 1103515245u + 12345u;
    const int32_t value = static_cast<int32_t>((seed >> 8) % (data.size() + 40)) - 20;
    if (seed & 1) {
      const int32_t origin = static_cast<int32_t>((seed >> 1) % 4);
      // The file stream adds the offset at origin 2, as the resource stream does.
      ASSERT_EQ(file.seek(value, origin), memory.seek(value, origin)) << step;
    } else {
      const int32_t count = value < 0 ? 0 : value % 150000;
      const int32_t n = file.read(a.data(), count);
      ASSERT_EQ(n, memory.read(b.data(), count)) << step;
      ASSERT_TRUE(std::equal(a.begin(), a.begin() + n, b.begin())) << step;
    }
    ASSERT_EQ(file.position(), memory.position()) << step;
  }
  EXPECT_TRUE(file.error().empty());
  TMyMemoryStream::unregister_block("#101");
  // Only the payload's name opens it; a missing file says why.
  TArchiveFileStream other(tmp.file("a.bin"));
  EXPECT_FALSE(other.open("#102"));
  TArchiveFileStream missing(tmp.file("missing.bin"));
  EXPECT_FALSE(missing.open("#101"));
  EXPECT_FALSE(missing.error().empty());
}

namespace {

// A disk that fills up after `room` bytes.
class TFullDiskOutput : public TSafeOutput {
 public:
  explicit TFullDiskOutput(int64_t room) : room_(room) {}

 protected:
  int64_t raw_write(const void* data, size_t n, std::string& why) override {
    if (room_ <= 0) {
      why = "No space left on device";
      return -1;
    }
    const int64_t done = TSafeOutput::raw_write(data, n < static_cast<size_t>(room_) ? n : static_cast<size_t>(room_), why);
    if (done > 0) room_ -= done;
    return done;
  }

 private:
  int64_t room_;
};

void to_prepared(void* object, const std::string&, std::string& target) {
  target = *static_cast<std::string*>(object);
}

}  // namespace

// The driver writing through the safe output onto a file that is already
// there: a full disk leaves that file as it was and no temporary behind; a
// sound run replaces it.
TEST(SafeOutput, AFullDiskLeavesTheExistingFileAlone) {
  const std::vector<uint8_t> content = tooltest::noise(300000, 3);
  ArchiveBuilder b;
  b.marker().main_header().file(stored_file("victim.txt", content));
  const std::vector<uint8_t> archive = b.bytes();
  TMyMemoryStream::register_block("#101", archive.data(), static_cast<int32_t>(archive.size()));

  for (int64_t room : {int64_t(0), int64_t(100000), int64_t(1) << 40}) {
    SCOPED_TRACE(room);
    TempDir tmp("full");
    ASSERT_TRUE(tooltest::write_file(tmp.file("victim.txt"), arctest::bytes_of("precious")));
    TFullDiskOutput out(room);
    std::string why;
    ASSERT_TRUE(out.set_root(tmp.path(), why)) << why;
    ASSERT_TRUE(out.prepare_file({}, "victim.txt", true, why)) << why;
    std::string shown_target = tmp.file("victim.txt");

    init_crc_table();
    TMyMemoryStream input;
    archive_stream = &input;
    output_stream = &out;
    OnGetTargetPath = {to_prepared, &shown_target};
    extract_result = EXTRACT_OK;
    extract_archive();
    OnGetTargetPath = {};
    archive_stream = nullptr;
    output_stream = nullptr;
    release_buffers();

    bool exists = false;
    const bool full = room < static_cast<int64_t>(content.size());
    EXPECT_EQ(out.commit(true, exists, why), !full) << why;
    EXPECT_EQ(out.write_error().empty(), !full);
    out.discard();
    EXPECT_EQ(tmp.names(), (std::vector<std::string>{"victim.txt"}));
    EXPECT_EQ(tooltest::read_file(tmp.file("victim.txt")), full ? arctest::bytes_of("precious") : content);
    if (!full) {
      EXPECT_EQ(tooltest::mtime_of(tmp.file("victim.txt")), tooltest::release_time());
    }
  }
  TMyMemoryStream::unregister_block("#101");
}
