// VLRemove.exe entry point: confirmation, removal, final report, and the
// removal of the program's own file.
//
//   VLRemove.exe            asks, removes, reports in a message box
//   VLRemove.exe /quiet     no question; the report goes to standard output
//                           and the exit status is the number of leftovers
//
// A running program cannot delete its own file. When the uninstaller runs
// from the install folder it copies itself to the temp folder and, before it
// removes anything, starts the copy with "/cleanup PROCESS READY PATH". The
// copy checks, while the registry still records the installation, that PATH
// is the uninstaller in the recorded install folder and byte for byte its
// own image, signals READY either way, waits on the inherited PROCESS handle
// until the original has ended, then deletes PATH (if it still is that
// image) and the install folder if that is then empty, and has itself
// deleted at the next restart. Anything else given to /cleanup is left alone.
#include "product/remove/remove.h"

#include "install/dll_search.h"
#include "product/decimal_text.h"

#include <cstdlib>
#include <cstring>

namespace {

const char Title[] = "Velmora Uninstall";
const char Question[] =
    "Do you want to remove Velmora and all of its components from your computer?";

struct TArgs {
  bool Quiet = false;
  bool Cleanup = false;
  uintptr_t WaitHandle = 0;
  uintptr_t ReadyEvent = 0;
  std::string Original;
};

// Words separated by blanks; double quotes group. Unknown words are ignored:
// an unquoted program path with blanks leaves its tail among the arguments.
std::vector<std::string> SplitWords(const char* p) {
  std::vector<std::string> words;
  while (*p) {
    while (*p == ' ' || *p == '\t') p++;
    if (!*p) break;
    std::string w;
    bool quoted = false;
    while (*p && (quoted || (*p != ' ' && *p != '\t'))) {
      if (*p == '"') quoted = !quoted;
      else w += *p;
      p++;
    }
    words.push_back(w);
  }
  return words;
}

TArgs ParseArgs(const char* args) {
  TArgs a;
  std::vector<std::string> w = SplitWords(args ? args : "");
  for (size_t i = 0; i < w.size(); i++) {
    if (lstrcmpiA(w[i].c_str(), "/quiet") == 0 || lstrcmpiA(w[i].c_str(), "/y") == 0) {
      a.Quiet = true;
    } else if (lstrcmpiA(w[i].c_str(), "/cleanup") == 0 && i + 3 < w.size()) {
      a.Cleanup = true;
      a.WaitHandle = static_cast<uintptr_t>(std::strtoull(w[i + 1].c_str(), nullptr, 10));
      a.ReadyEvent = static_cast<uintptr_t>(std::strtoull(w[i + 2].c_str(), nullptr, 10));
      a.Original = w[i + 3];
      i += 3;
    }
  }
  return a;
}

void Report(bool quiet, const std::string& text, UINT icon) {
  if (quiet) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    std::string line = text + "\r\n";
    DWORD written;
    if (out && out != INVALID_HANDLE_VALUE)
      WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    return;
  }
  MessageBoxA(nullptr, text.c_str(), Title, MB_OK | icon | MB_SETFOREGROUND);
}

std::string ModulePath() {
  char path[MAX_PATH + 1] = {0};
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::string(path, n) : std::string();
}

std::string TempFolder() {
  char temp_dir[MAX_PATH + 1];
  DWORD n = GetTempPathA(sizeof temp_dir, temp_dir);
  return n > 0 && n < sizeof temp_dir ? std::string(temp_dir, n) : std::string();
}

// Starts the temp copy that removes this program's file once it has ended,
// and waits until the copy has looked at the registry.
bool StartCleanupCopy(const std::string& self, bool quiet) {
  std::string temp_dir = TempFolder();
  if (temp_dir.empty()) return false;
  char copy[MAX_PATH + 1];
  if (!GetTempFileNameA(temp_dir.c_str(), "vlr", 0, copy)) return false;
  // GetTempFileName made an empty ".tmp" file; the copy goes beside it under
  // an ".exe" name, and the placeholder goes.
  DeleteFileA(copy);
  std::string exe = std::string(copy) + ".exe";
  if (!CopyFileA(self.c_str(), exe.c_str(), TRUE)) return false;

  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE ready = CreateEventA(&inherit, TRUE, FALSE, nullptr);
  HANDLE me = nullptr;
  if (!ready || !DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &me, SYNCHRONIZE,
                                 TRUE, 0)) {
    if (ready) CloseHandle(ready);
    DeleteFileA(exe.c_str());
    return false;
  }
  char me_text[kDecimalTextSize], ready_text[kDecimalTextSize];
  decimal_text(reinterpret_cast<uintptr_t>(me), me_text);
  decimal_text(reinterpret_cast<uintptr_t>(ready), ready_text);
  std::string command = "\"" + exe + "\" /cleanup " + me_text + " " + ready_text + " \"" + self + "\"";
  if (quiet) command += " /quiet";
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  // Not the install folder as current folder: it is to be removed.
  BOOL ok = CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr, temp_dir.c_str(), &si, &pi);
  CloseHandle(me);
  if (ok) {
    // Starting a process can take a while; the question box that was just
    // answered, and anything else of ours, is served meanwhile.
    HANDLE either[2] = {ready, pi.hProcess};
    while (MsgWaitForMultipleObjects(2, either, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 2) {
      MSG m;
      while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&m);
        DispatchMessageA(&m);
      }
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  } else {
    DeleteFileA(exe.c_str());
  }
  CloseHandle(ready);
  return ok != FALSE;
}

