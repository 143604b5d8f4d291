// The encoder for unpack version 20 and the writer of the version 2.0
// archive container. It is the exact inverse of the decoder in arc_unpack:
// every stream it writes is shaped to that decoder's rules (its length
// adjustments, its end-of-entry handling, its table-block layout), so the
// encoder keeps a model of the decoder's state in TPackState.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Container writer.

constexpr uint8_t kPackUnpVer = 20;
constexpr uint8_t kMethodStored = 0x30;
constexpr uint8_t kMethodBest = 0x35;
constexpr uint16_t kDictFlags1M = 0x0080;     // dictionary bits for the 1 MiB window
constexpr uint32_t kMaxEntrySize = 0x7FFFFFFFu;  // the decoder counts in signed 32 bits
constexpr size_t kMaxNameSize = 259;          // must fit a MAX_PATH target path

// The 7-byte marker and the 13-byte main header (flags: 0x08 solid).
void pack_main_header(std::vector<uint8_t>& out, bool solid);

struct TPackEntryInfo {
  std::string name;        // stored byte for byte (backslash separators)
  uint32_t unp_size = 0;
  uint32_t file_crc = 0;   // CRC-32 of the unpacked data (complemented, IEEE)
  uint32_t file_time = 0;  // DOS date (high word) and time (low word)
  uint32_t attr = 0x20;
  uint8_t method = kMethodStored;
  uint16_t flags = 0;      // LHD_SOLID and friends; long block and dictionary bits are added
};

// Appends one file header (with its CRC) for packed data of pack_size bytes.
void pack_file_header(std::vector<uint8_t>& out, const TPackEntryInfo& info, uint32_t pack_size);

// CRC-32 of data as stored in file headers (builds crc_table when needed).
uint32_t pack_crc32(const uint8_t* data, size_t size);

// DOS date/time of a Unix time, in local time.
uint32_t pack_dos_time(int64_t unix_time);

// ---------------------------------------------------------------------------
// Encoder.

// What the encoder emitted, for tests and tuning. Cumulative until cleared.
struct TPackStats {
  uint64_t literals = 0;
  uint64_t repeat_last = 0;      // symbol 256
  uint64_t old_distance[4] = {}; // symbols 257..260
  uint64_t short_copies = 0;     // symbols 261..268
  uint64_t new_copies = 0;       // symbols 270..297
  uint64_t table_blocks = 0;     // every table block written
  uint64_t table_keep = 0;       // ...of which coded as changes (second bit 1)
  uint64_t lz_blocks = 0;
  uint64_t audio_blocks[5] = {}; // by channel count 1..4
  uint64_t audio_bytes = 0;
  uint64_t cl_runs[3] = {};      // code-length symbols 16, 17, 18
  uint64_t far_copies = 0;       // copies at distance >= 0x40000
};
extern TPackStats pack_stats;

// The decoder's state as the encoder models it. Solid entries continue it;
// a non-solid entry starts from pack_state_reset.
struct TAudioModel {
  int32_t coef[5];
  int32_t hist[4];
  int32_t last_delta;
  uint32_t error_sum[11];
  uint32_t byte_count;
  int32_t last_byte;
};

struct TPackState {
  // Copy state.
  uint32_t old_distances[4];
  uint32_t old_distance_index;
  uint32_t last_distance;
  uint32_t last_length;
  // Tables and mode.
  uint8_t previous_lengths[1028];
  uint32_t previous_count;  // leading previous_lengths the decoder is known to hold
  bool audio_mode;
  uint32_t channel_count;
  uint32_t current_channel;
  int32_t channel_delta;
  TAudioModel audio[4];
  uint8_t main_lengths[298];
  uint8_t distance_lengths[48];
  uint8_t repeat_lengths[28];
  uint8_t audio_lengths[4][257];
  bool have_tables;          // a table block has been written in this run
  // The last 1 MiB of output, oldest first: what later solid entries may copy from.
  std::vector<uint8_t> history;
};

void pack_state_reset(TPackState& state);

// Compresses one entry at level 1..5 into out (replaced). solid: the entry
// continues the state left by the previous compressed entry (the decoder
// reads no table block at its start, so such an entry must follow one that
// pack_entry compressed with this state); otherwise the state is reset.
// Updates state to what the decoder holds after the entry. An empty entry
// gives no bytes. The encoder keeps its working tables in module-level
// state: one entry at a time per process.
void pack_entry(TPackState& state, const uint8_t* data, size_t size, bool solid, int level,
                std::vector<uint8_t>& out);

// One archive being written: decides per entry between compressing and
// storing, and keeps the decoder model across the entries of a solid archive.
// In a solid archive every entry after the first carries the solid flag,
// except a compressed entry that no compressed entry precedes (the decoder
// has no tables to continue with, so it starts afresh); an entry that
// follows a stored one continues the decoder's state but copies nothing from
// before itself, since a stored copy bypasses the decoder's window.
struct TPackRun {
  TPackState state;
  TPackState backup;
  int level = 3;
  bool solid = false;
  bool chain = false;  // the decoder state continues from the previous entry
  size_t count = 0;
  std::vector<uint8_t> packed;
};

void pack_run_start(TPackRun& run, int level, bool solid);
// Fills info's sizes, CRC, method and flags (name, time and attributes are
// the caller's) and returns the bytes that follow the header; body_size gets
// their count.
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

// Canonical Huffman code lengths limited to max_bits for freq[0..n).
// Used symbols get 1..max_bits; a lone used symbol gets length 1.
void pack_huffman_lengths(const uint32_t* freq, int n, int max_bits, uint8_t* lengths);
