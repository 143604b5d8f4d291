// Helpers of the product's Windows tests: starting the built programs,
// finding their windows, waiting while this thread keeps its own windows
// served, and reading the registry.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace product_test {

// The built product file (Velmora.scr, VLRemove.exe, ...) as a Windows path.
inline std::string PayloadFile(const std::string& name) {
  std::string dir = VELMORA_PAYLOAD_DIR;  // a host path; Wine's Z: is the host's root
  for (char& c : dir)
    if (c == '/') c = '\\';
  return "Z:" + dir + "\\" + name;
}

// Serves this thread's windows while waiting: another process's child
// window in one of ours needs our thread to answer its notifications.
inline void Pump(DWORD ms) {
  DWORD start = GetTickCount();
  do {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&m);
      DispatchMessageA(&m);
    }
    Sleep(10);
  } while (GetTickCount() - start < ms);
}

template <typename Ready>
bool WaitFor(Ready ready, DWORD ms = 15000) {
  DWORD start = GetTickCount();
  for (;;) {
    if (ready()) return true;
    if (GetTickCount() - start > ms) return false;
    Pump(25);
  }
}

struct TProcess {
  PROCESS_INFORMATION Info = {};
  HANDLE Output = nullptr;  // read end of the captured standard output, if any

  bool Running() const { return Info.hProcess && WaitForSingleObject(Info.hProcess, 0) == WAIT_TIMEOUT; }
  // Waits for the end (serving our windows meanwhile); returns the exit code or -1.
  int Wait(DWORD ms = 20000) {
    if (!WaitFor([&] { return !Running(); }, ms)) return -1;
    DWORD code = 0;
    GetExitCodeProcess(Info.hProcess, &code);
    return static_cast<int>(code);
  }
  // Everything the process (and what it started with its handles) wrote.
  std::string ReadOutput() {
    std::string text;
    if (!Output) return text;
    char buffer[512];
    DWORD got = 0;
    while (ReadFile(Output, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    CloseHandle(Output);
    Output = nullptr;
    return text;
  }
  ~TProcess() {
    if (Running()) TerminateProcess(Info.hProcess, 99);  // only what this test started
    if (Output) CloseHandle(Output);
    if (Info.hProcess) CloseHandle(Info.hProcess);
    if (Info.hThread) CloseHandle(Info.hThread);
  }
};

// Starts a command line as given (no quoting added); optionally captures
// standard output.
inline bool Start(const std::string& command_line, TProcess& p, bool capture = false) {
  std::vector<char> command(command_line.begin(), command_line.end());
  command.push_back(0);
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  HANDLE write_end = nullptr;
  if (capture) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    if (!CreatePipe(&p.Output, &write_end, &sa, 0)) return false;
    SetHandleInformation(p.Output, HANDLE_FLAG_INHERIT, 0);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = write_end;
    si.hStdError = write_end;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  }
  BOOL ok = CreateProcessA(nullptr, command.data(), nullptr, nullptr, capture ? TRUE : FALSE, 0, nullptr,
                           nullptr, &si, &p.Info);
  if (write_end) CloseHandle(write_end);
  return ok != FALSE;
}

struct TWindowSearch {
  DWORD Pid;
  const char* Class;
  const char* Title;
  HWND Found;
};

inline BOOL CALLBACK MatchProcessWindow(HWND w, LPARAM lp) {
  auto* s = reinterpret_cast<TWindowSearch*>(lp);
  DWORD owner = 0;
  GetWindowThreadProcessId(w, &owner);
  if (owner != s->Pid || !IsWindowVisible(w)) return TRUE;
  char text[256] = {0};
  if (s->Class) {
    GetClassNameA(w, text, sizeof text);
    if (lstrcmpiA(text, s->Class) != 0) return TRUE;
  }
  if (s->Title) {
    GetWindowTextA(w, text, sizeof text);
    if (lstrcmpA(text, s->Title) != 0) return TRUE;
  }
  s->Found = w;
  return FALSE;
}

// A visible top-level window of the process with the given class (or any
// class when null) and title (or any title when null).
inline HWND FindProcessWindow(DWORD pid, const char* class_name, const char* title) {
  TWindowSearch search = {pid, class_name, title, nullptr};
  EnumWindows(MatchProcessWindow, reinterpret_cast<LPARAM>(&search));
  return search.Found;
}

inline std::string WindowText(HWND w) {
  char text[2048] = {0};
  GetWindowTextA(w, text, sizeof text);
  return text;
}

// ---- Registry and files -----------------------------------------------------

inline bool KeyExists(HKEY root, const std::string& name) {
  HKEY key;
  if (RegOpenKeyExA(root, name.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

inline bool ReadString(HKEY root, const std::string& key_name, const char* value, std::string& out) {
  HKEY key;
  if (RegOpenKeyExA(root, key_name.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  std::vector<char> buffer(4096, 0);
  DWORD type = 0, size = static_cast<DWORD>(buffer.size() - 2);
  LONG rc = RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return false;
  out.assign(buffer.data(), size);
  while (!out.empty() && out.back() == 0 && type != REG_MULTI_SZ) out.pop_back();
  return true;
}

inline bool WriteString(HKEY root, const std::string& key_name, const char* value, const std::string& data) {
  HKEY key;
  if (RegCreateKeyExA(root, key_name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return false;
  LONG rc = RegSetValueExA(key, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                           static_cast<DWORD>(data.size() + 1));
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

inline bool WriteDword(HKEY root, const std::string& key_name, const char* value, DWORD data) {
  HKEY key;
  if (RegCreateKeyExA(root, key_name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return false;
  LONG rc = RegSetValueExA(key, value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

inline bool ReadDword(HKEY root, const std::string& key_name, const char* value, DWORD& out) {
  HKEY key;
  if (RegOpenKeyExA(root, key_name.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD type = 0, size = sizeof out;
  LONG rc = RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(&out), &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS && type == REG_DWORD;
}

inline bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace product_test
