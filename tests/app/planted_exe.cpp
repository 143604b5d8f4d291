// A program that must never be started: planted as rundll32.exe beside the
// setup, it records that it was.
#include <cstdio>

int main() {
  FILE* out = std::fopen("C:\\velmora-planted-exe.txt", "wb");
  if (out != nullptr) {
    std::fputs("started\n", out);
    std::fclose(out);
  }
  return 0;
}
