// VLRemove.exe against an installed state laid out as the setup leaves it:
// the files in the install folder and the screen saver in the Windows
// folder, the product key, App Paths and Uninstall entries, the program
// group with its two shortcuts, and the screen saver chosen in the Display
// settings. The uninstaller is started with the UninstallString exactly as
// stored, answered like a user would (or with /quiet), and what it leaves
// behind is checked.
#include <gtest/gtest.h>

#include <windows.h>

#include <objbase.h>
#include <shlobj.h>

#include "install/install_contract.h"
#include "tests/product/product_test_util.h"

using namespace product_test;

namespace {

// The keys and names come from the installation contract, as in the setup
// and the uninstaller.
const char* const ProductKey = kProductKey;
const char* const MakerKey = kMakerKey;
const std::string AppPathsEntry = std::string(kAppPathsKey) + "\\" + kScreenSaverFileName;
const char* const AppPathsKey = AppPathsEntry.c_str();
const char* const UninstallKey = kUninstallKey;
const char* const DesktopKey = kDesktopKey;
const char InstallDir[] = "C:\\Program Files\\Velmora";
const auto& Payload = kInstalledFileNames;
const char Title[] = "Velmora Uninstall";

std::string WindowsFolder() {
  char dir[MAX_PATH + 1];
  GetWindowsDirectoryA(dir, sizeof dir);
  return dir;
}

std::string ProgramsFolder() {
  std::string dir;
  if (ReadString(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
                 "Common Programs", dir) && !dir.empty())
    return dir;
  ReadString(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
             "Programs", dir);
  return dir;
}

std::string InstalledPath(const std::string& name) {
  return name == "Velmora.scr" ? WindowsFolder() + "\\" + name : std::string(InstallDir) + "\\" + name;
}

std::string Group() { return ProgramsFolder() + "\\Velmora"; }

bool AppendText(const std::string& file, const std::string& text) {
  HANDLE h = CreateFileA(file.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
  CloseHandle(h);
  return ok;
}

bool MakeLink(const std::string& file, const std::string& target, const std::string& args) {
  IShellLinkA* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                              reinterpret_cast<void**>(&link))))
    return false;
  IPersistFile* persist = nullptr;
  bool ok = SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)));
  if (ok) {
    link->SetPath(target.c_str());
    if (!args.empty()) link->SetArguments(args.c_str());
    wchar_t wide[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, file.c_str(), -1, wide, MAX_PATH);
    ok = SUCCEEDED(persist->Save(wide, TRUE));
    persist->Release();
  }
  link->Release();
  return ok;
}

void RemoveTree(const std::string& dir) {
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::string name = fd.cFileName;
      if (name == "." || name == "..") continue;
      std::string path = dir + "\\" + name;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(path);
      else DeleteFileA(path.c_str());
    } while (FindNextFileA(h, &fd));
    FindClose(h);
  }
  RemoveDirectoryA(dir.c_str());
}

