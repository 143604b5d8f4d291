// The removal itself. Only what the setup made is touched: the names come
// from the installation contract, the folders and keys from what the setup
// recorded (and only when recorded as full paths), and a file of one of our
// names goes only when its contents are the payload's. Anything else that
// bears one of those names is kept and reported.
#include "product/remove/remove.h"

#include <shlobj.h>

#include <cstring>

#include "archive/arc_checksum.h"

namespace {

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

// A recorded folder, in full; empty when it is not a full path below a root.
std::string ReadFolder(HKEY root, const char* key_name, const char* value) {
  std::string full;
  if (!NormaliseFullPath(ReadString(root, key_name, value), full)) return "";
  return full;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void DeleteKey(const std::string& name, TRemoveReport& report) {
  LONG rc = RegDeleteKeyA(HKEY_LOCAL_MACHINE, name.c_str());
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

// The group is recorded relative to the Programs folder; anything that could
// lead out of it is not followed.
bool IsSafeRelativeFolder(const std::string& rel) {
  if (rel.empty() || IsPathSeparator(rel[0]) || rel.find(':') != std::string::npos) return false;
  size_t at = 0;
  while (at <= rel.size()) {
    size_t end = rel.find_first_of("\\/", at);
    if (end == std::string::npos) end = rel.size();
    std::string part = rel.substr(at, end - at);
    if (part.empty() || part.find_first_not_of(". ") == std::string::npos) return false;
    at = end + 1;
  }
  return true;
}

HANDLE OpenForReading(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

// Size and CRC-32 of a file; false when it cannot be read whole.
bool FileSizeAndCrc(const std::string& path, uint32_t& size, uint32_t& crc) {
  HANDLE file = OpenForReading(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  static bool table_ready = false;
  if (!table_ready) init_crc_table();
  table_ready = true;
  static char buffer[16384];
  uint32_t state = 0xFFFFFFFFu;
  uint64_t total = 0;
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr) != FALSE) && got > 0) {
    state = update_checksum(state, buffer, got, 2);
    total += got;
  }
  CloseHandle(file);
  if (!ok || total > 0xFFFFFFFFu) return false;
  size = static_cast<uint32_t>(total);
  crc = ~state;
  return true;
}

void RemoveOurFile(const std::string& path, TRemoveReport& report) {
  DWORD attr = GetFileAttributesA(path.c_str());
  if (attr & FILE_ATTRIBUTE_READONLY) SetFileAttributesA(path.c_str(), attr & ~FILE_ATTRIBUTE_READONLY);
  if (DeleteFileA(path.c_str())) report.Removed++;
  else report.Failed.push_back(path);
}

// One file of an installed name: removed when ours, named when not.
void RemoveIfOurs(const std::string& path, size_t index, const TRemovePlan& plan, TRemoveReport& report) {
  switch (CheckInstalledFile(path, index, plan.SelfPath)) {
    case FileAbsent: break;
    case FileOurs: RemoveOurFile(path, report); break;
    case FileNotOurs: report.Kept.push_back(path); break;
    case FileUnreadable: report.Failed.push_back(path); break;
  }
}

// The screen saver chosen in the Display settings, when it is the one that
// was removed (the control panel may record it by its short name).
void ForgetChosenScreenSaver(const std::string& removed, const std::string& removed_short,
                             TRemoveReport& report) {
  HKEY desktop;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kDesktopKey, 0, KEY_READ | KEY_SET_VALUE, &desktop) != ERROR_SUCCESS)
    return;
  char value[MAX_PATH + 1] = {0};
  DWORD type = 0, size = MAX_PATH;
  if (RegQueryValueExA(desktop, kChosenScreenSaverValue, nullptr, &type, reinterpret_cast<BYTE*>(value),
                       &size) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ) &&
      (SamePath(value, removed) || (!removed_short.empty() && SamePath(value, removed_short)))) {
    if (RegDeleteValueA(desktop, kChosenScreenSaverValue) != ERROR_SUCCESS)
      report.Failed.push_back(std::string("HKEY_CURRENT_USER\\") + kDesktopKey + "\\" + kChosenScreenSaverValue);
  }
  RegCloseKey(desktop);
}

}  // namespace

bool SameFileContents(const std::string& a, const std::string& b) {
  HANDLE fa = OpenForReading(a);
  if (fa == INVALID_HANDLE_VALUE) return false;
  HANDLE fb = OpenForReading(b);
  if (fb == INVALID_HANDLE_VALUE) {
    CloseHandle(fa);
    return false;
  }
  static char ba[8192], bb[8192];
  bool same = true;
  for (;;) {
    DWORD na = 0, nb = 0;
    if (!ReadFile(fa, ba, sizeof ba, &na, nullptr) || !ReadFile(fb, bb, sizeof bb, &nb, nullptr) || na != nb ||
        memcmp(ba, bb, na) != 0) {
      same = false;
      break;
    }
    if (na == 0) break;
  }
  CloseHandle(fa);
  CloseHandle(fb);
  return same;
}

