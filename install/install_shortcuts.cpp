// The shortcut worker. The constructor makes the program group folder and
// records it on the UI thread; the thread makes the two shortcuts with its
// own COM apartment, tells the shell what changed and reports to the page.
#include "install/install_shortcuts.h"

#include <objbase.h>
#include <shlobj.h>

#include "install/destinations.h"
#include "install/install_files.h"
#include "install/install_registry.h"
#include "install/long_path.h"
#include "install/ShellUtl.h"
#include "install/win_startmenu_path.h"

namespace {

// The group folder as the next setup finds it again: relative to the
// Programs folder. A folder outside it has no such name; it is kept whole
// (minus leading separators), which the next setup will not find under the
// Programs folder and so will ask for a group again.
std::string RelativeGroupFolder(const std::string& group_folder) {
  const std::string programs = GetStartMenuProgramsDir();
  std::string relative = StartsWithFolder(group_folder, programs)
                             ? group_folder.substr(programs.size() + 1)
                             : group_folder;
  while (!relative.empty() && IsPathSeparator(relative.front())) relative.erase(0, 1);
  if (relative.size() > static_cast<size_t>(kMaxPathChars)) relative.resize(kMaxPathChars);
  return relative;
}

// Where the screen saver normally lives: used by the Settings shortcut when
// this run kept the installed file and so did not learn its path.
std::string UsualScreenSaverPath() {
  char windows[kPathBufferSize] = {};
  const UINT length = GetWindowsDirectoryA(windows, kPathBufferSize);
  if (length == 0 || length >= static_cast<UINT>(kPathBufferSize)) return kScreenSaverFileName;
  std::string path(windows, length);
  if (!IsPathSeparator(path.back())) path += '\\';
  return path + kScreenSaverFileName;
}

// The Display control panel is reached through the system's own rundll32.exe,
// named by its full path: a bare name would be resolved when the link is
// saved, with the setup's own folder (often a downloads folder, where anybody
// may have left a program of that name) searched first.
std::string SystemRundll32Path() {
  char system[kPathBufferSize] = {};
  const UINT length = GetSystemDirectoryA(system, kPathBufferSize);
  if (length == 0 || length >= static_cast<UINT>(kPathBufferSize)) return "rundll32.exe";
  std::string path(system, length);
  if (!IsPathSeparator(path.back())) path += '\\';
  return path + "rundll32.exe";
}

// An existing shortcut is replaced, not updated: deleted (and the shell told
// so) before it is made anew.
void DeleteOldShortcut(const std::string& link_file) {
  if (DeleteFileA(link_file.c_str()))
    SHChangeNotify(SHCNE_DELETE, SHCNF_PATHA, link_file.c_str(), nullptr);
}

}  // namespace

TProcessShortsThread::TProcessShortsThread(HWND page_wnd, const std::string& group_path)
    : PageWnd(page_wnd) {
  std::string folder = group_path;
  if (!ForceFolder(folder)) {
    SendMessageA(PageWnd, WM_INSTALL_SHORTCUTS_DONE, 0, 1);
    return;
  }
  InstallSettings.ProgramGroupFolder = folder;
  InstallSettings.ShellFolder = RelativeGroupFolder(folder);
  WriteShellFolder(InstallSettings.ShellFolder);
  ThreadHandle = CreateThread(nullptr, 0, ThreadMain, this, 0, &ThreadId);
  // Without a thread nobody else would end the run.
  if (ThreadHandle == nullptr) SendMessageA(PageWnd, WM_INSTALL_SHORTCUTS_DONE, 0, 1);
}

TProcessShortsThread::~TProcessShortsThread() {
  if (ThreadHandle == nullptr) return;
  WaitForSingleObject(ThreadHandle, INFINITE);
  CloseHandle(ThreadHandle);
}

DWORD WINAPI TProcessShortsThread::ThreadMain(LPVOID self) {
  static_cast<TProcessShortsThread*>(self)->Run();
  return 0;
}

void TProcessShortsThread::Run() {
  CoInitialize(nullptr);

  const std::string& group = InstallSettings.ProgramGroupFolder;
  const std::string screen_saver = InstallSettings.ScreenSaverPath.empty()
                                       ? UsualScreenSaverPath()
                                       : InstallSettings.ScreenSaverPath;

  const std::string settings_link = group + '\\' + kSettingsLinkName;
  DeleteOldShortcut(settings_link);
  CreateShellLink(SystemRundll32Path(), settings_link, kSettingsLinkDescription,
                  "desk.cpl,InstallScreenSaver " + screen_saver, screen_saver);

  const std::string help_target = InstallSettings.InstalledDir + '\\' + kHelpFileName;
  const std::string help_link = group + '\\' + kHelpLinkName;
  DeleteOldShortcut(help_link);
  CreateShellLink(help_target, help_link, kHelpLinkDescription, std::string(), std::string());

  SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_PATHA, group.c_str(), nullptr);
  SendMessageA(PageWnd, WM_INSTALL_SHORTCUTS_DONE, 0, 0);
  CoUninitialize();
}
