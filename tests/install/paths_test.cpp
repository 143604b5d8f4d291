// Path splitting, folder creation with its rollback, free space and the
// system-folder lookups, against the real file system and registry.
#include <gtest/gtest.h>

#include "install/long_path.h"
#include "install/win_startmenu_path.h"
#include "tests/install/engine_test_util.h"
#include "install/install_files.h"

// The install library refers to the payload size; these tests embed none.
const int32_t ArchiveTotalBytes = 0;


using namespace enginetest;

namespace {

TEST(PathSplitting, FolderAndNameParts) {
  struct Case {
    const char* path;
    const char* folder;
    const char* name;
  } cases[] = {
      {"C:\\a\\b.scr", "C:\\a\\", "b.scr"},
      {"C:b.scr", "C:", "b.scr"},
      {"b.scr", "", "b.scr"},
      {"dir/sub/file.hlp", "dir/sub/", "file.hlp"},
      {"mixed\\dir/name", "mixed\\dir/", "name"},
      {"C:\\folder\\", "C:\\folder\\", ""},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetPathPart(c.path), c.folder) << c.path;
    EXPECT_EQ(GetNamePart(c.path), c.name) << c.path;
  }
  EXPECT_TRUE(IsPathSeparator('/'));
  EXPECT_TRUE(IsPathSeparator('\\'));
  EXPECT_FALSE(IsPathSeparator(':'));
}

TEST(FolderExists, DirectoriesOnlyHiddenIncluded) {
  TempFolder temp("exists");
  ASSERT_TRUE(IsDirectory(temp.path()));
  ASSERT_TRUE(WriteFileBytes(temp / "file.txt", "x"));
  ASSERT_TRUE(CreateDirectoryA((temp / "hidden").c_str(), nullptr));
  SetFileAttributesA((temp / "hidden").c_str(), FILE_ATTRIBUTE_HIDDEN);

  EXPECT_TRUE(FolderExists(temp.path()));
  EXPECT_TRUE(FolderExists(temp / "hidden"));
  EXPECT_FALSE(FolderExists(temp / "file.txt"));
  EXPECT_FALSE(FolderExists(temp / "missing"));
}

TEST(ForceFolder, CreatesMissingFoldersAndDropsOneTrailingSeparator) {
  TempFolder temp("force");
  ASSERT_TRUE(CreateDirectoryA((temp / "Program Files").c_str(), nullptr));

  std::string path = temp / "Program Files\\Tarvik\\";
  EXPECT_TRUE(ForceFolder(path));
  EXPECT_EQ(path, temp / "Program Files\\Tarvik");
  EXPECT_TRUE(IsDirectory(path));

  // Several levels at once, with forward slashes.
  std::string deep = temp.path() + "/one/two/three";
  EXPECT_TRUE(ForceFolder(deep));
  EXPECT_TRUE(IsDirectory(temp / "one\\two\\three"));

  // An existing folder: nothing to do, and nothing changes inside it.
  std::string existing = temp / "Program Files";
  EXPECT_TRUE(ForceFolder(existing));
  EXPECT_EQ(existing, temp / "Program Files");
  EXPECT_TRUE(IsDirectory(temp / "Program Files\\Tarvik"));

  // The empty path succeeds at once.
  std::string empty;
  EXPECT_TRUE(ForceFolder(empty));
  EXPECT_EQ(empty, "");
}

TEST(ForceFolder, DriveGivenAloneIsNotTouchedAndKeepsItsBackslash) {
  // No such drive exists: success shows the drive was taken as it is.
  std::string bare = "Q:";
  std::string root = "Q:\\";
  ASSERT_FALSE(Exists("Q:\\"));
  EXPECT_TRUE(ForceFolder(bare));
  EXPECT_TRUE(ForceFolder(root));
  EXPECT_EQ(bare, "Q:");
  EXPECT_EQ(root, "Q:\\");

  // Below a missing drive, creation fails.
  std::string below = "Q:\\Velmora";
  EXPECT_FALSE(ForceFolder(below));
}