class Uninstaller : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitialize(nullptr);
    Clean();
    Install();
  }
  void TearDown() override {
    Clean();
    CoUninitialize();
  }

  static void Clean() {
    RemoveTree(InstallDir);
    RemoveTree(Group());
    DeleteFileA(InstalledPath("Velmora.scr").c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvik\\Velmora\\1.0\\Extra");
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, ProductKey);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvik\\Velmora");
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvik\\Other");
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, MakerKey);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, AppPathsKey);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, UninstallKey);
    HKEY desktop;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, DesktopKey, 0, KEY_SET_VALUE, &desktop) == ERROR_SUCCESS) {
      RegDeleteValueA(desktop, "SCRNSAVE.EXE");
      RegCloseKey(desktop);
    }
  }

  // What a first installation into the default folder and group leaves.
  static void Install() {
    ASSERT_EQ(SHCreateDirectoryExA(nullptr, InstallDir, nullptr), ERROR_SUCCESS);
    for (const char* name : Payload)
      ASSERT_TRUE(CopyFileA(PayloadFile(name).c_str(), InstalledPath(name).c_str(), FALSE)) << name;
    std::string saver = InstalledPath("Velmora.scr");
    ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, ProductKey, "InstallDir", InstallDir));
    ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, AppPathsKey, "", saver));
    ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, AppPathsKey, "Path", InstallDir));
    ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, UninstallKey, "DisplayName", "Velmora screen saver"));
    ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, UninstallKey, "UninstallString",
                            std::string(InstallDir) + "\\VLRemove.exe"));
    ASSERT_FALSE(ProgramsFolder().empty());
    ASSERT_EQ(SHCreateDirectoryExA(nullptr, Group().c_str(), nullptr), ERROR_SUCCESS);
    ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, ProductKey, "ShellFolder", "Velmora"));
    ASSERT_TRUE(MakeLink(Group() + "\\Velmora Settings.Lnk", "rundll32.exe", "desk.cpl,InstallScreenSaver " + saver));
    ASSERT_TRUE(MakeLink(Group() + "\\Velmora Help.Lnk", std::string(InstallDir) + "\\Velmora.Hlp", ""));
    // The Display control panel stores the chosen screen saver by its short name.
    char short_name[MAX_PATH] = {0};
    GetShortPathNameA(saver.c_str(), short_name, sizeof short_name);
    ASSERT_TRUE(WriteString(HKEY_CURRENT_USER, DesktopKey, "SCRNSAVE.EXE", short_name[0] ? short_name : saver));
  }

  static std::string UninstallString() {
    std::string command;
    EXPECT_TRUE(ReadString(HKEY_LOCAL_MACHINE, UninstallKey, "UninstallString", command));
    return command;
  }

  // /quiet run; returns the exit code and what it reported.
  static int RunQuiet(std::string& output, const std::string& command = UninstallString()) {
    TProcess p;
    if (!Start(command + " /quiet", p, true)) return -2;
    output = p.ReadOutput();  // ends when the clean-up copy has ended too
    return p.Wait();
  }

  static void ExpectUninstallerGone() {
    std::string self = std::string(InstallDir) + "\\VLRemove.exe";
    EXPECT_TRUE(WaitFor([&] { return !Exists(self); }, 15000)) << "VLRemove.exe is left behind";
  }

  static void ExpectEverythingGone() {
    for (const char* name : Payload) EXPECT_FALSE(Exists(InstalledPath(name))) << name;
    EXPECT_TRUE(WaitFor([] { return !Exists(InstallDir); }, 10000)) << "the install folder stays";
    EXPECT_FALSE(Exists(Group() + "\\Velmora Settings.Lnk"));
    EXPECT_FALSE(Exists(Group() + "\\Velmora Help.Lnk"));
    EXPECT_FALSE(Exists(Group())) << "the empty group stays";
    EXPECT_TRUE(Exists(ProgramsFolder())) << "the Programs folder itself is not ours";
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, ProductKey));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvik\\Velmora"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, MakerKey));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, AppPathsKey));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKey));
    std::string chosen;
    EXPECT_FALSE(ReadString(HKEY_CURRENT_USER, DesktopKey, "SCRNSAVE.EXE", chosen)) << chosen;
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths"));
  }
};

// A message box of the uninstaller: waits for it, returns its text, and
// presses the button.
std::string Answer(DWORD pid, int button) {
  HWND box = nullptr;
  if (!WaitFor([&] { return (box = FindProcessWindow(pid, "#32770", Title)) != nullptr; })) return "<no box>";
  char text[2048] = {0};
  GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
  HWND b = GetDlgItem(box, button);
  if (!b) return "<no such button>";
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(b));
  WaitFor([&] { return !IsWindow(box); }, 5000);
  return text;
}

