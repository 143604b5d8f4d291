// The wizard's page procedures. Each page is a dialog of the property sheet;
// the sheet creates it when it is first about to become active (so
// WM_INITDIALOG runs once, before the first PSN_SETACTIVE) and asks it
// through WM_NOTIFY whether it may be shown, left or cancelled.
//
// Answers to the sheet's notifications go into DWLP_MSGRESULT, with the
// procedure returning TRUE:
//   PSN_SETACTIVE    0 show the page, -1 skip it in the direction of travel,
//                    a dialog id jump to that page instead
//   PSN_KILLACTIVE   0 let the page go, nonzero keep it
//   PSN_WIZNEXT      0 go on, -1 stay
//   PSN_QUERYCANCEL  0 let the wizard close, nonzero keep it open
// Every other notification is left unhandled, which answers 0.
#include "app/InstallWizard.h"

#include <commctrl.h>
#include <richedit.h>
#include <shlobj.h>

#include "app/FolderBrowser.h"
#include "app/RTFResourceStream.h"
#include "install/destinations.h"
#include "install/install_files.h"
#include "install/install_registry.h"
#include "install/install_shortcuts.h"
#include "install/long_path.h"
#include "install/win_startmenu_path.h"
#include "resources/resource.h"

namespace {

constexpr char kSetupTitle[] = "Velmora Setup";
constexpr char kErrorTitle[] = "Velmora Setup Error";
const std::string kProductFolder = std::string("\\") + kDefaultFolderName;
constexpr UINT kBrowseFlags = BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN;

constexpr char kRootFolderText[] =
    "Installation to the root folder is not a good idea. Please select another path.";
constexpr char kNotFixedDiskText[] =
    "Warning: Folder path is not on local fixed disk. Setup may fail. Do you wish to continue?";
constexpr char kCannotCreateText[] =
    "Can't create specified folder. Please check your choice and try again.";
constexpr char kFileErrorsText[] =
    "Warning: Error(s) encountered while creating files. Some of Velmora elements will not work "
    "properly.";

// What the pages keep between messages besides InstallSettings.
struct TWizardState {
  std::string ProgramsDir;                     // page 4: for its Browse button
  TProcessFilesThread* FilesWorker = nullptr;  // page 5: the current run's workers
  TProcessShortsThread* ShortsWorker = nullptr;
};

TWizardState Wizard;

// Gives `result` as the answer to the notification being handled.
INT_PTR Answer(HWND page, LONG_PTR result) {
  SetWindowLongPtrA(page, DWLP_MSGRESULT, result);
  return TRUE;
}

void SetWizardButtons(HWND page, DWORD buttons) {
  SendMessageA(GetParent(page), PSM_SETWIZBUTTONS, 0, static_cast<LPARAM>(buttons));
}

std::string GetEditText(HWND page, int id) {
  char buffer[kPathBufferSize] = {};
  GetDlgItemTextA(page, id, buffer, sizeof buffer);
  return buffer;
}

// The question of pages 3 to 5 on Cancel; true unless the user keeps the
// wizard open.
bool ConfirmExit(HWND page) {
  return MessageBoxA(page, "Are you sure you want to exit?", kSetupTitle,
                     MB_OKCANCEL | MB_ICONQUESTION | MB_TASKMODAL) != IDCANCEL;
}

INT_PTR AnswerQueryCancel(HWND page) { return Answer(page, ConfirmExit(page) ? 0 : -1); }

// The Browse buttons show a small icon: 16 pixels at 96 DPI, and as many as
// the system's small icons have at other DPIs (the icons carry 20, 24 and
// 32 pixel images for them).
void SetBrowseIcon(HWND page, int icon_id) {
  int size = GetSystemMetrics(SM_CXSMICON);
  if (size <= 0) size = 16;
  HANDLE icon = LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(icon_id), IMAGE_ICON, size,
                           size, LR_LOADMAP3DCOLORS);
  SendDlgItemMessageA(page, IDC_BROWSE, BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(icon));
}

