// The Win32 streams: the resource stream over the "ARC" resources compiled
// into this program, and the file stream with its times.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "archive/archive_class.h"

namespace {

// The contents of tests/archive/data/arc101.bin and arc102.bin.
const std::string kArc101 = "Velmora archive resource one: 0123456789";
const std::string kArc102 = "second resource, a different length";

std::string read_all(TAbstractStream& s) {
  std::string out;
  char buf[7];
  for (int32_t n; (n = s.read(buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
  return out;
}

TEST(ResourceStream, ReadsTheResourceAndStopsAtItsEnd) {
  TMyResourceStream s;
  char buf[64];
  EXPECT_EQ(0, s.read(buf, 8));  // never opened: empty
  EXPECT_TRUE(s.close());        // never opened
  ASSERT_TRUE(s.open("#101"));
  EXPECT_TRUE(s.opened);
  EXPECT_EQ("#101", s.name);
  EXPECT_EQ(int32_t(kArc101.size()), s.size());
  EXPECT_EQ(kArc101, read_all(s));
  EXPECT_EQ(s.size(), s.position());
  EXPECT_EQ(0, s.read(buf, 1));
  ASSERT_EQ(kSeekOk, s.seek(-5, 2));
  EXPECT_EQ(5, s.read(buf, 64));  // only what is left
  EXPECT_EQ("56789", std::string(buf, 5));
  EXPECT_TRUE(s.close());
  EXPECT_FALSE(s.opened);
  EXPECT_EQ(0, s.size());
}

TEST(ResourceStream, SeekRules) {
  TMyResourceStream s;
  ASSERT_TRUE(s.open("#101"));
  const int32_t length = s.size();
  EXPECT_EQ(kSeekInvalidPointer, s.seek(-1, 1));
  EXPECT_EQ(0, s.position());
  EXPECT_EQ(kSeekOk, s.seek(length, 0));
  EXPECT_EQ(length, s.position());
  EXPECT_EQ(kSeekOk, s.seek(4, 0));
  EXPECT_EQ(kSeekInvalidPointer, s.seek(length + 1, 0));
  EXPECT_EQ(kSeekInvalidPointer, s.seek(1, 2));
  EXPECT_EQ(kSeekInvalidFunction, s.seek(0, 3));
  EXPECT_EQ(4, s.position());
  EXPECT_EQ(kSeekOk, s.seek(3, 1));
  EXPECT_EQ(7, s.position());
}

TEST(ResourceStream, OpenSameNameRewindsAnotherNameSwitches) {
  TMyResourceStream s;
  ASSERT_TRUE(s.open("#101"));
  char buf[8];
  ASSERT_EQ(8, s.read(buf, 8));
  ASSERT_TRUE(s.open("#101"));
  EXPECT_EQ(0, s.position());
  ASSERT_TRUE(s.open("#102"));
  EXPECT_EQ("#102", s.name);
  EXPECT_EQ(kArc102, read_all(s));
  // A missing resource: the one held is released, the stream is closed and
  // reads nothing.
  EXPECT_FALSE(s.open("#103"));
  EXPECT_FALSE(s.opened);
  EXPECT_EQ(0, s.size());
  EXPECT_EQ(0, s.read(buf, 8));
  EXPECT_FALSE(s.open("NOSUCH"));
  // And it can be opened again afterwards.
  ASSERT_TRUE(s.open("#101"));
  EXPECT_EQ(kArc101, read_all(s));
}

// ---------------------------------------------------------------------------

class FileStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    path = std::string(dir) + "vl_filestream_" + std::to_string(GetCurrentProcessId()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".bin";
  }
  void TearDown() override {
    stream.close();
    DeleteFileA(path.c_str());
  }
  void write_file(const std::string& content) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD written = 0;
    WriteFile(h, content.data(), DWORD(content.size()), &written, nullptr);
    CloseHandle(h);
  }
  std::string path;
  TMyFileStream stream;
};

TEST_F(FileStreamTest, CreateOverAnExistingFileLeavesItEmpty) {
  write_file("earlier contents");
  ASSERT_TRUE(stream.create(path.c_str()));
  EXPECT_EQ(path, stream.name);
  EXPECT_EQ(0, stream.size());
  EXPECT_EQ(6, stream.write("abc\nde", 6));
  EXPECT_EQ(6, stream.size());
  ASSERT_EQ(kSeekOk, stream.seek(0, 0));
  char buf[16];
  EXPECT_EQ(6, stream.read(buf, 16));
  EXPECT_EQ("abc\nde", std::string(buf, 6));
  EXPECT_EQ(0, stream.read(buf, 16));
  EXPECT_TRUE(stream.close());
  EXPECT_FALSE(stream.opened);
}

TEST_F(FileStreamTest, SeekFromEndIgnoresOffset) {
  write_file("0123456789");
  ASSERT_TRUE(stream.open(path.c_str()));
  EXPECT_EQ(kSeekOk, stream.seek(100, 2));
  EXPECT_EQ(10, stream.position());
  EXPECT_EQ(kSeekOk, stream.seek(-4, 1));
  EXPECT_EQ(6, stream.position());
  EXPECT_EQ(kSeekInvalidPointer, stream.seek(-1, 0));
  EXPECT_EQ(6, stream.position());
  EXPECT_EQ(kSeekInvalidFunction, stream.seek(0, 3));
}

TEST_F(FileStreamTest, NotOpenFailsQuietly) {
  EXPECT_EQ(0, stream.write("abc", 3));
  EXPECT_FALSE(stream.open(path.c_str()));  // does not exist
  EXPECT_FALSE(stream.opened);
  EXPECT_EQ(0, stream.write("abc", 3));
  char buf[4];
  EXPECT_EQ(0, stream.read(buf, 4));
  EXPECT_TRUE(stream.close());
  stream.erase();  // no name yet: nothing to do
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path.c_str()));
}

