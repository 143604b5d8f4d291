// Libraries that a shipped program needs beyond the ones the system always
// takes from its own folder (kernel32, user32, gdi32, advapi32, shell32,
// ole32, msvcrt and their like) are never imported: the loader would look
// for them beside the program first, before any of the program's code runs,
// and a setup or uninstaller is started from folders where anybody may have
// left a library of that name. Each program restricts the search first thing
// and loads such libraries itself.
#pragma once

#include <windows.h>

#include <string>

// Keeps the process from loading libraries from its own folder or the
// current directory: only the system folder (and what the process names by
// full path) is searched from here on. False on a system that can only take
// the current directory out of the search: the program's own folder is
// still searched there.
inline bool RestrictDllSearch() {
  // Both calls are newer than some of the systems the programs run on, so
  // they are looked up rather than imported.
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return false;
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  using SetDllDirectoryFn = BOOL(WINAPI*)(LPCSTR);
  auto set_default =
      reinterpret_cast<SetDefaultDllDirectoriesFn>(GetProcAddress(kernel, "SetDefaultDllDirectories"));
  const bool restricted = set_default != nullptr && set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
  auto set_directory = reinterpret_cast<SetDllDirectoryFn>(GetProcAddress(kernel, "SetDllDirectoryA"));
  if (set_directory != nullptr) set_directory("");
  return restricted;
}

// Loads a library of the system folder; null when it cannot be loaded.
// search_restricted: what RestrictDllSearch answered. With the search
// restricted the bare name is used: a manifest that binds a version of the
// library (common controls 6) resolves it through the activation context,
// and an unbound name is found only in the system folder. Otherwise the
// library is named by its full system path (the bare name would search the
// program's own folder first), which never takes a bound version.
inline HMODULE LoadSystemLibrary(const char* name, bool search_restricted) {
  std::string path = name;
  if (!search_restricted) {
    char system[MAX_PATH] = {};
    UINT length = GetSystemDirectoryA(system, sizeof system);
    if (length == 0 || length >= sizeof system) return nullptr;
    path = std::string(system) + '\\' + name;
  }
  UINT previous = SetErrorMode(SEM_NOOPENFILEERRORBOX);
  HMODULE library = LoadLibraryA(path.c_str());
  SetErrorMode(previous);
  return library;
}
