// The encoder for unpack version 20. It is the exact inverse of the decoder
// in unpack/: every stream it writes is shaped to that decoder's rules (its
// length adjustments, its end-of-entry handling, its table-block layout), so
// the encoder keeps a model of the decoder's state in TPackState.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "archive/arc_format.h"
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

// Compresses one entry at level 1..5 into out (replaced). solid: the entry
// continues the state left by the previous compressed entry (the decoder
// reads no table block at its start, so such an entry must follow one that
// pack_entry compressed with this state); otherwise the state is reset.
// Updates state to what the decoder holds after the entry. An empty entry
// gives no bytes. The encoder keeps its working tables in module-level
// state: one entry at a time per process.
void pack_entry(TPackState& state, const uint8_t* data, size_t size, bool solid, int level,
                std::vector<uint8_t>& out);