TEST_F(Uninstaller, RemovesEverythingTheSetupMadeWhenTheUserSaysYes) {
  std::string command = UninstallString();
  ASSERT_EQ(command, "C:\\Program Files\\Velmora\\VLRemove.exe") << "unquoted, with a blank";
  TProcess p;
  ASSERT_TRUE(Start(command, p));  // exactly as stored
  EXPECT_NE(Answer(p.Info.dwProcessId, IDYES).find("Do you want to remove Velmora"), std::string::npos);
  EXPECT_EQ(Answer(p.Info.dwProcessId, IDOK), "Velmora was removed from your computer.");
  EXPECT_EQ(p.Wait(), 0);
  ExpectUninstallerGone();
  ExpectEverythingGone();

  // The temp copy that removed VLRemove.exe goes at the next restart.
  std::string pending;
  ASSERT_TRUE(ReadString(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager",
                         "PendingFileRenameOperations", pending));
  EXPECT_NE(pending.find(".exe"), std::string::npos);
}

TEST_F(Uninstaller, NoKeepsEverything) {
  TProcess p;
  ASSERT_TRUE(Start(UninstallString(), p));
  EXPECT_NE(Answer(p.Info.dwProcessId, IDNO).find("Do you want to remove"), std::string::npos);
  EXPECT_EQ(p.Wait(), 0);
  Pump(500);
  for (const char* name : Payload) EXPECT_TRUE(Exists(InstalledPath(name))) << name;
  EXPECT_TRUE(Exists(Group() + "\\Velmora Settings.Lnk"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, ProductKey));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKey));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, AppPathsKey));
}

TEST_F(Uninstaller, LeavesWhatTheUserAddedAndWhatOthersOwn) {
  std::string mine = std::string(InstallDir) + "\\My notes.txt";
  std::string group_file = Group() + "\\My link.txt";
  ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvik\\Other", "Keep", "yes"));
  for (const std::string& f : {mine, group_file}) {
    HANDLE h = CreateFileA(f.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << f;
    CloseHandle(h);
  }
  // Another screen saver chosen: not Velmora's to clear.
  ASSERT_TRUE(WriteString(HKEY_CURRENT_USER, DesktopKey, "SCRNSAVE.EXE", "C:\\windows\\system32\\other.scr"));

  std::string out;
  EXPECT_EQ(RunQuiet(out), 0) << out;
  EXPECT_NE(out.find("Velmora was removed from your computer."), std::string::npos) << out;
  ExpectUninstallerGone();
  for (const char* name : Payload) EXPECT_FALSE(Exists(InstalledPath(name))) << name;
  EXPECT_TRUE(Exists(mine)) << "the user's file went";
  EXPECT_TRUE(Exists(group_file));
  EXPECT_FALSE(Exists(Group() + "\\Velmora Help.Lnk"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvik\\Velmora"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvik\\Other"));
  std::string chosen;
  EXPECT_TRUE(ReadString(HKEY_CURRENT_USER, DesktopKey, "SCRNSAVE.EXE", chosen));
  EXPECT_EQ(chosen, "C:\\windows\\system32\\other.scr");
}

TEST_F(Uninstaller, FindsTheInstallationWithoutTheProductKey) {
  // Without the product key the group is unknown, but App Paths still names
  // the folder and the screen saver.
  ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ProductKey), ERROR_SUCCESS);
  std::string out;
  EXPECT_EQ(RunQuiet(out), 0) << out;
  ExpectUninstallerGone();
  for (const char* name : Payload) EXPECT_FALSE(Exists(InstalledPath(name))) << name;
  EXPECT_TRUE(WaitFor([] { return !Exists(InstallDir); }, 10000));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, AppPathsKey));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKey));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, MakerKey)) << "the empty maker key stays";
}

