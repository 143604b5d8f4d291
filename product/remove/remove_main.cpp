// VLRemove.exe entry point: confirmation, removal, final report, and the
// removal of the program's own file.
//
//   VLRemove.exe            asks, removes, reports in a message box
//   VLRemove.exe /quiet     no question; the report goes to standard output
//                           and the exit status is the number of leftovers
//
// A running program cannot delete its own file. When the uninstaller runs
// from the install folder it copies itself to the temp folder and starts the
// copy with "/cleanup HANDLE PATH": the copy waits on the inherited process
// handle until the original has ended, deletes the original and the install
// folder if that is then empty, and has itself deleted at the next restart.
#include "product/remove/remove.h"

#include <cstdio>
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
    } else if (lstrcmpiA(w[i].c_str(), "/cleanup") == 0 && i + 2 < w.size()) {
      a.Cleanup = true;
      a.WaitHandle = static_cast<uintptr_t>(std::strtoull(w[i + 1].c_str(), nullptr, 10));
      a.Original = w[i + 2];
      i += 2;
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

// Starts the temp copy that removes this program's file once it has ended.
bool StartCleanupCopy(const std::string& self, bool quiet) {
  char temp_dir[MAX_PATH + 1];
  DWORD n = GetTempPathA(sizeof temp_dir, temp_dir);
  if (n == 0 || n >= sizeof temp_dir) return false;
  char copy[MAX_PATH + 1];
  if (!GetTempFileNameA(temp_dir, "vlr", 0, copy)) return false;
  // GetTempFileName made an empty ".tmp" file; the copy goes in its place
  // under an ".exe" name.
  DeleteFileA(copy);
  std::string exe = std::string(copy) + ".exe";
  if (!CopyFileA(self.c_str(), exe.c_str(), FALSE)) return false;

  HANDLE me = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &me, SYNCHRONIZE, TRUE, 0)) {
    DeleteFileA(exe.c_str());
    return false;
  }
  char command[3 * MAX_PATH];
  std::snprintf(command, sizeof command, "\"%s\" /cleanup %llu \"%s\"%s", exe.c_str(),
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(me)), self.c_str(),
                quiet ? " /quiet" : "");
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  char dir[MAX_PATH + 1];
  std::snprintf(dir, sizeof dir, "%s", temp_dir);  // not the install folder: it is to be removed
  BOOL ok = CreateProcessA(exe.c_str(), command, nullptr, nullptr, TRUE, 0, nullptr, dir, &si, &pi);
  CloseHandle(me);
  if (!ok) {
    DeleteFileA(exe.c_str());
    return false;
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}

int RunCleanup(const TArgs& args) {
  // Only ever an uninstaller's own file: this switch must not become a way
  // to delete anything else.
  if (lstrcmpiA(GetNamePart(args.Original).c_str(), "VLRemove.exe") != 0) return 0;
  HANDLE original = reinterpret_cast<HANDLE>(args.WaitHandle);
  if (original) {
    WaitForSingleObject(original, INFINITE);  // the user may take a while with the report
    CloseHandle(original);
  }
  // The image may stay locked a moment after the process has ended.
  TRemoveReport report;
  for (int attempt = 0; attempt < 50; attempt++) {
    if (GetFileAttributesA(args.Original.c_str()) == INVALID_FILE_ATTRIBUTES || DeleteFileA(args.Original.c_str()))
      break;
    Sleep(100);
  }
  if (GetFileAttributesA(args.Original.c_str()) != INVALID_FILE_ATTRIBUTES) report.Failed.push_back(args.Original);
  std::string folder = GetPathPart(args.Original);
  if (folder.size() > 3) folder.pop_back();
  RemoveDirectoryA(folder.c_str());

  // This copy cannot delete itself either: it goes at the next restart.
  std::string self = ModulePath();
  if (!self.empty()) MoveFileExA(self.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);

  if (!report.Failed.empty()) Report(args.Quiet, FormatReport(report), MB_ICONWARNING);
  return static_cast<int>(report.Failed.size());
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR cmdline, int) {
  TArgs args = ParseArgs(cmdline);
  if (args.Cleanup) return RunCleanup(args);

  if (!args.Quiet &&
      MessageBoxA(nullptr, Question, Title, MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND) != IDYES)
    return 0;

  std::string self = ModulePath();
  TRemovePlan plan = MakeRemovePlan(self);
  TRemoveReport report;
  RemoveInstallation(plan, report);

  // This program's own file, when it is one of the installed ones.
  if (IsInstalledFile(plan, self) && !StartCleanupCopy(self, args.Quiet)) report.Failed.push_back(self);

  Report(args.Quiet, FormatReport(report), report.Failed.empty() ? MB_ICONINFORMATION : MB_ICONWARNING);
  return static_cast<int>(report.Failed.size());
}
