// The shortcut worker: the group folder, its registry entry, and the two
// shortcut files loaded back through the shell's own link object.
#include <gtest/gtest.h>

#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>

#include <cctype>

#include "install/destinations.h"
#include "install/install_files.h"
#include "install/install_registry.h"
#include "install/install_shortcuts.h"
#include "install/ShellUtl.h"
#include "install/win_startmenu_path.h"
#include "tests/install/engine_test_util.h"

// The install library refers to the payload size; these tests embed none.
const int32_t ArchiveTotalBytes = 0;


using namespace enginetest;

namespace {

struct LinkInfo {
  bool loaded = false;
  std::string path, arguments, description, icon;
  int icon_index = -1;
};

LinkInfo LoadLink(const std::string& file) {
  LinkInfo info;
  IShellLinkA* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                              reinterpret_cast<void**>(&link))))
    return info;
  IPersistFile* persist = nullptr;
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)))) {
    WCHAR wide[MAX_PATH] = {};
    MultiByteToWideChar(CP_ACP, 0, file.c_str(), -1, wide, MAX_PATH);
    if (SUCCEEDED(persist->Load(wide, STGM_READ))) {
      char buffer[1024] = {};
      info.loaded = true;
      if (SUCCEEDED(link->GetPath(buffer, sizeof buffer, nullptr, SLGP_RAWPATH))) info.path = buffer;
      buffer[0] = 0;
      if (SUCCEEDED(link->GetArguments(buffer, sizeof buffer))) info.arguments = buffer;
      buffer[0] = 0;
      if (SUCCEEDED(link->GetDescription(buffer, sizeof buffer))) info.description = buffer;
      buffer[0] = 0;
      if (SUCCEEDED(link->GetIconLocation(buffer, sizeof buffer, &info.icon_index)))
        info.icon = buffer;
    }
    persist->Release();
  }
  link->Release();
  return info;
}

bool EndsWithNoCase(const std::string& text, const std::string& tail) {
  if (text.size() < tail.size()) return false;
  for (size_t i = 0; i < tail.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[text.size() - tail.size() + i])) !=
        std::tolower(static_cast<unsigned char>(tail[i])))
      return false;
  return true;
}

std::string WindowsFolder() {
  char windows[MAX_PATH + 1] = {};
  GetWindowsDirectoryA(windows, sizeof windows);
  return windows;
}

class Shortcuts : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitialize(nullptr);
    DeleteKeyTree(HKEY_LOCAL_MACHINE, kProductKey);
    InstallSettings = TInstallSettings();
    programs_ = GetStartMenuProgramsDir();
    ASSERT_FALSE(programs_.empty());
    group_ = programs_ + "\\Velmora Engine Test";
    RemoveTree(group_);
  }
  void TearDown() override {
    RemoveTree(group_);
    DeleteKeyTree(HKEY_LOCAL_MACHINE, kProductKey);
    CoUninitialize();
  }

  // Runs the worker to its end on a page that pumps messages.
  void RunWorker(PageRecorder& page, const std::string& group_path) {
    TProcessShortsThread worker(page.wnd(), group_path);
    ASSERT_TRUE(page.PumpUntil(WM_INSTALL_SHORTCUTS_DONE, 60000));
  }

  std::string programs_;
  std::string group_;
};

TEST_F(Shortcuts, FirstInstallationMakesGroupRegistryEntryAndBothLinks) {
  TempFolder installed("shortcuts");
  InstallSettings.InstalledDir = installed.path();
  InstallSettings.ScreenSaverPath = WindowsFolder() + "\\Velmora.scr";

  PageRecorder page;
  RunWorker(page, group_ + "\\");  // the trailing separator is dropped
  ASSERT_EQ(page.messages().size(), 1u);
  EXPECT_EQ(page.messages()[0].lparam, 0);
  EXPECT_TRUE(page.messages()[0].from_other_thread);

  EXPECT_EQ(InstallSettings.ProgramGroupFolder, group_);
  EXPECT_EQ(InstallSettings.ShellFolder, "Velmora Engine Test");
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kProductKey, "ShellFolder").data, "Velmora Engine Test");
  EXPECT_TRUE(IsDirectory(group_));

  const LinkInfo settings = LoadLink(group_ + "\\Velmora Settings.Lnk");
  ASSERT_TRUE(settings.loaded);
  char system[MAX_PATH] = {};
  GetSystemDirectoryA(system, MAX_PATH);
  EXPECT_EQ(CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, settings.path.c_str(), -1,
                           (std::string(system) + "\\rundll32.exe").c_str(), -1),
            CSTR_EQUAL)
      << settings.path;
  EXPECT_EQ(settings.arguments, "desk.cpl,InstallScreenSaver " + InstallSettings.ScreenSaverPath);
  EXPECT_EQ(settings.description, "Velmora Settings");
  EXPECT_EQ(settings.icon, InstallSettings.ScreenSaverPath);
  EXPECT_EQ(settings.icon_index, 0);

  const LinkInfo help = LoadLink(group_ + "\\Velmora Help.Lnk");
  ASSERT_TRUE(help.loaded);
  EXPECT_TRUE(EndsWithNoCase(help.path, "\\Velmora.Hlp")) << help.path;
  EXPECT_EQ(help.arguments, "");
  EXPECT_EQ(help.description, "Velmora Help");
  EXPECT_EQ(help.icon, "");
}