BOOL CALLBACK SetPictureOfChild(HWND child, LPARAM bitmap) {
  char name[16] = {};
  GetClassNameA(child, name, sizeof name);
  if (lstrcmpiA(name, "Static") == 0 && (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP)
    SendMessageA(child, STM_SETIMAGE, IMAGE_BITMAP, bitmap);
  return TRUE;
}

// The template names the 96 DPI picture; at a higher DPI the page shows the
// largest version drawn for a DPI not above the system's, so that it grows
// with the dialog units around it without being stretched. One bitmap is
// loaded for all pages and kept until the program ends.
void SetWizardPicture(HWND page) {
  HDC screen = GetDC(nullptr);
  int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  int id = WizardPictureForDpi(dpi);
  if (id == IDB_WIZARD) return;
  static HBITMAP picture = nullptr;
  if (picture == nullptr)
    picture = LoadBitmapA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id));
  if (picture != nullptr) EnumChildWindows(page, SetPictureOfChild, reinterpret_cast<LPARAM>(picture));
}

std::string UserProgramsDir() {
  char buffer[MAX_PATH] = {};
  if (!SHGetSpecialFolderPathA(nullptr, buffer, CSIDL_PROGRAMS, FALSE)) return std::string();
  return buffer;
}

// ---------------------------------------------------------------------------
// Page 5: the installation run.

// The stage line and what comes with the last stage.
void SetStage(HWND page, int stage) {
  if (stage == 2) {
    SetDlgItemTextA(page, IDC_STAGE, "Shortcuts...");
  } else if (stage == 3) {
    SetDlgItemTextA(page, IDC_STAGE, "Finished.");
    ShowWindow(GetDlgItem(page, IDC_DONE_TEXT), SW_SHOW);
    HWND sheet = GetParent(page);
    SendMessageA(sheet, PSM_CANCELTOCLOSE, 0, 0);
    SendMessageA(sheet, PSM_SETFINISHTEXTA, 0, reinterpret_cast<LPARAM>("Close"));
    InstallSettings.Finished = true;
  }
}

INT_PTR ProgressSetActive(HWND page) {
  SetWizardButtons(page, PSWIZB_NEXT);
  SendDlgItemMessageA(page, IDC_PROGRESS, PBM_SETPOS, 0, 0);
  InstallSettings.LaunchConfiguration = true;
  InstallSettings.Finished = false;

  // A worker left from a failed start created no thread; forget it.
  delete Wizard.FilesWorker;
  Wizard.FilesWorker = new TProcessFilesThread(page, InstallSettings.InstallDir);
  if (Wizard.FilesWorker->Failed != 0) {
    InstallSettings.Finished = true;
    InstallSettings.LaunchConfiguration = false;
    InstallSettings.ReuseInstallDir = false;
    MessageBoxA(page, kCannotCreateText, kErrorTitle, MB_ICONWARNING);
    return Answer(page, IDD_DESTINATION);
  }
  return Answer(page, 0);
}

void ProgressFilesDone(HWND page, LPARAM result) {
  if (result != 0) {
    InstallSettings.LaunchConfiguration = false;
    MessageBoxA(page, kFileErrorsText, kErrorTitle, MB_ICONWARNING);
  }
  WriteInstallEntries(InstallSettings.InstallDir);
  SetStage(page, 2);
  if (InstallSettings.CreateShortcuts) {
    Wizard.ShortsWorker = new TProcessShortsThread(page, InstallSettings.ProgramGroupPath);
  } else {
    SendMessageA(page, WM_INSTALL_SHORTCUTS_DONE, 0, 0);
  }
}

}  // namespace

bool IsLocalFixedDisk(const std::string& path) {
  char root[4] = {0, ':', '\\', 0};
  if (path.size() >= 2 && path[1] == ':') {
    root[0] = path[0];
  } else {
    char current[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof current, current);
    if (current[0] == '\0' || current[1] != ':') return false;
    root[0] = current[0];
  }
  return GetDriveTypeA(root) == DRIVE_FIXED;
}

