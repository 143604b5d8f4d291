// The system folders the wizard's defaults are built from, as the Explorer
// and the Windows version key record them. Empty strings when not found.
#pragma once

#include <string>

// "Common Programs" of the machine, or else the user's "Programs", from the
// Shell Folders key; empty on Windows versions before 4.
std::string GetStartMenuProgramsDir();

// "ProgramFilesDir" of the Windows version key.
std::string GetProgramFilesDir();
