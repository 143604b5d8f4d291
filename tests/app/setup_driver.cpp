// Drives VelmoraSetup.exe from the outside, the way a user would, and checks
// what it left behind. Runs under Wine next to the setup, in the same prefix.
//
//   setup_driver SCRIPT
//
// SCRIPT holds one command per line; '#' starts a comment line. Arguments are
// separated by blanks; "double quotes" keep blanks (no escapes: backslashes
// are plain path characters). ${NAME} is replaced by the environment
// variable NAME. The first failing command ends the run with exit status 1
// and a message naming the script line; the setup is then terminated.
//
// Wizard:   start EXE | page ID | title TEXT | text ID TEXT | visible ID 0|1
//           enabled ID 0|1 | checked ID 0|1 | set ID TEXT | click ID
//           press back|next|finish|cancel | button NAME enabled|disabled|hidden
//           button-text NAME TEXT | progress N | box TITLE TEXT ok|cancel|yes|no
//           nobox | browse ok|cancel | shot FILE.bmp | exit | second-copy EXE
//           mainwindow 0|1 | dpi N | layout [TEMPLATE] | picture | exit CODE | terminate
// Programs: start EXE [ARGS] starts any program (the setup, the uninstaller,
//           the screen saver); the commands above act on its windows.
// Results:  file PATH [SIZE] | nofile PATH | same PATH HOSTCOPY | stamped PATH
//           payload INSTALLDIR | reg KEY VALUE DATA | regdword KEY VALUE N
//           noreg KEY VALUE
//           nokey KEY | link PATH TARGET ARGS ICON DESCRIPTION
//           launch SCREENSAVER | nolaunch [MS] | noplanted
//           (link with an empty TARGET leaves the target unchecked)
//           snapshot NAME | unchanged NAME (the files of C:\ but the user
//           folders, the temp folder, and the registry keys an installation
//           touches, as recorded by snapshot)
// Set-up:   regset KEY VALUE DATA | regkey KEY | mkdir PATH | copy FROM TO
//           restart (what the system does at the next start: wineboot -r)
//           writefile PATH TEXT | filetime PATH release|older|newer
//           oldfiles INSTALLDIR release|older|newer | kept INSTALLDIR
// Report:   printreg KEY | printlink PATH
//           sleep MS | echo TEXT
// A box TITLE ending in '*' matches by prefix; the answer "none" leaves the
// box open. "ifscr COMMAND" runs COMMAND only when the payload has a screen
// saver. Words may be quoted with "double" or 'single' quotes; {LF} is a
// line feed.
// KEY is a path below HKEY_LOCAL_MACHINE. The driver provides ${VL_WINDIR},
// ${VL_PROGRAMS} (the machine's Start-menu Programs folder),
// ${VL_PROGRAMFILES}, ${VL_SCREENSAVER} (where the payload's screen saver
// is installed; empty when the payload has none), ${VL_PAYLOAD_KB} (the
// payload files' sizes added up, in kilobytes rounded up) and ${VL_UNINSTALLER}
// (the payload's uninstaller as built; empty when it has none).
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <prsht.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Where the test's desk.cpl and the planted programs record that they ran.
constexpr char kLaunchRecord[] = "C:\\velmora-launch.txt";
constexpr char kPlantedDllRecord[] = "C:\\velmora-planted-dll.txt";
constexpr char kPlantedExeRecord[] = "C:\\velmora-planted-exe.txt";

// Generous: a wait ends as soon as its condition holds, and a machine busy
// with other builds may take many seconds for a step (shortcuts under Wine),
// or to answer its first message (so a slow program is not taken for hung).
constexpr DWORD kWaitMs = 60000;
constexpr DWORD kAnswerMs = 30000;
constexpr DWORD kPollMs = 50;

struct TDriver {
  PROCESS_INFORMATION Setup = {};
  std::string Program;  // the started program's file, for its dialog templates
  int Line = 0;
  std::string Command;
  std::map<std::string, std::set<std::string>> Snapshots;
};

TDriver Driver;

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "setup_driver: line %d (%s): %s\n", Driver.Line, Driver.Command.c_str(),
               why.c_str());
  std::fflush(stderr);
  if (Driver.Setup.hProcess != nullptr) TerminateProcess(Driver.Setup.hProcess, 99);
  std::exit(1);
}

void Check(bool ok, const std::string& why) {
  if (!ok) Fail(why);
}

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

// --- windows of the setup process ------------------------------------------

LRESULT Send(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutA(window, message, wparam, lparam, SMTO_NORMAL, kAnswerMs, &result)) {
    Fail("the setup does not answer window messages");
  }
  return static_cast<LRESULT>(result);
}

std::string WindowText(HWND window) {
  char buffer[4096] = {};
  Send(window, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer));
  return buffer;
}

std::string ClassOf(HWND window) {
  char buffer[256] = {};
  GetClassNameA(window, buffer, sizeof buffer);
  return buffer;
}

struct TTopLevel {
  DWORD Pid;
  std::vector<HWND> Found;
};

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM param) {
  auto* collect = reinterpret_cast<TTopLevel*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid == collect->Pid && IsWindowVisible(window) && ClassOf(window) == "#32770") {
    collect->Found.push_back(window);
  }
  return TRUE;
}

std::vector<HWND> SetupDialogs() {
  TTopLevel collect = {Driver.Setup.dwProcessId, {}};
  EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&collect));
  return collect.Found;
}

