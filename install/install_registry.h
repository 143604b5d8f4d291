// The installation's registry entries, all under HKEY_LOCAL_MACHINE: the
// product key (read at start, written after each stage), the App Paths entry
// of the screen saver and the entry in the list of installed software.
// Failures are silent; the results only say whether the keys could be opened.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "install/install_contract.h"

// What the list of installed software shows beside the name: the version,
// the maker and that the uninstaller can neither modify nor repair.
constexpr char kPublisher[] = "Tarvik";

// Reads a REG_SZ value of at most 260 bytes into value; any failure, another
// type or a longer value leaves value unchanged.
void ReadRegString(HKEY key, const char* value_name, std::string& value);

// Writes value as REG_SZ with its terminating zero; the result is not examined.
void WriteRegString(HKEY key, const char* value_name, const std::string& value);
void WriteRegDword(HKEY key, const char* value_name, DWORD value);

// The payload's unpacked size in whole kilobytes, rounded up: what the list
// of installed software shows as the program's size.
DWORD EstimatedSizeKb(int32_t total_bytes);

// Fills PreviousInstallFound, PreviousInstallDir and PreviousShellFolder of
// InstallSettings from the product key; true when the key exists.
bool ReadPreviousInstall();

// After the file stage (successful or not): "InstallDir" = install_folder as
// typed; the App Paths entry of ScreenSaverPath (skipped when the user kept
// the old screen saver); the uninstall entry, whose command line is quoted
// when it contains a blank, with its icon (the screen saver's, else the
// uninstaller's), version, maker, folder, size and NoModify/NoRepair.
// True when all three keys could be created.
bool WriteInstallEntries(const std::string& install_folder);

// Records the program group (relative to the Programs folder) in the product
// key; false when the key cannot be created.
bool WriteShellFolder(const std::string& shell_folder);
