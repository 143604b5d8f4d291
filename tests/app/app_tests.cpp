// The setup's own helpers: the licence stream over an RTF resource, the
// destination rules of page 3 (and the path helpers they share with the
// uninstaller) and the group name of page 4.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "app/InstallWizard.h"
#include "app/RTFResourceStream.h"
#include "install/install_contract.h"
#include "install/install_files.h"

// The install library refers to the payload size; these tests embed none.
const int32_t ArchiveTotalBytes = 0;

namespace {

// Reads the selected resource the way the RichEdit control does.
std::string StreamAll(LONG chunk, int* calls = nullptr) {
  std::string text;
  BYTE buffer[256];
  for (int n = 1;; ++n) {
    LONG got = -1;
    EXPECT_EQ(0u, RtfStreamCallback(0, buffer, chunk, &got));
    if (got <= 0) {
      EXPECT_EQ(0, got);
      if (calls != nullptr) *calls = n;
      return text;
    }
    EXPECT_LE(got, chunk);
    text.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(got));
  }
}

const std::string kDocA =
    "{\\rtf1\\ansi First test document, long enough to need several chunks.\\par}";

TEST(RtfResourceStream, DeliversTheResourceInRequestedChunksThenEnds) {
  ASSERT_TRUE(SelectRtfResource(101));
  int calls = 0;
  EXPECT_EQ(kDocA, StreamAll(10, &calls));
  // 73 bytes in chunks of 10: eight chunks (the last of 3 bytes), then the end.
  EXPECT_EQ(9, calls);
}

TEST(RtfResourceStream, SecondStreamIsEmptyUntilSelectedAgain) {
  ASSERT_TRUE(SelectRtfResource(101));
  EXPECT_EQ(kDocA, StreamAll(200));
  EXPECT_EQ("", StreamAll(200));
  ASSERT_TRUE(SelectRtfResource(101));  // same id: rewinds
  EXPECT_EQ(kDocA, StreamAll(7));
}

TEST(RtfResourceStream, SwitchesResourcesAndFailsCleanlyOnMissingOnes) {
  ASSERT_TRUE(SelectRtfResource(102));
  EXPECT_EQ("{\\rtf1 B}", StreamAll(64));
  // A missing resource forgets the old selection: the stream is empty.
  EXPECT_FALSE(SelectRtfResource(555));
  EXPECT_EQ("", StreamAll(64));
  ASSERT_TRUE(SelectRtfResource(102));
  EXPECT_EQ("{\\rtf1 B}", StreamAll(64));
}

// Page 3 takes a folder only in full and below a root, and keeps it in the
// form that is recorded and that the uninstaller compares against.
TEST(Destination, TakesFullFoldersBelowARootInOneForm) {
  const struct {
    const char* typed;
    const char* stored;
  } taken[] = {
      {"C:\\Velmora", "C:\\Velmora"},
      {"c:/Games/Velmora/", "C:\\Games\\Velmora"},
      {"C:\\Games\\\\Velmora\\.\\", "C:\\Games\\Velmora"},
      {"C:\\Games\\Old\\..\\Velmora", "C:\\Games\\Velmora"},
      {"C:\\..\\..\\Velmora", "C:\\Velmora"},  // ".." stops at the root
      {"C:\\Program Files \\Velmora. .", "C:\\Program Files\\Velmora"},
      {"\\\\server\\share\\Velmora", "\\\\server\\share\\Velmora"},
      {"//server/share/a/../Velmora", "\\\\server\\share\\Velmora"},
  };
  for (const auto& t : taken) {
    std::string stored;
    EXPECT_TRUE(NormaliseFullPath(t.typed, stored)) << t.typed;
    EXPECT_EQ(stored, t.stored) << t.typed;
    std::string again;  // the stored form is taken as it is
    EXPECT_TRUE(NormaliseFullPath(stored, again));
    EXPECT_EQ(again, stored);
  }
}