HWND CurrentPage(HWND sheet) {
  return reinterpret_cast<HWND>(Send(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
}

// The property sheet: the setup's dialog that has a current page.
HWND FindSheet() {
  for (HWND dialog : SetupDialogs()) {
    if (CurrentPage(dialog) != nullptr) return dialog;
  }
  return nullptr;
}

HWND Sheet() {
  HWND sheet = FindSheet();
  Check(sheet != nullptr, "no wizard is shown");
  return sheet;
}

HWND Page() {
  HWND page = CurrentPage(Sheet());
  Check(page != nullptr, "the wizard has no current page");
  return page;
}

int PageId(HWND sheet) {
  HWND page = CurrentPage(sheet);
  if (page == nullptr) return 0;
  LRESULT index = Send(sheet, PSM_HWNDTOINDEX, reinterpret_cast<WPARAM>(page), 0);
  return index < 0 ? 0 : static_cast<int>(101 + index);
}

HWND Control(int id) {
  HWND control = GetDlgItem(Page(), id);
  Check(control != nullptr, "the page has no control " + std::to_string(id));
  return control;
}

struct TStaticSearch {
  std::string Text;
  bool Found = false;
};

BOOL CALLBACK FindStaticText(HWND child, LPARAM param) {
  auto* search = reinterpret_cast<TStaticSearch*>(param);
  if (ClassOf(child) == "Static" && WindowText(child) == search->Text) search->Found = true;
  return TRUE;
}

// Message boxes: dialogs of the setup that are not the wizard and carry the
// text in one of their statics.
HWND FindBox(const std::string& text) {
  for (HWND dialog : SetupDialogs()) {
    if (CurrentPage(dialog) != nullptr) continue;
    TStaticSearch search;
    search.Text = text;
    EnumChildWindows(dialog, FindStaticText, reinterpret_cast<LPARAM>(&search));
    if (search.Found) return dialog;
  }
  return nullptr;
}

bool AnyBox() {
  for (HWND dialog : SetupDialogs()) {
    if (CurrentPage(dialog) == nullptr) return true;
  }
  return false;
}

int SheetButtonId(const std::string& name) {
  if (name == "back") return 0x3023;
  if (name == "next") return 0x3024;
  if (name == "finish") return 0x3025;
  if (name == "cancel") return IDCANCEL;
  Fail("unknown button " + name);
}

int AnswerId(const std::string& name) {
  if (name == "ok") return IDOK;
  if (name == "cancel") return IDCANCEL;
  if (name == "yes") return IDYES;
  if (name == "no") return IDNO;
  Fail("unknown answer " + name);
}

// Saves the part of the screen that shows the wizard and any message box of
// the setup in front of it.
void SaveScreenshot(const std::string& path) {
  Sleep(400);  // let the last changes paint
  RECT rect = {};
  for (HWND dialog : SetupDialogs()) {
    RECT part;
    GetWindowRect(dialog, &part);
    UnionRect(&rect, &rect, &part);
  }
  Check(!IsRectEmpty(&rect), "nothing of the setup is shown");
  int width = rect.right - rect.left;
  int height = rect.bottom - rect.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  SelectObject(memory, old);
  DWORD stride = ((width * 3 + 3) / 4) * 4;
  DWORD image = stride * height;
  BITMAPFILEHEADER file = {};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info.bmiHeader;
  file.bfSize = file.bfOffBits + image;
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(&file), sizeof file);
  out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
  out.write(static_cast<const char*>(bits), image);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  Check(out.good(), "cannot write " + path);
}

// --- files, registry, links ------------------------------------------------

std::string ReadFile(const std::string& path, bool* ok) {
  std::ifstream in(path, std::ios::binary);
  *ok = in.good();
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

FILETIME ReleaseTime() {
  // 1998-12-01 01:06:00 local time, the time every installed file carries.
  FILETIME local, utc;
  DosDateTimeToFileTime(0x2581, 0x08C0, &local);
  LocalFileTimeToFileTime(&local, &utc);
  return utc;
}

bool LastWrite(const std::string& path, FILETIME* time) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
  *time = data.ftLastWriteTime;
  return true;
}

void CheckStamped(const std::string& path) {
  FILETIME time;
  Check(LastWrite(path, &time), path + " does not exist");
  FILETIME release = ReleaseTime();
  Check(CompareFileTime(&time, &release) == 0, path + " does not carry the release time");
}

std::string NamePart(const std::string& path) {
  size_t cut = path.find_last_of("\\/:");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string WindowsFolder() {
  char buffer[MAX_PATH] = {};
  GetWindowsDirectoryA(buffer, sizeof buffer);
  return buffer;
}

// The payload's originals, as Z:\ paths, separated by '|'.
std::vector<std::string> PayloadFiles() {
  std::vector<std::string> files;
  const char* list = std::getenv("VELMORA_PAYLOAD");
  Check(list != nullptr, "VELMORA_PAYLOAD is not set");
  std::stringstream split(list);
  std::string item;
  while (std::getline(split, item, '|')) {
    if (!item.empty()) files.push_back(item);
  }
  return files;
}

std::string PayloadScreenSaver() {
  for (const std::string& file : PayloadFiles()) {
    if (NamePart(file).find(".scr") != std::string::npos) {
      return WindowsFolder() + "\\" + NamePart(file);
    }
  }
  return std::string();
}

unsigned long long PayloadKilobytes() {
  unsigned long long total = 0;
  for (const std::string& file : PayloadFiles()) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    Check(GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &data) != 0,
          "cannot read the original " + file);
    total += (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }
  return (total + 1023) / 1024;
}

void CheckSame(const std::string& path, const std::string& original) {
  bool ok_installed = false, ok_original = false;
  std::string installed = ReadFile(path, &ok_installed);
  std::string expected = ReadFile(original, &ok_original);
  Check(ok_original, "cannot read the original " + original);
  Check(ok_installed, path + " was not installed");
  Check(installed == expected, path + " differs from " + original);
}

bool ReadRegValue(const std::string& key, const std::string& value, std::string* data,
                  DWORD* type) {
  HKEY handle;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) {
    return false;
  }
  char buffer[2048] = {};
  DWORD size = sizeof buffer - 1;
  LONG status = RegQueryValueExA(handle, value.c_str(), nullptr, type,
                                 reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(handle);
  if (status != ERROR_SUCCESS) return false;
  *data = buffer;
  return true;
}

// An empty target is not checked.
void CheckLink(const std::string& path, const std::string& target, const std::string& args,
               const std::string& icon, const std::string& description) {
  Check(GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES, path + " does not exist");
  IShellLinkA* link = nullptr;
  Check(SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                   reinterpret_cast<void**>(&link))),
        "no ShellLink object");
  IPersistFile* file = nullptr;
  Check(SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))),
        "no IPersistFile");
  wchar_t wide[MAX_PATH];
  MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH);
  Check(SUCCEEDED(file->Load(wide, STGM_READ)), "cannot load " + path);
  char buffer[1024];
  std::string got_target, got_args, got_icon, got_description;
  int icon_index = -1;
  buffer[0] = 0;
  link->GetPath(buffer, sizeof buffer, nullptr, SLGP_RAWPATH);
  got_target = buffer;
  buffer[0] = 0;
  link->GetArguments(buffer, sizeof buffer);
  got_args = buffer;
  buffer[0] = 0;
  link->GetIconLocation(buffer, sizeof buffer, &icon_index);
  got_icon = buffer;
  buffer[0] = 0;
  link->GetDescription(buffer, sizeof buffer);
  got_description = buffer;
  file->Release();
  link->Release();
  // The shell may resolve a bare program name against the search path; it
  // must then be the system's own program, not one lying beside the setup.
  std::string system_copy = WindowsFolder() + "\\system32\\" + target;
  bool target_ok = got_target == target ||
                   (target.find('\\') == std::string::npos &&
                    CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, got_target.c_str(), -1,
                                   system_copy.c_str(), -1) == CSTR_EQUAL);
  Check(target.empty() || target_ok, path + ": target " + Quote(got_target) + ", wanted " + Quote(target));
  Check(got_args == args, path + ": arguments " + Quote(got_args) + ", wanted " + Quote(args));
  Check(got_icon == icon, path + ": icon " + Quote(got_icon) + ", wanted " + Quote(icon));
  if (!icon.empty()) Check(icon_index == 0, path + ": icon index " + std::to_string(icon_index));
  Check(got_description == description,
        path + ": description " + Quote(got_description) + ", wanted " + Quote(description));
}