TEST_F(Uninstaller, RemovesNothingWhenNoInstallationIsRecorded) {
  // Neither the product key nor App Paths names a folder in full: whatever
  // lies beside the uninstaller stays, and the user is told why.
  ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, ProductKey, "InstallDir", "Velmora"));  // relative
  ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, AppPathsKey, "Path", "C:\\"));          // a root
  std::string out;
  EXPECT_EQ(RunQuiet(out, std::string(InstallDir) + "\\VLRemove.exe"), 0) << out;
  EXPECT_NE(out.find("Velmora is not installed on this computer. Nothing was removed."), std::string::npos) << out;
  Pump(500);
  for (const char* name : Payload) EXPECT_TRUE(Exists(InstalledPath(name))) << name;
  EXPECT_TRUE(Exists(Group() + "\\Velmora Help.Lnk"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKey));
}

TEST_F(Uninstaller, KeepsAndNamesFilesThatAreNotTheSetups) {
  // A changed readme, another program's screen saver under our name, and an
  // uninstaller that is not this one: all kept, all named; the rest goes.
  std::string readme = InstalledPath("ReadMe.txt");
  std::string saver = InstalledPath("Velmora.scr");
  std::string other_remover = std::string(InstallDir) + "\\VLRemove.exe";
  ASSERT_TRUE(AppendText(readme, "my own notes"));
  ASSERT_TRUE(CopyFileA(PayloadFile("ReadMe.txt").c_str(), saver.c_str(), FALSE));
  ASSERT_TRUE(AppendText(other_remover, "x"));
  TProcess p;
  std::string out;
  ASSERT_TRUE(Start("\"" + PayloadFile("VLRemove.exe") + "\" /quiet", p, true));
  out = p.ReadOutput();
  EXPECT_EQ(p.Wait(), 3) << out;
  EXPECT_NE(out.find("Kept because they were changed or are not Velmora's"), std::string::npos) << out;
  for (const std::string& kept : {readme, saver, other_remover}) {
    EXPECT_TRUE(Exists(kept)) << kept;
    EXPECT_NE(out.find(kept), std::string::npos) << kept << "\n" << out;
  }
  for (const char* name : {"Velmora.Hlp", "Velmora.cnt", "Velmora.wav"}) EXPECT_FALSE(Exists(InstalledPath(name))) << name;
  std::string chosen;
  EXPECT_TRUE(ReadString(HKEY_CURRENT_USER, DesktopKey, "SCRNSAVE.EXE", chosen)) << "the kept saver stays chosen";
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, ProductKey));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKey));
}

TEST_F(Uninstaller, FilesAlreadyDeletedAreNoFailure) {
  ASSERT_TRUE(DeleteFileA(InstalledPath("Velmora.Hlp").c_str()));
  ASSERT_TRUE(DeleteFileA(InstalledPath("ReadMe.txt").c_str()));
  ASSERT_TRUE(DeleteFileA(InstalledPath("Velmora.scr").c_str()));
  ASSERT_TRUE(DeleteFileA((Group() + "\\Velmora Help.Lnk").c_str()));
  std::string out;
  EXPECT_EQ(RunQuiet(out), 0) << out;
  EXPECT_NE(out.find("Velmora was removed from your computer."), std::string::npos) << out;
  ExpectUninstallerGone();
  ExpectEverythingGone();
}

TEST_F(Uninstaller, AFileHeldOpenIsReportedAndTheRestRemoved) {
  std::string held = InstalledPath("ReadMe.txt");
  HANDLE h = CreateFileA(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::string out;
  int code = RunQuiet(out);
  CloseHandle(h);
  EXPECT_EQ(code, 1) << out;
  EXPECT_NE(out.find("Could not be removed:"), std::string::npos) << out;
  EXPECT_NE(out.find(held), std::string::npos) << out;
  ExpectUninstallerGone();
  EXPECT_TRUE(Exists(held));
  for (const char* name : Payload) {
    if (std::string(name) == "ReadMe.txt") continue;
    EXPECT_FALSE(Exists(InstalledPath(name))) << name;
  }
  EXPECT_TRUE(Exists(InstallDir)) << "the folder holds the file that could not go";
  EXPECT_FALSE(Exists(Group()));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, ProductKey));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKey));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, AppPathsKey));
}

