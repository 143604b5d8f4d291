// vlarc: the archive tool of the host and of the Windows builds.
//
//   vlarc l ARCHIVE                          list the entries (headers only)
//   vlarc t ARCHIVE                          decode every entry, check sizes and CRCs
//   vlarc x [-e] [-o] ARCHIVE DIR [NAME...]  extract into DIR
//   vlarc a ...                              pack files into a new archive
//
// t and x run the setup's own extraction driver, so the tool exercises the
// code the setup runs; the archive is read from disk through a fixed buffer
// (the "#101" the driver opens is the archive file), so memory does not
// grow with the archive. x writes through TSafeOutput: every entry lands in
// a temporary file beside its target and is moved there only when its size
// and checksum are right, so nothing already on disk is harmed.
//
// The driver talks to its caller only through hooks and one result code, so
// the tool follows each entry through them: the target hook (or the
// pass-over hook) marks the start of an entry, the output stream sees the
// file being created, written and erased, and the result code is read and
// cleared at every entry start, which attributes each code to the entry
// that set it. The exit status is the run's result code, the last one set.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#ifdef _WIN32
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
#include "tools/archive_file_stream.h"
#include "tools/discard_stream.h"
#include "tools/entry_names.h"
#include "tools/safe_output.h"
#include "tools/vlarc_add.h"