std::string RecordLine(const std::string& record, const std::string& key) {
  std::stringstream lines(record);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, key.size() + 1, key + "=") == 0) return line.substr(key.size() + 1);
  }
  return "<missing>";
}

void SetFileTimeTo(const std::string& path, const std::string& which) {
  FILETIME time = ReleaseTime();
  ULARGE_INTEGER value;
  value.LowPart = time.dwLowDateTime;
  value.HighPart = time.dwHighDateTime;
  if (which == "older") value.QuadPart -= 10000000ULL;        // one second before
  else if (which == "newer") value.QuadPart += 864000000000ULL;  // a day later
  else Check(which == "release", "filetime: release, older or newer");
  time.dwLowDateTime = value.LowPart;
  time.dwHighDateTime = value.HighPart;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  Check(file != INVALID_HANDLE_VALUE, "cannot open " + path);
  SetFileTime(file, nullptr, nullptr, &time);
  CloseHandle(file);
}

// --- script parsing ---------------------------------------------------------

std::string Expand(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '$' && i + 1 < text.size() && text[i + 1] == '{') {
      size_t end = text.find('}', i);
      Check(end != std::string::npos, "unterminated ${");
      std::string name = text.substr(i + 2, end - i - 2);
      const char* value = std::getenv(name.c_str());
      Check(value != nullptr, "environment variable " + name + " is not set");
      out += value;
      i = end;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i >= line.size()) break;
    std::string word;
    if (line[i] == '"' || line[i] == '\'') {
      size_t end = line.find(line[i], i + 1);
      Check(end != std::string::npos, "unterminated quote");
      word = line.substr(i + 1, end - i - 1);
      i = end + 1;
    } else {
      size_t end = line.find(' ', i);
      if (end == std::string::npos) end = line.size();
      word = line.substr(i, end - i);
      i = end;
    }
    // {LF} stands for a line feed in texts of several lines.
    for (size_t at; (at = word.find("{LF}")) != std::string::npos;) word.replace(at, 4, "\n");
    words.push_back(Expand(word));
  }
  return words;
}

// Polls `ready` until it holds or the wait runs out.
template <typename Ready>
bool WaitFor(Ready ready, DWORD ms = kWaitMs) {
  DWORD start = GetTickCount();
  for (;;) {
    if (ready()) return true;
    if (GetTickCount() - start > ms) return false;
    Sleep(kPollMs);
  }
}

// A state check that may take a moment to come true (the setup runs on its
// own); fails with the last value seen.
template <typename Probe>
void Eventually(Probe probe, const std::string& what) {
  std::string got;
  if (!WaitFor([&] { return probe(&got); })) Fail(what + " is " + Quote(got));
}

PROCESS_INFORMATION StartProgram(const std::string& exe, const std::string& args = std::string()) {
  std::string command = Quote(exe) + (args.empty() ? "" : " " + args);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  // Started from its own folder, as from a downloads folder.
  std::string folder = exe.substr(0, exe.find_last_of('\\'));
  Check(CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                       folder.c_str(), &startup, &process),
        "cannot start " + exe + " (error " + std::to_string(GetLastError()) + ")");
  return process;
}

std::string SystemFolder() {
  char buffer[MAX_PATH] = {};
  GetSystemDirectoryA(buffer, sizeof buffer);
  return buffer;
}

// --- snapshots of what an installation may touch ---------------------------

// Every file and folder below dir, with the size of each file. The records
// of the test's own stand-ins (C:\velmora-*.txt) are not the programs'.
void ListTree(const std::string& dir, std::set<std::string>& out) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::string name = data.cFileName;
    if (name == "." || name == "..") continue;
    std::string path = dir + "\\" + name;
    if (path.rfind(std::string(kLaunchRecord).substr(0, 11), 0) == 0) continue;
    // The user folders lead into the host's home (Documents, Desktop, ...);
    // of them only the temp folder is the programs' (listed on its own).
    if (path == "C:\\users" || (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      out.insert("dir  " + path);
      ListTree(path, out);
    } else {
      out.insert("file " + path + " " + std::to_string(data.nFileSizeLow));
    }
  } while (FindNextFileA(find, &data));
  FindClose(find);
}

