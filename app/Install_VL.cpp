// Entry and main flow of the setup program. There is no message loop of our
// own: the property sheet's modal loop serves every page, and the main
// window exists only to own the wizard and to mark a running copy.
#include "app/Install_VL.h"

#include <commctrl.h>
#include <prsht.h>

#include <cstddef>

#include "app/InstallWizard.h"
#include "app/RTFResourceStream.h"
#include "install/dll_search.h"
#include "install/destinations.h"
#include "install/install_registry.h"
#include "resources/resource.h"

namespace {

constexpr char kMainClass[] = "Velmora Setup";

#if defined(_WIN32) && !defined(_WIN64)
// The release is 32-bit: the record sizes the classic sheet was made for.
static_assert(offsetof(PROPSHEETHEADERA, pfnCallback) + sizeof(PFNPROPSHEETCALLBACK) == 40,
              "first header layout");
static_assert(offsetof(PROPSHEETPAGEA, pcRefParent) + sizeof(UINT*) == 40, "first page layout");
static_assert(sizeof(STARTUPINFOA) == 68, "startup record");
#endif
constexpr char kLaunchPrefix[] = "rundll32.exe desk.cpl,InstallScreenSaver ";
constexpr char kDialogFailure[] = "Dialog Open Failure. Please report support@tarvik.com";

std::string SystemFolder() {
  char buffer[MAX_PATH] = {};
  UINT length = GetSystemDirectoryA(buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) return std::string();
  return buffer;
}

// RICHED32.DLL registers the "RICHEDIT" class of the licence page. It is
// taken from the system folder by full path: a setup is typically started
// from a downloads folder, where any file of that name may lie.
HMODULE LoadRichEdit() {
  std::string system = SystemFolder();
  if (system.empty()) return nullptr;
  UINT previous = SetErrorMode(SEM_NOOPENFILEERRORBOX);
  HMODULE library = LoadLibraryA((system + "\\RICHED32.DLL").c_str());
  SetErrorMode(previous);
  if (reinterpret_cast<UINT_PTR>(library) < 32) return nullptr;
  return library;
}

// The common controls library (the property sheet and the progress bar) is
// not one the system always takes from its own folder: it is loaded once the
// DLL search has been restricted (see install/dll_search.h).
struct TCommonControls {
  HMODULE Library = nullptr;
  void(WINAPI* InitCommonControls)() = nullptr;
  INT_PTR(WINAPI* PropertySheetA)(LPCPROPSHEETHEADERA) = nullptr;
};

TCommonControls LoadCommonControls(bool search_restricted) {
  TCommonControls controls;
  controls.Library = LoadSystemLibrary("comctl32.dll", search_restricted);
  if (controls.Library == nullptr) return controls;
  controls.InitCommonControls = reinterpret_cast<void(WINAPI*)()>(
      GetProcAddress(controls.Library, "InitCommonControls"));
  controls.PropertySheetA = reinterpret_cast<INT_PTR(WINAPI*)(LPCPROPSHEETHEADERA)>(
      GetProcAddress(controls.Library, "PropertySheetA"));
  return controls;
}

// Starts the Display control panel on the installed screen saver, with the
// Windows folder as its current directory. rundll32.exe is named by its full
// path in the system folder, so that no program of that name beside the
// setup is started in its place; the command line itself stays the plain one
// the control panel expects.
void LaunchConfiguration() {
  char windows[MAX_PATH] = {};
  GetWindowsDirectoryA(windows, sizeof windows);
  std::string system = SystemFolder();
  if (system.empty()) return;
  std::string application = system + "\\rundll32.exe";
  std::string command = ConfigurationCommandLine(InstallSettings.ScreenSaverPath);

  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (CreateProcessA(application.c_str(), &command[0], nullptr, nullptr, FALSE,
                     NORMAL_PRIORITY_CLASS, nullptr, windows, &startup, &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
}

}  // namespace

std::string ConfigurationCommandLine(const std::string& screen_saver_path) {
  return kLaunchPrefix + screen_saver_path;
}

HWND CreateMainWindow() {
  HWND running = FindWindowA(kMainClass, nullptr);
  if (running != nullptr) {
    SetForegroundWindow(running);
    ExitProcess(0);
  }

  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA window_class = {};
  window_class.style = CS_HREDRAW | CS_VREDRAW;
  window_class.lpfnWndProc = DefWindowProcA;
  window_class.hInstance = instance;
  window_class.hIcon = LoadIconA(instance, "MAINICON");
  window_class.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  window_class.lpszClassName = kMainClass;
  if (RegisterClassA(&window_class) == 0) ExitProcess(0);

  HWND window = CreateWindowExA(0, kMainClass, kMainClass,
                                WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU, 0, 0, 0, 0,
                                nullptr, nullptr, instance, nullptr);
  if (window == nullptr) ExitProcess(0);
  return window;
}

void RunWizard(HWND owner, bool search_restricted) {
  HMODULE rich_edit = LoadRichEdit();
  TCommonControls controls = LoadCommonControls(search_restricted);
  if (controls.InitCommonControls != nullptr) controls.InitCommonControls();
  SelectRtfResource(IDR_LICENCE);

  HINSTANCE instance = GetModuleHandleA(nullptr);
  struct TPageEntry {
    int Template;
    DLGPROC Procedure;
  };
  static const TPageEntry kPages[] = {
      {IDD_WELCOME, WelcomePageProc},         {IDD_LICENCE, LicencePageProc},
      {IDD_DESTINATION, DestinationPageProc}, {IDD_GROUP, GroupPageProc},
      {IDD_PROGRESS, ProgressPageProc},
  };
  constexpr int kPageCount = sizeof kPages / sizeof kPages[0];

  // The first layouts of both records: the sheet steps through the page
  // array by each record's dwSize.
  PROPSHEETPAGEA_V1 pages[kPageCount] = {};
  for (int i = 0; i < kPageCount; ++i) {
    pages[i].dwSize = PROPSHEETPAGEA_V1_SIZE;
    pages[i].dwFlags = PSP_USEICONID;
    pages[i].hInstance = instance;
    pages[i].pszTemplate = MAKEINTRESOURCEA(kPages[i].Template);
    pages[i].pszIcon = "MAINICON";
    pages[i].pfnDlgProc = kPages[i].Procedure;
    pages[i].lParam = 0;
  }
  PROPSHEETHEADERA header = {};
  header.dwSize = PROPSHEETHEADERA_V1_SIZE;
  header.dwFlags = PSH_WIZARD | PSH_PROPSHEETPAGE | PSH_USEICONID | PSH_NOAPPLYNOW | PSH_PROPTITLE;
  header.hwndParent = owner;
  header.hInstance = instance;
  header.pszIcon = "MAINICON";
  header.pszCaption = "Velmora installation";
  header.nPages = kPageCount;
  header.nStartPage = 0;
  header.ppsp = reinterpret_cast<LPCPROPSHEETPAGEA>(pages);

  // Without the library the wizard cannot be shown, the same failure as a
  // sheet that cannot be made.
  INT_PTR result = controls.PropertySheetA != nullptr ? controls.PropertySheetA(&header) : -1;
  if (result == -1) {
    MessageBoxA(owner, kDialogFailure, "Setup", MB_OK);
  }
  SendMessageA(owner, WM_CLOSE, 0, 0);

  if (InstallSettings.LaunchConfiguration) {
    // After a Cancel during the file stage the worker may still be writing
    // ScreenSaverPath; it cannot be stopped, so its end is awaited.
    WaitForFileWorker();
    LaunchConfiguration();
  }
  ReleaseWorkers();

  if (rich_edit != nullptr) FreeLibrary(rich_edit);
  if (controls.Library != nullptr) FreeLibrary(controls.Library);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const bool search_restricted = RestrictDllSearch();
  HWND main_window = CreateMainWindow();
  ReadPreviousInstall();
  RunWizard(main_window, search_restricted);
  DestroyWindow(main_window);
  ExitProcess(0);
}
