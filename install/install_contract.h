// What an installation consists of, as the setup writes it and the
// uninstaller and the tests look for it: the registry keys and values, the
// installed files and shortcuts, the release time, and the path helpers that
// both sides use to name and compare them. Anything written here once must
// not be spelled out again elsewhere; a change made here reaches the setup,
// the uninstaller, the build of the payload and the tests together.
//
// Header-only and free of Windows headers, so that the host tools and the
// native tests can use it as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// --- Registry (all keys under HKEY_LOCAL_MACHINE) ---------------------------

constexpr char kMakerKey[] = "SOFTWARE\\Tarvik";
constexpr char kProductFamilyKey[] = "SOFTWARE\\Tarvik\\Velmora";
constexpr char kProductKey[] = "SOFTWARE\\Tarvik\\Velmora\\1.0";
constexpr char kInstallDirValue[] = "InstallDir";
constexpr char kShellFolderValue[] = "ShellFolder";

// The screen saver's App Paths entry is this key, a backslash and its name.
constexpr char kAppPathsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths";
constexpr char kAppPathsPathValue[] = "Path";  // the default value holds the file's path

constexpr char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Velmora";
constexpr char kDisplayNameValue[] = "DisplayName";
constexpr char kUninstallStringValue[] = "UninstallString";
constexpr char kDisplayName[] = "Velmora screen saver";

// Class string of every key the setup creates (an existing key keeps its own).
constexpr char kKeyClass[] = "Application Global Data";

// Where the system keeps its folders (HKEY_LOCAL_MACHINE "Common Programs",
// HKEY_CURRENT_USER "Programs"), and the chosen screen saver (HKEY_CURRENT_USER).
constexpr char kShellFoldersKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr char kCommonProgramsValue[] = "Common Programs";
constexpr char kUserProgramsValue[] = "Programs";
constexpr char kDesktopKey[] = "Control Panel\\Desktop";
constexpr char kChosenScreenSaverValue[] = "SCRNSAVE.EXE";

// --- Installed files ----------------------------------------------------------

// The payload's files in packing order. The build reads this list (one quoted
// name per line between the braces) to pack the payload and to give the
// uninstaller each file's size and CRC-32, so the names cannot drift apart.
constexpr const char* kInstalledFileNames[] = {
    "Velmora.scr",
    "Velmora.Hlp",
    "Velmora.cnt",
    "VLRemove.exe",
    "ReadMe.txt",
    "Velmora.wav",
};
constexpr size_t kInstalledFileCount = sizeof kInstalledFileNames / sizeof kInstalledFileNames[0];

// The screen saver goes to the Windows folder (the install folder when the
// Windows folder has no room); the others go to the install folder.
constexpr const char* kScreenSaverFileName = kInstalledFileNames[0];
constexpr const char* kHelpFileName = kInstalledFileNames[1];
constexpr const char* kUninstallerFileName = kInstalledFileNames[3];

// The default folder (below Program Files) and program group.
constexpr char kDefaultFolderName[] = "Velmora";

// --- Shortcuts in the program group ------------------------------------------

constexpr char kSettingsLinkName[] = "Velmora Settings.Lnk";
constexpr char kSettingsLinkDescription[] = "Velmora Settings";
constexpr char kHelpLinkName[] = "Velmora Help.Lnk";
constexpr char kHelpLinkDescription[] = "Velmora Help";

// --- Release time ----------------------------------------------------------------

// Every installed file receives it: local time 1998-12-01 01:06:00, as a DOS
// date and time.
constexpr uint16_t kReleaseDosDate = ((1998 - 1980) << 9) | (12 << 5) | 1;
constexpr uint16_t kReleaseDosTime = (1 << 11) | (6 << 5) | 0;

// --- Path helpers --------------------------------------------------------------
//
// ANSI byte strings. Both '/' and '\' separate components; ':' also ends a
// drive prefix when a path is split into folder and name (C:b.scr is the
// file b.scr in the current folder of drive C). Comparisons fold ASCII
// letters only, the way file names are compared on every code page the
// product runs on.

inline bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }

// Up to and including the last '/', ':' or '\'; empty when there is none.
// C:\a\b.scr -> C:\a\   C:b.scr -> C:   b.scr -> ""
inline std::string GetPathPart(const std::string& path) {
  const size_t at = path.find_last_of("/\\:");
  return at == std::string::npos ? std::string() : path.substr(0, at + 1);
}

