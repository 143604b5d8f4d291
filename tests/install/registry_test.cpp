// The installation's registry entries, read back through the plain API.
// These tests own the product's keys in their private Wine prefix.
#include <gtest/gtest.h>

#include <cstring>

#include "install/destinations.h"
#include "install/install_registry.h"
#include "tests/install/engine_test_util.h"
#include "install/install_files.h"

// The payload size the Uninstall entry reports, as the setup embeds it.
const int32_t ArchiveTotalBytes = 11000;


using namespace enginetest;

namespace {

const std::string kAppPathsEntry = std::string(kAppPathsKey) + "\\Velmora.scr";

std::string KeyClass(const std::string& path) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return "<no key>";
  char cls[256] = {};
  DWORD length = sizeof cls;
  RegQueryInfoKeyA(key, cls, &length, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                   nullptr, nullptr, nullptr);
  RegCloseKey(key);
  return std::string(cls, length);
}

// Opens an existing key rather than creating it again: Wine replaces the
// class of an existing key that RegCreateKeyExA is called on.
void SetValue(const char* key_path, const char* name, DWORD type, const std::string& text) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
  }
  RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>(text.size() + 1));
  RegCloseKey(key);
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override { Clean(); }
  void TearDown() override { Clean(); }
  static void Clean() {
    DeleteKeyTree(HKEY_LOCAL_MACHINE, kProductKey);
    DeleteKeyTree(HKEY_LOCAL_MACHINE, kAppPathsEntry);
    DeleteKeyTree(HKEY_LOCAL_MACHINE, kUninstallKey);
    InstallSettings = TInstallSettings();
  }
};

TEST_F(Registry, NoEarlierInstallation) {
  InstallSettings.PreviousInstallFound = true;  // must be cleared
  EXPECT_FALSE(ReadPreviousInstall());
  EXPECT_FALSE(InstallSettings.PreviousInstallFound);
  EXPECT_EQ(InstallSettings.PreviousInstallDir, "");
  EXPECT_EQ(InstallSettings.PreviousShellFolder, "");
}

TEST_F(Registry, ProductKeyWithoutValuesStillCountsAsAnInstallation) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_TRUE(ReadPreviousInstall());
  EXPECT_TRUE(InstallSettings.PreviousInstallFound);
  EXPECT_EQ(InstallSettings.PreviousInstallDir, "");
  EXPECT_EQ(InstallSettings.PreviousShellFolder, "");
}

// Only plain strings that fit a path buffer are taken; anything else reads
// as if the value were missing.
TEST_F(Registry, OnlyPlainStringsOfPathLengthAreRead) {
  SetValue(kProductKey, "InstallDir", REG_EXPAND_SZ, "%ProgramFiles%\\Velmora");
  SetValue(kProductKey, "ShellFolder", REG_SZ, "Games\\Velmora");
  EXPECT_TRUE(ReadPreviousInstall());
  EXPECT_EQ(InstallSettings.PreviousInstallDir, "");
  EXPECT_EQ(InstallSettings.PreviousShellFolder, "Games\\Velmora");

  InstallSettings = TInstallSettings();
  SetValue(kProductKey, "InstallDir", REG_SZ, "C:\\" + std::string(300, 'v'));
  EXPECT_TRUE(ReadPreviousInstall());
  EXPECT_EQ(InstallSettings.PreviousInstallDir, "");

  // 259 characters and the zero: exactly the 260 bytes that fit.
  const std::string longest = "C:\\" + std::string(256, 'v');
  SetValue(kProductKey, "InstallDir", REG_SZ, longest);
  EXPECT_TRUE(ReadPreviousInstall());
  EXPECT_EQ(InstallSettings.PreviousInstallDir, longest);

  // ReadRegString leaves the string alone when it cannot read the value.
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  std::string kept = "unchanged";
  ReadRegString(key, "NoSuchValue", kept);
  EXPECT_EQ(kept, "unchanged");
  RegCloseKey(key);
}

