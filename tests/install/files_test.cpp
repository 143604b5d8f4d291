// The file worker: whole installation runs over the test program's own
// archive resource (ARC 101), watched from a hidden page window, with a
// helper thread that finds and answers the overwrite question; and the
// worker's percentage and same-release rules on their own.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "install/destinations.h"
#include "install/install_files.h"
#include "install/install_registry.h"
#include "tests/install/engine_payload.h"
#include "tests/install/engine_test_util.h"

// The 100 % mark for this program's payload.
const int32_t ArchiveTotalBytes = enginetest::kPayloadTotal;

using namespace enginetest;

namespace {

constexpr char kQuestion[] =
    "The same or newer file exists. Do you wish to overwrite it and following files?";

std::string WindowsFolder() {
  char windows[MAX_PATH + 1] = {};
  GetWindowsDirectoryA(windows, sizeof windows);
  return windows;
}

// Finds the overwrite question (by its caption) and answers it.
class QuestionAnswerer {
 public:
  explicit QuestionAnswerer(int answer) : answer_(answer), thread_([this] { Watch(); }) {}
  ~QuestionAnswerer() {
    stop_ = true;
    thread_.join();
  }

  std::vector<std::string> captions() {
    std::lock_guard<std::mutex> lock(mutex_);
    return captions_;
  }
  std::vector<std::string> texts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
  }

 private:
  void Watch() {
    while (!stop_) {
      EnumWindows(Visit, reinterpret_cast<LPARAM>(this));
      Sleep(20);
    }
  }
  static BOOL CALLBACK Visit(HWND wnd, LPARAM self_param) {
    auto* self = reinterpret_cast<QuestionAnswerer*>(self_param);
    char caption[256] = {};
    GetWindowTextA(wnd, caption, sizeof caption);
    if (std::string(caption).rfind("creating: ", 0) != 0) return TRUE;
    if (!self->answered_.insert(wnd).second) return TRUE;  // already answered
    char text[512] = {};
    GetDlgItemTextA(wnd, 0xFFFF, text, sizeof text);
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->captions_.push_back(caption);
      self->texts_.push_back(text);
    }
    PostMessageA(wnd, WM_COMMAND, MAKEWPARAM(self->answer_, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(wnd, self->answer_)));
    return TRUE;
  }

  const int answer_;
  std::atomic<bool> stop_{false};
  std::set<HWND> answered_;
  std::mutex mutex_;
  std::vector<std::string> captions_;
  std::vector<std::string> texts_;
  std::thread thread_;
};

class FileWorker : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallSettings = TInstallSettings();
    screen_saver_ = WindowsFolder() + "\\Velmora.scr";
    DeleteFileA(screen_saver_.c_str());
    DeleteKeyTree(HKEY_LOCAL_MACHINE, kProductKey);
  }
  void TearDown() override {
    DeleteFileA(screen_saver_.c_str());
    InstallSettings = TInstallSettings();
  }

  // Where the payload entry is installed for the destination folder.
  std::string InstalledPath(const PayloadEntry& entry, const std::string& folder) const {
    if (std::string(entry.file_name) == "Velmora.scr") return screen_saver_;
    return folder + "\\" + entry.file_name;
  }

  // One whole run into the folder; the page keeps pumping until the file
  // stage has ended. Returns the messages the page received.
  std::vector<Received> Run(const std::string& folder) {
    PageRecorder page;
    {
      TProcessFilesThread worker(page.wnd(), folder);
      EXPECT_EQ(worker.Failed, 0u);
      EXPECT_NE(worker.ThreadHandle, nullptr);
      EXPECT_TRUE(page.PumpUntil(WM_INSTALL_FILES_DONE, 60000));
    }  // the destructor waits for the thread's clean-up
    return page.messages();
  }

  // The existing installation of a first run, for the runs over it.
  void InstallOnce(const std::string& folder) {
    const std::vector<Received> messages = Run(folder);
    ASSERT_FALSE(messages.empty());
    ASSERT_EQ(messages.back().lparam, 0);
    InstallSettings = TInstallSettings();
  }

  // Puts `text`, last written at `when`, in place of every installed file.
  void ReplaceInstalledFiles(const std::string& folder, const std::string& text, const FILETIME& when) const {
    for (const PayloadEntry& entry : kPayload) {
      const std::string path = InstalledPath(entry, folder);
      ASSERT_TRUE(WriteFileBytes(path, text));
      ASSERT_TRUE(SetLastWriteTime(path, when));
    }
  }

  // Every installed file holds its payload content.
  void ExpectPayloadInstalled(const std::string& folder) const {
    for (const PayloadEntry& entry : kPayload)
      EXPECT_EQ(ReadFileBytes(InstalledPath(entry, folder)), PayloadContent(entry)) << entry.file_name;
  }

  static LPARAM FilesDoneResult(const std::vector<Received>& messages) {
    for (const Received& r : messages)
      if (r.message == WM_INSTALL_FILES_DONE) return r.lparam;
    return -1;
  }

  std::string screen_saver_;
};

