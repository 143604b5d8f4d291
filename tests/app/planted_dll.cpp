// A library that must never be loaded: planted as RICHED32.DLL beside the
// setup, it records that it was.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    // Plain kernel32 only: this runs under the loader lock.
    HANDLE file = CreateFileA("C:\\velmora-planted-dll.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      WriteFile(file, "loaded\n", 7, &written, nullptr);
      CloseHandle(file);
    }
  }
  return TRUE;
}
