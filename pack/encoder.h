// The encoder for unpack version 20. It is the exact inverse of the decoder
// in unpack/: every stream it writes is shaped to that decoder's rules (its
// length adjustments, its end-of-entry handling, its table-block layout), so
// the encoder keeps a model of the decoder's state in TPackState.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "archive/arc_format.h"
#include "pack/byte_stream.h"
#include "unpack/arc_audio.h"

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
struct TPackState {
  // Copy state.
  uint32_t old_distances[4];
  uint32_t old_distance_index;
  uint32_t last_distance;
  uint32_t last_length;
  // Tables and mode.
  uint8_t previous_lengths[kMaxLengths];
  uint32_t previous_count;  // leading previous_lengths the decoder is known to hold
  bool audio_mode;
  uint32_t channel_count;
  uint32_t current_channel;
  int32_t channel_delta;
  AudioChannelState audio[kMaxChannels];
  uint8_t main_lengths[kMainSymbols];
  uint8_t distance_lengths[kDistanceSymbols];
  uint8_t repeat_lengths[kRepeatSymbols];
  uint8_t audio_lengths[kMaxChannels][kAudioSymbols];
  bool have_tables;          // a table block has been written in this run
  // The last 1 MiB of output, oldest first: what later solid entries may copy from.
  std::vector<uint8_t> history;
};

void pack_state_reset(TPackState& state);

// One encoder: it owns every piece of scratch an entry needs (the input
// buffer, the match finder, the parser's nodes, the pending blocks, the
// audio trials), keeps it from entry to entry, and holds its memory to a
// bound that does not depend on the entry's size.
class Encoder {
 public:
  enum class Result {
    packed,       // the entry is written
    not_smaller,  // given up: the packed form would not be smaller than the entry
    read_failed,  // the source gave fewer bytes than the entry's size
    write_failed, // the sink refused a write
  };

  Encoder();
  ~Encoder();
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  // Compresses the next size bytes of in at level 1..5 and writes them to
  // out; written gets the bytes written. Gives up (not_smaller) once the
  // packed form reaches limit bytes. solid: the entry continues the
  // state left by the previous compressed entry (the decoder reads no table
  // block at its start, so such an entry must follow one that was
  // compressed with this state); otherwise the state is reset. On packed,
  // state is what the decoder holds after the entry; on any other result it
  // is unspecified. An empty entry gives no bytes. May throw std::bad_alloc.
  Result pack(TPackState& state, ByteSource& in, uint64_t size, bool solid, int level, ByteSink& out,
              uint64_t limit, uint64_t& written);

 private:
  struct Impl;
  Impl* impl_;
};

// Encoder::pack for an entry in memory, with an encoder of its own: the
// packed bytes replace out, whatever their size.
void pack_entry(TPackState& state, const uint8_t* data, size_t size, bool solid, int level,
                std::vector<uint8_t>& out);
