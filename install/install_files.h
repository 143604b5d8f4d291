// The file worker: creates the destination folder (on the UI thread, in the
// constructor), then extracts the archive resource on its own thread, placing
// the screen saver in the Windows folder, asking once before it overwrites
// files of the same release or newer, and reporting progress and the end of
// the file stage to the progress page.
//
// Worker-to-page protocol: every message is sent with SendMessageA (the
// sender waits for the page's handler), wParam is always 0.
//   WM_INSTALL_PROGRESS        lParam = percentage 0..100 of the payload
//   WM_INSTALL_FILES_DONE      lParam = extract_result (0 = all written)
//   WM_INSTALL_SHORTCUTS_DONE  lParam = 0, or 1 when the group folder could
//                              not be created (the page ignores it)
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

constexpr UINT WM_INSTALL_PROGRESS = WM_APP + 1;
constexpr UINT WM_INSTALL_FILES_DONE = WM_APP + 3;
constexpr UINT WM_INSTALL_SHORTCUTS_DONE = WM_APP + 0x103;

// The sum of the unpacked sizes of the payload's entries: the 100 % mark of
// the progress bar. Fixed when the program is built and defined by whoever
// embeds the payload (the setup program, each test program), e.g.
//   #include "install/install_files.h"
//   const int32_t ArchiveTotalBytes = 1111316;
// (the declaration here gives the definition external linkage).
extern const int32_t ArchiveTotalBytes;

// done * 100 / total in 32-bit arithmetic (both divided by 100 first above
// 10000 bytes); 0 for total 0, 100 when done exceeds total.
int32_t Percent(int32_t done, int32_t total);

// The open file's last write is at or after the release time.
bool IsSameOrNewer(HANDLE file);

class TProcessFilesThread {
 public:
  // On the UI thread: ForceFolder(folder); on success InstalledDir is set and
  // the worker starts at once; on failure Failed = 1 and nothing is started.
  TProcessFilesThread(HWND page_wnd, const std::string& folder);
  // Waits without time-out for the thread. Must not run before the page has
  // received WM_INSTALL_FILES_DONE (the thread waits for the page).
  virtual ~TProcessFilesThread();

  TProcessFilesThread(const TProcessFilesThread&) = delete;
  TProcessFilesThread& operator=(const TProcessFilesThread&) = delete;

  // Hooks of the extraction driver, on the worker thread.
  void OnProgress(int32_t done, int32_t total);
  void OnGetTargetPath(const std::string& archived_name, std::string& target);

  int32_t LastEntrySize = 0;   // size of the entry the last report was about
  int32_t CompletedBytes = 0;  // sizes of the entries finished before it
  HWND PageWnd;
  std::string Folder;          // as passed in, trailing separator and all
  HANDLE ThreadHandle = nullptr;  // null when no thread was started
  DWORD ThreadId = 0;
  uint32_t Failed = 0;         // 1: the folder could not be created

 private:
  static DWORD WINAPI ThreadMain(LPVOID self);
  void Run();
};
