// Helpers of the installation engine's tests: a scratch folder that is
// removed again, registry reads that do not go through the code under test,
// and a hidden window that records what the workers send to their page.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace enginetest {

// Deletes a folder with everything in it (attributes cleared first).
inline void RemoveTree(const std::string& path) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = data.cFileName;
      if (name == "." || name == "..") continue;
      const std::string child = path + '\\' + name;
      SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(child);
      else
        DeleteFileA(child.c_str());
    } while (FindNextFileA(find, &data));
    FindClose(find);
  }
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryA(path.c_str());
}

// A fresh, empty folder under the temporary folder, removed by the destructor.
class TempFolder {
 public:
  explicit TempFolder(const std::string& tag) {
    char temp[MAX_PATH + 1] = {};
    GetTempPathA(sizeof temp, temp);
    path_ = std::string(temp) + "vlm_" + tag + "_" + std::to_string(GetCurrentProcessId()) + "_" +
            std::to_string(GetTickCount());
    RemoveTree(path_);
    CreateDirectoryA(path_.c_str(), nullptr);
  }
  ~TempFolder() { RemoveTree(path_); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + '\\' + relative; }

 private:
  std::string path_;
};

inline bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}
inline bool IsDirectory(const std::string& path) {
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

inline bool WriteFileBytes(const std::string& path, const std::string& bytes) {
  HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(f);
  return ok && written == bytes.size();
}

inline std::string ReadFileBytes(const std::string& path) {
  HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return "<missing>";
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(f, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(f);
  return bytes;
}

// The file's last-write time; all zero when it cannot be read.
inline FILETIME LastWriteTime(const std::string& path) {
  FILETIME t = {};
  HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return t;
  GetFileTime(f, nullptr, nullptr, &t);
  CloseHandle(f);
  return t;
}

inline bool SetLastWriteTime(const std::string& path, const FILETIME& t) {
  HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  const BOOL ok = SetFileTime(f, nullptr, &t, &t);
  CloseHandle(f);
  return ok != FALSE;
}

inline uint64_t Ticks(const FILETIME& t) {
  return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}
inline FILETIME FromTicks(uint64_t v) {
  FILETIME t;
  t.dwLowDateTime = static_cast<DWORD>(v);
  t.dwHighDateTime = static_cast<DWORD>(v >> 32);
  return t;
}

// The release time, worked out here independently of the stream code:
// 1998-12-01 01:06:00 local time, as UTC.
inline FILETIME ExpectedReleaseTime() {
  SYSTEMTIME local = {};
  local.wYear = 1998;
  local.wMonth = 12;
  local.wDay = 1;
  local.wHour = 1;
  local.wMinute = 6;
  FILETIME local_time, utc;
  SystemTimeToFileTime(&local, &local_time);
  LocalFileTimeToFileTime(&local_time, &utc);
  return utc;
}

// A registry value read straight through the API: type and raw bytes.
struct RegValue {
  bool found = false;
  DWORD type = REG_NONE;
  std::string data;  // REG_SZ without its terminating zero
};

inline RegValue ReadValue(HKEY root, const std::string& key_path, const char* name) {
  RegValue v;
  HKEY key;
  if (RegOpenKeyExA(root, key_path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return v;
  DWORD size = 0;
  if (RegQueryValueExA(key, name, nullptr, &v.type, nullptr, &size) == ERROR_SUCCESS) {
    std::string bytes(size, '\0');
    if (RegQueryValueExA(key, name, nullptr, &v.type, reinterpret_cast<BYTE*>(&bytes[0]),
                         &size) == ERROR_SUCCESS) {
      v.found = true;
      bytes.resize(size);
      if ((v.type == REG_SZ || v.type == REG_EXPAND_SZ) && !bytes.empty() && bytes.back() == '\0')
        bytes.pop_back();
      v.data = bytes;
    }
  }
  RegCloseKey(key);
  return v;
}

inline bool KeyExists(HKEY root, const std::string& key_path) {
  HKEY key;
  if (RegOpenKeyExA(root, key_path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// Deletes a key and its subkeys (the ones these tests create have none
// deeper than one level).
inline void DeleteKeyTree(HKEY root, const std::string& key_path) {
  HKEY key;
  if (RegOpenKeyExA(root, key_path.c_str(), 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    char name[256];
    for (;;) {
      DWORD length = sizeof name;
      if (RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        break;
      DeleteKeyTree(key, name);
    }
    RegCloseKey(key);
  }
  RegDeleteKeyA(root, key_path.c_str());
}

// One message the workers sent to the page.
struct Received {
  UINT message;
  LPARAM lparam;
  bool from_other_thread;  // sent by another thread (and so, synchronously, by SendMessage)
};

// A hidden window standing in for the progress page. It must be created and
// pumped on the test's thread: the workers send with SendMessageA and wait.
class PageRecorder {
 public:
  PageRecorder() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "VelmoraEngineTestPage";
    RegisterClassA(&wc);
    wnd_ = CreateWindowExA(0, wc.lpszClassName, "page", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                           nullptr, wc.hInstance, nullptr);
    SetWindowLongPtrA(wnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  ~PageRecorder() { DestroyWindow(wnd_); }
  PageRecorder(const PageRecorder&) = delete;
  PageRecorder& operator=(const PageRecorder&) = delete;

  HWND wnd() const { return wnd_; }
  const std::vector<Received>& messages() const { return messages_; }

  std::vector<LPARAM> ParamsOf(UINT message) const {
    std::vector<LPARAM> params;
    for (const Received& r : messages_)
      if (r.message == message) params.push_back(r.lparam);
    return params;
  }
  size_t Count(UINT message) const { return ParamsOf(message).size(); }

  // Pumps messages until the message has arrived `count` times in all, or
  // the time is up. True when it arrived.
  bool PumpUntil(UINT message, DWORD timeout_ms, size_t count = 1) {
    const DWORD start = GetTickCount();
    while (Count(message) < count) {
      if (GetTickCount() - start > timeout_ms) return false;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
      }
    }
    return true;
  }

 private:
  static LRESULT CALLBACK Proc(HWND wnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message >= WM_APP && message <= WM_APP + 0x200) {
      auto* self = reinterpret_cast<PageRecorder*>(GetWindowLongPtrA(wnd, GWLP_USERDATA));
      if (self) self->messages_.push_back({message, lparam, InSendMessage() != FALSE});
      return 0;
    }
    return DefWindowProcA(wnd, message, wparam, lparam);
  }

  HWND wnd_ = nullptr;
  std::vector<Received> messages_;
};

}  // namespace enginetest
