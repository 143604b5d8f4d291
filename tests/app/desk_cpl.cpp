// A stand-in for the Display control panel, placed as desk.cpl in the test
// prefix's system folder: rundll32 calls InstallScreenSaver, which records
// how it was started for the driver to check.
#include <windows.h>

#include <cstdio>

extern "C" __declspec(dllexport) void CALLBACK InstallScreenSaver(HWND, HINSTANCE, LPSTR args, int) {
  char exe[MAX_PATH] = {};
  char cwd[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, exe, sizeof exe);
  GetCurrentDirectoryA(sizeof cwd, cwd);
  FILE* out = std::fopen("C:\\velmora-launch.txt", "wb");
  if (out == nullptr) return;
  std::fprintf(out, "exe=%s\ncmdline=%s\nargs=%s\ncwd=%s\nend=1\n", exe, GetCommandLineA(),
               args != nullptr ? args : "", cwd);
  std::fclose(out);
}
