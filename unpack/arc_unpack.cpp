// The LZ decoder of unpack version 20, the stored-entry copy, and the output
// path with its running checksum.
//
// Main alphabet (298 symbols):
//     0-255    literal byte
//     256      repeat the last copy (same length, same distance)
//     257-260  copy at the 1st..4th most recent distance; length from the
//              repeat-length alphabet
//     261-268  copy of length 2 at a short distance (slot = symbol - 261)
//     269      a table block follows
//     270-297  new copy: length slot = symbol - 270, then a distance slot
// Every distance is base + 1 + extra bits (1 to 1,048,576). Far copies are
// longer by construction: a new copy gains 1 at distance 0x2000 or more and
// another at 0x40000 or more; an old-distance copy gains 1 each at 0x101,
// 0x2000 and 0x40000 or more.
//
// Output collects in a 1 MiB window (a power of two, so every wrap is a
// mask) and leaves it in large pieces: a flush happens when fewer than 270
// bytes of the window are free, and no step adds more than 260.

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "archive/arc_block.h"
#include "archive/arc_checksum.h"
#include "archive/arc_extract.h"
#include "archive/archive_class.h"
#include "unpack/arc_audio.h"
#include "unpack/arc_unpack_internal.h"

TUnpackState unpack_state;
bool unpack_step_by_step = false;

namespace {

// A flush is due when fewer than this many window bytes are free.
constexpr uint32_t kFlushMargin = 270;
// The most bytes one LZ step produces: the longest length slot with all its
// extra bits set and the largest distance bonus.
constexpr uint32_t kMaxStep = 260;
// The stored copy's transfer size.
constexpr int32_t kStoredChunk = 0x7F00;

// unpacked_left is a signed 32-bit count that the loop drives below zero;
// this keeps the arithmetic defined for sizes near the ends of its range.
inline void lower_unpacked_left(uint32_t n) {
  unpacked_left = int32_t(uint32_t(unpacked_left) - n);
}

}  // namespace

void reset_unpack_state() { std::memset(&unpack_state, 0, sizeof unpack_state); }

int32_t write_unpacked(const uint8_t* buffer, int32_t count) {
  if (count < 0) count = 0;
  int32_t written = count;
  if (!test_only) {
    written = output_stream->write(buffer, count);
    // Never trust a stream to report more than it was given.
    if (written < 0) written = 0;
    if (written > count) written = count;
  }
  unpacked_write_total += uint32_t(written);
  if (!skip_checksum)
    entry_checksum = update_checksum(entry_checksum, buffer, size_t(written), arc_format == 1 ? 1 : 2);
  return written;
}

void copy_stored_entry() {
  for (;;) {
    int32_t n = read_packed(window_buffer, kStoredChunk);
    if (n == 0) break;
    // Bytes past the entry's size are read but not written.
    if (unpacked_left < n) n = unpacked_left < 0 ? 0 : unpacked_left;
    write_unpacked(window_buffer, n);
    if (unpacked_left >= 0) unpacked_left -= n;
  }
}

void reset_decoder(bool solid) {
  TUnpackState& s = unpack_state;
  s.input_pos = 0;
  s.input_bit = 0;
  if (solid) return;
  s.channel_delta = 0;
  s.current_channel = 0;
  std::memset(s.channels, 0, sizeof s.channels);
  std::memset(s.old_distances, 0, sizeof s.old_distances);
  s.old_distance_index = 0;
  s.last_distance = 0;
  s.last_length = 0;
  // A copy that reaches back before the start of the entry reads zeros.
  std::memset(s.window, 0, kWindowSize);
  std::memset(s.previous_lengths, 0, sizeof s.previous_lengths);
  s.window_pos = 0;
  s.write_pos = 0;
}

