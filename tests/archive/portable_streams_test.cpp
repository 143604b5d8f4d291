// The memory stream (the resource stream's stand-in) and the POSIX file
// stream: open, seek and read rules, writes, times, erase.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "archive/archive_class.h"

namespace fs = std::filesystem;

namespace {

const char kFirst[] = "0123456789";          // registered as "#101"
const char kSecond[] = "abcdefghijklmnopqrst";  // registered as "#102"

class MemoryStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TMyMemoryStream::register_block("#101", kFirst, 10);
    TMyMemoryStream::register_block("#102", kSecond, 20);
  }
  void TearDown() override {
    TMyMemoryStream::unregister_block("#101");
    TMyMemoryStream::unregister_block("#102");
  }
  TMyMemoryStream stream;
};

TEST_F(MemoryStreamTest, ReadStopsAtTheEnd) {
  ASSERT_TRUE(stream.open("#101"));
  char buf[16] = {};
  ASSERT_EQ(kSeekOk, stream.seek(6, 0));
  EXPECT_EQ(4, stream.read(buf, 16));  // only up to the end
  EXPECT_EQ("6789", std::string(buf, 4));
  EXPECT_EQ(10, stream.position());
  EXPECT_EQ(0, stream.read(buf, 1));   // at position = length
  EXPECT_EQ(10, stream.position());
}

TEST_F(MemoryStreamTest, SeekRules) {
  ASSERT_TRUE(stream.open("#101"));
  EXPECT_EQ(kSeekInvalidPointer, stream.seek(-1, 1));  // before the start
  EXPECT_EQ(0, stream.position());
  EXPECT_EQ(kSeekOk, stream.seek(10, 0));              // exactly the end
  EXPECT_EQ(10, stream.position());
  EXPECT_EQ(kSeekOk, stream.seek(3, 0));
  EXPECT_EQ(kSeekInvalidPointer, stream.seek(11, 0));  // past the end
  EXPECT_EQ(3, stream.position());
  EXPECT_EQ(kSeekInvalidFunction, stream.seek(0, 3));
  EXPECT_EQ(kSeekInvalidFunction, stream.seek(0, -1));
  EXPECT_EQ(3, stream.position());
  EXPECT_EQ(kSeekOk, stream.seek(2, 1));
  EXPECT_EQ(5, stream.position());
  EXPECT_EQ(kSeekOk, stream.seek(-4, 2));              // from the end, offset added
  EXPECT_EQ(6, stream.position());
  EXPECT_EQ(kSeekInvalidPointer, stream.seek(1, 2));
  EXPECT_EQ(kSeekInvalidPointer, stream.seek(0x7FFFFFFF, 1));  // no overflow
  EXPECT_EQ(6, stream.position());
}

TEST_F(MemoryStreamTest, OpenSameNameRewindsAnotherNameSwitches) {
  EXPECT_FALSE(stream.opened);
  EXPECT_TRUE(stream.close());  // never opened
  char buf[4];
  EXPECT_EQ(0, stream.read(buf, 4));  // never opened: empty
  ASSERT_TRUE(stream.open("#101"));
  EXPECT_EQ("#101", stream.name);
  ASSERT_EQ(3, stream.read(buf, 3));
  ASSERT_TRUE(stream.open("#101"));
  EXPECT_EQ(0, stream.position());
  ASSERT_TRUE(stream.open("#102"));
  EXPECT_EQ(20, stream.size());
  EXPECT_EQ("#102", stream.name);
  ASSERT_EQ(4, stream.read(buf, 4));
  EXPECT_EQ("abcd", std::string(buf, 4));

  // A missing name releases what was open and leaves the stream closed.
  EXPECT_FALSE(stream.open("#103"));
  EXPECT_FALSE(stream.opened);
  EXPECT_EQ(0, stream.size());
  EXPECT_EQ(0, stream.read(buf, 4));
  EXPECT_TRUE(stream.close());
}

// ---------------------------------------------------------------------------

class PosixFileStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir = fs::path(::testing::TempDir()) /
          (std::string("vl_posix_") + info->name() + "_" + std::to_string(std::rand()));
    fs::create_directories(dir);
    path = (dir / "out.bin").string();
  }
  void TearDown() override {
    stream.close();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  void write_file(const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
  }
  fs::path dir;
  std::string path;
  TPosixFileStream stream;
};

TEST_F(PosixFileStreamTest, CreateTruncatesAndWritesReadBack) {
  write_file("old contents");
  ASSERT_TRUE(stream.create(path.c_str()));
  EXPECT_EQ(path, stream.name);
  EXPECT_EQ(0, stream.size());
  EXPECT_EQ(5, stream.write("a\nb\r\n", 5));  // binary: no newline translation
  EXPECT_EQ(5, stream.size());
  EXPECT_EQ(kSeekOk, stream.seek(0, 0));
  char buf[8] = {};
  EXPECT_EQ(5, stream.read(buf, 8));
  EXPECT_EQ("a\nb\r\n", std::string(buf, 5));
  EXPECT_EQ(0, stream.read(buf, 8));
  EXPECT_TRUE(stream.close());
  EXPECT_EQ(5u, fs::file_size(path));
}

TEST_F(PosixFileStreamTest, SeekFromEndIgnoresOffset) {
  write_file("0123456789");
  ASSERT_TRUE(stream.open(path.c_str()));
  EXPECT_EQ(kSeekOk, stream.seek(100, 2));
  EXPECT_EQ(10, stream.position());
  EXPECT_EQ(kSeekOk, stream.seek(-3, 1));
  EXPECT_EQ(7, stream.position());
  EXPECT_EQ(kSeekInvalidPointer, stream.seek(-1, 0));
  EXPECT_EQ(7, stream.position());
  EXPECT_EQ(kSeekInvalidFunction, stream.seek(0, 3));
}

TEST_F(PosixFileStreamTest, NotOpenFailsQuietly) {
  EXPECT_EQ(0, stream.write("abc", 3));
  EXPECT_FALSE(stream.open((dir / "missing.bin").string().c_str()));
  EXPECT_FALSE(stream.opened);
  EXPECT_TRUE(stream.name.empty());
  EXPECT_EQ(0, stream.write("abc", 3));
  char buf[4];
  EXPECT_EQ(0, stream.read(buf, 4));
  EXPECT_EQ(kSeekInvalidPointer, stream.seek(0, 0));
  EXPECT_TRUE(stream.close());
  stream.erase();  // no name: nothing happens
  EXPECT_FALSE(fs::exists(dir / "missing.bin"));
}

TEST_F(PosixFileStreamTest, EraseClosesAndDeletes) {
  ASSERT_TRUE(stream.create(path.c_str()));
  ASSERT_EQ(3, stream.write("abc", 3));
  stream.erase();
  EXPECT_FALSE(stream.opened);
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(PosixFileStreamTest, SetTimesGivesTheReleaseTimeInLocalTime) {
  // A zone well away from UTC shows that the release time is local time.
#ifdef _WIN32
  _putenv("TZ=EST5");
  _tzset();
#else
  setenv("TZ", "EST5", 1);
  tzset();
#endif
  ASSERT_TRUE(stream.create(path.c_str()));
  ASSERT_EQ(3, stream.write("abc", 3));
  stream.set_times();
  ASSERT_TRUE(stream.close());
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  // 1998-12-01 01:06:00 at UTC-5 is 06:06:00 UTC.
  const std::time_t expected = 912474360 + 5 * 3600;
  EXPECT_EQ(expected, st.st_mtime);
}

}  // namespace
