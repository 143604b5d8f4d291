// VLRemove.exe: removes what Velmora Setup made, and nothing else. A file
// goes only when it is the one the setup put there: one of the installed
// names, in the recorded folder, with the size and CRC-32 of the payload's
// entry (this program is built with the payload and carries both). Its own
// file is known by being byte for byte this program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <windows.h>

#include "install/install_contract.h"

// What one removal run will touch, found before anything is removed.
struct TRemovePlan {
  bool Recorded = false;        // the registry records an installation in a full path
  std::string InstallDir;       // full and normalised
  std::string WindowsDir;       // where the screen saver normally is; empty if unknown
  std::string GroupFolder;      // the Start-menu program group; empty if unknown
  std::string SelfPath;         // this program's own file
};

// The outcome of a run.
struct TRemoveReport {
  std::vector<std::string> Failed;  // ours, but could not be removed
  std::vector<std::string> Kept;    // one of our names, but changed or not ours
  int Removed = 0;
};

// The size and CRC-32 of each payload file, in the order of
// kInstalledFileNames, written into the built program after linking (see
// stamp_payload_checks.py); both are 0 for the uninstaller's own entry and in
// a build made without the payload, which then removes no payload file.
struct TPayloadCheck {
  uint32_t Size;
  uint32_t Crc;
};
TPayloadCheck PayloadCheck(size_t index);

// Looks up the recorded installation: the install folder ("InstallDir" of the
// product key, else the App Paths "Path"), accepted only as a full path below
// a root; the Windows folder; the program group below the Programs folder.
TRemovePlan MakeRemovePlan(const std::string& self_path);

// Removes the installed files that are ours (except self_path, which cannot
// go while it runs), the shortcuts and the group when empty, the registry
// entries and the install folder when empty. Every step is tried whatever
// happened in the ones before. Does nothing unless plan.Recorded.
void RemoveInstallation(const TRemovePlan& plan, TRemoveReport& report);

// What a file of one of the installed names is.
enum TFileVerdict { FileAbsent, FileOurs, FileNotOurs, FileUnreadable };

// index: the name's place in kInstalledFileNames. The uninstaller's own entry
// is ours when it is byte for byte self_path; the others when size and CRC-32
// match the payload's. A folder is not ours; a file that cannot be read (held
// open by another program) cannot be told, and stays as one that could not
// be removed.
TFileVerdict CheckInstalledFile(const std::string& path, size_t index, const std::string& self_path);

// The two files can be read and are byte for byte the same.
bool SameFileContents(const std::string& a, const std::string& b);

// The text of the final message.
std::string FormatReport(const TRemoveReport& report);
constexpr char kNotInstalledText[] = "Velmora is not installed on this computer. Nothing was removed.";
