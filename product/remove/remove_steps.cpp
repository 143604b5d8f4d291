// The removal itself. Only what the setup made is touched: the file names
// come from the payload list, the folders and keys from what the setup
// recorded, and a recorded value that points anywhere unexpected (a
// screen saver of another name, a program group outside the Start menu) is
// not followed.
#include "product/remove/remove.h"

#include <shlobj.h>

#include <cstring>

#include "installed_files.h"

const char* const ProductKey = "SOFTWARE\\Tarvik\\Velmora\\1.0";
const char* const AppPathsKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Velmora.scr";
const char* const UninstallKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Velmora";
const char* const ScreenSaverName = "Velmora.scr";

namespace {

const char* const ShellFoldersKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const char* const DesktopKey = "Control Panel\\Desktop";
const char* const ShortcutNames[] = {"Velmora Settings.Lnk", "Velmora Help.Lnk"};

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::string StripSeparator(std::string path) {
  // "C:\" keeps its separator; "C:\Velmora\" loses it.
  if (path.size() > 3 && IsSeparator(path.back())) path.pop_back();
  return path;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return IsSeparator(folder.back()) ? folder + name : folder + "\\" + name;
}

// A REG_SZ value of at most MAX_PATH bytes, or empty.
std::string ReadString(HKEY root, const char* key_name, const char* value) {
  HKEY key;
  if (RegOpenKeyExA(root, key_name, 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
  char buffer[MAX_PATH + 1] = {0};
  DWORD type = 0, size = MAX_PATH;
  LONG rc = RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || type != REG_SZ) return "";
  return buffer;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void DeleteKey(const char* name, TRemoveReport& report) {
  LONG rc = RegDeleteKeyA(HKEY_LOCAL_MACHINE, name);
  if (rc == ERROR_SUCCESS) report.Removed++;
  else if (rc != ERROR_FILE_NOT_FOUND) report.Failed.push_back(std::string("HKEY_LOCAL_MACHINE\\") + name);
}

// Deletes a key only when nothing is left in it (the parents of the product
// key may hold other products of the same maker).
void DeleteKeyIfEmpty(const char* name) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, name, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  DWORD subkeys = 1, values = 1;
  LONG rc = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                             nullptr, nullptr, nullptr);
  RegCloseKey(key);
  if (rc == ERROR_SUCCESS && subkeys == 0 && values == 0) RegDeleteKeyA(HKEY_LOCAL_MACHINE, name);
}

// The Start-menu Programs folder: the machine-wide one, else the user's.
std::string ProgramsFolder() {
  std::string dir = ReadString(HKEY_LOCAL_MACHINE, ShellFoldersKey, "Common Programs");
  if (dir.empty()) dir = ReadString(HKEY_CURRENT_USER, ShellFoldersKey, "Programs");
  return dir;
}

// The group is recorded relative to the Programs folder; anything that could
// lead out of it is not followed.
bool IsSafeRelativeFolder(const std::string& rel) {
  if (rel.empty() || IsSeparator(rel[0]) || rel.find(':') != std::string::npos) return false;
  size_t at = 0;
  while (at <= rel.size()) {
    size_t end = rel.find_first_of("\\/", at);
    if (end == std::string::npos) end = rel.size();
    std::string part = rel.substr(at, end - at);
    if (part == "." || part == "..") return false;
    at = end + 1;
  }
  return true;
}

bool IsScreenSaverName(const std::string& path) {
  return lstrcmpiA(GetNamePart(path).c_str(), ScreenSaverName) == 0;
}

}  // namespace

std::string GetPathPart(const std::string& path) {
  size_t at = path.find_last_of("\\/:");
  return at == std::string::npos ? "" : path.substr(0, at + 1);
}

std::string GetNamePart(const std::string& path) {
  size_t at = path.find_last_of("\\/:");
  return at == std::string::npos ? path : path.substr(at + 1);
}

bool SamePath(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  std::string x = a, y = b;
  for (char& c : x) if (c == '/') c = '\\';
  for (char& c : y) if (c == '/') c = '\\';
  return lstrcmpiA(x.c_str(), y.c_str()) == 0;
}