// Every key and value below a key, with each value's type and data.
void ListKey(HKEY root, const std::string& root_name, const std::string& path, std::set<std::string>& out) {
  HKEY key;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  out.insert("key  " + root_name + path);
  for (DWORD i = 0;; ++i) {
    char name[16384];
    DWORD name_size = sizeof name, type = 0;
    BYTE value[4096];
    DWORD value_size = sizeof value;
    LONG rc = RegEnumValueA(key, i, name, &name_size, nullptr, &type, value, &value_size);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    std::string data = rc == ERROR_SUCCESS ? std::string(reinterpret_cast<char*>(value), value_size) : "<long>";
    for (char& ch : data)
      if (static_cast<unsigned char>(ch) < 32) ch = '.';
    out.insert("val  " + root_name + path + " [" + name + "] " + std::to_string(type) + " " + data);
  }
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD name_size = sizeof name;
    if (RegEnumKeyExA(key, i, name, &name_size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    ListKey(root, root_name, path + "\\" + name, out);
  }
  RegCloseKey(key);
}

std::set<std::string> Snapshot() {
  std::set<std::string> state;
  ListTree("C:", state);
  char temp[MAX_PATH] = {};
  DWORD length = GetTempPathA(sizeof temp, temp);
  if (length > 1 && length < sizeof temp) ListTree(std::string(temp, length - 1), state);
  // The keys an installation writes to or may leave behind (the whole of
  // HKLM\SOFTWARE would take minutes to walk under Wine).
  for (const char* key : {"SOFTWARE\\Tarvik", "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths",
                          "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
                          "System\\CurrentControlSet\\Control\\Session Manager"})
    ListKey(HKEY_LOCAL_MACHINE, "HKLM\\", key, state);
  for (const char* key : {"Control Panel\\Desktop", "Software\\Tarvik"}) ListKey(HKEY_CURRENT_USER, "HKCU\\", key, state);
  return state;
}

void CheckUnchanged(const std::set<std::string>& before, const std::set<std::string>& after) {
  std::string differences;
  int count = 0;
  for (const std::string& item : before)
    if (!after.count(item) && count++ < 20) differences += "\n  gone:  " + item;
  for (const std::string& item : after)
    if (!before.count(item) && count++ < 20) differences += "\n  added: " + item;
  Check(count == 0, std::to_string(count) + " differences:" + differences);
}

void Need(const std::vector<std::string>& words, size_t count) {
  Check(words.size() == count, "expects " + std::to_string(count - 1) + " argument(s)");
}

// --- layout: clipped texts and controls outside their dialog ----------------
//
// The check runs in this process, which is DPI aware like the programs it
// drives, so it sees the same pixels. Fonts cannot be borrowed from another
// process; each is made again the way the dialog manager makes it: a dialog
// template's face and point size at the display's DPI, the common controls'
// "MS Shell Dlg" 8 for the wizard's own buttons, the message font for
// message boxes.

struct TDialogFont {
  std::wstring Face;
  int Points = 8;
  int Weight = FW_NORMAL;
  bool Italic = false;
};

// Skips a name-or-ordinal field of a dialog template.
const WORD* SkipNameOrOrdinal(const WORD* p) {
  if (*p == 0x0000) return p + 1;
  if (*p == 0xFFFF) return p + 2;
  while (*p != 0) ++p;
  return p + 1;
}

// The font a dialog template of the started program asks for.
TDialogFont TemplateFont(int id) {
  HMODULE module = LoadLibraryExA(Driver.Program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  Check(module != nullptr, "cannot read " + Driver.Program);
  HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5));  // RT_DIALOG
  Check(found != nullptr, "no dialog template " + std::to_string(id));
  const WORD* p = static_cast<const WORD*>(LockResource(LoadResource(module, found)));
  bool extended = p[0] == 1 && p[1] == 0xFFFF;
  DWORD style = extended ? *reinterpret_cast<const DWORD*>(p + 6) : *reinterpret_cast<const DWORD*>(p);
  p += extended ? 13 : 9;  // to the menu field
  p = SkipNameOrOrdinal(SkipNameOrOrdinal(p));  // menu, class
  while (*p != 0) ++p;  // title
  ++p;
  TDialogFont font;
  Check((style & DS_SETFONT) != 0, "template " + std::to_string(id) + " names no font");
  font.Points = *p++;
  if (extended) {
    font.Weight = *p++;
    font.Italic = (*p & 0xFF) != 0;
    ++p;
  }
  font.Face = reinterpret_cast<const wchar_t*>(p);
  FreeLibrary(module);
  return font;
}

HFONT MakeFont(const TDialogFont& wanted, HDC dc) {
  return CreateFontW(-MulDiv(wanted.Points, GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0, wanted.Weight,
                     wanted.Italic, FALSE, FALSE, DEFAULT_CHARSET, 0, 0, PROOF_QUALITY, FF_DONTCARE,
                     wanted.Face.c_str());
}

std::string Describe(HWND control) {
  return ClassOf(control) + " " + std::to_string(GetDlgCtrlID(control)) + " " + Quote(WindowText(control));
}

// The text of a static or button that must fit, with the DrawText flags it
// is drawn with and the width it has; false for controls without such text
// (pictures, icon buttons, edit fields, lists, bars).
bool FittingText(HWND control, UINT* flags, int* room) {
  RECT client;
  GetClientRect(control, &client);
  LONG style = GetWindowLongA(control, GWL_STYLE);
  std::string name = ClassOf(control);
  *room = client.right;
  if (CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, name.c_str(), -1, "Static", -1) == CSTR_EQUAL) {
    LONG type = style & SS_TYPEMASK;
    if (type != SS_LEFT && type != SS_CENTER && type != SS_RIGHT && type != SS_SIMPLE &&
        type != SS_LEFTNOWORDWRAP)
      return false;
    *flags = (type == SS_SIMPLE || type == SS_LEFTNOWORDWRAP) ? DT_SINGLELINE : DT_WORDBREAK;
    if (style & SS_NOPREFIX) *flags |= DT_NOPREFIX;
    return true;
  }
  if (CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, name.c_str(), -1, "Button", -1) != CSTR_EQUAL)
    return false;
  if (style & (BS_ICON | BS_BITMAP)) return false;
  LONG type = style & BS_TYPEMASK;
  *flags = (style & BS_MULTILINE) ? DT_WORDBREAK : DT_SINGLELINE;
  if (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON) {
    *room -= 4 * GetSystemMetrics(SM_CXEDGE);  // the raised frame on both sides
  } else if (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_RADIOBUTTON ||
             type == BS_AUTORADIOBUTTON || type == BS_3STATE || type == BS_AUTO3STATE) {
    *room -= GetSystemMetrics(SM_CXMENUCHECK) + 2 * GetSystemMetrics(SM_CXEDGE);  // the box and its gap
  } else {
    return false;  // group boxes draw their text across the frame
  }
  return true;
}

