// Test helpers of the driver and tool tests: a private scratch folder, file
// contents and modification times.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

namespace tooltest {

// A folder of its own under the temporary folder, removed with its contents.
class TempDir {
 public:
  explicit TempDir(const std::string& tag) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const auto base = fs::temp_directory_path(ec);
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int i = 0; i < 1000; ++i) {
      fs::path p = base / ("vlarc-" + tag + "-" + std::to_string(stamp) + "-" + std::to_string(i));
      if (fs::create_directory(p, ec)) {
        path_ = p.string();
        return;
      }
    }
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // A path inside the folder.
  std::string file(const std::string& name) const { return (std::filesystem::path(path_) / name).string(); }
  // Names of everything in the folder, sorted.
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(path_, ec)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  std::string path_;
};

inline bool file_exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

inline std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// Last-write time of a file as a time_t; -1 when it cannot be read.
inline int64_t mtime_of(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_mtime);
}

// The release time, 1998-12-01 01:06:00 local time, as a time_t.
inline int64_t release_time() {
  std::tm t = {};
  t.tm_year = 1998 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 1;
  t.tm_hour = 1;
  t.tm_min = 6;
  t.tm_sec = 0;
  t.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&t));
}

// Bytes that compress well but are not trivial: text-like lines.
inline std::vector<uint8_t> sample_text(size_t size, uint32_t seed) {
  static const char* const words[] = {"screen", "saver", "velvet", "morning", "glow",  "drift",
                                      "pixel",  "frame", "colour", "light",   "shade", "wave"};
  std::vector<uint8_t> out;
  uint32_t x = seed * 2654435761u + 1;
  while (out.size() < size) {
    x = x * 1103515245u + 12345u;
    const char* w = words[(x >> 16) % 12];
    while (*w && out.size() < size) out.push_back(static_cast<uint8_t>(*w++));
    if (out.size() < size) out.push_back((x >> 8) % 7 == 0 ? '\n' : ' ');
  }
  return out;
}

// Bytes that do not compress: a plain pseudo-random sequence.
inline std::vector<uint8_t> noise(size_t size, uint32_t seed) {
  std::vector<uint8_t> out(size);
  uint32_t x = seed | 1;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

}  // namespace tooltest
