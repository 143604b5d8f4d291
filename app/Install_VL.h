// The setup program's main flow: one copy at a time, a hidden owner window,
// the wizard, and the hand-over of the installed screen saver to the Display
// control panel.
#pragma once

#include <windows.h>

#include <string>

// Makes the main window, the mark by which a second copy finds this one.
// Does not return when another copy runs (that copy comes to the front) or
// when the window cannot be made: the process then ends with exit code 0.
HWND CreateMainWindow();

// Runs the wizard owned by `owner`, closes the owner, and starts the Display
// control panel on the installed screen saver when the run asked for it.
// search_restricted: what RestrictDllSearch (install/dll_search.h) answered.
void RunWizard(HWND owner, bool search_restricted);

// The command line that hands a screen saver to the Display control panel.
std::string ConfigurationCommandLine(const std::string& screen_saver_path);