// Every child of `dialog` lies inside its client area; every text that must
// fit, measured with `font`, fits its control. `skip` is left out (the
// wizard's page, checked on its own). Hidden controls count too (a page
// shows some only in some runs) unless `shown_only`: the wizard frame
// keeps buttons it never shows (Help, Apply) wherever it likes.
void CheckControls(HWND dialog, HFONT font, HWND skip, bool shown_only, const std::string& where) {
  RECT bounds;
  GetClientRect(dialog, &bounds);
  MapWindowPoints(dialog, nullptr, reinterpret_cast<POINT*>(&bounds), 2);
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, font);
  for (HWND control = GetWindow(dialog, GW_CHILD); control != nullptr;
       control = GetWindow(control, GW_HWNDNEXT)) {
    if (control == skip || (shown_only && !IsWindowVisible(control))) continue;
    RECT rect;
    GetWindowRect(control, &rect);
    Check(rect.left >= bounds.left && rect.top >= bounds.top && rect.right <= bounds.right &&
              rect.bottom <= bounds.bottom,
          where + ": " + Describe(control) + " lies outside its dialog");
    UINT flags = 0;
    int room = 0;
    if (!FittingText(control, &flags, &room)) continue;
    std::string text = WindowText(control);
    if (text.empty()) continue;
    RECT client;
    GetClientRect(control, &client);
    RECT need = {0, 0, room, 0};
    DrawTextA(dc, text.c_str(), -1, &need, flags | DT_CALCRECT | DT_EXPANDTABS);
    Check(need.right <= room && need.bottom <= client.bottom,
          where + ": " + Describe(control) + " needs " + std::to_string(need.right) + "x" +
              std::to_string(need.bottom) + " pixels, has " + std::to_string(room) + "x" +
              std::to_string(client.bottom));
  }
  SelectObject(dc, old);
  DeleteDC(dc);
}

// Checks every dialog the started program shows: the wizard (its own
// controls and the current page), message boxes, and a dialog made from
// template `template_id` of the program when one is given.
void CheckLayout(int template_id) {
  std::vector<HWND> dialogs;
  Check(WaitFor([&] { return !(dialogs = SetupDialogs()).empty(); }), "no dialog is shown");
  Sleep(300);  // let the last layout changes settle
  HDC screen = GetDC(nullptr);
  for (HWND dialog : dialogs) {
    HWND page = CurrentPage(dialog);
    TDialogFont wanted;
    std::string where = Quote(WindowText(dialog));
    if (page != nullptr) {
      wanted.Face = L"MS Shell Dlg";
    } else if (template_id != 0) {
      wanted = TemplateFont(template_id);
    } else {
      NONCLIENTMETRICSW metrics = {};
      metrics.cbSize = sizeof metrics;
      SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
      HFONT font = CreateFontIndirectW(&metrics.lfMessageFont);
      CheckControls(dialog, font, nullptr, false, where);
      DeleteObject(font);
      continue;
    }
    HFONT font = MakeFont(wanted, screen);
    CheckControls(dialog, font, page, page != nullptr, where);
    DeleteObject(font);
    if (page == nullptr) continue;
    RECT sheet_area, page_rect;
    GetClientRect(dialog, &sheet_area);
    MapWindowPoints(dialog, nullptr, reinterpret_cast<POINT*>(&sheet_area), 2);
    GetWindowRect(page, &page_rect);
    RECT inside;
    IntersectRect(&inside, &page_rect, &sheet_area);
    Check(EqualRect(&inside, &page_rect), where + ": the page lies outside the wizard");
    HFONT page_font = MakeFont(TemplateFont(PageId(dialog)), screen);
    CheckControls(page, page_font, nullptr, false, where + " page " + std::to_string(PageId(dialog)));
    DeleteObject(page_font);
  }
  ReleaseDC(nullptr, screen);
}

