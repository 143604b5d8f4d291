// The registry entries of an installation. Every key is closed right after
// its values; every failure is silent (a key that cannot be opened at start
// simply means there is no earlier installation).
#include "install/install_registry.h"

#include "install/destinations.h"
#include "install/install_files.h"
#include "install/long_path.h"
#include "velmora_version.h"

namespace {

// Creates the key under HKEY_LOCAL_MACHINE, or opens it when it exists. An
// existing key is opened first, so that its class stays as it was on every
// registry implementation.
bool CreateKey(const std::string& path, HKEY& key) {
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS)
    return true;
  DWORD disposition = 0;
  return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, const_cast<char*>(kKeyClass),
                         REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                         &disposition) == ERROR_SUCCESS;
}

// A command line with a blank in its program path must be quoted, or Windows
// tries the path cut at each blank first ("C:\Program.exe" for a folder under
// "C:\Program Files").
std::string QuotedCommand(const std::string& program) {
  if (program.find(' ') == std::string::npos) return program;
  return '"' + program + '"';
}

}  // namespace

void ReadRegString(HKEY key, const char* value_name, std::string& value) {
  char buffer[kPathBufferSize] = {};
  DWORD type = 0;
  DWORD size = kMaxPathChars;
  if (RegQueryValueExA(key, value_name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ)
    return;
  value = buffer;  // up to the first zero byte; the buffer always holds one
}

void WriteRegString(HKEY key, const char* value_name, const std::string& value) {
  RegSetValueExA(key, value_name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>(value.size() + 1));
}

void WriteRegDword(HKEY key, const char* value_name, DWORD value) {
  RegSetValueExA(key, value_name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

DWORD EstimatedSizeKb(int32_t total_bytes) {
  if (total_bytes <= 0) return 0;
  return static_cast<DWORD>((static_cast<uint32_t>(total_bytes) + 1023u) / 1024u);
}

bool ReadPreviousInstall() {
  InstallSettings.PreviousInstallFound = false;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  ReadRegString(key, kInstallDirValue, InstallSettings.PreviousInstallDir);
  ReadRegString(key, kShellFolderValue, InstallSettings.PreviousShellFolder);
  RegCloseKey(key);
  InstallSettings.PreviousInstallFound = true;
  return true;
}

bool WriteInstallEntries(const std::string& install_folder) {
  bool all_created = true;
  HKEY key;

  if (CreateKey(kProductKey, key)) {
    WriteRegString(key, kInstallDirValue, install_folder);
    RegCloseKey(key);
  } else {
    all_created = false;
  }

  // Without a screen-saver path (the user kept the installed file) there is
  // no name to register; the earlier App Paths entry stays as it was.
  const std::string& screen_saver = InstallSettings.ScreenSaverPath;
  if (!screen_saver.empty()) {
    if (CreateKey(std::string(kAppPathsKey) + '\\' + GetNamePart(screen_saver), key)) {
      WriteRegString(key, "", screen_saver);
      WriteRegString(key, kAppPathsPathValue, InstallSettings.InstalledDir);
      RegCloseKey(key);
    } else {
      all_created = false;
    }
  }

  if (CreateKey(kUninstallKey, key)) {
    WriteRegString(key, kDisplayNameValue, kDisplayName);
    const std::string remover = JoinPath(InstallSettings.InstalledDir, kUninstallerFileName);
    WriteRegString(key, kUninstallStringValue, QuotedCommand(remover));
    // The list shows the screen saver's icon; a run that kept an older
    // screen saver has no path for it, and the uninstaller's icon stands in.
    WriteRegString(key, "DisplayIcon", screen_saver.empty() ? remover : screen_saver);
    WriteRegString(key, "DisplayVersion", VELMORA_VERSION_TEXT);
    WriteRegString(key, "Publisher", kPublisher);
    WriteRegString(key, "InstallLocation", InstallSettings.InstalledDir);
    WriteRegDword(key, "EstimatedSize", EstimatedSizeKb(ArchiveTotalBytes));
    WriteRegDword(key, "NoModify", 1);
    WriteRegDword(key, "NoRepair", 1);
    RegCloseKey(key);
  } else {
    all_created = false;
  }
  return all_created;
}

bool WriteShellFolder(const std::string& shell_folder) {
  HKEY key;
  if (!CreateKey(kProductKey, key)) return false;
  WriteRegString(key, kShellFolderValue, shell_folder);
  RegCloseKey(key);
  return true;
}