TEST_F(FileStreamTest, EraseClosesAndDeletes) {
  ASSERT_TRUE(stream.create(path.c_str()));
  ASSERT_EQ(3, stream.write("abc", 3));
  stream.erase();
  EXPECT_FALSE(stream.opened);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path.c_str()));
}

TEST_F(FileStreamTest, SetTimesStampsTheReleaseTime) {
  ASSERT_TRUE(stream.create(path.c_str()));
  ASSERT_EQ(3, stream.write("abc", 3));
  SYSTEMTIME before_system;
  GetSystemTime(&before_system);
  FILETIME before;
  SystemTimeToFileTime(&before_system, &before);
  stream.set_times();
  ASSERT_TRUE(stream.close());

  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  FILETIME created, accessed, written;
  ASSERT_TRUE(GetFileTime(h, &created, &accessed, &written));
  CloseHandle(h);

  // The last write, seen in local time, is the release time.
  FILETIME local;
  SYSTEMTIME t;
  ASSERT_TRUE(FileTimeToLocalFileTime(&written, &local));
  ASSERT_TRUE(FileTimeToSystemTime(&local, &t));
  EXPECT_EQ(1998, t.wYear);
  EXPECT_EQ(12, t.wMonth);
  EXPECT_EQ(1, t.wDay);
  EXPECT_EQ(1, t.wHour);
  EXPECT_EQ(6, t.wMinute);
  EXPECT_EQ(0, t.wSecond);
  const FILETIME release = ReleaseTimestamp();
  EXPECT_EQ(0, CompareFileTime(&release, &written));
  // The creation time is now, within a generous margin. Wine keeps no
  // creation time of its own on the host's file systems, so only Windows
  // itself can show it.
  if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr) return;
  ULARGE_INTEGER c, b;
  c.LowPart = created.dwLowDateTime, c.HighPart = created.dwHighDateTime;
  b.LowPart = before.dwLowDateTime, b.HighPart = before.dwHighDateTime;
  const int64_t seconds = (int64_t(c.QuadPart) - int64_t(b.QuadPart)) / 10000000;
  EXPECT_LE(-120, seconds);
  EXPECT_GE(120, seconds);
}

}  // namespace
