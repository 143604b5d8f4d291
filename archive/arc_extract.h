// The extraction driver: writes the entries of the archive resource "#101"
// to the paths its caller's hook gives, checks their CRC-32, stamps and
// closes them, and ends with one result code. Also the per-entry state that
// the driver sets up and the decompressor consumes.
#pragma once

#include <cstdint>
#include <string>

#include "archive/arc_format.h"

// Result codes of one run (the last one set wins; 4 to 7 are unused).
enum : int32_t {
  EXTRACT_OK = 0,
  EXTRACT_BAD_VERSION = 1,      // unp_ver outside 13..20 (or an undecodable 13..15 entry)
  EXTRACT_NO_RESOURCE = 2,      // "#101" cannot be opened; the run ends
  EXTRACT_BAD_CHECKSUM = 3,     // the written file is deleted; the run goes on
  EXTRACT_NO_MEMORY = 8,        // window_buffer cannot be allocated; the run ends
  EXTRACT_NOT_ARCHIVE = 9,      // open_archive found nothing; the run ends
  EXTRACT_BAD_HEADER = 10,      // a file header's CRC is wrong; the run ends
  EXTRACT_CANNOT_CREATE = 11,   // empty target or file not created; the run goes on
};

extern int32_t extract_result;

// Hooks: method pointers (a function and the object it is called with),
// each optional and tested before every call.
struct TGetTargetPathHook {
  void (*code)(void* object, const std::string& archived_name, std::string& target) = nullptr;
  void* object = nullptr;
};
struct TProgressHook {
  void (*code)(void* object, int32_t done, int32_t total) = nullptr;
  void* object = nullptr;
};
struct TMessageHook {
  void (*code)(void* object, const std::string& text) = nullptr;
  void* object = nullptr;
};

extern TGetTargetPathHook OnGetTargetPath;
extern TProgressHook OnProgress;
extern TMessageHook OnMessage;
extern TMessageHook OnErrorMessage;
// Told the archived name of an entry that is passed over without asking for
// its target: a part continued from a previous volume. For tools that
// account for every entry; the setup leaves it unset.
extern TMessageHook OnPassOver;

// Per-entry state, set by the driver before each decoded entry.
extern int32_t packed_left;
extern int32_t unpacked_left;
extern uint32_t packed_read_total;
extern uint32_t unpacked_write_total;
extern uint32_t entry_checksum;
extern bool test_only;
extern bool skip_checksum;
extern uint8_t* window_buffer;  // kWindowSize bytes, held for one run

void extract_archive();
// OnProgress(unp_size - left, unp_size) when the hook is installed.
void report_progress(int32_t left);
// Releases window_buffer and the search buffer when still held.
void release_buffers();
// The running program's folder (with its separator) + the name part of the
// archived name. On the host: the current folder.
std::string GetDefaultTarget(const std::string& archived_name);
// Sends text to OnErrorMessage when installed (used by the reader).
void report_error(const std::string& text);