int WizardPictureForDpi(int dpi) {
  if (dpi >= 192) return IDB_WIZARD_192;
  if (dpi >= 144) return IDB_WIZARD_144;
  return IDB_WIZARD;
}

std::string RelativeGroupName(const std::string& picked, const std::string& programs_dir,
                              const std::string& user_programs_dir) {
  for (const std::string* base : {&programs_dir, &user_programs_dir}) {
    if (StartsWithFolder(picked, *base)) return picked.substr(base->size() + 1, kMaxPathChars);
  }
  // Outside both: keep the picked folder's own name and the product's.
  std::string parent = GetPathPart(picked);
  while (!parent.empty() && IsPathSeparator(parent.back())) parent.pop_back();
  std::string name = GetNamePart(parent);
  std::string group = name.empty() ? GetNamePart(picked) : name + "\\" + GetNamePart(picked);
  return group.substr(0, kMaxPathChars);
}

void WaitForFileWorker() {
  if (Wizard.FilesWorker != nullptr && Wizard.FilesWorker->ThreadHandle != nullptr) {
    WaitForSingleObject(Wizard.FilesWorker->ThreadHandle, INFINITE);
  }
}

void ReleaseWorkers() {
  if (!InstallSettings.Finished) return;
  delete Wizard.FilesWorker;
  Wizard.FilesWorker = nullptr;
  delete Wizard.ShortsWorker;
  Wizard.ShortsWorker = nullptr;
}

// ---------------------------------------------------------------------------
// Page 1: welcome, or the upgrade notice when an earlier installation exists.

INT_PTR CALLBACK WelcomePageProc(HWND page, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      ShowWindow(GetDlgItem(page, InstallSettings.PreviousInstallFound ? IDC_WELCOME_TEXT
                                                                        : IDC_UPGRADE_TEXT),
                 SW_HIDE);
      SetWizardPicture(page);
      return TRUE;
    case WM_NOTIFY:
      switch (reinterpret_cast<NMHDR*>(lparam)->code) {
        case PSN_SETACTIVE:
          SetWizardButtons(page, PSWIZB_NEXT);
          return Answer(page, 0);
        case PSN_KILLACTIVE:
        case PSN_RESET:
          return Answer(page, 0);
      }
      break;
  }
  return FALSE;
}

// ---------------------------------------------------------------------------
// Page 2: the licence agreement. Going on with Next is the acceptance.

INT_PTR CALLBACK LicencePageProc(HWND page, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG: {
      HWND text = GetDlgItem(page, IDC_LICENCE_TEXT);
      SendMessageA(text, EM_SETBKGNDCOLOR, 0, RGB(255, 255, 225));
      EDITSTREAM stream = {};
      stream.dwCookie = 0;
      stream.dwError = 0;
      stream.pfnCallback = RtfStreamCallback;
      SendMessageA(text, EM_STREAMIN, SF_RTF, reinterpret_cast<LPARAM>(&stream));
      SendMessageA(text, EM_HIDESELECTION, TRUE, TRUE);
      return TRUE;
    }
    case WM_NOTIFY:
      switch (reinterpret_cast<NMHDR*>(lparam)->code) {
        case PSN_SETACTIVE:
          SetWizardButtons(page, PSWIZB_BACK | PSWIZB_NEXT);
          return Answer(page, 0);
        case PSN_KILLACTIVE:
        case PSN_RESET:
          return Answer(page, 0);
      }
      break;
  }
  return FALSE;
}

// ---------------------------------------------------------------------------
// Page 3: the destination folder. The page only checks the text; the folder
// is created when the progress page starts, and a failure there comes back
// here.

