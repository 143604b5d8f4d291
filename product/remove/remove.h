// VLRemove.exe: removes what Velmora Setup made, and nothing else.
#pragma once

#include <string>
#include <vector>

#include <windows.h>

// Registry keys the setup writes (all under HKEY_LOCAL_MACHINE).
extern const char* const ProductKey;      // SOFTWARE\Tarvik\Velmora\1.0
extern const char* const AppPathsKey;     // ...\App Paths\Velmora.scr
extern const char* const UninstallKey;    // ...\Uninstall\Velmora
extern const char* const ScreenSaverName; // Velmora.scr

// What one removal run will touch, found before anything is removed.
struct TRemovePlan {
  std::string InstallDir;       // without a trailing separator
  std::string ScreenSaverPath;  // where the screen saver was installed
  std::string GroupFolder;      // the Start-menu program group; empty if unknown
  std::string SelfPath;         // this program's own file
};

// The outcome: everything that should have gone but is still there.
struct TRemoveReport {
  std::vector<std::string> Failed;
  int Removed = 0;
};

// Path helpers.
std::string GetPathPart(const std::string& path);  // up to and with the last separator
std::string GetNamePart(const std::string& path);
bool SamePath(const std::string& a, const std::string& b);  // case-insensitive, '/' = '\'

// Looks up the install folder, the screen saver and the program group.
// self_path is this program's file, the last resort for the install folder.
TRemovePlan MakeRemovePlan(const std::string& self_path);

// Removes the installed files (except self_path, which cannot go while it
// runs), the screen saver, the shortcuts and the group when empty, the
// registry entries and the install folder when empty. Every step is tried
// whatever happened in the ones before.
void RemoveInstallation(const TRemovePlan& plan, TRemoveReport& report);

// True when path is one of the installed files in the install folder.
bool IsInstalledFile(const TRemovePlan& plan, const std::string& path);

// Deletes a file if it exists; a file that is already gone is no failure.
void RemoveFileIfPresent(const std::string& path, TRemoveReport& report);

// The text of the final message.
std::string FormatReport(const TRemoveReport& report);
