// vlarc: the archive tool of the host and of the Windows builds.
//
//   vlarc l ARCHIVE        list the entries (headers only, nothing decoded)
//   vlarc t ARCHIVE        decode every entry without writing, check CRCs
//   vlarc x ARCHIVE DIR    extract every entry into DIR by its name part
//   vlarc a ...            pack files into a new archive
//
// t and x run the setup's own extraction driver over the archive file's
// bytes, registered in memory as the payload block "#101", so the tool
// exercises exactly the code the setup runs. Their exit status is the run's
// result code (0 when every entry is sound); usage errors give 2.
//
// The driver talks to its caller only through hooks and one result code, so
// the tool follows each entry through them: the target hook marks the start
// of an entry, the output stream sees the file being created and (after a
// CRC mismatch) erased, and the result code is read and cleared at every
// entry start, which attributes each code to the entry that set it.

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#define VLARC_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define VLARC_ISATTY(fd) isatty(fd)
#endif

#include "archive/arc_block.h"
#include "archive/arc_checksum.h"
#include "archive/arc_extract.h"
#include "archive/archive_class.h"
#include "tools/discard_stream.h"
#include "tools/vlarc_add.h"

namespace {

constexpr int kUsageStatus = 2;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrVolumeLabel = 0x08;
constexpr uint16_t kFlagSplitAfter = 0x0002;
constexpr uint16_t kFlagEncrypted = 0x0004;
constexpr uint8_t kMethodStored = 0x30;

int usage() {
  std::fputs(
      "usage: vlarc l ARCHIVE        list the entries\n"
      "       vlarc t ARCHIVE        test every entry\n"
      "       vlarc x ARCHIVE DIR    extract every entry into DIR\n"
      "       vlarc a ...            pack files into a new archive\n",
      stderr);
  return kUsageStatus;
}

// The archive file's bytes, registered as the payload block "#101" for as
// long as the tool runs.
std::vector<uint8_t> archive_bytes;
std::string archive_path;

bool load_archive(const char* path) {
  archive_path = path;
  FILE* f = std::fopen(path, "rb");
  if (!f) {
    std::fprintf(stderr, "vlarc: cannot open %s: %s\n", path, std::strerror(errno));
    return false;
  }
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  size_t n;
  bool too_large = false;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
    if (bytes.size() + n > 0x7FFFFFFFu) {
      too_large = true;
      break;
    }
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    std::fprintf(stderr, "vlarc: cannot read %s\n", path);
    return false;
  }
  if (too_large) {
    std::fprintf(stderr, "vlarc: %s is too large for an archive\n", path);
    return false;
  }
  archive_bytes.swap(bytes);
  TMyMemoryStream::register_block("#101", archive_bytes.data(), static_cast<int32_t>(archive_bytes.size()));
  return true;
}


bool is_separator(char c) { return c == '/' || c == '\\' || c == ':'; }

// The text after the last '/', '\' or ':'; empty for "." and "..", which
// would name the folder itself or its parent.
std::string name_part(const std::string& name) {
  size_t start = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    if (is_separator(name[i])) start = i + 1;
  }
  std::string part = name.substr(start);
  if (part == "." || part == "..") part.clear();
  return part;
}

std::string version_text(uint8_t unp_ver) {
  return std::to_string(unp_ver / 10) + "." + std::to_string(unp_ver % 10);
}

// ---------------------------------------------------------------------------
// l: the headers, walked with the reader alone.

std::string method_text(uint8_t method) {
  if (method == kMethodStored) return "stored";
  if (method > kMethodStored && method <= kMethodStored + 5) return "m" + std::to_string(method - kMethodStored);
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", method);
  return buf;
}

std::string flags_text(const FileHeader& h) {
  std::string s;
  if (h.attr & kAttrDirectory) s += 'D';
  if (h.attr & kAttrVolumeLabel) s += 'V';
  if (h.flags & LHD_SOLID) s += 'S';
  if (h.flags & kFlagEncrypted) s += 'E';
  if (h.flags & LHD_SPLIT_BEFORE) s += '<';
  if (h.flags & kFlagSplitAfter) s += '>';
  return s.empty() ? "-" : s;
}

std::string ratio_text(uint64_t packed, uint64_t unpacked) {
  if (unpacked == 0) return "-";
  return std::to_string((packed * 100 + unpacked / 2) / unpacked) + "%";
}

// Moves to offset; one that lies beyond the archive's end goes to the end,
// so that nothing behind a truncated block is taken for a header.
void move_to(int32_t offset) {
  if (archive_stream->seek(offset, 0) != kSeekOk) archive_stream->seek(0, 2);
}

void print_reader_error(void*, const std::string& text);