TRemovePlan MakeRemovePlan(const std::string& self_path) {
  TRemovePlan plan;
  plan.SelfPath = self_path;

  plan.InstallDir = ReadString(HKEY_LOCAL_MACHINE, AppPathsKey, "Path");
  if (plan.InstallDir.empty()) plan.InstallDir = ReadString(HKEY_LOCAL_MACHINE, ProductKey, "InstallDir");
  if (plan.InstallDir.empty()) plan.InstallDir = GetPathPart(self_path);
  plan.InstallDir = StripSeparator(plan.InstallDir);

  std::string saver = ReadString(HKEY_LOCAL_MACHINE, AppPathsKey, "");
  if (!saver.empty() && IsScreenSaverName(saver)) {
    plan.ScreenSaverPath = saver;
  } else {
    char windows[MAX_PATH + 1];
    UINT n = GetWindowsDirectoryA(windows, sizeof windows);
    if (n > 0 && n < sizeof windows) plan.ScreenSaverPath = JoinPath(windows, ScreenSaverName);
  }

  std::string rel = StripSeparator(ReadString(HKEY_LOCAL_MACHINE, ProductKey, "ShellFolder"));
  std::string programs = ProgramsFolder();
  if (!programs.empty() && IsSafeRelativeFolder(rel)) plan.GroupFolder = JoinPath(programs, rel);
  return plan;
}

bool IsInstalledFile(const TRemovePlan& plan, const std::string& path) {
  for (const char* name : InstalledFileNames)
    if (SamePath(path, JoinPath(plan.InstallDir, name))) return true;
  return false;
}

void RemoveFileIfPresent(const std::string& path, TRemoveReport& report) {
  DWORD attr = GetFileAttributesA(path.c_str());
  if (attr == INVALID_FILE_ATTRIBUTES) return;  // already gone
  if (attr & FILE_ATTRIBUTE_DIRECTORY) {
    report.Failed.push_back(path);  // a folder in a file's place is not ours to remove
    return;
  }
  if (attr & FILE_ATTRIBUTE_READONLY) SetFileAttributesA(path.c_str(), attr & ~FILE_ATTRIBUTE_READONLY);
  if (DeleteFileA(path.c_str())) report.Removed++;
  else report.Failed.push_back(path);
}

void RemoveInstallation(const TRemovePlan& plan, TRemoveReport& report) {
  // The current screen saver setting, while the file it names still exists.
  HKEY desktop;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, DesktopKey, 0, KEY_READ | KEY_SET_VALUE, &desktop) == ERROR_SUCCESS) {
    char value[MAX_PATH + 1] = {0};
    DWORD type = 0, size = MAX_PATH;
    if (RegQueryValueExA(desktop, "SCRNSAVE.EXE", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) ==
            ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ) && IsScreenSaverName(value)) {
      if (RegDeleteValueA(desktop, "SCRNSAVE.EXE") != ERROR_SUCCESS)
        report.Failed.push_back("HKEY_CURRENT_USER\\Control Panel\\Desktop\\SCRNSAVE.EXE");
    }
    RegCloseKey(desktop);
  }

  // Installed files. The screen saver normally lives in the Windows folder,
  // but goes to the install folder when the Windows folder had no room.
  for (const char* name : InstalledFileNames) {
    std::string path = JoinPath(plan.InstallDir, name);
    if (SamePath(path, plan.SelfPath)) continue;  // removed after this program has ended
    RemoveFileIfPresent(path, report);
  }
  if (!plan.ScreenSaverPath.empty()) RemoveFileIfPresent(plan.ScreenSaverPath, report);

  // Shortcuts, then the group if nothing else is in it.
  if (!plan.GroupFolder.empty()) {
    for (const char* name : ShortcutNames) {
      std::string link = JoinPath(plan.GroupFolder, name);
      size_t failed_before = report.Failed.size();
      bool existed = Exists(link);
      RemoveFileIfPresent(link, report);
      if (existed && report.Failed.size() == failed_before)
        SHChangeNotify(SHCNE_DELETE, SHCNF_PATHA, link.c_str(), nullptr);
    }
    if (RemoveDirectoryA(plan.GroupFolder.c_str()))
      SHChangeNotify(SHCNE_RMDIR, SHCNF_PATHA, plan.GroupFolder.c_str(), nullptr);
  }

  // Registry entries; the maker's keys only when they are then empty.
  DeleteKey(AppPathsKey, report);
  DeleteKey(UninstallKey, report);
  DeleteKey(ProductKey, report);
  DeleteKeyIfEmpty("SOFTWARE\\Tarvik\\Velmora");
  DeleteKeyIfEmpty("SOFTWARE\\Tarvik");

  // The install folder, unless the user keeps something there (or this
  // program still runs from it; its clean-up copy removes it then).
  RemoveDirectoryA(plan.InstallDir.c_str());
}

std::string FormatReport(const TRemoveReport& report) {
  if (report.Failed.empty()) return "Velmora was removed from your computer.";
  std::string text = "Velmora was removed, but these items could not be removed:\r\n\r\n";
  for (const std::string& f : report.Failed) text += "    " + f + "\r\n";
  text += "\r\nYou can delete them yourself when they are no longer in use.";
  return text;
}