TEST_F(Shortcuts, ExistingShortcutsAreReplaced) {
  TempFolder installed("replace");
  InstallSettings.InstalledDir = installed.path();
  InstallSettings.ScreenSaverPath = WindowsFolder() + "\\Velmora.scr";
  ASSERT_TRUE(CreateDirectoryA(group_.c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(group_ + "\\Velmora Settings.Lnk", "not a shortcut"));
  ASSERT_TRUE(WriteFileBytes(group_ + "\\Velmora Help.Lnk", "not a shortcut either"));
  ASSERT_FALSE(LoadLink(group_ + "\\Velmora Settings.Lnk").loaded);

  PageRecorder page;
  RunWorker(page, group_);
  EXPECT_EQ(page.ParamsOf(WM_INSTALL_SHORTCUTS_DONE), std::vector<LPARAM>{0});
  EXPECT_EQ(LoadLink(group_ + "\\Velmora Settings.Lnk").description, "Velmora Settings");
  EXPECT_EQ(LoadLink(group_ + "\\Velmora Help.Lnk").description, "Velmora Help");
}

// The user kept the installed screen saver, so this run does not know its
// path: the Settings shortcut names its usual place in the Windows folder.
// The group lies outside the Programs folder here: the remembered group is
// then the whole path, which the next setup will not find under Programs.
TEST_F(Shortcuts, KeptScreenSaverAndGroupOutsidePrograms) {
  TempFolder outside("outside");
  InstallSettings.InstalledDir = outside.path();
  const std::string group = outside / "Group";

  PageRecorder page;
  RunWorker(page, group);
  const std::string usual = WindowsFolder() + "\\Velmora.scr";
  const LinkInfo settings = LoadLink(group + "\\Velmora Settings.Lnk");
  ASSERT_TRUE(settings.loaded);
  EXPECT_EQ(settings.arguments, "desk.cpl,InstallScreenSaver " + usual);
  EXPECT_EQ(settings.icon, usual);
  EXPECT_EQ(InstallSettings.ShellFolder, group);
}

TEST_F(Shortcuts, GroupFolderThatCannotBeCreatedEndsTheRunAtOnce) {
  TempFolder temp("nogroup");
  ASSERT_TRUE(WriteFileBytes(temp / "file", "x"));
  InstallSettings.InstalledDir = temp.path();

  PageRecorder page;
  {
    TProcessShortsThread worker(page.wnd(), temp / "file\\Group");
    // Sent on this thread, from inside the constructor.
    ASSERT_EQ(page.messages().size(), 1u);
    EXPECT_EQ(page.messages()[0].message, WM_INSTALL_SHORTCUTS_DONE);
    EXPECT_EQ(page.messages()[0].lparam, 1);
    EXPECT_FALSE(page.messages()[0].from_other_thread);
    EXPECT_EQ(worker.ThreadHandle, nullptr);
  }
  EXPECT_EQ(page.messages().size(), 1u);
  EXPECT_EQ(InstallSettings.ProgramGroupFolder, "");
  EXPECT_EQ(InstallSettings.ShellFolder, "");
  EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, kProductKey, "ShellFolder").found);
}

TEST(CreateShellLink, FailsWithoutWritingWhenTheFolderIsMissing) {
  CoInitialize(nullptr);
  TempFolder temp("link");
  const std::string link = temp / "missing\\x.Lnk";
  EXPECT_TRUE(FAILED(CreateShellLink("rundll32.exe", link, "d", "", "")));
  EXPECT_FALSE(Exists(link));

  const std::string good = temp / "x.Lnk";
  EXPECT_TRUE(SUCCEEDED(CreateShellLink("rundll32.exe", good, "d", "a b", "")));
  EXPECT_EQ(LoadLink(good).arguments, "a b");
  CoUninitialize();
}

}  // namespace