int list_archive() {
  TMyMemoryStream input;
  init_crc_table();
  archive_stream = &input;
  extract_result = EXTRACT_OK;
  OnErrorMessage = {print_reader_error, nullptr};
  if (!input.open("#101") || !open_archive()) {
    release_search_buffer();
    std::fprintf(stderr, "vlarc: %s is not an archive\n", archive_path.c_str());
    return EXTRACT_NOT_ARCHIVE;
  }
  input.seek(main_header.head_size - main_header_size, 1);

  std::printf("Archive %s%s\n", archive_path.c_str(), solid ? " (solid)" : "");
  std::printf("%10s %10s %6s %-8s %-6s %4s %-5s %s\n", "Size", "Packed", "Ratio", "CRC-32", "Method", "Ver", "Flags",
              "Name");
  uint64_t total_size = 0;
  uint64_t total_packed = 0;
  unsigned entries = 0;
  while (read_block(LONG_BLOCK | FILE_HEAD) > 0) {
    if (block_header.head_type == FILE_HEAD) {
      const FileHeader& h = file_header;
      std::printf("%10u %10u %6s %08X %-6s %4s %-5s %s\n", static_cast<unsigned>(h.unp_size),
                  static_cast<unsigned>(h.pack_size), ratio_text(h.pack_size, h.unp_size).c_str(),
                  static_cast<unsigned>(h.file_crc), method_text(h.method).c_str(), version_text(h.unp_ver).c_str(),
                  flags_text(h).c_str(), file_name.c_str());
      total_size += h.unp_size;
      total_packed += h.pack_size;
      ++entries;
    }
    move_to(next_block);
  }
  release_search_buffer();
  std::printf("%10llu %10llu %6s %u %s\n", static_cast<unsigned long long>(total_size),
              static_cast<unsigned long long>(total_packed), ratio_text(total_packed, total_size).c_str(), entries,
              entries == 1 ? "entry" : "entries");
  archive_stream = nullptr;
  OnErrorMessage = {};
  if (extract_result == EXTRACT_BAD_HEADER) {
    std::fprintf(stderr, "vlarc: %s: damaged file header; the entries after it cannot be read\n",
                 archive_path.c_str());
    return EXTRACT_BAD_HEADER;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// t and x: the extraction driver, followed entry by entry.

struct Run {
  bool testing = false;
  std::string folder;   // x: where the entries go, with its trailing separator
  bool show_progress = false;
  int last_percent = -1;
  int32_t result = EXTRACT_OK;  // the run's code: the last one any entry set
  unsigned entries = 0;
  unsigned failed = 0;

  // The entry in progress.
  bool have_entry = false;
  std::string name;
  std::string target;
  uint32_t attr = 0;
  uint8_t unp_ver = 0;
  uint8_t method = 0;
  bool created = false;
  bool erased = false;
};
Run run;

// Blanks the progress line (with spaces: not every console knows escapes).
void clear_progress() {
  if (run.last_percent >= 0) std::fprintf(stderr, "\r%*s\r", static_cast<int>(run.name.size() + 5), "");
  run.last_percent = -1;
}

// Reports the entry in progress, with the result code it left behind.
void finish_entry() {
  if (!run.have_entry) return;
  run.have_entry = false;
  clear_progress();
  const int32_t code = extract_result;
  if (code != EXTRACT_OK) run.result = code;
  extract_result = EXTRACT_OK;

  std::string status;
  bool bad = true;
  if (code == EXTRACT_BAD_CHECKSUM || run.erased) {
    status = run.testing ? "CRC error" : "CRC error, file deleted";
  } else if (code == EXTRACT_BAD_VERSION) {
    status = "unsupported version " + version_text(run.unp_ver);
    if (run.method != kMethodStored && run.unp_ver >= 13 && run.unp_ver <= 15) status += " (compressed)";
  } else if (code == EXTRACT_CANNOT_CREATE) {
    status = run.target.empty() ? "not extracted: no file name" : "cannot create " + run.target;
  } else if (run.created) {
    status = "OK";
    bad = false;
  } else if (run.attr & (kAttrDirectory | kAttrVolumeLabel)) {
    status = run.attr & kAttrDirectory ? "directory" : "volume label";
    bad = false;
  } else {
    status = "skipped";
    bad = false;
  }
  ++run.entries;
  if (bad) ++run.failed;
  std::printf("%s: %s\n", run.name.c_str(), status.c_str());
  std::fflush(stdout);
}

// Reader complaints come between entries: the one before is reported first.
void print_reader_error(void*, const std::string& text) {
  finish_entry();
  std::fprintf(stderr, "vlarc: %s: %s\n", archive_path.c_str(), text.c_str());
}

void target_hook(void*, const std::string& archived_name, std::string& target) {
  finish_entry();
  run.have_entry = true;
  run.name = archived_name;
  run.attr = file_header.attr;
  run.unp_ver = file_header.unp_ver;
  run.method = file_header.method;
  run.created = false;
  run.erased = false;
  const std::string part = name_part(archived_name);
  if (run.testing) {
    target = archived_name.empty() ? "-" : archived_name;
  } else {
    target = part.empty() ? std::string() : run.folder + part;
  }
  run.target = target;
}

void progress_hook(void*, int32_t done, int32_t total) {
  if (!run.show_progress || total <= 0) return;
  const int percent = static_cast<int>(static_cast<int64_t>(done) * 100 / total);
  if (percent == run.last_percent) return;
  run.last_percent = percent;
  std::fprintf(stderr, "\r%3d%% %s", percent, run.name.c_str());
  std::fflush(stderr);
}

// The output streams note what the driver does with each entry's file.
class TTestOutput : public TDiscardStream {
 public:
  bool create(const char* path) override {
    const bool ok = TDiscardStream::create(path);
    if (ok) run.created = true;
    return ok;
  }
  void erase() override {
    run.erased = true;
    TDiscardStream::erase();
  }
};

class TExtractOutput : public TPosixFileStream {
 public:
  bool create(const char* path) override {
    const bool ok = TPosixFileStream::create(path);
    if (ok) run.created = true;
    return ok;
  }
  void erase() override {
    run.erased = true;
    TPosixFileStream::erase();
  }
};

bool make_folder(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return (st.st_mode & S_IFMT) == S_IFDIR;
#ifdef _WIN32
  return _mkdir(path.c_str()) == 0;
#else
  return mkdir(path.c_str(), 0777) == 0;
#endif
}

int run_driver(bool testing, const char* folder) {
  run = Run();
  run.testing = testing;
  run.show_progress = VLARC_ISATTY(2) != 0;
  if (!testing) {
    run.folder = folder;
    if (!make_folder(run.folder)) {
      std::fprintf(stderr, "vlarc: cannot create folder %s\n", folder);
      return EXTRACT_CANNOT_CREATE;
    }
    if (!is_separator(run.folder.back())) run.folder += '/';
  }

  TMyMemoryStream input;
  TTestOutput test_output;
  TExtractOutput file_output;
  init_crc_table();
  archive_stream = &input;
  output_stream = testing ? static_cast<TOutputStream*>(&test_output) : &file_output;
  OnGetTargetPath = {target_hook, nullptr};
  OnProgress = {progress_hook, nullptr};
  OnErrorMessage = {print_reader_error, nullptr};
  extract_result = EXTRACT_OK;

  extract_archive();
  finish_entry();
  if (extract_result != EXTRACT_OK) run.result = extract_result;

  OnGetTargetPath = {};
  OnProgress = {};
  OnErrorMessage = {};
  input.close();
  file_output.close();
  archive_stream = nullptr;
  output_stream = nullptr;
  release_buffers();

  switch (run.result) {
    case EXTRACT_NO_RESOURCE:
      std::fprintf(stderr, "vlarc: %s cannot be opened\n", archive_path.c_str());
      return run.result;
    case EXTRACT_NOT_ARCHIVE:
      std::fprintf(stderr, "vlarc: %s is not an archive\n", archive_path.c_str());
      return run.result;
    case EXTRACT_NO_MEMORY:
      std::fprintf(stderr, "vlarc: out of memory\n");
      return run.result;
    case EXTRACT_BAD_HEADER:
      std::fprintf(stderr, "vlarc: %s: damaged file header; the entries after it cannot be read\n",
                   archive_path.c_str());
      break;
    default:
      break;
  }
  if (run.failed > 0) {
    std::fprintf(stderr, "vlarc: %u of %u %s failed\n", run.failed, run.entries,
                 run.entries == 1 ? "entry" : "entries");
  }
  return run.result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  if (command == "a") {
#ifdef VLARC_HAVE_ADD
    return vlarc_add(argc - 1, argv + 1);
#else
    std::fputs("vlarc: packing is not part of this build\n", stderr);
    return kUsageStatus;
#endif
  }
  const bool list = command == "l";
  const bool test = command == "t";
  const bool extract = command == "x";
  if (!((list || test) && argc == 3) && !(extract && argc == 4)) return usage();
  if (extract && argv[3][0] == '\0') return usage();

  if (!load_archive(argv[2])) return EXTRACT_NO_RESOURCE;
  if (list) return list_archive();
  return run_driver(test, extract ? argv[3] : nullptr);
}