namespace {

INT_PTR DestinationWizNext(HWND page) {
  // Only a full path below the root of a drive or share is taken; a root in
  // any spelling, an empty field or a relative folder (which would land
  // wherever the current folder happens to be, and be recorded so) all get
  // the root-folder answer. The folder is kept, and shown, in the one form
  // that is then recorded and that the uninstaller checks against.
  std::string dir;
  if (!NormaliseFullPath(GetEditText(page, IDC_FOLDER_EDIT), dir) ||
      dir.size() > static_cast<size_t>(kMaxPathChars)) {
    MessageBoxA(page, kRootFolderText, kSetupTitle, MB_ICONWARNING);
    return Answer(page, -1);
  }
  InstallSettings.InstallDir = dir;
  SetDlgItemTextA(page, IDC_FOLDER_EDIT, dir.c_str());
  if (!IsLocalFixedDisk(dir)) {
    if (MessageBoxA(page, kNotFixedDiskText, kSetupTitle, MB_YESNO | MB_ICONQUESTION) == IDNO) {
      return Answer(page, -1);
    }
  }
  return Answer(page, 0);
}

void DestinationBrowse(HWND page) {
  std::string path;
  std::string display_name;
  if (!BrowseForFolder(page, "Select folder for Velmora files", path, display_name, 0,
                       kBrowseFlags)) {
    return;
  }
  // A drive root comes back as D:\ ; D:\Velmora is wanted, not D:\\Velmora.
  if (!path.empty() && IsPathSeparator(path.back())) path.pop_back();
  InstallSettings.InstallDir = path + kProductFolder;
  SetDlgItemTextA(page, IDC_FOLDER_EDIT, InstallSettings.InstallDir.c_str());
}

}  // namespace

INT_PTR CALLBACK DestinationPageProc(HWND page, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG: {
      // The recorded folder is reused only in its full form: the page is
      // skipped then, and its checks with it.
      std::string previous;
      if (NormaliseFullPath(InstallSettings.PreviousInstallDir, previous) &&
          FolderExists(previous) && IsLocalFixedDisk(previous)) {
        InstallSettings.ReuseInstallDir = true;
        InstallSettings.InstallDir = previous;
        SetDlgItemTextA(page, IDC_FOLDER_EDIT, previous.c_str());
      } else {
        std::string offered = GetProgramFilesDir() + kProductFolder;
        SetDlgItemTextA(page, IDC_FOLDER_EDIT, offered.c_str());
      }
      SetBrowseIcon(page, IDI_BROWSE_FOLDER);
      SetWizardPicture(page);
      return TRUE;
    }
    case WM_COMMAND:
      if (LOWORD(wparam) == IDC_BROWSE && HIWORD(wparam) == BN_CLICKED) {
        DestinationBrowse(page);
        return TRUE;
      }
      break;
    case WM_NOTIFY:
      switch (reinterpret_cast<NMHDR*>(lparam)->code) {
        case PSN_SETACTIVE:
          SetWizardButtons(page, PSWIZB_BACK | PSWIZB_NEXT);
          return Answer(page, InstallSettings.ReuseInstallDir ? -1 : 0);
        case PSN_WIZNEXT:
          return DestinationWizNext(page);
        case PSN_KILLACTIVE:
        case PSN_RESET:
          return Answer(page, 0);
        case PSN_QUERYCANCEL:
          return AnswerQueryCancel(page);
      }
      break;
  }
  return FALSE;
}

// ---------------------------------------------------------------------------
// Page 4: the Start-menu program group, as a name relative to the Programs
// folder.

namespace {

void EnableGroupControls(HWND page) {
  EnableWindow(GetDlgItem(page, IDC_FOLDER_EDIT), InstallSettings.CreateShortcuts);
  EnableWindow(GetDlgItem(page, IDC_BROWSE), InstallSettings.CreateShortcuts);
}

void GroupBrowse(HWND page) {
  std::string display_name;
  if (!BrowseForFolder(page, "Select Program Group for Velmora", InstallSettings.ProgramGroupPath,
                       display_name, 1, kBrowseFlags)) {
    return;
  }
  InstallSettings.ProgramGroupPath += kProductFolder;
  std::string shown =
      RelativeGroupName(InstallSettings.ProgramGroupPath, Wizard.ProgramsDir, UserProgramsDir());
  SetDlgItemTextA(page, IDC_FOLDER_EDIT, shown.c_str());
}

}  // namespace