namespace {

// Moves of 16, 8 and 4 bytes: all source bytes are read before any is
// written.
inline void move8(uint8_t* out, const uint8_t* in) {
  uint64_t v;
  std::memcpy(&v, in, 8);
  std::memcpy(out, &v, 8);
}
inline void move16(uint8_t* out, const uint8_t* in) {
  uint8_t v[16];
  std::memcpy(v, in, 16);
  std::memcpy(out, v, 16);
}
inline void move4(uint8_t* out, const uint8_t* in) {
  uint32_t v;
  std::memcpy(&v, in, 4);
  std::memcpy(out, &v, 4);
}

// Copies length bytes from distance back to window position dst and returns
// the position after them. The copy means one byte at a time, in order, so
// that a distance shorter than the length repeats the last `distance` bytes,
// and each byte wraps on its own. Where neither stretch wraps, wider moves
// give the same bytes.
inline uint32_t copy_bytes(uint8_t* window, uint32_t dst, uint32_t length, uint32_t distance) {
  uint32_t src = (dst - distance) & kWindowMask;
  if (dst + length <= kWindowSize && src + length <= kWindowSize) {
    uint8_t* out = window + dst;
    const uint8_t* in = window + src;
    if (src < dst && distance >= 8 && length <= 16) {
      // Short copies, the common case, as two moves that may overlap each
      // other: the second reads at most 8 bytes back from its end, which
      // the first has already made final.
      if (length >= 8) {
        move8(out, in);
        move8(out + length - 8, in + length - 8);
      } else if (length >= 4) {
        move4(out, in);
        move4(out + length - 4, in + length - 4);
      } else {
        for (uint32_t k = 0; k < length; ++k) out[k] = in[k];
      }
    } else if (src < dst && distance >= 16) {
      // Longer copies from at least 16 bytes back: sixteen bytes a time,
      // the last move overlapping the one before it; every byte a move
      // reads lies 16 or more bytes before the move's own, so is final.
      uint32_t left = length;
      for (; left > 16; left -= 16, in += 16, out += 16) move16(out, in);
      move16(out + left - 16, in + left - 16);
    } else if (distance >= 8 || src > dst) {
      // Eight bytes a time: a chunk never reads what it writes itself, and
      // reading ahead of the writes (src > dst) sees the old bytes as the
      // byte loop would.
      uint32_t left = length;
      for (; left >= 8; left -= 8, in += 8, out += 8) move8(out, in);
      for (; left > 0; --left) *out++ = *in++;
    } else if (distance == 1) {
      std::memset(out, in[0], length);
    } else if (src != dst) {
      for (uint32_t k = 0; k < length; ++k) out[k] = in[k];
    }
    // src == dst: a distance of 0 (or the whole window) leaves the bytes.
    return (dst + length) & kWindowMask;
  }
  uint32_t from = src;
  for (uint32_t k = 0; k < length; ++k) {
    window[dst] = window[from];
    dst = (dst + 1) & kWindowMask;
    from = (from + 1) & kWindowMask;
  }
  return dst;
}

// Enters a copy into the ring and as the last copy.
inline void note_copy(TUnpackState& s, uint32_t length, uint32_t distance) {
  s.old_distances[s.old_distance_index & 3] = distance;
  ++s.old_distance_index;
  s.last_distance = distance;
  s.last_length = length;
}

}  // namespace

void copy_match(uint32_t length, uint32_t distance) {
  TUnpackState& s = unpack_state;
  note_copy(s, length, distance);
  lower_unpacked_left(length);
  s.window_pos = copy_bytes(s.window, s.window_pos & kWindowMask, length, distance);
}

void flush_window() {
  TUnpackState& s = unpack_state;
  if (s.window_pos < s.write_pos) {
    write_unpacked(s.window + s.write_pos, int32_t(kWindowSize - s.write_pos));
    write_unpacked(s.window, int32_t(s.window_pos));
  } else {
    write_unpacked(s.window + s.write_pos, int32_t(s.window_pos - s.write_pos));
  }
  s.write_pos = s.window_pos;
}