TEST(ForceFolder, RefusesToBuildInsideAFile) {
  TempFolder temp("file");
  ASSERT_TRUE(WriteFileBytes(temp / "in_the_way", "x"));

  std::string itself = temp / "in_the_way";
  EXPECT_FALSE(ForceFolder(itself));
  std::string below = temp / "in_the_way\\sub\\dir";
  EXPECT_FALSE(ForceFolder(below));
  EXPECT_EQ(ReadFileBytes(temp / "in_the_way"), "x");
}

// A hidden or system folder as the nearest existing ancestor, or as the
// folder itself: nothing is created.
TEST(ForceFolder, RefusesHiddenAndSystemAncestors) {
  TempFolder temp("attr");
  const struct {
    const char* name;
    DWORD attribute;
  } cases[] = {{"hidden", FILE_ATTRIBUTE_HIDDEN}, {"system", FILE_ATTRIBUTE_SYSTEM}};
  for (const auto& c : cases) {
    const std::string folder = temp / c.name;
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    ASSERT_TRUE(SetFileAttributesA(folder.c_str(), c.attribute));
    if ((GetFileAttributesA(folder.c_str()) & c.attribute) == 0) {
      ADD_FAILURE() << "the file system does not keep the " << c.name << " attribute";
      continue;
    }
    std::string below = folder + "\\a\\b";
    EXPECT_FALSE(ForceFolder(below)) << c.name;
    EXPECT_FALSE(Exists(folder + "\\a")) << c.name;
    std::string itself = folder;
    EXPECT_FALSE(ForceFolder(itself)) << c.name;
    // An ordinary folder next to it is still fine.
    std::string sibling = temp / (std::string("plain_") + c.name + "\\x");
    EXPECT_TRUE(ForceFolder(sibling)) << c.name;
  }
}

// When creation fails half-way, what this call created goes again, and the
// folder it started from stays, even when it is empty.
TEST(ForceFolder, FailureHalfWayRemovesOnlyWhatItCreated) {
  TempFolder temp("rollback");
  const std::string a = temp / "a";
  ASSERT_TRUE(CreateDirectoryA(a.c_str(), nullptr));
  // A name with a wildcard cannot be created; make sure of that first.
  ASSERT_FALSE(CreateDirectoryA((temp / "probe*name").c_str(), nullptr));

  std::string path = a + "\\b\\c\\bad*name\\d";
  EXPECT_FALSE(ForceFolder(path));
  EXPECT_TRUE(IsDirectory(a));
  EXPECT_FALSE(Exists(a + "\\b"));

  // The very first creation failing: nothing to remove, the base stays.
  std::string first = a + "\\bad*name";
  EXPECT_FALSE(ForceFolder(first));
  EXPECT_TRUE(IsDirectory(a));

  // Created folders that meanwhile hold a file cannot be removed; removal
  // stops there rather than deleting anything that is not empty.
  std::string keep = a + "\\b\\c";
  ASSERT_TRUE(ForceFolder(keep));
  ASSERT_TRUE(WriteFileBytes(a + "\\b\\c\\note.txt", "keep me"));
  RemoveCreatedFolders(a + "\\b\\c", a);
  EXPECT_EQ(ReadFileBytes(a + "\\b\\c\\note.txt"), "keep me");
}

TEST(RemoveCreatedFolders, RemovesUpToButNotIncludingTheBase) {
  TempFolder temp("remove");
  std::string path = temp / "base\\x\\y\\z";
  ASSERT_TRUE(ForceFolder(path));
  RemoveCreatedFolders(temp / "base\\x\\y\\z", temp / "base");
  EXPECT_TRUE(IsDirectory(temp / "base"));
  EXPECT_FALSE(Exists(temp / "base\\x"));

  // An empty base: nothing is removed.
  std::string again = temp / "base\\x";
  ASSERT_TRUE(ForceFolder(again));
  RemoveCreatedFolders(temp / "base\\x", "");
  EXPECT_TRUE(IsDirectory(temp / "base\\x"));
}

