// The Start-menu Programs folder and the Program Files folder, read from the
// keys in which Explorer and Windows record them.
#include "install/win_startmenu_path.h"

#include <windows.h>

#include "install/install_registry.h"

namespace {

constexpr char kWindowsVersionKey[] = "Software\\Microsoft\\Windows\\CurrentVersion";

// A REG_SZ value of at most 260 bytes; empty on any failure.
std::string ReadString(HKEY root, const char* key_path, const char* value_name) {
  std::string value;
  HKEY key;
  if (RegOpenKeyExA(root, key_path, 0, KEY_READ, &key) != ERROR_SUCCESS) return value;
  ReadRegString(key, value_name, value);
  RegCloseKey(key);
  return value;
}

}  // namespace

std::string GetStartMenuProgramsDir() {
  // Shell Folders exist from Windows 4 on.
  if (LOBYTE(LOWORD(GetVersion())) < 4) return std::string();
  std::string folder = ReadString(HKEY_LOCAL_MACHINE, kShellFoldersKey, kCommonProgramsValue);
  if (!folder.empty()) return folder;
  return ReadString(HKEY_CURRENT_USER, kShellFoldersKey, kUserProgramsValue);
}

std::string GetProgramFilesDir() {
  return ReadString(HKEY_LOCAL_MACHINE, kWindowsVersionKey, "ProgramFilesDir");
}