// Whether path is the installed uninstaller of the recorded installation and
// byte for byte this program.
bool IsRecordedUninstaller(const std::string& path, const std::string& self) {
  std::string full;
  if (!NormaliseFullPath(path, full) || !SamePath(full, path)) return false;
  TRemovePlan plan = MakeRemovePlan(self);
  return plan.Recorded && SamePath(full, JoinPath(plan.InstallDir, kUninstallerFileName)) &&
         SameFileContents(full, self);
}

int RunCleanup(const TArgs& args) {
  // Only ever the installed uninstaller, checked while the registry still
  // records it: this switch must not become a way to delete anything else.
  std::string self = ModulePath();
  bool ours = !self.empty() && IsRecordedUninstaller(args.Original, self);
  HANDLE ready = reinterpret_cast<HANDLE>(args.ReadyEvent);
  if (ready) {
    SetEvent(ready);
    CloseHandle(ready);
  }
  if (!ours) return 0;

  HANDLE original = reinterpret_cast<HANDLE>(args.WaitHandle);
  if (original) {
    WaitForSingleObject(original, INFINITE);  // the user may take a while with the report
    CloseHandle(original);
  }
  // The image may stay locked a moment after the process has ended; a file
  // put in its place meanwhile is not ours.
  TRemoveReport report;
  for (int attempt = 0; attempt < 50; attempt++) {
    if (GetFileAttributesA(args.Original.c_str()) == INVALID_FILE_ATTRIBUTES) break;
    if (!SameFileContents(args.Original, self)) {
      report.Kept.push_back(args.Original);
      break;
    }
    if (DeleteFileA(args.Original.c_str())) break;
    Sleep(100);
  }
  if (report.Kept.empty() && GetFileAttributesA(args.Original.c_str()) != INVALID_FILE_ATTRIBUTES)
    report.Failed.push_back(args.Original);
  std::string folder = GetPathPart(args.Original);  // a full path: it ends in a separator
  folder.pop_back();
  RemoveDirectoryA(folder.c_str());

  // This copy cannot delete itself either: it goes at the next restart, when
  // it is the temp copy its original made.
  std::string temp = TempFolder();
  if (!temp.empty() && StartsWithFolder(self, temp.substr(0, temp.size() - 1)))
    MoveFileExA(self.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);

  if (!report.Failed.empty() || !report.Kept.empty())
    Report(args.Quiet, FormatReport(report), MB_ICONWARNING);
  return static_cast<int>(report.Failed.size() + report.Kept.size());
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR cmdline, int) {
  // It runs with administrator rights, from the install folder or as a temp
  // copy, where others may have left a library.
  RestrictDllSearch();
  TArgs args = ParseArgs(cmdline);
  if (args.Cleanup) return RunCleanup(args);

  std::string self = ModulePath();
  TRemovePlan plan = MakeRemovePlan(self);
  if (!plan.Recorded) {
    Report(args.Quiet, kNotInstalledText, MB_ICONINFORMATION);
    return 0;
  }

  if (!args.Quiet &&
      MessageBoxA(nullptr, Question, Title, MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND) != IDYES)
    return 0;

  // This program's own file, when it is the installed one: its clean-up copy
  // must see the registry entries before they go.
  TRemoveReport report;
  if (SamePath(self, JoinPath(plan.InstallDir, kUninstallerFileName)) && !StartCleanupCopy(self, args.Quiet))
    report.Failed.push_back(self);
  RemoveInstallation(plan, report);

  Report(args.Quiet, FormatReport(report),
         report.Failed.empty() && report.Kept.empty() ? MB_ICONINFORMATION : MB_ICONWARNING);
  return static_cast<int>(report.Failed.size() + report.Kept.size());
}
