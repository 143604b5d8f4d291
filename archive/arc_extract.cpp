// The extraction driver: walks the file headers of the archive resource,
// asks the caller where each entry goes, lets the stored copy or the
// decompressor fill the file, checks its CRC-32, stamps and closes it.
//
// Per entry the order is fixed: position at the packed data, ask for the
// target, check version and attributes, create the file, announce it, set
// up the decoder state and report 0 progress, decode, move to the next
// block, compare the checksum, stamp the times, close, delete on a mismatch.
//
// Solid archives carry the decoder state from one entry to the next, so an
// entry that is not written (declined by the caller, or its file cannot be
// created) is still decoded, without output and without a checksum, to keep
// that state right for the entries after it.
//
// Every entry, whatever happened to it, is left by seeking to the block
// after it: packed data of an entry is never parsed as headers, whether the
// decoder stopped early, the entry was passed over, or it is a directory.

#include "archive/arc_extract.h"

#include <cstdlib>
#include <string>

#include "archive/arc_block.h"
#include "archive/archive_class.h"
#include "unpack/arc_unpack.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

int32_t extract_result = EXTRACT_OK;

TGetTargetPathHook OnGetTargetPath;
TProgressHook OnProgress;
TMessageHook OnMessage;
TMessageHook OnErrorMessage;
TMessageHook OnPassOver;

int32_t packed_left = 0;
int32_t unpacked_left = 0;
uint32_t packed_read_total = 0;
uint32_t unpacked_write_total = 0;
uint32_t entry_checksum = 0;
bool test_only = false;
bool skip_checksum = false;
uint8_t* window_buffer = nullptr;

namespace {

// Attribute bits that make an entry no file: directory, volume label.
constexpr uint32_t kAttrNoFile = kAttrDirectory | kAttrVolumeLabel;

// The driver's per-entry state.
struct EntryState {
  std::string target_path;
  bool skip = false;             // decode without checksum and without a file
  bool extract = false;          // the entry is to be decoded
  bool checksum_failed = false;
};
EntryState entry;

void send_message(const std::string& text) {
  if (OnMessage.code) OnMessage.code(OnMessage.object, text);
}

// Positions the archive at offset. A block that claims more bytes than the
// archive holds cannot be sought past; the stream then goes to the end, so
// the next header read finds nothing (and the reader reports the truncation)
// instead of parsing whatever lies at the current position again.
void move_to(int32_t offset) {
  if (archive_stream->seek(offset, 0) != kSeekOk) archive_stream->seek(0, 2);
}

bool is_separator(char c) { return c == '/' || c == '\\' || c == ':'; }

// The text after the last separator of an archived name; "." and ".." name
// no file of their own and give an empty result, like a name ending in a
// separator.
std::string name_part(const std::string& archived_name) {
  size_t start = 0;
  for (size_t i = 0; i < archived_name.size(); ++i) {
    if (is_separator(archived_name[i])) start = i + 1;
  }
  std::string part = archived_name.substr(start);
  if (part == "." || part == "..") part.clear();
  return part;
}

void ask_target_path() {
  entry.target_path.clear();
  if (OnGetTargetPath.code) {
    OnGetTargetPath.code(OnGetTargetPath.object, file_name, entry.target_path);
  } else {
    entry.target_path = GetDefaultTarget(file_name);
  }
}

// Sets up the decoder's state for the current entry and runs the stored
// copy or the decoder over it.
void decode_entry() {
  packed_read_total = 0;
  unpacked_write_total = 0;
  entry_checksum = arc_format == 1 ? 0 : 0xFFFFFFFFu;
  packed_left = static_cast<int32_t>(file_header.pack_size);
  unpacked_left = static_cast<int32_t>(file_header.unp_size);
  report_progress(unpacked_left);
  skip_checksum = entry.skip;
  if (file_header.method == kMethodStored) {
    copy_stored_entry();
  } else {
    unpack_entry(window_buffer, (file_header.flags & LHD_SOLID) != 0);
  }
}

bool checksum_sound() {
  if (arc_format == 2) return entry_checksum == ~file_header.file_crc;
  if (arc_format == 1) return entry_checksum == file_header.file_crc;
  return false;
}

// One file header, read by read_block and not a sub-block.
void process_entry() {
  // The entry's packed data ends where the next block starts.
  archive_stream->seek(static_cast<int32_t>(static_cast<uint32_t>(next_block) - file_header.pack_size), 0);

  test_only = false;
  entry.extract = false;
  entry.checksum_failed = false;
  entry.skip = false;

  // Compressed data of versions up to 1.5 has no decoder here: such an entry
  // is never decoded, not even without output.
  const uint8_t ver = file_header.unp_ver;
  const bool decodable = file_header.method == kMethodStored || ver >= kMinDecodableVer;

  // A part continued from a previous volume cannot be written on its own;
  // the caller is not asked about it.
  const bool continued = (file_header.flags & LHD_SPLIT_BEFORE) != 0;
  if (continued && OnPassOver.code) OnPassOver.code(OnPassOver.object, file_name);
  if (!continued) {
    ask_target_path();
    entry.extract = true;
    if (ver < kMinUnpVer || ver > kMaxUnpVer || !decodable) {
      entry.extract = false;
      extract_result = EXTRACT_BAD_VERSION;
    }
    if (file_header.attr & kAttrNoFile) {
      // Directories and volume labels create nothing; data they claim is
      // passed over with them.
      move_to(next_block);
      return;
    }
    if (entry.extract) {
      if (entry.target_path.empty() || !output_stream->create(entry.target_path.c_str())) {
        extract_result = EXTRACT_CANNOT_CREATE;
        entry.extract = false;
      }
    }
  }
  if (!entry.extract && solid && decodable) {
    entry.skip = true;
    test_only = true;
    entry.extract = true;
  }
  if (!entry.extract) {
    move_to(next_block);
    return;
  }

  send_message(entry.skip ? "skipped " + file_name : "extracting " + entry.target_path);
  decode_entry();

  move_to(next_block);
  if (!entry.skip && !checksum_sound()) {
    extract_result = EXTRACT_BAD_CHECKSUM;
    entry.checksum_failed = true;
  }

  if (test_only) {
    test_only = false;  // no file was opened for this entry
    return;
  }
  output_stream->set_times();
  output_stream->close();
  if (entry.checksum_failed) output_stream->erase();
}

void release_window() {
  std::free(window_buffer);
  window_buffer = nullptr;
}

}  // namespace

