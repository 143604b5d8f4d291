// The small archive the file worker's tests install: what goes into it
// (written at build time by make_engine_payload on the host) and what the
// installed files must contain. Shared by the generator and the tests.
#pragma once

#include <cstdint>
#include <string>

namespace enginetest {

struct PayloadEntry {
  const char* archived_name;  // with a folder part, which installation drops
  const char* file_name;
  int32_t size;
  uint8_t seed;
};

// In archive order. The first two have the same size: the progress must
// still count them as two entries. The last is empty, so that the driver's
// report for it marks the end of everything before it (stored entries make
// no reports of their own while they are copied).
constexpr PayloadEntry kPayload[] = {
    {"Velmora\\VLRemove.exe", "VLRemove.exe", 3000, 11},
    {"Velmora\\Velmora.scr", "Velmora.scr", 3000, 23},
    {"Velmora\\Velmora.Hlp", "Velmora.Hlp", 5000, 37},
    {"Velmora\\empty.dat", "empty.dat", 0, 41},
};
constexpr int kPayloadCount = sizeof kPayload / sizeof kPayload[0];
constexpr int32_t kPayloadTotal = 3000 + 3000 + 5000 + 0;

inline std::string PayloadContent(const PayloadEntry& entry) {
  std::string bytes(static_cast<size_t>(entry.size), '\0');
  uint32_t state = entry.seed;
  for (char& c : bytes) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 16);
  }
  return bytes;
}

}  // namespace enginetest
