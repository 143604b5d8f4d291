// The shortcut worker: creates the program group folder and records it (on
// the UI thread, in the constructor), then makes the "Velmora Settings" and
// "Velmora Help" shortcuts on its own thread and reports the end of the run
// to the progress page with WM_INSTALL_SHORTCUTS_DONE.
#pragma once

#include <windows.h>

#include <string>

#include "install/install_contract.h"

class TProcessShortsThread {
 public:
  // On the UI thread. When the group folder cannot be created the page gets
  // WM_INSTALL_SHORTCUTS_DONE with lParam 1 before this returns, and no
  // thread is started; otherwise the thread sends it with lParam 0 at its end.
  TProcessShortsThread(HWND page_wnd, const std::string& group_path);
  // Waits without time-out for the thread. Must not run before the page has
  // received WM_INSTALL_SHORTCUTS_DONE (the thread waits for the page).
  virtual ~TProcessShortsThread();

  TProcessShortsThread(const TProcessShortsThread&) = delete;
  TProcessShortsThread& operator=(const TProcessShortsThread&) = delete;

  HWND PageWnd;
  HANDLE ThreadHandle = nullptr;  // null when no thread was started
  DWORD ThreadId = 0;

 private:
  static DWORD WINAPI ThreadMain(LPVOID self);
  void Run();
};