void extract_archive() {
  release_window();
  if (!archive_stream->open("#101")) {
    extract_result = EXTRACT_NO_RESOURCE;
    return;
  }
  if (!open_archive()) {
    extract_result = EXTRACT_NOT_ARCHIVE;
    archive_stream->close();
    return;
  }
  window_buffer = static_cast<uint8_t*>(std::malloc(kWindowSize));
  if (!window_buffer) {
    extract_result = EXTRACT_NO_MEMORY;
    archive_stream->close();
    return;
  }
  reset_unpack_state();
  archive_stream->seek(main_header.head_size - main_header_size, 1);

  // read_block ends the walk at the archive's end, at a damaged header
  // (setting EXTRACT_BAD_HEADER) or at a block that does not move forward.
  while (read_block(LONG_BLOCK | FILE_HEAD) > 0) {
    if (block_header.head_type == SUB_HEAD) {
      move_to(next_block);
      continue;
    }
    process_entry();
  }

  release_window();
  archive_stream->close();
}

void report_progress(int32_t left) {
  if (!OnProgress.code) return;
  const int32_t total = static_cast<int32_t>(file_header.unp_size);
  OnProgress.code(OnProgress.object, static_cast<int32_t>(static_cast<uint32_t>(total) - static_cast<uint32_t>(left)),
                  total);
}

void release_buffers() {
  release_window();
  release_search_buffer();
}

std::string GetDefaultTarget(const std::string& archived_name) {
  const std::string part = name_part(archived_name);
  if (part.empty()) return std::string();
  std::string folder;
#ifdef _WIN32
  char path[MAX_PATH + 1] = {};
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n > 0 && n < MAX_PATH) {
    folder.assign(path, n);
    size_t cut = folder.find_last_of("\\/:");
    folder.erase(cut == std::string::npos ? 0 : cut + 1);
  }
#else
  char path[4096];
  if (getcwd(path, sizeof path)) {
    folder = path;
    if (folder.empty() || folder.back() != '/') folder += '/';
  }
#endif
  return folder + part;
}

void report_error(const std::string& text) {
  if (OnErrorMessage.code) OnErrorMessage.code(OnErrorMessage.object, text);
}