void read_trailing_tables() {
  // The entry's data may end with the announcement of the tables that the
  // next entry of a solid run starts with. Only read when enough real bytes
  // are left to hold the symbol.
  TUnpackState& s = unpack_state;
  if (s.input_top < s.input_pos + 5) return;
  if (s.audio_mode) {
    if (decode_symbol(s.audio_tables[s.current_channel]) == 256) read_tables();
  } else {
    if (decode_symbol(s.main_table) == 269) read_tables();
  }
}

namespace {

// How a run of steps in one mode ended: the entry is complete, a table
// block switched the mode, or the reader ran off the data.
enum class Run { done, switched, overrun };

// The packed position (in input_buffer terms) past which the reader has run
// off the data by more than the margin.
inline int64_t overrun_limit(const TUnpackState& s) {
  return int64_t(s.input_end + kOverrunMargin) - int64_t(s.input_base);
}

// Runs LZ steps until the entry is complete, a table block switches to
// multimedia mode, or the reader runs off the data. The same steps as the
// step-by-step definition, with the bit reader, the window position and the
// byte count held in locals: writes into the window could otherwise alias
// every one of them.
//
// Bits come from a 64-bit register, loaded from the buffer where the step
// stands whenever it holds fewer bits than the next part of the step can
// use (a step takes at most 51: a 15-bit symbol, then up to 36 for a copy's
// length bits, distance code and distance bits); pos and bit still advance
// step by step, so the refill thresholds and the overrun bound see exactly
// what the byte reader would.
Run run_lz(uint8_t* window) {
  TUnpackState& s = unpack_state;
  const uint8_t* buf = s.input_buffer;
  uint32_t pos, bit, wpos, wr;
  int32_t left;
  int64_t limit;
  uint64_t bits = 0;    // the stream from (pos, bit) on, top-aligned
  uint32_t avail = 0;   // valid bits in it
  auto save = [&] {
    s.input_pos = pos;
    s.input_bit = bit;
    s.window_pos = wpos;
    unpacked_left = left;
  };
  auto load = [&] {
    pos = s.input_pos;
    bit = s.input_bit;
    wpos = s.window_pos;
    wr = s.write_pos;
    left = unpacked_left;
    limit = overrun_limit(s);
    avail = 0;
  };
  load();

  while (left >= 0) {
    if ((left & 0xFFF) == 0) {
      save();
      report_progress(left);
      load();
    }
    wpos &= kWindowMask;
    if (pos > kRefillStep) {
      save();
      fill_input(false);
      load();
    }
    if (int64_t(pos) > limit) {
      save();
      return Run::overrun;
    }
    if (wr != wpos && ((wr - wpos) & kWindowMask) < kFlushMargin) {
      save();
      flush_window();
      load();
    }

    // Steps from this one on that cannot meet the checks above but the
    // progress report, which the stretch watches for itself: a step moves
    // the reader by at most 7 bytes and the window position by at most
    // kMaxStep bytes.
    uint32_t n = 1;
    if (!unpack_step_by_step) {
      uint32_t room = wr == wpos ? kWindowSize : (wr - wpos) & kWindowMask;
      n = (kRefillStep - pos) / 7 + 1;
      n = uint32_t(std::min<int64_t>(n, (limit - pos) / 7 + 1));
      n = std::min(n, (room - kFlushMargin) / kMaxStep + 1);
      n = std::min(n, (kWindowSize - 1 - wpos) / kMaxStep + 1);
    }
    bool table_block = false;
    for (;;) {
      // The register is reloaded where the step stands (used bits past
      // pos, bit) when it holds fewer bits than what follows may take: 15
      // for the main symbol, then 36 for the rest of a copy.
      uint32_t used = 0;
      auto reload = [&](uint32_t need) {
        if (avail < need) {
          uint32_t at = bit + used;
          bits = load_be64(buf + pos + (at >> 3)) << (at & 7);
          avail = 64 - (at & 7);
        }
      };
      auto decode = [&](const DecodeTable& t) {
        uint32_t e = t.fast[uint32_t(bits >> (64 - kFastBits))];
        if (e == 0) e = decode_search(t, uint32_t(bits >> 48));
        bits <<= (e & 15);
        used += e & 15;
        avail -= e & 15;
        return e >> 4;
      };
      auto get = [&](uint32_t n) {
        if (n == 0) return 0u;
        uint32_t v = uint32_t(bits >> (64 - n));
        bits <<= n;
        used += n;
        avail -= n;
        return v;
      };

      reload(15);
      uint32_t sym = decode(s.main_table);
      if (sym < 256) {
        window[wpos++] = uint8_t(sym);
        --left;
      } else if (sym == 269) {
        table_block = true;
      } else {
        uint32_t length, distance;
        reload(36);
        if (sym > 269) {
          uint32_t slot = sym - 270;
          length = kLengthBase[slot] + 3 + get(kLengthBits[slot]);
          uint32_t d = decode(s.distance_table);
          distance = kDistanceBase[d] + 1 + get(kDistanceBits[d]);
          if (distance >= 0x40000) ++length;
          if (distance >= 0x2000) ++length;
        } else if (sym == 256) {
          length = s.last_length;
          distance = s.last_distance;
        } else if (sym < 261) {
          distance = s.old_distances[(s.old_distance_index - (sym - 256)) & 3];
          uint32_t r = decode(s.repeat_length_table);
          length = kLengthBase[r] + 2 + get(kLengthBits[r]);
          if (distance >= 0x40000) ++length;
          if (distance >= 0x2000) ++length;
          if (distance >= 0x101) ++length;
        } else {
          uint32_t slot = sym - 261;
          distance = kShortBase[slot] + 1 + get(kShortBits[slot]);
          length = 2;
        }
        note_copy(s, length, distance);
        left = int32_t(uint32_t(left) - length);
        wpos = copy_bytes(window, wpos, length, distance);
      }
      used += bit;
      pos += used >> 3;
      bit = used & 7;
      if (table_block || --n == 0 || left < 0 || (left & 0xFFF) == 0) break;
    }

    if (table_block) {
      save();
      read_tables();
      load();
      if (s.audio_mode) return Run::switched;
    }
  }
  save();
  return Run::done;
}

// Decodes and consumes one symbol of a multimedia step through a 64-bit
// register holding the stream from bit bitpos of input on (avail bits of it
// valid), reloaded when fewer bits are left than the longest code needs.
inline uint32_t next_audio_symbol(const DecodeTable& t, const uint8_t* input, uint64_t& bits,
                                  uint32_t& avail, uint32_t& bitpos) {
  if (avail < 16) {
    bits = load_be64(input + (bitpos >> 3)) << (bitpos & 7);
    avail = 64 - (bitpos & 7);
  }
  uint32_t e = t.fast[uint32_t(bits >> (64 - kFastBits))];
  if (e == 0) e = decode_search(t, uint32_t(bits >> 48));
  uint32_t len = e & 15;
  bits <<= len;
  avail -= len;
  bitpos += len;
  return e >> 4;
}

// Where a stretch of multimedia steps starts and, afterwards, where it ended.
struct AudioStretch {
  const uint8_t* input;
  const DecodeTable* tables;
  AudioChannelState* states;
  AudioPending* pending;
  uint8_t* window;
  uint64_t bits;   // the stream from bitpos on, top-aligned
  uint32_t avail;  // valid bits in it
  uint32_t bitpos;
  uint32_t window_pos;
  uint32_t channel, channels;
  int32_t channel_delta;
};

// Runs up to n multimedia steps that need none of the per-step checks, with
// the counters deferred, and returns how many produced a byte. A step that
// reads the table-block symbol ends the stretch, its code consumed, and sets
// table_block. The channel count is a constant here, so that whole rounds of
// channels run with every channel's table and state at a fixed place.
// Kept out of line, where the compiler can, so that the stretch's own
// locals get the registers.
template <uint32_t kChannels>
#if defined(__GNUC__)
__attribute__((noinline))
#endif
uint32_t run_audio_stretch(AudioStretch& a, uint32_t n, bool& table_block) {
  const uint8_t* input = a.input;
  const DecodeTable* tables = a.tables;
  AudioChannelState* states = a.states;
  AudioPending* pending = a.pending;
  uint8_t* out = a.window + a.window_pos;
  uint64_t bits = a.bits;
  uint32_t avail = a.avail, bitpos = a.bitpos, channel = a.channel;
  int32_t channel_delta = a.channel_delta;
  uint32_t done = 0;

  // One step on channel k; false at the table-block symbol.
  auto step = [&](uint32_t k) {
    uint32_t sym = next_audio_symbol(tables[k], input, bits, avail, bitpos);
    if (sym == 256) return false;
    out[done++] = audio_step_deferred(states[k], pending[k], channel_delta, sym);
    return true;
  };
  auto next = [](uint32_t k) { return k + 1 == kChannels ? 0 : k + 1; };

  bool ended = false;
  // Single steps up to the first channel, whole rounds, single steps again.
  while (!ended && channel != 0 && done < n) {
    ended = !step(channel);
    if (!ended) channel = next(channel);
  }
  while (!ended && n - done >= kChannels) {
    for (uint32_t k = 0; k < kChannels; ++k) {
      if (!step(k)) {
        ended = true;
        channel = k;
        break;
      }
    }
  }
  while (!ended && done < n) {
    ended = !step(channel);
    if (!ended) channel = next(channel);
  }

  table_block = ended;
  a.bits = bits;
  a.avail = avail;
  a.bitpos = bitpos;
  a.window_pos += done;
  a.channel = channel;
  a.channel_delta = channel_delta;
  return done;
}

// Runs multimedia steps, like run_lz: one symbol of the current channel's
// table per step, and one byte from the predictor. The channel states are
// worked on in a local copy too, which window writes cannot alias.
//
// Most steps meet none of the per-step conditions (progress due, refill due,
// reader past the data, flush due, window end), and how many in a row cannot
// meet them follows from where they stand: a step lowers the byte count by
// one, moves the window position by one and the reader by at most two
// bytes (codes are at most 15 bits long). So after the checks the loop runs
// that many steps without them (run_audio_stretch), and stops early only at
// a table block.
//
// In those stretches each channel's error terms wait in 16-bit form until
// its next adaptation (AudioPending); the terms stay within 16 bits as long
// as the states were made by the steps themselves, which is checked once on
// entry. With unpack_step_by_step set, or a state from elsewhere, every step
// runs on its own with the counters updated at once: the plain definition.
Run run_audio(uint8_t* window) {
  TUnpackState& s = unpack_state;
  AudioChannelState states[kMaxChannels];
  std::memcpy(states, s.channels, sizeof states);
  AudioPending pending[kMaxChannels];
  bool stretches = !unpack_step_by_step && s.channel_delta >= -128 && s.channel_delta <= 127;
  for (uint32_t c = 0; c < kMaxChannels; ++c) {
    stretches = stretches && audio_state_in_range(states[c]);
    audio_pending_start(states[c], pending[c]);
  }

  AudioStretch a;
  a.input = s.input_buffer;
  a.tables = s.audio_tables;
  a.states = states;
  a.pending = pending;
  a.window = window;
  uint32_t wr;
  int32_t left;
  int64_t limit;
  // What the refill, the flush and the progress report see and change.
  auto save_position = [&] {
    s.input_pos = a.bitpos >> 3;
    s.input_bit = a.bitpos & 7;
    s.window_pos = a.window_pos;
    unpacked_left = left;
  };
  auto load_position = [&] {
    a.bitpos = s.input_pos * 8 + s.input_bit;
    a.avail = 0;
    a.window_pos = s.window_pos;
    wr = s.write_pos;
    left = unpacked_left;
    limit = overrun_limit(s);
  };
  // Everything, for a table block or the end of the run.
  auto save = [&] {
    if (stretches)
      for (uint32_t c = 0; c < kMaxChannels; ++c) audio_settle(states[c], pending[c]);
    std::memcpy(s.channels, states, sizeof states);
    s.current_channel = a.channel;
    s.channel_delta = a.channel_delta;
    save_position();
  };
  auto load = [&] {
    load_position();
    a.channel = s.current_channel;
    a.channels = s.channel_count;
    a.channel_delta = s.channel_delta;
  };
  load();

  while (left >= 0) {
    if ((left & 0xFFF) == 0) {
      save_position();
      report_progress(left);
      load_position();
    }
    a.window_pos &= kWindowMask;
    if ((a.bitpos >> 3) > kRefillStep) {
      save_position();
      fill_input(false);
      load_position();
    }
    uint32_t pos = a.bitpos >> 3;
    if (int64_t(pos) > limit) {
      save();
      return Run::overrun;
    }
    uint32_t wpos = a.window_pos;
    if (wr != wpos && ((wr - wpos) & kWindowMask) < kFlushMargin) {
      save_position();
      flush_window();
      load_position();
    }

    bool table_block = false;
    if (stretches) {
      // Steps from this one on that meet none of the conditions above.
      uint32_t r = uint32_t(left) & 0xFFF;  // the progress report comes at 0
      uint32_t n = r != 0 ? r : left != 0 ? 0x1000 : 1;
      n = std::min(n, (kRefillStep - pos) / 2 + 1);
      n = uint32_t(std::min<int64_t>(n, (limit - pos) / 2 + 1));
      uint32_t room = wr == wpos ? kWindowSize : (wr - wpos) & kWindowMask;
      n = std::min(n, room - (kFlushMargin - 1));
      n = std::min(n, kWindowSize - wpos);
      uint32_t done;
      switch (a.channels) {
        case 1: done = run_audio_stretch<1>(a, n, table_block); break;
        case 2: done = run_audio_stretch<2>(a, n, table_block); break;
        case 3: done = run_audio_stretch<3>(a, n, table_block); break;
        default: done = run_audio_stretch<4>(a, n, table_block); break;
      }
      left = int32_t(uint32_t(left) - done);
    } else {
      uint32_t sym = next_audio_symbol(s.audio_tables[a.channel], a.input, a.bits, a.avail, a.bitpos);
      if (sym == 256) {
        table_block = true;
      } else {
        window[a.window_pos++] = audio_step(states[a.channel], a.channel_delta, sym);
        if (++a.channel == a.channels) a.channel = 0;
        --left;
      }
    }

    if (table_block) {
      save();
      read_tables();
      load();
      if (!s.audio_mode) return Run::switched;
    }
  }
  save();
  return Run::done;
}

}  // namespace

void unpack_entry(uint8_t* window, bool solid) {
  TUnpackState& s = unpack_state;
  s.window = window;
  reset_decoder(solid);
  fill_input(true);
  if (!solid) read_tables();
  // From here on unpacked_left counts the bytes still to produce minus one.
  // A size that does not fit the signed count (0x80000000 and up) reads as
  // negative and produces nothing; the lowest one must not wrap round to the
  // largest positive count.
  if (unpacked_left != INT32_MIN) --unpacked_left;

  // The steps run in stretches of one mode; a table block may switch it. A
  // damaged stream that has run off the end of its data is given up, and
  // the entry's checksum then tells.
  Run r = Run::switched;
  while (r == Run::switched) r = s.audio_mode ? run_audio(window) : run_lz(window);

  if (r != Run::overrun) read_trailing_tables();
  flush_window();
}