TEST_F(FileWorker, FirstInstallation) {
  TempFolder temp("first");
  const std::string folder = temp / "Program Files\\Velmora";  // two levels to create

  QuestionAnswerer answerer(IDYES);
  const std::vector<Received> messages = Run(folder + "\\");
  EXPECT_TRUE(answerer.captions().empty()) << "nothing to overwrite, nothing to ask";

  EXPECT_EQ(InstallSettings.InstalledDir, folder);
  EXPECT_EQ(InstallSettings.ScreenSaverPath, screen_saver_);
  const FILETIME release = ExpectedReleaseTime();
  for (const PayloadEntry& entry : kPayload) {
    const std::string path = InstalledPath(entry, folder);
    EXPECT_EQ(ReadFileBytes(path), PayloadContent(entry)) << path;
    EXPECT_EQ(Ticks(LastWriteTime(path)), Ticks(release)) << path;
  }
  EXPECT_FALSE(Exists(folder + "\\Velmora.scr"));

  // Every message is sent (synchronously) from the worker; the progress
  // rises to 100 and the end of the file stage comes last, once, with 0.
  ASSERT_FALSE(messages.empty());
  for (const Received& r : messages) EXPECT_TRUE(r.from_other_thread);
  EXPECT_EQ(messages.back().message, WM_INSTALL_FILES_DONE);
  EXPECT_EQ(messages.back().lparam, 0);
  std::vector<LPARAM> progress;
  for (const Received& r : messages)
    if (r.message == WM_INSTALL_PROGRESS) progress.push_back(r.lparam);
  // One report at the start of each entry; two neighbours of equal size
  // count as two entries.
  EXPECT_EQ(progress, (std::vector<LPARAM>{0, 27, 54, 100}));
}

// An earlier installation recorded in the registry: its files (same release)
// are replaced without a question.
TEST_F(FileWorker, UpgradeOverRecordedInstallationAsksNothing) {
  TempFolder temp("upgrade");
  const std::string folder = temp / "Velmora";
  InstallOnce(folder);
  // Same release time, other content: only a real overwrite restores it.
  const FILETIME release = ExpectedReleaseTime();
  ASSERT_NO_FATAL_FAILURE(ReplaceInstalledFiles(folder, "earlier installation", release));

  InstallSettings.PreviousInstallFound = true;
  QuestionAnswerer answerer(IDNO);
  const std::vector<Received> messages = Run(folder);
  EXPECT_TRUE(answerer.captions().empty());
  EXPECT_EQ(FilesDoneResult(messages), 0);
  ExpectPayloadInstalled(folder);
  EXPECT_EQ(InstallSettings.OverwriteAnswer, OverwriteAll);
}

// The files of an earlier installation without its registry key: one
// question, at the first file of the same release; Yes replaces it and every
// later one.
TEST_F(FileWorker, SameReleaseFilesAnsweredYesAreAllReplaced) {
  TempFolder temp("yes");
  const std::string folder = temp / "Velmora";
  InstallOnce(folder);
  const FILETIME release = ExpectedReleaseTime();
  ASSERT_NO_FATAL_FAILURE(ReplaceInstalledFiles(folder, "old", release));

  QuestionAnswerer answerer(IDYES);
  const std::vector<Received> messages = Run(folder);
  EXPECT_EQ(answerer.captions(), std::vector<std::string>{"creating: VLRemove.exe"});
  EXPECT_EQ(answerer.texts(), std::vector<std::string>{kQuestion});
  EXPECT_EQ(FilesDoneResult(messages), 0);
  ExpectPayloadInstalled(folder);
  EXPECT_EQ(InstallSettings.ScreenSaverPath, screen_saver_);
}

// No keeps that file and every later file of the same release or newer,
// while missing and older files are still written; the run reports code 11.
TEST_F(FileWorker, SameReleaseFilesAnsweredNoAreAllKept) {
  TempFolder temp("no");
  const std::string folder = temp / "Velmora";
  InstallOnce(folder);
  const FILETIME release = ExpectedReleaseTime();
  const std::string remover = folder + "\\VLRemove.exe";
  const std::string help = folder + "\\Velmora.Hlp";
  const std::string empty = folder + "\\empty.dat";
  ASSERT_TRUE(WriteFileBytes(remover, "same release"));
  ASSERT_TRUE(SetLastWriteTime(remover, release));
  ASSERT_TRUE(WriteFileBytes(screen_saver_, "newer"));  // written now: newer
  ASSERT_TRUE(WriteFileBytes(help, "older"));
  ASSERT_TRUE(SetLastWriteTime(help, FromTicks(Ticks(release) - 10000000)));  // one second
  ASSERT_TRUE(DeleteFileA(empty.c_str()));

  QuestionAnswerer answerer(IDNO);
  const std::vector<Received> messages = Run(folder);
  EXPECT_EQ(answerer.captions(), std::vector<std::string>{"creating: VLRemove.exe"});
  EXPECT_EQ(FilesDoneResult(messages), 11);
  EXPECT_EQ(InstallSettings.OverwriteAnswer, KeepAll);

  EXPECT_EQ(ReadFileBytes(remover), "same release");
  EXPECT_EQ(ReadFileBytes(screen_saver_), "newer");
  EXPECT_EQ(InstallSettings.ScreenSaverPath, "");
  EXPECT_EQ(ReadFileBytes(help), PayloadContent(kPayload[2]));
  EXPECT_TRUE(Exists(empty));
}

