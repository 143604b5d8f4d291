// The writer of the version 2.0 archive container: marker, main header, file
// headers, and one archive's run of entries through the encoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/arc_format.h"
#include "pack/encoder.h"

// ---------------------------------------------------------------------------
// Container writer.

constexpr uint32_t kMaxEntrySize = 0x7FFFFFFFu;  // the decoder counts in signed 32 bits
constexpr size_t kMaxNameSize = 259;          // must fit a MAX_PATH target path

// The 7-byte marker and the 13-byte main header (flags: 0x08 solid).
void pack_main_header(std::vector<uint8_t>& out, bool solid);

struct TPackEntryInfo {
  std::string name;        // stored byte for byte (backslash separators)
  uint32_t unp_size = 0;
  uint32_t file_crc = 0;   // CRC-32 of the unpacked data (complemented, IEEE)
  uint32_t file_time = 0;  // DOS date (high word) and time (low word)
  uint32_t attr = kAttrArchive;
  uint8_t method = kMethodStored;
  uint16_t flags = 0;      // LHD_SOLID and friends; long block and dictionary bits are added
};

// Appends one file header (with its CRC) for packed data of pack_size bytes.
void pack_file_header(std::vector<uint8_t>& out, const TPackEntryInfo& info, uint32_t pack_size);

// CRC-32 of data as stored in file headers (builds crc_table when needed).
uint32_t pack_crc32(const uint8_t* data, size_t size);

// DOS date/time of a Unix time, in local time.
uint32_t pack_dos_time(int64_t unix_time);

// One archive being written: decides per entry between compressing and
// storing, and keeps the decoder model across the entries of a solid archive.
// In a solid archive every entry after the first carries the solid flag,
// except a compressed entry that no compressed entry precedes (the decoder
// has no tables to continue with, so it starts afresh); an entry that
// follows a stored one continues the decoder's state but copies nothing from
// before itself, since a stored copy bypasses the decoder's window.
struct TPackRun {
  Encoder encoder;
  TPackState state;
  TPackState backup;
  int level = 3;
  bool solid = false;
  bool chain = false;  // the decoder state continues from the previous entry
  size_t count = 0;
  std::vector<uint8_t> packed;
};

void pack_run_start(TPackRun& run, int level, bool solid);

enum class PackAddResult { added, read_failed, write_failed };

// Writes one entry, its header and its data, at out's position, reading its
// size bytes from in (once to compress it and, when that does not make it
// smaller, once more to store it). Fills info's sizes, CRC, method and flags
// (name, time and attributes are the caller's). On success out stands after
// the entry; on failure what was written is to be thrown away. May throw
// std::bad_alloc.
PackAddResult pack_run_add(TPackRun& run, ByteSource& in, uint64_t size, TPackEntryInfo& info, ByteSink& out);

// pack_run_add for an entry in memory, for callers that write the header
// themselves: returns the bytes that follow the header (kept in run.packed);
// body_size gets their count.
const uint8_t* pack_run_entry(TPackRun& run, const uint8_t* data, size_t size, TPackEntryInfo& info,
                              uint32_t& body_size);

// ---------------------------------------------------------------------------
// Whole archives in memory (tests, fuzzing, benchmarks).

struct TPackFile {
  std::string name;
  std::vector<uint8_t> data;
  uint32_t file_time = 0;
};

// Builds a complete archive: level 0 stores, 1..5 compress (an entry whose
// compressed form is not smaller is stored).
void pack_archive(const std::vector<TPackFile>& files, int level, bool solid,
                  std::vector<uint8_t>& out);
