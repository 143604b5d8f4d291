// Test helper: finds the programs built next to the running test program and
// quotes arguments for a command line, for tests that run a built tool end to
// end.
#pragma once

#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/types.h>
#include <unistd.h>
#endif

namespace tooltest {

// The folder of the running test program, with its trailing separator.
inline std::string program_folder() {
#ifdef _WIN32
  char path[MAX_PATH + 1] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
#else
  char path[4096] = {};
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n > 0) path[n] = '\0';
#endif
  std::string p = path;
  return p.substr(0, p.find_last_of("/\\") + 1);
}

// The vlarc program built beside the test program.
inline std::string vlarc_program() {
#ifdef _WIN32
  return program_folder() + "vlarc.exe";
#else
  return program_folder() + "vlarc";
#endif
}

// One command-line word: in double quotes on Windows, in single quotes (an
// embedded quote closed, escaped and reopened) for a POSIX shell.
inline std::string quote(const std::string& s) {
#ifdef _WIN32
  return "\"" + s + "\"";
#else
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
#endif
}

}  // namespace tooltest