// A destination typed with a trailing backslash is remembered as typed,
// while the paths built from it use the created folder.
TEST_F(Registry, InstallEntriesAreWrittenAndReadBack) {
  InstallSettings.InstalledDir = "D:\\Games\\Velmora";
  InstallSettings.ScreenSaverPath = "C:\\windows\\Velmora.scr";
  EXPECT_TRUE(WriteInstallEntries("D:\\Games\\Velmora\\"));

  const struct {
    std::string key;
    const char* name;
    const char* value;
  } expected[] = {
      {kProductKey, "InstallDir", "D:\\Games\\Velmora\\"},
      {kAppPathsEntry, "", "C:\\windows\\Velmora.scr"},
      {kAppPathsEntry, "Path", "D:\\Games\\Velmora"},
      {kUninstallKey, "DisplayName", "Velmora screen saver"},
      {kUninstallKey, "UninstallString", "D:\\Games\\Velmora\\VLRemove.exe"},
      {kUninstallKey, "DisplayIcon", "C:\\windows\\Velmora.scr"},
      {kUninstallKey, "DisplayVersion", "1.6"},
      {kUninstallKey, "Publisher", "Tarvik"},
      {kUninstallKey, "InstallLocation", "D:\\Games\\Velmora"},
  };
  for (const auto& e : expected) {
    const RegValue v = ReadValue(HKEY_LOCAL_MACHINE, e.key, e.name);
    EXPECT_TRUE(v.found) << e.key << " " << e.name;
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_SZ)) << e.key << " " << e.name;
    EXPECT_EQ(v.data, e.value) << e.key << " " << e.name;
  }
  // The numbers are DWORDs: the payload size above (11,000 bytes)
  // rounded up to whole kilobytes, and the two switches set.
  const struct {
    const char* name;
    DWORD value;
  } numbers[] = {{"EstimatedSize", 11}, {"NoModify", 1}, {"NoRepair", 1}};
  for (const auto& n : numbers) {
    const RegValue v = ReadValue(HKEY_LOCAL_MACHINE, kUninstallKey, n.name);
    EXPECT_TRUE(v.found) << n.name;
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_DWORD)) << n.name;
    ASSERT_EQ(v.data.size(), sizeof(DWORD)) << n.name;
    DWORD got = 0;
    std::memcpy(&got, v.data.data(), sizeof got);
    EXPECT_EQ(got, n.value) << n.name;
  }
  for (const std::string& key : {std::string(kProductKey), kAppPathsEntry, std::string(kUninstallKey)})
    EXPECT_EQ(KeyClass(key), kKeyClass) << key;

  // What this run wrote is what the next run finds.
  EXPECT_TRUE(WriteShellFolder("Velmora"));
  InstallSettings = TInstallSettings();
  EXPECT_TRUE(ReadPreviousInstall());
  EXPECT_EQ(InstallSettings.PreviousInstallDir, "D:\\Games\\Velmora\\");
  EXPECT_EQ(InstallSettings.PreviousShellFolder, "Velmora");
}

// Under "Program Files" the uninstaller's path has a blank: unquoted, Windows
// would first try to run "C:\Program.exe".
TEST_F(Registry, UninstallCommandWithABlankIsQuoted) {
  InstallSettings.InstalledDir = "C:\\Program Files\\Velmora";
  InstallSettings.ScreenSaverPath = "C:\\windows\\Velmora.scr";
  EXPECT_TRUE(WriteInstallEntries("C:\\Program Files\\Velmora"));
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kUninstallKey, "UninstallString").data,
            "\"C:\\Program Files\\Velmora\\VLRemove.exe\"");
  // The folder itself is a path, not a command line: never quoted.
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kAppPathsEntry, "Path").data,
            "C:\\Program Files\\Velmora");
}

// The user kept the installed screen saver: there is no file name to
// register, and the App Paths key itself must not receive the values.
TEST_F(Registry, KeptScreenSaverLeavesAppPathsAlone) {
  const RegValue before_default = ReadValue(HKEY_LOCAL_MACHINE, kAppPathsKey, "");
  const RegValue before_path = ReadValue(HKEY_LOCAL_MACHINE, kAppPathsKey, "Path");
  InstallSettings.InstalledDir = "D:\\Velmora";
  EXPECT_TRUE(WriteInstallEntries("D:\\Velmora"));

  const RegValue after_default = ReadValue(HKEY_LOCAL_MACHINE, kAppPathsKey, "");
  const RegValue after_path = ReadValue(HKEY_LOCAL_MACHINE, kAppPathsKey, "Path");
  EXPECT_EQ(after_default.found, before_default.found);
  EXPECT_EQ(after_default.data, before_default.data);
  EXPECT_EQ(after_path.found, before_path.found);
  EXPECT_EQ(after_path.data, before_path.data);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kAppPathsEntry));
  // The other two entries are still written.
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kProductKey, "InstallDir").data, "D:\\Velmora");
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kUninstallKey, "UninstallString").data,
            "D:\\Velmora\\VLRemove.exe");
  // Without the screen saver's path the list shows the uninstaller's icon.
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayIcon").data,
            "D:\\Velmora\\VLRemove.exe");
}

// Kilobytes are rounded up, and nothing below zero or past 32 bits comes out.
TEST(EstimatedSize, RoundsUpToWholeKilobytes) {
  EXPECT_EQ(EstimatedSizeKb(0), 0u);
  EXPECT_EQ(EstimatedSizeKb(-5), 0u);
  EXPECT_EQ(EstimatedSizeKb(1), 1u);
  EXPECT_EQ(EstimatedSizeKb(1024), 1u);
  EXPECT_EQ(EstimatedSizeKb(1025), 2u);
  EXPECT_EQ(EstimatedSizeKb(1111316), 1086u);
  EXPECT_EQ(EstimatedSizeKb(INT32_MAX), 2097152u);
}

// An existing key is opened as it is: its class and its other values stay.
TEST_F(Registry, ExistingKeysKeepTheirClassAndOtherValues) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, const_cast<char*>("Other Class"),
                            0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  SetValue(kProductKey, "ShellFolder", REG_SZ, "Old Group");

  InstallSettings.InstalledDir = "D:\\Velmora";
  InstallSettings.ScreenSaverPath = "C:\\windows\\Velmora.scr";
  EXPECT_TRUE(WriteInstallEntries("D:\\Velmora"));
  EXPECT_EQ(KeyClass(kProductKey), "Other Class");
  // A run without shortcuts does not touch the remembered group.
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kProductKey, "ShellFolder").data, "Old Group");

  EXPECT_TRUE(WriteShellFolder("New Group"));
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kProductKey, "ShellFolder").data, "New Group");
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kProductKey, "InstallDir").data, "D:\\Velmora");
}

}  // namespace
