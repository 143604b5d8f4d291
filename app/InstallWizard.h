// The five pages of the installation wizard, run by RunWizard (Install_VL) as
// one property sheet in wizard mode. The pages collect the user's choices in
// InstallSettings; the progress page drives the installation run.
#pragma once

#include <windows.h>

#include <string>

INT_PTR CALLBACK WelcomePageProc(HWND page, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK LicencePageProc(HWND page, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK DestinationPageProc(HWND page, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK GroupPageProc(HWND page, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK ProgressPageProc(HWND page, UINT message, WPARAM wparam, LPARAM lparam);

// Whether the drive of the path (or, for a path without a drive letter, of
// the current directory) is a local fixed disk.
bool IsLocalFixedDisk(const std::string& path);

// The wizard picture (bitmap id) drawn for the given DPI: the largest of
// the 96, 144 and 192 DPI versions whose DPI is not above it.
int WizardPictureForDpi(int dpi);

// The program group as page 4 shows it, given the folder the user picked in
// the tree (plus "\Velmora"): relative to the Programs folder the page uses,
// or to the user's own Programs folder that the picker is rooted at. A path
// under neither keeps only its last two components.
std::string RelativeGroupName(const std::string& picked, const std::string& programs_dir,
                              const std::string& user_programs_dir);

// After the wizard has closed: waits until the file worker (if one was
// started) has ended, so that what it wrote can be read safely. After a
// Cancel during the file stage the worker goes on extracting; it cannot be
// stopped, only waited for.
void WaitForFileWorker();

// Releases the workers once the run is over (Finished set); no effect while
// a run may still be going.
void ReleaseWorkers();