INT_PTR CALLBACK GroupPageProc(HWND page, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      Wizard.ProgramsDir = GetStartMenuProgramsDir();
      InstallSettings.PreviousGroupExists =
          FolderExists(Wizard.ProgramsDir + "\\" + InstallSettings.PreviousShellFolder);
      CheckDlgButton(page, IDC_NO_SHORTCUTS, BST_UNCHECKED);
      SetDlgItemTextA(page, IDC_FOLDER_EDIT, kDefaultFolderName);
      SetBrowseIcon(page, IDI_BROWSE_GROUP);
      SetWizardPicture(page);
      return TRUE;
    case WM_COMMAND:
      if (HIWORD(wparam) != BN_CLICKED) break;
      if (LOWORD(wparam) == IDC_BROWSE) {
        GroupBrowse(page);
        return TRUE;
      }
      if (LOWORD(wparam) == IDC_NO_SHORTCUTS) {
        InstallSettings.CreateShortcuts = IsDlgButtonChecked(page, IDC_NO_SHORTCUTS) != BST_CHECKED;
        EnableGroupControls(page);
        return TRUE;
      }
      break;
    case WM_NOTIFY:
      switch (reinterpret_cast<NMHDR*>(lparam)->code) {
        case PSN_SETACTIVE:
          SetWizardButtons(page, PSWIZB_BACK | PSWIZB_NEXT);
          if (InstallSettings.PreviousGroupExists) {
            // The earlier group is still there: shortcuts go into it again,
            // whatever was chosen in the earlier setup.
            InstallSettings.CreateShortcuts = true;
            InstallSettings.ProgramGroupPath =
                GetStartMenuProgramsDir() + "\\" + InstallSettings.PreviousShellFolder;
            return Answer(page, -1);
          }
          return Answer(page, 0);
        case PSN_KILLACTIVE:
          InstallSettings.ProgramGroupPath =
              GetStartMenuProgramsDir() + "\\" + GetEditText(page, IDC_FOLDER_EDIT);
          return Answer(page, 0);
        case PSN_RESET:
          return Answer(page, 0);
        case PSN_QUERYCANCEL:
          return AnswerQueryCancel(page);
      }
      break;
  }
  return FALSE;
}

// ---------------------------------------------------------------------------
// Page 5: progress. The run goes Starting -> file stage -> shortcut stage ->
// Done; the workers report by SendMessageA, so each handler below runs while
// the sending worker waits for it.

INT_PTR CALLBACK ProgressPageProc(HWND page, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      SetWizardPicture(page);
      return TRUE;
    case WM_INSTALL_PROGRESS:
      SendDlgItemMessageA(page, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(lparam), 0);
      return TRUE;
    case WM_INSTALL_FILES_DONE:
      ProgressFilesDone(page, lparam);
      return TRUE;
    case WM_INSTALL_SHORTCUTS_DONE:
      InstallSettings.Finished = true;
      SetStage(page, 3);
      return TRUE;
    case WM_NOTIFY:
      switch (reinterpret_cast<NMHDR*>(lparam)->code) {
        case PSN_SETACTIVE:
          return ProgressSetActive(page);
        case PSN_KILLACTIVE:
          // Releasing waits for the worker threads, and a running worker
          // waits for this page: only a finished run may be left.
          if (!InstallSettings.Finished) return Answer(page, 1);
          ReleaseWorkers();
          return Answer(page, 0);
        case PSN_RESET:
          return Answer(page, 0);
        case PSN_QUERYCANCEL:
          return AnswerQueryCancel(page);
      }
      break;
  }
  return FALSE;
}