TFileVerdict CheckInstalledFile(const std::string& path, size_t index, const std::string& self_path) {
  DWORD attr = GetFileAttributesA(path.c_str());
  if (attr == INVALID_FILE_ATTRIBUTES) return FileAbsent;
  if (attr & FILE_ATTRIBUTE_DIRECTORY) return FileNotOurs;
  HANDLE probe = OpenForReading(path);
  if (probe == INVALID_HANDLE_VALUE) return FileUnreadable;
  CloseHandle(probe);
  if (SamePath(kInstalledFileNames[index], kUninstallerFileName))
    return SameFileContents(path, self_path) ? FileOurs : FileNotOurs;
  const TPayloadCheck expected = PayloadCheck(index);
  uint32_t size = 0, crc = 0;
  if (expected.Size == 0 && expected.Crc == 0) return FileNotOurs;  // built without the payload
  if (!FileSizeAndCrc(path, size, crc)) return FileUnreadable;
  return size == expected.Size && crc == expected.Crc ? FileOurs : FileNotOurs;
}

TRemovePlan MakeRemovePlan(const std::string& self_path) {
  TRemovePlan plan;
  plan.SelfPath = self_path;

  const std::string app_paths = std::string(kAppPathsKey) + '\\' + kScreenSaverFileName;
  plan.InstallDir = ReadFolder(HKEY_LOCAL_MACHINE, kProductKey, kInstallDirValue);
  if (plan.InstallDir.empty()) plan.InstallDir = ReadFolder(HKEY_LOCAL_MACHINE, app_paths.c_str(), kAppPathsPathValue);
  plan.Recorded = !plan.InstallDir.empty();

  char windows[MAX_PATH + 1];
  UINT n = GetWindowsDirectoryA(windows, sizeof windows);
  if (n > 0 && n < sizeof windows) plan.WindowsDir = windows;

  std::string programs = ReadFolder(HKEY_LOCAL_MACHINE, kShellFoldersKey, kCommonProgramsValue);
  if (programs.empty()) programs = ReadFolder(HKEY_CURRENT_USER, kShellFoldersKey, kUserProgramsValue);
  std::string rel = ReadString(HKEY_LOCAL_MACHINE, kProductKey, kShellFolderValue);
  while (!rel.empty() && IsPathSeparator(rel.back())) rel.pop_back();
  if (!programs.empty() && IsSafeRelativeFolder(rel)) plan.GroupFolder = JoinPath(programs, rel);
  return plan;
}

void RemoveInstallation(const TRemovePlan& plan, TRemoveReport& report) {
  if (!plan.Recorded) return;

  // Installed files. The screen saver normally lives in the Windows folder,
  // but goes to the install folder when the Windows folder had no room.
  for (size_t i = 0; i < kInstalledFileCount; i++) {
    const std::string path = JoinPath(plan.InstallDir, kInstalledFileNames[i]);
    if (SamePath(path, plan.SelfPath)) continue;  // removed after this program has ended
    RemoveIfOurs(path, i, plan, report);
  }
  if (!plan.WindowsDir.empty()) {
    const std::string saver = JoinPath(plan.WindowsDir, kScreenSaverFileName);
    char short_name[MAX_PATH + 1] = {0};
    DWORD n = GetShortPathNameA(saver.c_str(), short_name, sizeof short_name);
    const std::string saver_short = n > 0 && n < sizeof short_name ? short_name : "";
    const size_t failed = report.Failed.size(), kept = report.Kept.size();
    RemoveIfOurs(saver, 0, plan, report);
    if (report.Failed.size() == failed && report.Kept.size() == kept && !Exists(saver))
      ForgetChosenScreenSaver(saver, saver_short, report);
  }

  // Shortcuts, then the group if nothing else is in it.
  if (!plan.GroupFolder.empty()) {
    for (const char* name : {kSettingsLinkName, kHelpLinkName}) {
      std::string link = JoinPath(plan.GroupFolder, name);
      DWORD attr = GetFileAttributesA(link.c_str());
      if (attr == INVALID_FILE_ATTRIBUTES) continue;
      if (attr & FILE_ATTRIBUTE_DIRECTORY) {
        report.Kept.push_back(link);
        continue;
      }
      size_t failed_before = report.Failed.size();
      RemoveOurFile(link, report);
      if (report.Failed.size() == failed_before) SHChangeNotify(SHCNE_DELETE, SHCNF_PATHA, link.c_str(), nullptr);
    }
    if (RemoveDirectoryA(plan.GroupFolder.c_str()))
      SHChangeNotify(SHCNE_RMDIR, SHCNF_PATHA, plan.GroupFolder.c_str(), nullptr);
  }

  // Registry entries; the maker's keys only when they are then empty.
  DeleteKey(std::string(kAppPathsKey) + '\\' + kScreenSaverFileName, report);
  DeleteKey(kUninstallKey, report);
  DeleteKey(kProductKey, report);
  DeleteKeyIfEmpty(kProductFamilyKey);
  DeleteKeyIfEmpty(kMakerKey);

  // The install folder, unless the user keeps something there (or this
  // program still runs from it; its clean-up copy removes it then).
  RemoveDirectoryA(plan.InstallDir.c_str());
}

std::string FormatReport(const TRemoveReport& report) {
  if (report.Failed.empty() && report.Kept.empty()) return "Velmora was removed from your computer.";
  std::string text = "Velmora was removed, with these exceptions.";
  if (!report.Kept.empty()) {
    text += "\n\nKept because they were changed or are not Velmora's:";
    for (const std::string& f : report.Kept) text += "\n    " + f;
  }
  if (!report.Failed.empty()) {
    text += "\n\nCould not be removed:";
    for (const std::string& f : report.Failed) text += "\n    " + f;
    text += "\n\nYou can delete them yourself when they are no longer in use.";
  }
  return text;
}