namespace {

constexpr int kUsageStatus = 2;
// vlarc's own code, beyond the driver's: an entry could not be written to
// disk (a full disk, no permission).
constexpr int32_t kWriteFailed = 12;

const char kUsage[] =
    "usage: vlarc l ARCHIVE                          list the entries\n"
    "       vlarc t ARCHIVE                          test every entry\n"
    "       vlarc x [-e] [-o] ARCHIVE DIR [NAME...]  extract into DIR\n"
    "       vlarc a ...                              pack files into a new archive (vlarc a for its options)\n"
    "       vlarc --help\n";

const char kHelp[] =
    "\n"
    "x recreates the archive's folders under DIR (created when missing). Every\n"
    "file is written to a new temporary file beside its target and moved there\n"
    "only when its size and CRC are right; nothing else on disk is touched, and\n"
    "no link is followed. Names that would leave DIR (absolute, a drive, \"..\"),\n"
    "that hold control characters, or (on Windows) device names or a trailing\n"
    "dot or blank are not written.\n"
    "  -e       extract without folders: every file goes straight into DIR\n"
    "  -o       replace existing files (a link there is replaced, not followed)\n"
    "  NAME...  only these entries: archived names, '*' standing for any text\n"
    "\n"
    "Names are shown with control characters and invalid bytes as \\xNN.\n"
    "\n"
    "Exit status of l, t and x (the last problem found wins):\n"
    "   0  every entry is sound (and written)\n"
    "   1  an entry needs an unpacker version this tool does not have\n"
    "   2  usage error, or the archive cannot be opened or read\n"
    "   3  an entry's CRC or size does not match (x writes nothing for it)\n"
    "   8  out of memory\n"
    "   9  the file is not an archive\n"
    "  10  a damaged file header; the entries after it cannot be read\n"
    "  11  an entry was not written: unsafe name, existing file kept, a link or\n"
    "      something not a file in the way, cannot be created, continued from\n"
    "      a previous volume; or a NAME matched no entry\n"
    "  12  an entry could not be written to disk (disk full, no permission)\n";

int usage() {
  std::fputs(kUsage, stderr);
  return kUsageStatus;
}

std::string archive_shown;  // the archive's path, as messages show it

std::string version_text(uint8_t unp_ver) {
  return std::to_string(unp_ver / 10) + "." + std::to_string(unp_ver % 10);
}

// Opens the archive as "#101"; false after saying why.
bool open_input(TArchiveFileStream& input) {
  if (input.open("#101")) return true;
  std::fprintf(stderr, "vlarc: cannot open %s: %s\n", archive_shown.c_str(), shown(input.error()).c_str());
  return false;
}

// ---------------------------------------------------------------------------
// l: the headers, walked with the reader alone.

std::string method_text(uint8_t method) {
  if (method == kMethodStored) return "stored";
  if (method > kMethodStored && method <= kMethodBest) return "m" + std::to_string(method - kMethodStored);
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", method);
  return buf;
}

std::string flags_text(const FileHeader& h) {
  std::string s;
  if (h.attr & kAttrDirectory) s += 'D';
  if (h.attr & kAttrVolumeLabel) s += 'V';
  if (h.flags & LHD_SOLID) s += 'S';
  if (h.flags & LHD_PASSWORD) s += 'E';
  if (h.flags & LHD_SPLIT_BEFORE) s += '<';
  if (h.flags & LHD_SPLIT_AFTER) s += '>';
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

int list_archive(TArchiveFileStream& input) {
  init_crc_table();
  archive_stream = &input;
  extract_result = EXTRACT_OK;
  OnErrorMessage = {print_reader_error, nullptr};
  if (!open_input(input)) return EXTRACT_NO_RESOURCE;
  if (!open_archive()) {
    release_search_buffer();
    std::fprintf(stderr, "vlarc: %s is not an archive\n", archive_shown.c_str());
    return EXTRACT_NOT_ARCHIVE;
  }
  input.seek(main_header.head_size - main_header_size, 1);

  std::printf("Archive %s%s\n", archive_shown.c_str(), solid ? " (solid)" : "");
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
                  flags_text(h).c_str(), shown(file_name).c_str());
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
  if (!input.error().empty()) {
    std::fprintf(stderr, "vlarc: cannot read %s: %s\n", archive_shown.c_str(), input.error().c_str());
    return EXTRACT_NO_RESOURCE;
  }
  if (extract_result == EXTRACT_BAD_HEADER) {
    std::fprintf(stderr, "vlarc: %s: damaged file header; the entries after it cannot be read\n",
                 archive_shown.c_str());
    return EXTRACT_BAD_HEADER;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// t and x: the extraction driver, followed entry by entry.

// An output for t that writes nothing and notes what the driver did.
class TTestOutput : public TDiscardStream {
 public:
  bool created = false;
  bool erased = false;
  bool create(const char* path) override {
    created = TDiscardStream::create(path);
    erased = false;
    return created;
  }
  void erase() override {
    erased = true;
    TDiscardStream::erase();
  }
};

struct Options {
  bool testing = false;
  bool flat = false;       // -e
  bool overwrite = false;  // -o
  std::string folder;      // x: DIR as given
  std::vector<std::string> names;
};

struct Run {
  Options options;
  std::string folder_shown;  // DIR with a separator, for messages
  bool show_progress = false;
  int last_percent = -1;
  int32_t result = EXTRACT_OK;  // the run's code: the last one any entry set
  unsigned entries = 0;
  unsigned failed = 0;
  std::vector<bool> name_used;        // per NAME: it selected an entry
  std::set<std::string> written_keys;  // targets this run has written

  // The entry in progress.
  bool have_entry = false;
  bool selected = false;
  std::string name;
  FileHeader header{};
  std::string refused;  // why the tool declined the entry ("" when it did not)
  std::string target;   // as shown
  std::string key;
};
Run run;
TTestOutput test_output;
TSafeOutput* file_output = nullptr;

void clear_progress() {
  // Blanks with spaces: not every console knows escapes.
  if (run.last_percent >= 0) std::fprintf(stderr, "\r%*s\r", static_cast<int>(shown(run.name).size() + 5), "");
  run.last_percent = -1;
}

// Why an entry's data is odd, added to a failure.
std::string notes(const FileHeader& h) {
  std::string s;
  if (h.flags & LHD_PASSWORD) s += " (encrypted, which this tool cannot decrypt)";
  if (h.flags & LHD_SPLIT_AFTER) s += " (continued in the next volume)";
  return s;
}

void report(const std::string& status, int32_t code) {
  ++run.entries;
  if (code != EXTRACT_OK) {
    run.result = code;
    ++run.failed;
  }
  std::printf("%s: %s\n", shown(run.name).c_str(), status.c_str());
  std::fflush(stdout);
}

std::string size_text(int64_t written, uint32_t expected) {
  return "size mismatch: " + std::to_string(written) + " of " + std::to_string(expected) + " bytes";
}

// Reports the entry in progress, with the result code it left behind.
void finish_entry() {
  if (!run.have_entry) return;
  run.have_entry = false;
  clear_progress();
  const int32_t code = extract_result;
  extract_result = EXTRACT_OK;
  // Codes that end the whole run belong to it, not to the entry.
  const bool entry_code = code == EXTRACT_BAD_VERSION || code == EXTRACT_BAD_CHECKSUM || code == EXTRACT_CANNOT_CREATE;
  if (code != EXTRACT_OK && !entry_code) run.result = code;
  if (!run.selected) {
    if (file_output) file_output->discard();
    return;
  }
  const FileHeader& h = run.header;
  const bool is_folder = (h.attr & kAttrDirectory) != 0;
  std::string status;
  int32_t result = EXTRACT_OK;
  if (code == EXTRACT_BAD_VERSION) {
    status = "unsupported version " + version_text(h.unp_ver);
    if (h.method != kMethodStored && h.unp_ver >= kMinUnpVer && h.unp_ver < kMinDecodableVer) status += " (compressed)";
    result = EXTRACT_BAD_VERSION;
  } else if (!run.refused.empty()) {
    status = "not written: " + run.refused;
    result = EXTRACT_CANNOT_CREATE;
  } else if (is_folder || (h.attr & kAttrVolumeLabel)) {
    status = is_folder ? "folder" : "volume label";
  } else if (run.options.testing) {
    if (code == EXTRACT_BAD_CHECKSUM || test_output.erased) {
      status = "CRC error" + notes(h);
      result = EXTRACT_BAD_CHECKSUM;
    } else if (test_output.size() != static_cast<int64_t>(h.unp_size)) {
      status = size_text(test_output.size(), h.unp_size) + notes(h);
      result = EXTRACT_BAD_CHECKSUM;
    } else {
      status = "OK";
    }
  } else {
    TSafeOutput& out = *file_output;
    bool exists = false;
    std::string why;
    if (!out.created()) {
      status = "cannot create " + shown(run.target) + ": " + shown(out.create_error());
      result = EXTRACT_CANNOT_CREATE;
    } else if (!out.write_error().empty()) {
      status = "write error, not written: " + shown(out.write_error());
      result = kWriteFailed;
    } else if (code == EXTRACT_BAD_CHECKSUM || out.erased()) {
      status = "CRC error, not written" + notes(h);
      result = EXTRACT_BAD_CHECKSUM;
    } else if (out.written() != static_cast<int64_t>(h.unp_size)) {
      status = size_text(out.written(), h.unp_size) + ", not written" + notes(h);
      result = EXTRACT_BAD_CHECKSUM;
    } else if (out.commit(run.options.overwrite, exists, why)) {
      status = "OK";
      run.written_keys.insert(run.key);
    } else if (exists) {
      status = "not written: the target exists (-o replaces it)";
      result = EXTRACT_CANNOT_CREATE;
    } else {
      status = "write error, not written: " + shown(why);
      result = kWriteFailed;
    }
    out.discard();
  }
  report(status, result);
}

// Reader complaints come between entries: the one before is reported first.
void print_reader_error(void*, const std::string& text) {
  finish_entry();
  std::fprintf(stderr, "vlarc: %s: %s\n", archive_shown.c_str(), shown(text).c_str());
}

bool select_entry(const std::string& name) {
  if (run.options.names.empty()) return true;
  bool any = false;
  for (size_t i = 0; i < run.options.names.size(); ++i) {
    if (name_matches(run.options.names[i], name)) {
      run.name_used[i] = true;
      any = true;
    }
  }
  return any;
}

void begin_entry(const std::string& archived_name) {
  finish_entry();
  run.have_entry = true;
  run.name = archived_name;
  run.header = file_header;
  run.refused.clear();
  run.target.clear();
  run.key.clear();
  run.selected = select_entry(archived_name);
}

// x: where the entry goes; an empty target declines it (code 11, which the
// tool reports or, for an entry not selected, drops).
std::string extract_target() {
  if (run.header.attr & kAttrVolumeLabel) return std::string();  // nothing to make
  std::vector<std::string> parts;
  std::string why;
  if (!split_entry_name(run.name, kWindowsNameRules, parts, why)) {
    run.refused = why;
    return std::string();
  }
  if (run.header.attr & kAttrDirectory) {
    if (!run.options.flat && !file_output->make_folders(parts, why)) run.refused = why;
    return std::string();
  }
  std::vector<std::string> folders;
  if (!run.options.flat) folders.assign(parts.begin(), parts.end() - 1);
  else parts.erase(parts.begin(), parts.end() - 1);
  run.key = target_key(parts, kWindowsNameRules);
  if (!run.options.overwrite && run.written_keys.count(run.key)) {
    run.refused = "an earlier entry of this archive was written to the same file (-o replaces it)";
    return std::string();
  }
  if (!file_output->prepare_file(folders, parts.back(), run.options.overwrite, why)) {
    run.refused = why == "the target exists" ? why + " (-o replaces it)" : why;
    return std::string();
  }
  std::string target = run.folder_shown;
  for (size_t i = 0; i < parts.size(); ++i) target += (i ? "/" : "") + parts[i];
  return target;
}

void target_hook(void*, const std::string& archived_name, std::string& target) {
  begin_entry(archived_name);
  target.clear();
  if (!run.selected) return;
  if (run.options.testing) {
    target = archived_name.empty() ? "-" : archived_name;
  } else {
    target = extract_target();
  }
  run.target = target;
}

// An entry continued from a previous volume: its first part is elsewhere.
void pass_over_hook(void*, const std::string& archived_name) {
  begin_entry(archived_name);
  run.have_entry = false;
  if (!run.selected) return;
  report(std::string("continued from a previous volume, not ") + (run.options.testing ? "tested" : "extracted"),
         EXTRACT_CANNOT_CREATE);
}

void progress_hook(void*, int32_t done, int32_t total) {
  if (!run.show_progress || total <= 0 || !run.selected) return;
  const int percent = static_cast<int>(static_cast<int64_t>(done) * 100 / total);
  if (percent == run.last_percent) return;
  run.last_percent = percent;
  std::fprintf(stderr, "\r%3d%% %s", percent, shown(run.name).c_str());
  std::fflush(stderr);
}

int run_driver(TArchiveFileStream& input, const Options& options) {
  run = Run();
  run.options = options;
  run.name_used.assign(options.names.size(), false);
  run.show_progress = VLARC_ISATTY(2) != 0;
  TSafeOutput output;
  if (!options.testing) {
    std::string why;
    if (!output.set_root(options.folder, why)) {
      std::fprintf(stderr, "vlarc: cannot use folder %s: %s\n", shown(options.folder).c_str(), shown(why).c_str());
      return EXTRACT_CANNOT_CREATE;
    }
    run.folder_shown = options.folder;
    const char last = run.folder_shown.back();
    if (last != '/' && last != '\\') run.folder_shown += '/';
    file_output = &output;
  }

  init_crc_table();
  archive_stream = &input;
  output_stream = options.testing ? static_cast<TOutputStream*>(&test_output) : &output;
  OnGetTargetPath = {target_hook, nullptr};
  OnPassOver = {pass_over_hook, nullptr};
  OnProgress = {progress_hook, nullptr};
  OnErrorMessage = {print_reader_error, nullptr};
  extract_result = EXTRACT_OK;

  extract_archive();
  finish_entry();
  if (extract_result != EXTRACT_OK) run.result = extract_result;

  OnGetTargetPath = {};
  OnPassOver = {};
  OnProgress = {};
  OnErrorMessage = {};
  input.close();
  output.discard();
  test_output.close();
  archive_stream = nullptr;
  output_stream = nullptr;
  file_output = nullptr;
  release_buffers();

  switch (run.result) {
    case EXTRACT_NO_RESOURCE:
      std::fprintf(stderr, "vlarc: cannot open %s: %s\n", archive_shown.c_str(), shown(input.error()).c_str());
      return run.result;
    case EXTRACT_NOT_ARCHIVE:
      std::fprintf(stderr, "vlarc: %s is not an archive\n", archive_shown.c_str());
      return run.result;
    case EXTRACT_NO_MEMORY:
      std::fprintf(stderr, "vlarc: out of memory\n");
      return run.result;
    case EXTRACT_BAD_HEADER:
      std::fprintf(stderr, "vlarc: %s: damaged file header; the entries after it cannot be read\n",
                   archive_shown.c_str());
      break;
    default:
      break;
  }
  if (!input.error().empty()) {
    std::fprintf(stderr, "vlarc: cannot read %s: %s\n", archive_shown.c_str(), shown(input.error()).c_str());
    run.result = EXTRACT_NO_RESOURCE;
  }
  for (size_t i = 0; i < options.names.size(); ++i) {
    if (run.name_used[i]) continue;
    std::fprintf(stderr, "vlarc: no entry matches %s\n", shown(options.names[i]).c_str());
    run.result = EXTRACT_CANNOT_CREATE;
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
  if (command == "--help" || command == "-h") {
    std::fputs(kUsage, stdout);
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (command == "a") {
#ifdef VLARC_HAVE_ADD
    return vlarc_add(argc - 1, argv + 1);
#else
    std::fputs("vlarc: packing is not part of this build\n", stderr);
    return kUsageStatus;
#endif
  }
  Options options;
  int i = 2;
  if (command == "x") {
    for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
      const std::string option = argv[i];
      if (option == "--") {
        ++i;
        break;
      }
      if (option == "-e") {
        options.flat = true;
      } else if (option == "-o") {
        options.overwrite = true;
      } else {
        std::fprintf(stderr, "vlarc: unknown option %s\n", shown(option).c_str());
        return usage();
      }
    }
    if (argc - i < 2 || argv[i + 1][0] == '\0') return usage();
    options.folder = argv[i + 1];
    options.names.assign(argv + i + 2, argv + argc);
  } else if (command == "l" || command == "t") {
    if (argc != 3) return usage();
    options.testing = true;
  } else {
    return usage();
  }

  const std::string path = argv[i];
  archive_shown = shown(path);
  TArchiveFileStream input(path);
  if (command == "l") return list_archive(input);
  // The driver opens the archive itself; a file that cannot be opened is
  // reported here, with its reason.
  if (!open_input(input)) return EXTRACT_NO_RESOURCE;
  input.close();
  return run_driver(input, options);
}