TEST(DriveFreeBytes, RootsOfAbsoluteRelativeAndMalformedPaths) {
  char windows[MAX_PATH + 1] = {};
  ASSERT_NE(GetWindowsDirectoryA(windows, sizeof windows), 0u);
  EXPECT_NE(GetDriveFreeBytes(windows), 0u);
  EXPECT_NE(GetDriveFreeBytes(std::string(windows, 3) + "no\\such\\folder"), 0u);

  // A relative path is measured on the current directory's drive.
  char saved[MAX_PATH + 1] = {};
  GetCurrentDirectoryA(sizeof saved, saved);
  ASSERT_TRUE(SetCurrentDirectoryA(std::string(windows, 3).c_str()));
  EXPECT_NE(GetDriveFreeBytes("WINDOWS"), 0u);
  SetCurrentDirectoryA(saved);

  EXPECT_EQ(GetDriveFreeBytes(std::string(windows, 3) + "a\\\\b"), 0u);  // doubled separator
  EXPECT_EQ(GetDriveFreeBytes("Q:\\Velmora"), 0u);                       // no such drive
  EXPECT_EQ(GetDriveFreeBytes("\\\\"), 0u);                              // no server
  EXPECT_EQ(GetDriveFreeBytes("\\\\noserver"), 0u);                      // no share
}

TEST(DriveFreeBytes, LargeDrivesDoNotWrapAround) {
  // 4 GiB exactly, and 8 GiB: a 32-bit product would give 0 ("full").
  EXPECT_EQ(FreeBytesOfClusters(0x100000, 512, 8), 0xFFFFFFFFu);
  EXPECT_EQ(FreeBytesOfClusters(0x200000, 4096, 1), 0xFFFFFFFFu);
  EXPECT_EQ(FreeBytesOfClusters(1000, 512, 8), 4096000u);
  EXPECT_EQ(FreeBytesOfClusters(0, 512, 8), 0u);
}

constexpr char kShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

TEST(SystemFolders, ProgramFilesFromTheWindowsVersionKey) {
  const RegValue expected = ReadValue(HKEY_LOCAL_MACHINE,
                                      "Software\\Microsoft\\Windows\\CurrentVersion",
                                      "ProgramFilesDir");
  ASSERT_TRUE(expected.found);
  ASSERT_FALSE(expected.data.empty());
  EXPECT_EQ(GetProgramFilesDir(), expected.data);
}

// The machine-wide "Common Programs" wins; without it (missing, empty or not
// a plain string), the user's "Programs" is used. The test changes the
// machine's value and puts it back.
TEST(SystemFolders, StartMenuProgramsMachineFirstThenUser) {
  const RegValue common = ReadValue(HKEY_LOCAL_MACHINE, kShellFolders, "Common Programs");
  const RegValue user = ReadValue(HKEY_CURRENT_USER, kShellFolders, "Programs");
  ASSERT_TRUE(user.found && user.type == REG_SZ && !user.data.empty())
      << "no per-user Programs folder recorded";

  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kShellFolders, 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  auto set = [&](DWORD type, const std::string& text) {
    RegSetValueExA(key, "Common Programs", 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
  };

  set(REG_SZ, "C:\\Machine\\Programs");
  EXPECT_EQ(GetStartMenuProgramsDir(), "C:\\Machine\\Programs");
  set(REG_SZ, "");
  EXPECT_EQ(GetStartMenuProgramsDir(), user.data);
  set(REG_EXPAND_SZ, "C:\\Expand\\Programs");
  EXPECT_EQ(GetStartMenuProgramsDir(), user.data);
  set(REG_SZ, std::string(270, 'p'));  // longer than a path may be
  EXPECT_EQ(GetStartMenuProgramsDir(), user.data);
  RegDeleteValueA(key, "Common Programs");
  EXPECT_EQ(GetStartMenuProgramsDir(), user.data);

  if (common.found)
    RegSetValueExA(key, "Common Programs", 0, common.type,
                   reinterpret_cast<const BYTE*>(common.data.c_str()),
                   static_cast<DWORD>(common.data.size() + 1));
  RegCloseKey(key);
  EXPECT_EQ(GetStartMenuProgramsDir(), common.found && !common.data.empty() ? common.data : user.data);
}

}  // namespace
