// The file worker: one extraction run of the archive resource on a thread of
// its own, with the two driver hooks that place the files and report
// progress, and the one question the setup asks from a worker thread.
#include "install/install_files.h"

#include "archive/arc_checksum.h"
#include "archive/arc_extract.h"
#include "archive/archive_class.h"
#include "install/destinations.h"
#include "install/long_path.h"

namespace {

void ProgressHook(void* object, int32_t done, int32_t total) {
  static_cast<TProcessFilesThread*>(object)->OnProgress(done, total);
}

void TargetPathHook(void* object, const std::string& archived_name, std::string& target) {
  static_cast<TProcessFilesThread*>(object)->OnGetTargetPath(archived_name, target);
}

// The screen saver is recognised by its extension anywhere in the name.
bool IsScreenSaver(const std::string& archived_name) {
  return archived_name.find(".scr") != std::string::npos;
}

// The Windows folder, when it can be found and its drive has room; the
// screen saver goes there. Empty otherwise.
std::string ScreenSaverFolder() {
  char windows[kPathBufferSize] = {};
  const UINT length = GetWindowsDirectoryA(windows, kPathBufferSize);
  if (length == 0 || length >= static_cast<UINT>(kPathBufferSize)) return std::string();
  const std::string folder(windows, length);
  return GetDriveFreeBytes(folder) != 0 ? folder : std::string();
}

}  // namespace

int32_t Percent(int32_t done, int32_t total) {
  // Scaling both down first keeps done * 100 within 32 bits.
  if (done > 10000) {
    done /= 100;
    total /= 100;
  }
  if (total == 0) return 0;
  if (done > total) return 100;
  return done * 100 / total;
}

bool IsSameOrNewer(HANDLE file) {
  FILETIME last_write;
  if (!GetFileTime(file, nullptr, nullptr, &last_write)) return false;
  const FILETIME release = ReleaseTimestamp();
  return CompareFileTime(&last_write, &release) >= 0;
}

TProcessFilesThread::TProcessFilesThread(HWND page_wnd, const std::string& folder)
    : PageWnd(page_wnd), Folder(folder) {
  std::string created = folder;
  if (!ForceFolder(created)) {
    Failed = 1;
    return;
  }
  InstallSettings.InstalledDir = created;
  ThreadHandle = CreateThread(nullptr, 0, ThreadMain, this, 0, &ThreadId);
  // No thread, no run: the page must hear of it as of a folder failure, or
  // it would wait for a completion message forever.
  if (ThreadHandle == nullptr) Failed = 1;
}

TProcessFilesThread::~TProcessFilesThread() {
  if (ThreadHandle == nullptr) return;
  WaitForSingleObject(ThreadHandle, INFINITE);
  CloseHandle(ThreadHandle);
}

DWORD WINAPI TProcessFilesThread::ThreadMain(LPVOID self) {
  static_cast<TProcessFilesThread*>(self)->Run();
  return 0;
}

void TProcessFilesThread::Run() {
  init_crc_table();
  archive_stream = new TMyResourceStream;
  output_stream = new TMyFileStream;
  ::OnProgress.code = ProgressHook;
  ::OnProgress.object = this;
  ::OnGetTargetPath.code = TargetPathHook;
  ::OnGetTargetPath.object = this;

  // The driver only ever overwrites the result; a code left from an earlier
  // run in this process must not be reported for this one.
  extract_result = EXTRACT_OK;
  extract_archive();
  SendMessageA(PageWnd, WM_INSTALL_FILES_DONE, 0, static_cast<LPARAM>(extract_result));

  ::OnProgress = TProgressHook();
  ::OnGetTargetPath = TGetTargetPathHook();
  delete output_stream;
  output_stream = nullptr;
  delete archive_stream;
  archive_stream = nullptr;
  release_buffers();
}

void TProcessFilesThread::OnProgress(int32_t done, int32_t total) {
  // A new entry starts with the driver's report of 0 bytes done (the decoder
  // never reports 0), or shows itself by another size. The size alone would
  // merge two neighbouring entries of equal size and leave the bar short.
  if (done == 0 || total != LastEntrySize) {
    CompletedBytes += LastEntrySize;
    LastEntrySize = total;
  }
  SendMessageA(PageWnd, WM_INSTALL_PROGRESS, 0,
               static_cast<LPARAM>(Percent(CompletedBytes + done, ArchiveTotalBytes)));
}

void TProcessFilesThread::OnGetTargetPath(const std::string& archived_name, std::string& target) {
  const bool screen_saver = IsScreenSaver(archived_name);
  std::string folder = Folder;
  if (screen_saver) {
    const std::string windows = ScreenSaverFolder();
    if (!windows.empty()) folder = windows;
  }
  if (folder.empty() || !IsPathSeparator(folder.back())) folder += '\\';
  target = folder + GetNamePart(archived_name);

  // An existing file that cannot be read counts as absent: the driver will
  // try to create it and report the failure itself.
  HANDLE existing = CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (existing != INVALID_HANDLE_VALUE) {
    if (IsSameOrNewer(existing)) {
      // An upgrade over a recorded installation replaces its files silently.
      if (InstallSettings.PreviousInstallFound) InstallSettings.OverwriteAnswer = OverwriteAll;
      if (InstallSettings.OverwriteAnswer == NotAsked) {
        const std::string caption = "creating: " + GetNamePart(archived_name);
        const int answer = MessageBoxA(
            PageWnd, "The same or newer file exists. Do you wish to overwrite it and following files?",
            caption.c_str(), MB_YESNO | MB_ICONWARNING);
        InstallSettings.OverwriteAnswer = answer == IDYES ? OverwriteAll : KeepAll;
      }
      if (InstallSettings.OverwriteAnswer == KeepAll) target.clear();
    }
    CloseHandle(existing);
  }
  if (screen_saver) InstallSettings.ScreenSaverPath = target;
}