void Run(const std::vector<std::string>& w) {
  const std::string& c = w[0];
  if (c == "echo") {
    std::printf("setup_driver: %s\n", w.size() > 1 ? w[1].c_str() : "");
  } else if (c == "sleep") {
    Need(w, 2);
    Sleep(static_cast<DWORD>(std::atoi(w[1].c_str())));
  } else if (c == "start") {
    Check(w.size() == 2 || w.size() == 3, "start EXE [ARGS]");
    Driver.Setup = StartProgram(w[1], w.size() == 3 ? w[2] : std::string());
    Driver.Program = w[1];
  } else if (c == "dpi") {
    // The DPI this run was started at (run-case.sh sets it in the prefix).
    Need(w, 2);
    HDC screen = GetDC(nullptr);
    int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    Check(dpi == std::atoi(w[1].c_str()), "the display has " + std::to_string(dpi) + " DPI");
  } else if (c == "picture") {
    // The page's wizard picture has grown with the DPI: 90 pixels at 96 DPI,
    // unstretched (the picture static sizes its window to its bitmap).
    Need(w, 1);
    HWND picture = nullptr;
    for (HWND child = GetWindow(Page(), GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
      if (ClassOf(child) == "Static" && (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP) picture = child;
    }
    Check(picture != nullptr, "the page has no picture");
    HDC screen = GetDC(nullptr);
    int want = MulDiv(90, GetDeviceCaps(screen, LOGPIXELSY), 96);
    ReleaseDC(nullptr, screen);
    RECT rect;
    GetWindowRect(picture, &rect);
    Check(rect.right - rect.left == want && rect.bottom - rect.top == want,
          "the picture is " + std::to_string(rect.right - rect.left) + "x" +
              std::to_string(rect.bottom - rect.top) + ", wanted " + std::to_string(want));
  } else if (c == "layout") {
    Check(w.size() <= 2, "layout [TEMPLATE]");
    CheckLayout(w.size() == 2 ? std::atoi(w[1].c_str()) : 0);
  } else if (c == "page") {
    Need(w, 2);
    int want = std::atoi(w[1].c_str());
    int seen = 0;
    bool ok = WaitFor([&] {
      HWND sheet = FindSheet();
      seen = sheet != nullptr ? PageId(sheet) : 0;
      return seen == want && !AnyBox();
    });
    Check(ok, "page " + std::to_string(seen) + " is shown" + (AnyBox() ? " with a message box" : ""));
  } else if (c == "title") {
    Need(w, 2);
    Eventually([&](std::string* got) { return (*got = WindowText(Sheet())) == w[1]; }, "title");
  } else if (c == "text") {
    Need(w, 3);
    Eventually([&](std::string* got) {
      return (*got = WindowText(Control(std::atoi(w[1].c_str())))) == w[2];
    }, "text");
  } else if (c == "visible" || c == "enabled" || c == "checked") {
    Need(w, 3);
    Eventually([&](std::string* got) {
      HWND control = Control(std::atoi(w[1].c_str()));
      bool on = c == "visible"   ? IsWindowVisible(control) != FALSE
                : c == "enabled" ? IsWindowEnabled(control) != FALSE
                                 : Send(control, BM_GETCHECK, 0, 0) == BST_CHECKED;
      *got = on ? "1" : "0";
      return *got == w[2];
    }, c);
  } else if (c == "set") {
    Need(w, 3);
    Send(Control(std::atoi(w[1].c_str())), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(w[2].c_str()));
  } else if (c == "click") {
    Need(w, 2);
    PostMessageA(Control(std::atoi(w[1].c_str())), BM_CLICK, 0, 0);
    Sleep(200);
  } else if (c == "press") {
    Need(w, 2);
    static const struct { const char* name; int code; } kButtons[] = {
        {"back", PSBTN_BACK}, {"next", PSBTN_NEXT}, {"finish", PSBTN_FINISH}, {"cancel", PSBTN_CANCEL}};
    int code = -1;
    for (const auto& b : kButtons) {
      if (w[1] == b.name) code = b.code;
    }
    Check(code >= 0, "unknown button " + w[1]);
    PostMessageA(Sheet(), PSM_PRESSBUTTON, static_cast<WPARAM>(code), 0);
    Sleep(300);
  } else if (c == "button" || c == "button-text") {
    Need(w, 3);
    Eventually([&](std::string* got) {
      HWND button = GetDlgItem(Sheet(), SheetButtonId(w[1]));
      if (button == nullptr) *got = "missing";
      else if (c == "button-text") *got = WindowText(button);
      else *got = !IsWindowVisible(button) ? "hidden" : IsWindowEnabled(button) ? "enabled" : "disabled";
      return *got == w[2];
    }, w[1] + " button");
  } else if (c == "progress") {
    Need(w, 2);
    Eventually([&](std::string* got) {
      *got = std::to_string(Send(Control(1011), PBM_GETPOS, 0, 0));
      return *got == w[1];
    }, "progress");
  } else if (c == "box") {
    Need(w, 4);
    HWND box = nullptr;
    Check(WaitFor([&] { return (box = FindBox(w[2])) != nullptr; }),
          "no message box " + Quote(w[2]));
    std::string title = WindowText(box);
    bool prefix = !w[1].empty() && w[1].back() == '*';
    bool title_ok = prefix ? title.compare(0, w[1].size() - 1, w[1], 0, w[1].size() - 1) == 0
                           : title == w[1];
    Check(title_ok, "the box is titled " + Quote(title));
    if (w[3] == "none") return;  // leave it open
    int id = AnswerId(w[3]);
    HWND button = GetDlgItem(box, id);
    Check(button != nullptr && IsWindowVisible(button), "the box has no " + w[3] + " button");
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    Check(WaitFor([&] { return !IsWindow(box) || !IsWindowVisible(box); }), "the box stays");
    Sleep(200);
  } else if (c == "mainwindow") {
    // Whether the setup's main window (the mark of a running copy) exists.
    Need(w, 2);
    Eventually([&](std::string* got) {
      *got = FindWindowA("Velmora Setup", nullptr) != nullptr ? "1" : "0";
      return *got == w[1];
    }, "main window");
  } else if (c == "nobox") {
    Sleep(500);
    Check(!AnyBox(), "a message box is shown");
  } else if (c == "browse") {
    // The folder picker opened by the page's Browse button; OK chooses the
    // tree's root item.
    Need(w, 2);
    HWND dialog = nullptr;
    Check(WaitFor([&] {
            for (HWND d : SetupDialogs()) {
              if (CurrentPage(d) == nullptr && FindWindowExA(d, nullptr, "SysTreeView32", nullptr)) {
                dialog = d;
              }
            }
            return dialog != nullptr;
          }),
          "no folder picker");
    int id = AnswerId(w[1]);
    Sleep(500);
    if (id == IDOK) {
      HWND tree = FindWindowExA(dialog, nullptr, "SysTreeView32", nullptr);
      LRESULT root = Send(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0);
      Check(root != 0, "the picker's tree is empty");
      Send(tree, TVM_SELECTITEM, TVGN_CARET, root);
      Sleep(200);
    }
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
    Check(WaitFor([&] { return !IsWindow(dialog); }), "the picker stays");
    Sleep(200);
  } else if (c == "shot") {
    Need(w, 2);
    SaveScreenshot(w[1]);
  } else if (c == "exit" || c == "terminate") {
    // exit [CODE]: the program ends by itself with CODE (0 if not given);
    // terminate: it is ended, having run a moment.
    Check(w.size() <= 2, "exit [CODE]");
    if (c == "terminate") {
      Sleep(3000);
      TerminateProcess(Driver.Setup.hProcess, 0);
    }
    Check(WaitForSingleObject(Driver.Setup.hProcess, kWaitMs) == WAIT_OBJECT_0,
          "the setup does not end");
    DWORD code = 1;
    GetExitCodeProcess(Driver.Setup.hProcess, &code);
    const DWORD expected = w.size() == 2 ? static_cast<DWORD>(std::atoi(w[1].c_str())) : 0;
    Check(code == expected, "the program ended with " + std::to_string(code));
    CloseHandle(Driver.Setup.hProcess);
    CloseHandle(Driver.Setup.hThread);
    Driver.Setup = {};
  } else if (c == "second-copy") {
    // Another window of ours in front first, so that the first copy's
    // return to the front is seen.
    Need(w, 2);
    HWND first = FindWindowA("Velmora Setup", nullptr);
    Check(first != nullptr, "the first copy has no main window");
    HWND other = CreateWindowExA(0, "Static", "driver", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50,
                                 nullptr, nullptr, nullptr, nullptr);
    SetForegroundWindow(other);
    Check(GetForegroundWindow() == other, "the driver cannot take the front");
    size_t dialogs = SetupDialogs().size();
    PROCESS_INFORMATION second = StartProgram(w[1]);
    Check(WaitForSingleObject(second.hProcess, kWaitMs) == WAIT_OBJECT_0, "the second copy runs on");
    DWORD code = 1;
    GetExitCodeProcess(second.hProcess, &code);
    Check(code == 0, "the second copy ended with " + std::to_string(code));
    CloseHandle(second.hProcess);
    CloseHandle(second.hThread);
    Check(WaitFor([&] { return GetForegroundWindow() == first; }, 3000),
          "the first copy did not come to the front");
    Check(FindWindowA("Velmora Setup", nullptr) == first, "the main window changed");
    Check(SetupDialogs().size() == dialogs, "the wizard changed");
    DestroyWindow(other);
  } else if (c == "file") {
    Check(w.size() == 2 || w.size() == 3, "file PATH [SIZE]");
    WIN32_FILE_ATTRIBUTE_DATA data;
    Check(GetFileAttributesExA(w[1].c_str(), GetFileExInfoStandard, &data) != 0,
          w[1] + " does not exist");
    if (w.size() == 3) {
      Check(data.nFileSizeLow == static_cast<DWORD>(std::atol(w[2].c_str())),
            "size " + std::to_string(data.nFileSizeLow));
    }
  } else if (c == "nofile") {
    Need(w, 2);
    Check(GetFileAttributesA(w[1].c_str()) == INVALID_FILE_ATTRIBUTES, w[1] + " exists");
  } else if (c == "same") {
    Need(w, 3);
    CheckSame(w[1], w[2]);
  } else if (c == "stamped") {
    Need(w, 2);
    CheckStamped(w[1]);
  } else if (c == "payload") {
    // Every payload file where the setup puts it: the screen saver in the
    // Windows folder, the rest in the install folder; same bytes, release time.
    Need(w, 2);
    for (const std::string& original : PayloadFiles()) {
      std::string name = NamePart(original);
      std::string folder = name.find(".scr") != std::string::npos ? WindowsFolder() : w[1];
      CheckSame(folder + "\\" + name, original);
      CheckStamped(folder + "\\" + name);
    }
  } else if (c == "reg") {
    Need(w, 4);
    std::string data;
    DWORD type = 0;
    Check(ReadRegValue(w[1], w[2], &data, &type), "no value " + w[2] + " in " + w[1]);
    Check(type == REG_SZ, w[2] + " is not REG_SZ");
    Check(data == w[3], w[2] + " is " + Quote(data));
  } else if (c == "regdword") {
    Need(w, 4);
    HKEY key;
    Check(RegOpenKeyExA(HKEY_LOCAL_MACHINE, w[1].c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS,
          "no key " + w[1]);
    DWORD value = 0, size = sizeof value, type = 0;
    LONG status = RegQueryValueExA(key, w[2].c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value),
                                   &size);
    RegCloseKey(key);
    Check(status == ERROR_SUCCESS, "no value " + w[2] + " in " + w[1]);
    Check(type == REG_DWORD && size == sizeof value, w[2] + " is not REG_DWORD");
    Check(value == std::strtoul(w[3].c_str(), nullptr, 10), w[2] + " is " + std::to_string(value));
  } else if (c == "noreg") {
    Need(w, 3);
    std::string data;
    DWORD type = 0;
    Check(!ReadRegValue(w[1], w[2], &data, &type), w[2] + " exists: " + Quote(data));
  } else if (c == "nokey") {
    Need(w, 2);
    HKEY key;
    bool exists = RegOpenKeyExA(HKEY_LOCAL_MACHINE, w[1].c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (exists) RegCloseKey(key);
    Check(!exists, "key " + w[1] + " exists");
  } else if (c == "regkey" || c == "regset") {
    Check(w.size() == (c == "regkey" ? 2u : 4u), "wrong arguments");
    HKEY key;
    Check(RegCreateKeyExA(HKEY_LOCAL_MACHINE, w[1].c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          &key, nullptr) == ERROR_SUCCESS,
          "cannot create " + w[1]);
    if (c == "regset") {
      RegSetValueExA(key, w[2].c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(w[3].c_str()),
                     static_cast<DWORD>(w[3].size() + 1));
    }
    RegCloseKey(key);
  } else if (c == "printreg") {
    // Lists the string values of a key (for the headless walk's report).
    Need(w, 2);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, w[1].c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
      std::printf("  HKLM\\%s: missing\n", w[1].c_str());
      return;
    }
    std::printf("  HKLM\\%s\n", w[1].c_str());
    for (DWORD i = 0;; ++i) {
      char name[256], data[1024];
      DWORD name_size = sizeof name, data_size = sizeof data - 1, type = 0;
      if (RegEnumValueA(key, i, name, &name_size, nullptr, &type, reinterpret_cast<BYTE*>(data),
                        &data_size) != ERROR_SUCCESS) {
        break;
      }
      data[data_size] = 0;
      std::printf("    %-16s %s\n", name_size ? name : "(default)", type == REG_SZ ? data : "(not a string)");
    }
    RegCloseKey(key);
  } else if (c == "printlink") {
    Need(w, 2);
    IShellLinkA* link = nullptr;
    IPersistFile* file = nullptr;
    wchar_t wide[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, w[1].c_str(), -1, wide, MAX_PATH);
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                reinterpret_cast<void**>(&link))) ||
        FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) ||
        FAILED(file->Load(wide, STGM_READ))) {
      std::printf("  %s: cannot be read\n", w[1].c_str());
    } else {
      char target[1024] = {}, args[1024] = {};
      link->GetPath(target, sizeof target, nullptr, SLGP_RAWPATH);
      link->GetArguments(args, sizeof args);
      std::printf("  %s\n    -> %s %s\n", w[1].c_str(), target, args);
    }
    if (file != nullptr) file->Release();
    if (link != nullptr) link->Release();
  } else if (c == "link") {
    Need(w, 6);
    CheckLink(w[1], w[2], w[3], w[4], w[5]);
  } else if (c == "launch") {
    // The test's desk.cpl records how rundll32 started it.
    Need(w, 2);
    bool ok = false;
    std::string record;
    Check(WaitFor([&] {
            record = ReadFile(kLaunchRecord, &ok);
            return ok && record.find("end=1") != std::string::npos;
          }),
          "the Display control panel was not started");
    std::string want = "rundll32.exe desk.cpl,InstallScreenSaver " + w[1];
    std::string got = RecordLine(record, "cmdline");
    Check(got == want, "command line " + Quote(got) + ", wanted " + Quote(want));
    std::string args = RecordLine(record, "args");
    Check(args == w[1], "desk.cpl got " + Quote(args));
    std::string exe = RecordLine(record, "exe");
    std::string system = WindowsFolder() + "\\system32\\rundll32.exe";
    Check(CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, exe.c_str(), -1, system.c_str(), -1) ==
              CSTR_EQUAL,
          "started " + Quote(exe));
    std::string cwd = RecordLine(record, "cwd");
    Check(CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, cwd.c_str(), -1,
                         WindowsFolder().c_str(), -1) == CSTR_EQUAL,
          "current directory " + Quote(cwd));
  } else if (c == "nolaunch") {
    // Starting a program under Wine takes a while: wait before looking.
    Sleep(w.size() > 1 ? static_cast<DWORD>(std::atoi(w[1].c_str())) : 2000);
    Check(GetFileAttributesA(kLaunchRecord) == INVALID_FILE_ATTRIBUTES,
          "the Display control panel was started");
  } else if (c == "noplanted") {
    Check(GetFileAttributesA(kPlantedDllRecord) == INVALID_FILE_ATTRIBUTES,
          "a planted library was loaded");
    Check(GetFileAttributesA(kPlantedExeRecord) == INVALID_FILE_ATTRIBUTES,
          "the planted rundll32.exe was started");
  } else if (c == "mkdir") {
    Need(w, 2);
    Check(SHCreateDirectoryExA(nullptr, w[1].c_str(), nullptr) == ERROR_SUCCESS ||
              GetFileAttributesA(w[1].c_str()) != INVALID_FILE_ATTRIBUTES,
          "cannot create " + w[1]);
  } else if (c == "copy") {
    Need(w, 3);
    Check(CopyFileA(w[1].c_str(), w[2].c_str(), FALSE) != 0, "cannot copy " + w[1] + " to " + w[2]);
  } else if (c == "restart") {
    Need(w, 1);
    PROCESS_INFORMATION boot = StartProgram(SystemFolder() + "\\wineboot.exe", "-r");
    Check(WaitForSingleObject(boot.hProcess, 120000) == WAIT_OBJECT_0, "wineboot -r does not end");
    CloseHandle(boot.hProcess);
    CloseHandle(boot.hThread);
  } else if (c == "snapshot") {
    Need(w, 2);
    Driver.Snapshots[w[1]] = Snapshot();
  } else if (c == "unchanged") {
    Need(w, 2);
    auto found = Driver.Snapshots.find(w[1]);
    Check(found != Driver.Snapshots.end(), "no snapshot " + w[1]);
    CheckUnchanged(found->second, Snapshot());
  } else if (c == "writefile") {
    Need(w, 3);
    std::ofstream out(w[1], std::ios::binary);
    out << w[2];
    Check(out.good(), "cannot write " + w[1]);
  } else if (c == "oldfiles") {
    // An earlier installation's files: every payload file where the setup
    // puts it, with other content and the given time.
    Need(w, 3);
    for (const std::string& original : PayloadFiles()) {
      std::string name = NamePart(original);
      std::string folder = name.find(".scr") != std::string::npos ? WindowsFolder() : w[1];
      std::ofstream(folder + "\\" + name, std::ios::binary) << "old " << name;
      SetFileTimeTo(folder + "\\" + name, w[2]);
    }
  } else if (c == "kept") {
    // The earlier files are still there, unchanged.
    Need(w, 2);
    for (const std::string& original : PayloadFiles()) {
      std::string name = NamePart(original);
      std::string folder = name.find(".scr") != std::string::npos ? WindowsFolder() : w[1];
      bool ok = false;
      Check(ReadFile(folder + "\\" + name, &ok) == "old " + name, name + " was overwritten");
    }
  } else if (c == "filetime") {
    Need(w, 3);
    SetFileTimeTo(w[1], w[2]);
  } else {
    Fail("unknown command");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: setup_driver SCRIPT\n");
    return 2;
  }
  // Physical pixels, as the DPI-aware programs it drives see them.
  SetProcessDPIAware();
  CoInitialize(nullptr);
  // Folders the scripts name: the Windows folder, the Programs folder the
  // setup puts its group under, and the Program Files folder it offers.
  std::string programs, program_files;
  DWORD type = 0;
  ReadRegValue("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
               "Common Programs", &programs, &type);
  ReadRegValue("Software\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir",
               &program_files, &type);
  _putenv(("VL_WINDIR=" + WindowsFolder()).c_str());
  _putenv(("VL_PROGRAMS=" + programs).c_str());
  _putenv(("VL_PROGRAMFILES=" + program_files).c_str());
  _putenv(("VL_SCREENSAVER=" + PayloadScreenSaver()).c_str());
  _putenv(("VL_PAYLOAD_KB=" + std::to_string(PayloadKilobytes())).c_str());
  std::string uninstaller;
  for (const std::string& file : PayloadFiles())
    if (NamePart(file) == "VLRemove.exe") uninstaller = file;
  _putenv(("VL_UNINSTALLER=" + uninstaller).c_str());
  std::ifstream script(argv[1]);
  if (!script) {
    std::fprintf(stderr, "setup_driver: cannot read %s\n", argv[1]);
    return 2;
  }
  std::string line;
  while (std::getline(script, line)) {
    ++Driver.Line;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t first = line.find_first_not_of(' ');
    if (first == std::string::npos || line[first] == '#') continue;
    Driver.Command = line.substr(first);
    std::vector<std::string> words = Split(Driver.Command);
    // "ifscr COMMAND...": only when the payload has a screen saver.
    if (words[0] == "ifscr") {
      if (PayloadScreenSaver().empty()) continue;
      words.erase(words.begin());
    }
    Run(words);
  }
  if (Driver.Setup.hProcess != nullptr) {
    // A script that did not wait for the end leaves no setup behind.
    TerminateProcess(Driver.Setup.hProcess, 0);
  }
  std::printf("setup_driver: %d lines passed\n", Driver.Line);
  return 0;
}