// What follows the last '/', ':' or '\'; the whole text when there is none.
inline std::string GetNamePart(const std::string& path) {
  const size_t at = path.find_last_of("/\\:");
  return at == std::string::npos ? path : path.substr(at + 1);
}

inline char FoldPathChar(char c) {
  if (c == '/') return '\\';
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The same path, letters in either case, either separator.
inline bool SamePath(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldPathChar(a[i]) != FoldPathChar(b[i])) return false;
  return true;
}

// path lies inside folder: folder (compared as by SamePath), a separator and
// at least one more character.
inline bool StartsWithFolder(const std::string& path, const std::string& folder) {
  if (folder.empty() || path.size() <= folder.size() + 1 || !IsPathSeparator(path[folder.size()]))
    return false;
  return SamePath(path.substr(0, folder.size()), folder);
}

// folder + '\' + name, without doubling a separator that folder ends in.
inline std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return IsPathSeparator(folder.back()) ? folder + name : folder + '\\' + name;
}

// A folder given in full, on a drive (X:\...) or a network share
// (\\server\share\...), and below its root, in the one form in which it is
// stored: backslashes, an upper-case drive letter, no empty, "." or ".." components (".." goes up, never
// past the root), no blanks or dots at the end of a component (the system
// drops them as well), no trailing separator. False for anything else: a
// relative or drive-relative path ("Velmora", "\Velmora", "C:Velmora"), a
// device path ("\\?\", "\\.\"), a name with a character no file name may
// hold, or a root in any spelling ("C:", "C:\\", "C:\.", "C:\..",
// "C:\ .", "\\server\share\").
inline bool NormaliseFullPath(const std::string& typed, std::string& full) {
  auto bad_char = [](char c) {
    return static_cast<unsigned char>(c) < 32 || c == '<' || c == '>' || c == '"' || c == '|' ||
           c == '?' || c == '*' || c == ':';
  };
  // Components of text, trimmed, with "." dropped and ".." applied (never
  // past the root); false on a character that no name may hold.
  auto walk = [&](const std::string& text, std::string* parts, size_t& count, size_t capacity) {
    size_t at = 0;
    while (at <= text.size()) {
      size_t end = at;
      while (end < text.size() && !IsPathSeparator(text[end])) ++end;
      std::string part = text.substr(at, end - at);
      at = end + 1;
      for (char c : part)
        if (bad_char(c)) return false;
      while (!part.empty() && part.back() == ' ') part.pop_back();
      if (part == "..") {  // also ".. ": blanks go first, as the system drops them
        if (count > 0) --count;
        continue;
      }
      while (!part.empty() && (part.back() == ' ' || part.back() == '.')) part.pop_back();
      if (part.empty()) continue;  // "", "." and names of blanks and dots only
      if (count == capacity) return false;
      parts[count++] = part;
    }
    return true;
  };

  constexpr size_t kMaxParts = 128;
  std::string parts[kMaxParts];
  size_t count = 0;
  std::string root;
  if (typed.size() >= 3 && typed[1] == ':' && IsPathSeparator(typed[2]) &&
      ((typed[0] >= 'A' && typed[0] <= 'Z') || (typed[0] >= 'a' && typed[0] <= 'z'))) {
    root = std::string(1, typed[0] >= 'a' ? static_cast<char>(typed[0] - 'a' + 'A') : typed[0]) + ":\\";
    if (!walk(typed.substr(3), parts, count, kMaxParts)) return false;
  } else if (typed.size() > 2 && IsPathSeparator(typed[0]) && IsPathSeparator(typed[1])) {
    // Server and share must be plain names, as typed.
    size_t at = 2;
    std::string names[2];
    for (std::string& name : names) {
      if (at > typed.size()) return false;
      size_t end = at;
      while (end < typed.size() && !IsPathSeparator(typed[end])) ++end;
      name = typed.substr(at, end - at);
      at = end + 1;
      if (name.empty() || name.find_first_not_of(". ") == std::string::npos) return false;
      for (char c : name)
        if (bad_char(c)) return false;
    }
    root = "\\\\" + names[0] + '\\' + names[1] + '\\';
    if (at < typed.size() && !walk(typed.substr(at), parts, count, kMaxParts)) return false;
  } else {
    return false;
  }
  if (count == 0) return false;  // the root itself
  full = root;
  for (size_t i = 0; i < count; ++i) full += (i ? "\\" : "") + parts[i];
  return true;
}