TEST(Destination, RefusesRootsRelativeFoldersAndOddNames) {
  const char* refused[] = {
      "", "C:", "C:\\", "d:/", "C:\\\\", "C:\\.", "C:\\..", "C:\\ .", "C:\\a\\..", "C:\\a\\.. ", "C:\\...",
      "C:Velmora", "\\Velmora", "Velmora", ".\\Velmora", "..\\Velmora",
      "\\\\", "\\\\server", "\\\\server\\share", "\\\\server\\share\\", "\\\\server\\share\\.",
      "\\\\\\share\\x", "\\\\?\\C:\\Velmora", "\\\\.\\C:\\Velmora", "\\\\..\\share\\x",
      "C:\\a:b", "C:\\a|b", "C:\\a*", "C:\\a?", "C:\\a\"b", "C:\\a\tb", "?:\\Velmora", "C;\\Velmora",
  };
  for (const char* typed : refused) {
    std::string stored = "unchanged";
    EXPECT_FALSE(NormaliseFullPath(typed, stored)) << typed;
    EXPECT_EQ(stored, "unchanged") << typed;
  }
}

TEST(Destination, PathHelpersShareOneCaseRule) {
  EXPECT_TRUE(SamePath("C:\\Program Files\\Velmora", "c:/PROGRAM FILES/velmora"));
  EXPECT_FALSE(SamePath("C:\\Velmora", "C:\\Velmora\\"));
  EXPECT_TRUE(StartsWithFolder("C:\\Programs\\Velmora", "c:\\programs"));
  EXPECT_FALSE(StartsWithFolder("C:\\ProgramsX\\Velmora", "C:\\Programs"));
  EXPECT_FALSE(StartsWithFolder("C:\\Programs\\", "C:\\Programs"));
  EXPECT_FALSE(StartsWithFolder("C:\\Programs", ""));
  EXPECT_EQ(JoinPath("C:\\", "a"), "C:\\a");
  EXPECT_EQ(JoinPath("C:\\x", "a"), "C:\\x\\a");
}

TEST(Destination, LocalFixedDiskFollowsTheDriveOrTheCurrentDirectory) {
  char windows[MAX_PATH];
  GetWindowsDirectoryA(windows, MAX_PATH);
  EXPECT_TRUE(IsLocalFixedDisk(windows));
  EXPECT_TRUE(IsLocalFixedDisk(std::string(1, windows[0]) + ":"));
  // No drive letter: judged by the current directory's drive.
  char saved[MAX_PATH];
  GetCurrentDirectoryA(MAX_PATH, saved);
  ASSERT_TRUE(SetCurrentDirectoryA(windows));
  EXPECT_TRUE(IsLocalFixedDisk("\\\\server\\share\\Velmora"));
  EXPECT_TRUE(IsLocalFixedDisk(""));
  SetCurrentDirectoryA(saved);
  // A drive letter that names no drive.
  for (char letter = 'Q'; letter <= 'Y'; ++letter) {
    std::string root = std::string(1, letter) + ":\\";
    if (GetDriveTypeA(root.c_str()) == DRIVE_NO_ROOT_DIR) {
      EXPECT_FALSE(IsLocalFixedDisk(root + "Velmora"));
      break;
    }
  }
}

TEST(GroupName, RelativeToEitherProgramsFolder) {
  const std::string common = "C:\\ProgramData\\Start Menu\\Programs";
  const std::string user = "C:\\users\\me\\Start Menu\\Programs";
  EXPECT_EQ("Games\\Velmora", RelativeGroupName(common + "\\Games\\Velmora", common, user));
  // The picker is rooted at the user's folder; the name is the same below
  // the machine's folder.
  EXPECT_EQ("Games\\Velmora", RelativeGroupName(user + "\\Games\\Velmora", common, user));
  EXPECT_EQ("Velmora", RelativeGroupName(user + "\\Velmora", common, user));
  // Case does not matter in Windows paths; a mere prefix of a name does.
  EXPECT_EQ("Velmora", RelativeGroupName("c:\\USERS\\me\\start menu\\programs\\Velmora", common, user));
  EXPECT_EQ("Programs2\\Velmora",
            RelativeGroupName("C:\\users\\me\\Start Menu\\Programs2\\Velmora", common, user));
  // Outside both folders, and with an empty lookup: the last two names.
  EXPECT_EQ("Tools\\Velmora", RelativeGroupName("D:\\Tools\\Velmora", common, user));
  EXPECT_EQ("Tools\\Velmora", RelativeGroupName("D:\\Tools\\Velmora", "", ""));
}

}  // namespace