TEST_F(Uninstaller, AKeyThatCannotGoIsReportedAndTheRestRemoved) {
  // Something else keeps a subkey in the product key: the key stays (and is
  // named), everything else goes.
  ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvik\\Velmora\\1.0\\Extra", "Owner", "someone"));
  std::string out;
  EXPECT_EQ(RunQuiet(out), 1) << out;
  EXPECT_NE(out.find("HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvik\\Velmora\\1.0"), std::string::npos) << out;
  ExpectUninstallerGone();
  for (const char* name : Payload) EXPECT_FALSE(Exists(InstalledPath(name))) << name;
  EXPECT_TRUE(WaitFor([] { return !Exists(InstallDir); }, 10000));
  EXPECT_FALSE(Exists(Group()));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, AppPathsKey));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKey));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvik\\Velmora\\1.0\\Extra"));
}

TEST_F(Uninstaller, TheCleanUpSwitchDeletesNothingButTheInstalledUninstaller) {
  // Another file; an uninstaller that differs from the running one; an
  // identical one outside the recorded folder: none of them goes, nothing
  // is scheduled for the next restart, and the installation stays.
  std::string readme = InstalledPath("ReadMe.txt");
  std::string installed = InstalledPath("VLRemove.exe");
  std::string elsewhere = std::string(InstallDir) + "\\..\\VLRemove.exe";
  ASSERT_TRUE(CopyFileA(PayloadFile("VLRemove.exe").c_str(), elsewhere.c_str(), FALSE));
  ASSERT_TRUE(AppendText(installed, "x"));
  for (const std::string& target : {readme, installed, elsewhere}) {
    TProcess p;
    ASSERT_TRUE(Start("\"" + PayloadFile("VLRemove.exe") + "\" /cleanup 0 0 \"" + target + "\"", p));
    EXPECT_EQ(p.Wait(), 0) << target;
    EXPECT_TRUE(Exists(target)) << target;
  }
  DeleteFileA(elsewhere.c_str());
  std::string pending;
  ReadString(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager",
             "PendingFileRenameOperations", pending);
  EXPECT_EQ(pending.find("VLRemove"), std::string::npos) << pending;
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, ProductKey)) << "and it removes nothing else either";
}

TEST_F(Uninstaller, DoesNotFollowRecordedValuesOutOfPlace) {
  // A group recorded as an absolute or climbing path, an App Paths default
  // naming some other program and an App Paths folder elsewhere: none of
  // them is followed.
  std::string bystander = std::string(InstallDir) + "\\..\\Bystander";
  ASSERT_TRUE(CreateDirectoryA(bystander.c_str(), nullptr));
  std::string other_exe = bystander + "\\Other.exe";
  ASSERT_TRUE(CopyFileA(PayloadFile("ReadMe.txt").c_str(), other_exe.c_str(), FALSE));
  ASSERT_TRUE(CopyFileA(PayloadFile("ReadMe.txt").c_str(), (bystander + "\\Velmora Help.Lnk").c_str(), FALSE));
  ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, AppPathsKey, "", other_exe));
  ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, AppPathsKey, "Path", bystander));
  ASSERT_TRUE(CopyFileA(PayloadFile("ReadMe.txt").c_str(), (bystander + "\\ReadMe.txt").c_str(), FALSE));
  ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, ProductKey, "ShellFolder", "..\\..\\..\\..\\Program Files\\Bystander"));
  std::string out;
  EXPECT_EQ(RunQuiet(out), 0) << out;
  ExpectUninstallerGone();
  EXPECT_TRUE(Exists(other_exe));
  EXPECT_TRUE(Exists(bystander + "\\Velmora Help.Lnk"));
  EXPECT_TRUE(Exists(bystander + "\\ReadMe.txt"));
  EXPECT_FALSE(Exists(InstalledPath("Velmora.scr"))) << "the screen saver is looked for in the Windows folder";
  RemoveTree(bystander);
}

}  // namespace