// Files older than the release are replaced without a question.
TEST_F(FileWorker, OlderFilesAreReplacedSilently) {
  TempFolder temp("older");
  const std::string folder = temp / "Velmora";
  InstallOnce(folder);
  const FILETIME second_before = FromTicks(Ticks(ExpectedReleaseTime()) - 10000000);
  ASSERT_NO_FATAL_FAILURE(ReplaceInstalledFiles(folder, "older", second_before));

  QuestionAnswerer answerer(IDNO);
  const std::vector<Received> messages = Run(folder);
  EXPECT_TRUE(answerer.captions().empty());
  EXPECT_EQ(FilesDoneResult(messages), 0);
  ExpectPayloadInstalled(folder);
  EXPECT_EQ(InstallSettings.OverwriteAnswer, NotAsked);
}

TEST_F(FileWorker, FolderThatCannotBeCreatedStartsNothing) {
  TempFolder temp("nofolder");
  ASSERT_TRUE(WriteFileBytes(temp / "file", "x"));
  PageRecorder page;
  {
    TProcessFilesThread worker(page.wnd(), temp / "file\\Velmora");
    EXPECT_EQ(worker.Failed, 1u);
    EXPECT_EQ(worker.ThreadHandle, nullptr);
    EXPECT_FALSE(page.PumpUntil(WM_INSTALL_FILES_DONE, 500));
  }
  EXPECT_TRUE(page.messages().empty());
  EXPECT_EQ(InstallSettings.InstalledDir, "");
  EXPECT_FALSE(Exists(screen_saver_));
}

TEST(Percent, ScalesInThirtyTwoBits) {
  EXPECT_EQ(Percent(0, 1111316), 0);
  EXPECT_EQ(Percent(10000, 1111316), 0);
  EXPECT_EQ(Percent(25600, 1111316), 2);
  EXPECT_EQ(Percent(555658, 1111316), 49);
  EXPECT_EQ(Percent(1111316, 1111316), 100);
  EXPECT_EQ(Percent(2000000, 1111316), 100);
  EXPECT_EQ(Percent(5, 0), 0);
  EXPECT_EQ(Percent(50, 200), 25);
  // Large totals must not overflow: done * 100 stays below 2^31.
  EXPECT_EQ(Percent(0x7FFFFF00, 0x7FFFFFFF), 99);
}

// The hook on its own, on a worker whose folder failed (so no thread runs)
// and whose page is on this thread.
TEST(Progress, EachEntryCountsOnceWhateverItsSize) {
  PageRecorder page;
  TempFolder temp("progress");
  ASSERT_TRUE(WriteFileBytes(temp / "file", "x"));
  TProcessFilesThread worker(page.wnd(), temp / "file\\x");
  ASSERT_EQ(worker.Failed, 1u);

  // Entry sizes 3000, 3000, 5000, 0 against the 11000 of this program; the
  // decoder's reports in between carry the bytes done so far.
  worker.OnProgress(0, 3000);
  worker.OnProgress(2000, 3000);
  worker.OnProgress(0, 3000);
  worker.OnProgress(3000, 3000);
  worker.OnProgress(0, 5000);
  worker.OnProgress(4096, 5000);
  worker.OnProgress(0, 0);
  EXPECT_EQ(page.ParamsOf(WM_INSTALL_PROGRESS), (std::vector<LPARAM>{0, 18, 27, 54, 54, 90, 100}));
  EXPECT_EQ(worker.CompletedBytes, 11000);
  EXPECT_EQ(worker.LastEntrySize, 0);
}

TEST(SameOrNewer, ComparesLastWriteWithTheReleaseTime) {
  TempFolder temp("times");
  const std::string path = temp / "f";
  ASSERT_TRUE(WriteFileBytes(path, "x"));
  const uint64_t release = Ticks(ExpectedReleaseTime());
  const struct {
    uint64_t time;
    bool same_or_newer;
  } cases[] = {{release, true}, {release + 10000000, true}, {release - 10000000, false}};
  for (const auto& c : cases) {
    ASSERT_TRUE(SetLastWriteTime(path, FromTicks(c.time)));
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(IsSameOrNewer(file), c.same_or_newer) << c.time - release;
    CloseHandle(file);
  }
}

}  // namespace
