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
#include <type_traits>

#include "archive/arc_block.h"
#include "archive/arc_checksum.h"
#include "archive/arc_extract.h"
#include "archive/archive_class.h"
#include "unpack/arc_audio.h"
#include "unpack/arc_unpack_internal.h"

// Where the code is laid out by hand: a rare path kept out of the loop
// around it, a step kept inside it.
// VELMORA_SUMMED(x): x is complete here, so that what is added to it later
// is not moved into the middle of its sum.
#if defined(__GNUC__)
#define VELMORA_NOINLINE __attribute__((noinline))
#define VELMORA_INLINE __attribute__((always_inline))
#define VELMORA_SUMMED(x) __asm__("" : "+r"(x))
#else
#define VELMORA_NOINLINE
#define VELMORA_INLINE
#define VELMORA_SUMMED(x) (void)(x)
#endif

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
    // The transfer buffer is the window's start: a solid entry after this
    // one sees these bytes.
    unpack_state.window_fill = std::max(unpack_state.window_fill, uint32_t(n));
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
  // A copy that reaches back before the start of the entry reads zeros:
  // nothing of the window is written yet (see clear_unwritten).
  s.window_fill = 0;
  std::memset(s.previous_lengths, 0, sizeof s.previous_lengths);
  s.window_pos = 0;
  s.write_pos = 0;
}

void clear_unwritten(uint32_t dst) {
  TUnpackState& s = unpack_state;
  if (s.window_fill == kWindowSize) return;
  // Output runs on from write_pos to dst; below write_pos it has wrapped
  // round since the last flush, so has written the whole window.
  if (dst >= s.write_pos) {
    uint32_t from = std::max(s.window_fill, dst);
    std::memset(s.window + from, 0, kWindowSize - from);
  }
  s.window_fill = kWindowSize;
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
  // A source at or after dst lies before the output's start unless the
  // output has wrapped: it may be a byte never written.
  if (src >= dst && length > 0) clear_unwritten(dst);
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

uint32_t main_entry(uint32_t sym, uint32_t len) {
  uint32_t extra = 0, base = 0;
  if (sym >= 270 && sym < kMainSymbols) {
    extra = kLengthBits[sym - 270];
    base = kLengthBase[sym - 270] + 3u;
  } else if (sym >= 261 && sym < 269) {
    extra = kShortBits[sym - 261];
    base = kShortBase[sym - 261] + 1u;
  }
  uint32_t kind = sym < 256 ? kEntryLiteral : sym >= 270 ? kEntryNewCopy : 0;
  return (len + extra) | ((1u << extra) - 1) << 5 | sym << 11 | kind | base << 24;
}

uint32_t distance_entry(uint32_t sym, uint32_t len) {
  uint32_t extra = sym < kDistanceSymbols ? kDistanceBits[sym] : 0;
  uint32_t base = sym < kDistanceSymbols ? kDistanceBase[sym] + 1 : 1;
  return (len + extra) | extra << 5 | base << 10;
}

uint32_t repeat_entry(uint32_t sym, uint32_t len) {
  uint32_t extra = sym < kRepeatSymbols ? kLengthBits[sym] : 0;
  uint32_t base = sym < kRepeatSymbols ? kLengthBase[sym] + 2u : 2;
  return (len + extra) | ((1u << extra) - 1) << 5 | base << 11;
}

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
  s.window_fill = s.window_pos < s.write_pos ? kWindowSize : std::max(s.window_fill, s.window_pos);
  s.write_pos = s.window_pos;
}

void read_trailing_tables() {
  // The entry's data may end with the announcement of the tables that the
  // next entry of a solid run starts with. Only read when enough real bytes
  // are left to hold the symbol.
  TUnpackState& s = unpack_state;
  if (s.input_top < s.input_pos + 5) return;
  if (s.audio_mode) {
    ensure_fast_table(s.audio_tables[s.current_channel]);
    if (decode_symbol(s.audio_tables[s.current_channel]) == 256) read_tables();
  } else {
    ensure_fast_table(s.main_table);
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

// Where a stretch of fast LZ steps starts and, afterwards, where it ended.
struct LzStretch {
  const uint8_t* buf;  // input_buffer
  uint32_t in;         // next buffer byte to enter the register
  uint32_t in_last;    // steps start only while in <= in_last
  uint64_t bits;       // the stream from the step's position on, top-aligned
  uint32_t bitsleft;   // bits of it not yet consumed, 0 to 63
  uint8_t* window;
  uint32_t out;        // window position of the next byte
  uint32_t out_end;    // steps start only while out < out_end
};

// The lookup entries for codes too long for the entry tables.
VELMORA_NOINLINE
uint32_t main_entry_searched(uint64_t bits) {
  uint32_t r = decode_search(unpack_state.main_table, uint32_t(bits >> 48));
  return main_entry(r >> 4, r & 15);
}
VELMORA_NOINLINE
uint32_t distance_entry_searched(uint64_t bits) {
  uint32_t r = decode_search(unpack_state.distance_table, uint32_t(bits >> 48));
  return distance_entry(r >> 4, r & 15);
}
VELMORA_NOINLINE
uint32_t repeat_entry_searched(uint64_t bits) {
  uint32_t r = decode_search(unpack_state.repeat_length_table, uint32_t(bits >> 48));
  return repeat_entry(r >> 4, r & 15);
}

// The extra bits that follow the code of entry e at the top of bits: of a
// main or repeat-length entry, and of a distance entry.
inline uint32_t entry_extra(uint64_t bits, uint32_t e) {
  return uint32_t(bits >> (64 - entry_bits(e))) & entry_extra_mask(e);
}
inline uint32_t distance_extra(uint64_t bits, uint32_t d) {
  return uint32_t(bits >> (64 - entry_bits(d))) & ((1u << entry_distance_extra_bits(d)) - 1);
}

// A copy that neither wraps nor reaches back past the window start, from
// distance (1 or more) back; length 2 or more. The same bytes as one at a
// time in order: a move reads only bytes that are final, because it starts
// at least its own width after them or rereads what an earlier move wrote.
inline void copy_near(uint8_t* out, uint32_t length, uint32_t distance) {
  const uint8_t* in = out - distance;
  if (distance >= 8) {
    if (length <= 16) {
      if (length >= 8) {
        move8(out, in);
        move8(out + length - 8, in + length - 8);
      } else if (length >= 4) {
        move4(out, in);
        move4(out + length - 4, in + length - 4);
      } else {
        out[0] = in[0];
        out[1] = in[1];
        out[length - 1] = in[length - 1];
      }
    } else if (distance >= 16) {
      uint32_t left = length;
      for (; left > 16; left -= 16, in += 16, out += 16) move16(out, in);
      move16(out + left - 16, in + left - 16);
    } else {
      uint32_t left = length;
      for (; left > 8; left -= 8, in += 8, out += 8) move8(out, in);
      move8(out + left - 8, in + left - 8);
    }
  } else if (distance == 1) {
    std::memset(out, in[0], length);
  } else {
    for (uint32_t k = 0; k < length; ++k) out[k] = in[k];
  }
}

// Runs LZ steps while the bounds of z allow, and returns whether any ran; a step
// that reads the table-block symbol ends the stretch, its code consumed, and
// sets table_block. The bounds are set so that no step of the stretch meets
// a per-step check of run_lz (refill, overrun, flush, window end, progress,
// end of the entry), and so that it never runs short of bits: after the
// refill at the top of a step the register holds at least 56, and a step
// takes at most 51 (a 15-bit symbol and 5 length bits, a 15-bit distance
// code and 16 distance bits).
//
// The refill never branches: it tops the register up from the byte after
// the last one in it, whole bytes only, to between 56 and 63 bits. Each
// code is read with one look-up of its table's entries (symbol, extra bits
// and base together), and the copy state stays in locals here, where window
// writes cannot alias it.
VELMORA_NOINLINE
bool run_lz_stretch(LzStretch& z, bool& table_block) {
  TUnpackState& s = unpack_state;
  const uint8_t* buf = z.buf;
  const uint32_t* mains = s.main_entries;
  const uint32_t* distances = s.distance_entries;
  const uint32_t* repeats = s.repeat_entries;
  uint8_t* const window = z.window;
  uint32_t in = z.in;
  const uint32_t in_last = z.in_last;
  uint64_t bits = z.bits;
  uint32_t bitsleft = z.bitsleft;
  uint32_t out = z.out;
  const uint32_t out_end = z.out_end;
  uint32_t ring[4] = {s.old_distances[0], s.old_distances[1], s.old_distances[2], s.old_distances[3]};
  uint32_t ring_index = s.old_distance_index;
  uint32_t last_length = s.last_length, last_distance = s.last_distance;
  table_block = false;

  auto consume = [&](uint32_t n) {
    bits <<= n;
    bitsleft -= n;
  };
  auto refill = [&] {
    bits |= load_be64(buf + in) >> bitsleft;
    in += (63 - bitsleft) >> 3;
    bitsleft |= 56;
  };
  auto main_lookup = [&] { return mains[bits >> (64 - kMainEntryBits)]; };

  // e is always the main entry at the top of the register, looked up right
  // after a refill (so with at least 56 bits to go) and before the step is
  // known to run: the look-up of the next step overlaps the current copy.
  refill();
  uint32_t e = main_lookup();
  if (e == 0) e = main_entry_searched(bits);
  const bool ran = out < out_end && in <= in_last;
  while (out < out_end && in <= in_last) {
    if (e & kEntryLiteral) {
      // Up to two more literals before the next refill: the first left at
      // least 41 bits, and in_last leaves room for the 30 they may take.
      consume(entry_bits(e));
      window[out++] = entry_literal(e);
      e = main_lookup();
      if ((e & kEntryLiteral) && out < out_end) {
        consume(entry_bits(e));
        window[out++] = entry_literal(e);
        e = main_lookup();
        if ((e & kEntryLiteral) && out < out_end) {
          consume(entry_bits(e));
          window[out++] = entry_literal(e);
          e = main_lookup();  // at least 11 bits are left to index with
        }
      }
      refill();
      if (e == 0) e = main_entry_searched(bits);
      continue;
    }
    uint32_t sym = entry_symbol(e);
    uint32_t length, distance;
    if (e & kEntryNewCopy) {
      length = entry_main_base(e) + entry_extra(bits, e);
      consume(entry_bits(e));
      uint32_t d = distances[bits >> (64 - kDistanceEntryBits)];
      if (d == 0) d = distance_entry_searched(bits);
      distance = entry_distance_base(d) + distance_extra(bits, d);
      consume(entry_bits(d));
      length += (distance >= 0x2000) + (distance >= 0x40000);
    } else if (sym >= 261) {
      if (sym == 269) {
        consume(entry_bits(e));
        table_block = true;
        break;
      }
      distance = entry_main_base(e) + entry_extra(bits, e);
      consume(entry_bits(e));
      length = 2;
    } else if (sym == 256) {
      consume(entry_bits(e));
      length = last_length;
      distance = last_distance;
    } else {
      consume(entry_bits(e));
      distance = ring[(ring_index - (sym - 256)) & 3];
      uint32_t r = repeats[bits >> (64 - kRepeatEntryBits)];
      if (r == 0) r = repeat_entry_searched(bits);
      length = entry_repeat_base(r) + entry_extra(bits, r);
      consume(entry_bits(r));
      length += (distance >= 0x40000) + (distance >= 0x2000) + (distance >= 0x101);
    }
    ring[ring_index & 3] = distance;
    ++ring_index;
    last_distance = distance;
    last_length = length;
    refill();
    e = main_lookup();
    if (e == 0) e = main_entry_searched(bits);
    if (distance - 1 < out && length >= 2) {
      copy_near(window + out, length, distance);
      out += length;
    } else {
      // Reaching back past the window start (so wrapping), a distance of
      // 0 or the whole window, or an empty copy. The stretch's bounds keep
      // the copy's own end inside the window.
      out = copy_bytes(window, out, length, distance);
    }
  }

  for (uint32_t k = 0; k < 4; ++k) s.old_distances[k] = ring[k];
  s.old_distance_index = ring_index;
  s.last_length = last_length;
  s.last_distance = last_distance;
  z.in = in;
  z.bits = bits;
  z.bitsleft = bitsleft;
  z.out = out;
  return ran;
}

// Runs LZ steps until the entry is complete, a table block switches to
// multimedia mode, or the reader runs off the data. Each step first meets
// the per-step checks of the definition (progress, refill, overrun, flush,
// window end); then, unless unpack_step_by_step is set, as many steps as
// certainly meet none of them run as a stretch (run_lz_stretch), and
// otherwise, or when none can, one plain step. The plain step is the
// reference: a 64-bit register loaded where the step stands, codes decoded
// through the tables' fast[] or the search, pos and bit advanced at its end.
Run run_lz(uint8_t* window) {
  TUnpackState& s = unpack_state;
  const uint8_t* buf = s.input_buffer;
  uint32_t pos, bit, wpos, wr;
  int32_t left;
  int64_t limit;
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

    bool table_block = false;
    bool ran = false;
    // A stretch step may be followed by two literals of up to 15 bits each
    // before the bound is looked at again.
    int64_t in_last = std::min<int64_t>(kRefillStep, limit) - 4;
    if (!unpack_step_by_step && in_last >= int64_t(pos)) {
      // Bounds of the stretch: the byte count stops at the next multiple
      // of 4096 below it (or -1), the free part of the window keeps at
      // least kFlushMargin bytes at every step's start, and no step starts
      // where kMaxStep bytes would pass the window end.
      int64_t stop = left > 0 ? int64_t((left - 1) & ~0xFFF) : -1;
      uint32_t room = wr == wpos ? kWindowSize : (wr - wpos) & kWindowMask;
      int64_t out_end = std::min<int64_t>(int64_t(wpos) + (left - stop), int64_t(wpos) + room - (kFlushMargin - 1));
      out_end = std::min<int64_t>(out_end, kWindowSize - kMaxStep + 1);
      LzStretch z;
      z.buf = buf;
      z.in = pos + 7;
      z.in_last = uint32_t(in_last);
      z.bits = load_be64(buf + pos) << bit;
      z.bitsleft = 56 - bit;
      z.window = window;
      z.out = wpos;
      z.out_end = uint32_t(std::max<int64_t>(out_end, 0));
      ran = run_lz_stretch(z, table_block);
      if (ran) {
        uint32_t consumed = z.in * 8 - z.bitsleft;
        pos = consumed >> 3;
        bit = consumed & 7;
        left = int32_t(uint32_t(left) - (z.out - wpos));
        wpos = z.out;
      }
    }
    if (!ran) {
      // One plain step. The register holds the stream from (pos, bit) on
      // and is loaded again where the step stands when fewer bits are left
      // than what follows may take: 15 for the main symbol, then 36 for the
      // rest of a copy.
      ensure_fast_table(s.main_table);
      ensure_fast_table(s.distance_table);
      ensure_fast_table(s.repeat_length_table);
      uint64_t bits = 0;
      uint32_t avail = 0;
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

// A channel's working copy for the stretches: its weights in the form that
// the series take (see AudioSeries) and where it stands in the series.
struct AudioLane {
  uint32_t top;   // series index of its last byte when the series were set up
  uint32_t from;  // series index of its first byte whose terms are not yet counted
  uint32_t due;   // series index of the byte that ends its cycle
  uint32_t byte;  // its last output byte (low 8 bits)
};

// The multimedia loop's state in stretches. A channel k's last byte is at
// series index round - 1 when k >= channel (it has yet to step in the
// current round), else at round.
struct AudioRun {
  const uint8_t* input;
  uint64_t bits;      // the stream from bit in * 8 - bitsleft on, top-aligned
  uint32_t bitsleft;  // valid bits in it, 0 to 63
  uint32_t in;        // next input byte to enter the register
  const uint32_t* entries;  // audio_entries, channel after channel
  const DecodeTable* tables;
  AudioChannelState* states;
  AudioSeries* series;
  AudioLane lanes[kMaxChannels];
  uint8_t* out;       // where the next byte goes
  uint32_t channel;   // the channel that steps next
  uint32_t channels;
  uint32_t round;     // series index of the current round
  int32_t channel_delta;
};

AudioSeries audio_series;

constexpr uint32_t kAudioEntries = 1u << kAudioEntryBits;

// A channel's weights in the form the rounds take them: on the changes
// (see AudioSeries), and shifted left by 21 bits (see series_change); four
// on the last four changes, the fifth on channel_delta. They are kept in
// the module state (audio_weights), at a fixed address, so that the rounds
// need no register to reach them.
inline uint32_t* audio_weights(uint32_t k) { return unpack_state.audio_weights[k]; }
inline void lane_weights(uint32_t k, const AudioChannelState& c) {
  uint32_t* w = audio_weights(k);
  w[0] = uint32_t(c.coef1 + c.coef2) << 21;
  w[1] = uint32_t(c.coef3 - c.coef2) << 21;
  w[2] = uint32_t(c.coef4 - c.coef3) << 21;
  w[3] = uint32_t(-c.coef4) << 21;
  w[4] = uint32_t(c.coef5) << 21;
}

inline uint32_t last_index(const AudioRun& a, uint32_t k) { return a.round - (k >= a.channel ? 1 : 0); }

// The change of one byte (its new last_delta): bits 3-10 of the weighted
// sum less 8 * delta, as a signed byte. The prediction's 8 * last_byte
// moves those bits by last_byte, so it moves the output byte (last byte
// plus change) and not the change. c1..c4 are the channel's last four
// changes, e its look-up entry.
//
// The sum is made shifted left by 21 bits, in 32-bit arithmetic that drops
// what is carried out of the top: its bits 3-10 are then the top byte, and
// one arithmetic shift gives the signed change, which the next byte's
// prediction takes as channel_delta. With weights shifted alike, every
// product comes out shifted, and the entry adds -8 * delta so shifted in
// its top byte; its low 16 bits (code length and delta) stay below bit 21,
// where the products have only zeros, so nothing carries from them.
inline int32_t series_change(const uint32_t* w, uint32_t w5, int32_t c1, int32_t c2, int32_t c3, int32_t c4,
                             uint32_t e, int32_t cd) {
  uint32_t q = w[0] * uint32_t(c1) + w[1] * uint32_t(c2) + w[2] * uint32_t(c3) + w[3] * uint32_t(c4) + e;
  // channel_delta is the change just made by the step before, so the bytes
  // wait on one another through it alone: its product is added last, to
  // the rest already summed, and the compiler must not fold it in earlier.
  VELMORA_SUMMED(q);
  return int32_t(q + w5 * uint32_t(cd)) >> 24;
}

// The series from the channels' states: each channel's last four changes
// before its next byte, made up from its history (the differences give the
// history back exactly), and its cycle from its byte count.
void series_start(AudioRun& a) {
  AudioSeries& ser = *a.series;
  a.round = kSeriesBack;
  for (uint32_t k = 0; k < a.channels; ++k) {
    const AudioChannelState& st = a.states[k];
    AudioLane& l = a.lanes[k];
    const uint32_t top = last_index(a, k);
    int16_t* c = ser.change(k);
    c[top] = int16_t(st.last_delta);
    c[top - 1] = int16_t(st.hist1);
    c[top - 2] = int16_t(st.hist1 - st.hist2);
    c[top - 3] = int16_t(c[top - 2] - st.hist3);
    c[top - 4] = int16_t(c[top - 3] - st.hist4);
    l.top = top;
    l.from = top + 1;
    l.due = top + 32 - (st.byte_count & 31);
    l.byte = uint32_t(st.last_byte);
    lane_weights(k, st);
  }
}

// Moves the current round back to index kSeriesBack, with what a cycle may
// still need before it.
void series_shift(AudioRun& a) {
  const uint32_t shift = a.round - kSeriesBack;
  if (shift == 0) return;
  AudioSeries& ser = *a.series;
  for (uint32_t k = 0; k < a.channels; ++k) {
    std::memmove(ser.change(k), ser.change(k) + shift, (kSeriesBack + 1) * sizeof(int16_t));
    std::memmove(ser.delta(k), ser.delta(k) + shift, (kSeriesBack + 1) * sizeof(int16_t));
    AudioLane& l = a.lanes[k];
    l.top -= shift;  // only its distance to the last byte counts; may wrap
    l.from -= shift;
    l.due -= shift;
  }
  a.round = kSeriesBack;
}

// Counts the terms of channel k's bytes from its first uncounted one to
// index t into its error sums.
// The channel_delta that channel k's byte at index i took: the change
// before it, on the channel before.
const int16_t* series_channel_delta(AudioRun& a, uint32_t k, uint32_t i) {
  return k > 0 ? a.series->change(k - 1) + i : a.series->change(a.channels - 1) + i - 1;
}

void series_count(AudioRun& a, uint32_t k, uint32_t t) {
  AudioSeries& ser = *a.series;
  AudioLane& l = a.lanes[k];
  if (l.from > t) return;
  add_series_errors_plain(a.states[k].error_sum, ser.delta(k) + l.from, ser.change(k) + l.from,
                          series_channel_delta(a, k, l.from), t - l.from + 1);
  l.from = t + 1;
}

// Channel k's byte at index t ended its cycle: its counters are completed
// and it adapts.
VELMORA_NOINLINE
void series_cycle_end(AudioRun& a, uint32_t k, uint32_t t) {
  AudioLane& l = a.lanes[k];
  AudioChannelState& st = a.states[k];
  if (l.from + 31 == t) {
    // The whole cycle is in the series, so nothing of it was counted into
    // the sums yet and they are all zero.
    AudioSeries& ser = *a.series;
    audio_detail::apply_counter_in_rounds(
        st, series_cycle_winner(ser.delta(k) + l.from, ser.change(k) + l.from, series_channel_delta(a, k, l.from)));
    l.from = t + 1;
  } else {
    series_count(a, k, t);
    audio_detail::adapt(st);
  }
  lane_weights(k, st);
  l.due = t + 32;
}

// Writes the series back into the channels' states: counters, history, byte
// count and last value.
void series_settle(AudioRun& a) {
  AudioSeries& ser = *a.series;
  for (uint32_t k = 0; k < a.channels; ++k) {
    AudioLane& l = a.lanes[k];
    AudioChannelState& st = a.states[k];
    const uint32_t last = last_index(a, k);
    if (last == l.due) series_cycle_end(a, k, last);  // a table block came right after it
    series_count(a, k, last);
    const uint32_t made = last - l.top;
    if (made == 0) continue;
    const int16_t* c = ser.change(k);
    st.byte_count += made;
    st.last_delta = c[last];
    st.hist1 = c[last - 1];
    st.hist2 = c[last - 1] - c[last - 2];
    st.hist3 = c[last - 2] - c[last - 3];
    st.hist4 = c[last - 3] - c[last - 4];
    // The value before reduction to a byte: the prediction (the byte plus
    // the delta, as a byte) less the delta.
    const int32_t d = uint8_t(ser.delta(k)[last] >> 8);
    st.last_byte = int32_t((l.byte + uint32_t(d)) & 0xFF) - d;
  }
}

// The look-up entry for a code too long for the entries, or for the
// table-block symbol.
VELMORA_NOINLINE
uint32_t audio_entry_searched(const DecodeTable& t, uint64_t bits) {
  uint32_t r = decode_search(t, uint32_t(bits >> 48));
  return audio_entry(r >> 4, r & 15);
}

// Tops the register up from the byte after the last one in it, whole bytes
// only, to between 56 and 63 bits, without a branch. Only the low byte of
// bitsleft counts: the steps take whole look-up entries off it, whose bits
// from 8 on are not the code length (see kAudioEntryBits), and a borrow
// from the low byte never happens.
inline void audio_refill(const uint8_t* input, uint64_t& bits, uint32_t& bitsleft, uint32_t& in) {
  const uint32_t left = uint8_t(bitsleft);
  bits |= load_be64(input + in) >> left;
  in += (63 - left) >> 3;
  bitsleft = left | 56;
}

// One step of the current channel on the series, for the ragged ends of
// the rounds; false at the table-block symbol (its code consumed).
bool series_step(AudioRun& a) {
  const uint32_t k = a.channel;
  audio_refill(a.input, a.bits, a.bitsleft, a.in);
  uint32_t e = a.entries[k * kAudioEntries + uint32_t(a.bits >> (64 - kAudioEntryBits))];
  if (e == 0) e = audio_entry_searched(a.tables[k], a.bits);
  a.bits <<= (e & 63);
  a.bitsleft = uint8_t(a.bitsleft) - (e & 63);
  if (audio_entry_is_block(e)) return false;
  AudioSeries& ser = *a.series;
  AudioLane& l = a.lanes[k];
  const uint32_t i = a.round;
  int16_t* c = ser.change(k);
  c[i + kSeriesDeltas] = int16_t(e);
  const uint32_t* w = audio_weights(k);
  const int32_t change = series_change(w, w[4], c[i - 1], c[i - 2], c[i - 3], c[i - 4], e, a.channel_delta);
  c[i] = int16_t(change);
  a.channel_delta = change;
  l.byte += uint32_t(change);
  *a.out++ = uint8_t(l.byte);
  if (++a.channel == a.channels) {
    a.channel = 0;
    ++a.round;
  }
  if (l.due == i) series_cycle_end(a, k, i);
  return true;
}

// Runs whole rounds (channel 0 first) while rounds are left; stops early
// at the table-block symbol, its code consumed, with a.channel on the
// channel that read it, and sets table_block. Returns the bytes made.
//
// The channel count is a constant here, so that every channel's weights,
// last byte and last change sit at fixed places (registers where there are
// enough). The rounds run in stretches that end where a channel's cycle
// does, so that between two cycle ends nothing is checked but the loop's
// end.
//
// The register is topped up for every four codes (a round of three or four
// channels, two rounds of two, four of one), between looking up the first
// of them and taking its code off: the look-up then does not wait for the
// top-up, and the top-up not for the code's length. The entries take codes
// of up to kAudioEntryBits bits, so at least 12 of the 56 bits after a
// top-up are left for the next look-up. A longer code is decoded after a
// top-up of its own and followed by another, which leaves at least 56 bits
// for the three codes that may follow it.
template <uint32_t kChannels>
VELMORA_NOINLINE
uint32_t run_audio_rounds(AudioRun& a, uint32_t rounds, bool& table_block) {
  const uint8_t* in = a.input + a.in;
  uint64_t bits = a.bits;
  uint32_t bitsleft = a.bitsleft;
  uint8_t* out = a.out;
  const uint32_t start = a.round;
  // The current round's place in channel 0's series; channel k's change is
  // k * kSeriesLength further on and its delta kSeriesDeltas after that, so
  // every access is at a fixed offset.
  int16_t* change = a.series->change(0) + start;
  int16_t* const change_begin = change;
  int16_t* const change_end = change + rounds;
  int32_t cd = a.channel_delta;
  // Each channel's last change, one variable each; its weights are read
  // from the module state where they are used (audio_weights), and its
  // last byte is the one kChannels back in the window (see
  // run_audio_stretch).
  int32_t last0 = 0, last1 = 0, last2 = 0, last3 = 0;
  auto last_change = [&](auto channel_constant) VELMORA_INLINE -> int32_t& {
    constexpr uint32_t k = decltype(channel_constant)::value;
    if constexpr (k == 0) return last0;
    else if constexpr (k == 1) return last1;
    else if constexpr (k == 2) return last2;
    else return last3;
  };
  auto each = [&](auto f) VELMORA_INLINE {
    f(std::integral_constant<uint32_t, 0>());
    if constexpr (kChannels > 1) f(std::integral_constant<uint32_t, 1>());
    if constexpr (kChannels > 2) f(std::integral_constant<uint32_t, 2>());
    if constexpr (kChannels > 3) f(std::integral_constant<uint32_t, 3>());
  };
  each([&](auto channel_constant) VELMORA_INLINE {
    constexpr uint32_t k = decltype(channel_constant)::value;
    last_change(channel_constant) = (change + k * kSeriesLength)[-1];
  });
  // The round after which a channel's cycle ends next, or change_end.
  auto next_due = [&] {
    uint32_t due = ~0u;
    for (uint32_t k = 0; k < kChannels; ++k) due = std::min(due, a.lanes[k].due);
    return change_begin + std::min(due - start, rounds);
  };
  int16_t* due_at = next_due();
  uint32_t stopped = kChannels;  // the channel that read the table-block symbol
  uint32_t stopped_round = 0;    // and its round, counted from change

  auto refill = [&]() VELMORA_INLINE {
    const uint32_t left = uint8_t(bitsleft);
    bits |= load_be64(in) >> left;
    in += (63 - left) >> 3;
    bitsleft = left | 56;
  };
  auto lookup = [&](auto channel_constant) VELMORA_INLINE {
    constexpr uint32_t k = decltype(channel_constant)::value;
    return unpack_state.audio_entries[k][uint32_t(bits >> (64 - kAudioEntryBits))];
  };
  // Channel k's step in round j (from change on) with its entry e.
  auto step = [&](auto channel_constant, auto round_constant, uint32_t e) VELMORA_INLINE {
    constexpr uint32_t k = decltype(channel_constant)::value;
    constexpr uint32_t j = decltype(round_constant)::value;
    int32_t& c1 = last_change(channel_constant);
    if (e == 0) {
      uint32_t pos = uint32_t(in - a.input);
      audio_refill(a.input, bits, bitsleft, pos);
      e = audio_entry_searched(a.tables[k], bits);
      bits <<= (e & 63);
      bitsleft -= e;
      audio_refill(a.input, bits, bitsleft, pos);
      in = a.input + pos;
      if (audio_entry_is_block(e)) {
        stopped = k;
        stopped_round = j;
        return false;
      }
    } else {
      bits <<= (e & 63);
      bitsleft -= e;
    }
    int16_t* c = change + j + k * kSeriesLength;
    c[kSeriesDeltas] = int16_t(e);
    const uint32_t* w = audio_weights(k);
    const int32_t ch = series_change(w, w[4], c1, c[-2], c[-3], c[-4], e, cd);
    c[0] = int16_t(ch);
    c1 = ch;
    cd = ch;
    *out = uint8_t(out[-int32_t(kChannels)] + ch);
    ++out;
    return true;
  };
  // Round j from change on, its first entry looked up.
  auto round = [&](auto round_constant, uint32_t e) VELMORA_INLINE {
    if (!step(std::integral_constant<uint32_t, 0>(), round_constant, e)) return false;
    if constexpr (kChannels > 1)
      if (!step(std::integral_constant<uint32_t, 1>(), round_constant, lookup(std::integral_constant<uint32_t, 1>())))
        return false;
    if constexpr (kChannels > 2)
      if (!step(std::integral_constant<uint32_t, 2>(), round_constant, lookup(std::integral_constant<uint32_t, 2>())))
        return false;
    if constexpr (kChannels > 3)
      if (!step(std::integral_constant<uint32_t, 3>(), round_constant, lookup(std::integral_constant<uint32_t, 3>())))
        return false;
    return true;
  };
  constexpr std::integral_constant<uint32_t, 0> first;
  // Rounds per top-up: as many as make four codes.
  constexpr uint32_t kRefillRounds = kChannels == 1 ? 4 : kChannels == 2 ? 2 : 1;
  auto rounds_from_top_up = [&]() VELMORA_INLINE {
    const uint32_t e = lookup(first);
    refill();
    if (!round(first, e)) return false;
    if constexpr (kRefillRounds > 1)
      if (!round(std::integral_constant<uint32_t, 1>(), lookup(first))) return false;
    if constexpr (kRefillRounds > 2) {
      if (!round(std::integral_constant<uint32_t, 2>(), lookup(first))) return false;
      if (!round(std::integral_constant<uint32_t, 3>(), lookup(first))) return false;
    }
    return true;
  };

  while (change != change_end) {
    // The rounds up to the next cycle end: whole top-ups, then single rounds.
    int16_t* const stretch_end = due_at == change_end ? change_end : due_at + 1;
    int16_t* const whole_end = change + (uint32_t(stretch_end - change) / kRefillRounds) * kRefillRounds;
    for (; change != whole_end; change += kRefillRounds)
      if (!rounds_from_top_up()) goto stop;
    if constexpr (kRefillRounds > 1) {
      for (; change != stretch_end; ++change) {
        const uint32_t e = lookup(first);
        refill();
        if (!round(first, e)) goto stop;
      }
    }
    if (change - 1 == due_at) {
      const uint32_t round_index = start + uint32_t(due_at - change_begin);
      each([&](auto channel_constant) VELMORA_INLINE {
        constexpr uint32_t k = decltype(channel_constant)::value;
        if (a.lanes[k].due == round_index) {
          series_cycle_end(a, k, round_index);
        }
      });
      due_at = next_due();
    }
  }
  goto finish;
stop:
  change += stopped_round;
finish:
  const uint32_t round_index = start + uint32_t(change - change_begin);
  a.bits = bits;
  a.bitsleft = uint8_t(bitsleft);
  a.in = uint32_t(in - a.input);
  a.out = out;
  a.round = round_index;
  a.channel = stopped == kChannels ? 0 : stopped;
  a.channel_delta = cd;
  table_block = stopped != kChannels;
  const uint32_t done = (round_index - start) * kChannels + (stopped == kChannels ? 0 : stopped);
  // The last byte of each channel: in the current round before the one
  // that read the table-block symbol, else in the round before.
  for (uint32_t k = 0; k < kChannels; ++k)
    a.lanes[k].byte = out[int32_t(k) - int32_t(a.channel) - (k < a.channel ? 0 : int32_t(kChannels))];
  return done;
}

// Runs up to n multimedia steps on the series and returns how many produced
// a byte; stops early at a table block (see run_audio_rounds).
uint32_t run_audio_stretch(AudioRun& a, uint32_t n, bool& table_block, const uint8_t* window) {
  uint32_t done = 0;
  table_block = false;
  // Single steps up to the first channel, whole rounds, single steps again.
  // The rounds find each channel's last byte kChannels back in the window,
  // where it is once every channel has made a byte since the series were
  // set up and the window position is not within a round of its start.
  auto ready = [&] {
    if (uint32_t(a.out - window) < a.channels) return false;
    for (uint32_t k = 0; k < a.channels; ++k)
      if (last_index(a, k) == a.lanes[k].top) return false;
    return true;
  };
  while ((a.channel != 0 || !ready()) && done < n) {
    if (!series_step(a)) {
      table_block = true;
      return done;
    }
    ++done;
  }
  const uint32_t rounds = (n - done) / a.channels;
  if (rounds > 0) {
    switch (a.channels) {
      case 1: done += run_audio_rounds<1>(a, rounds, table_block); break;
      case 2: done += run_audio_rounds<2>(a, rounds, table_block); break;
      case 3: done += run_audio_rounds<3>(a, rounds, table_block); break;
      default: done += run_audio_rounds<4>(a, rounds, table_block); break;
    }
    if (table_block) return done;
  }
  while (done < n) {
    if (!series_step(a)) {
      table_block = true;
      return done;
    }
    ++done;
  }
  return done;
}

// Runs multimedia steps, like run_lz: one symbol of the current channel's
// table per step, and one byte from the predictor. The channel states are
// worked on in a local copy, which window writes cannot alias.
//
// Most steps meet none of the per-step conditions (progress due, refill due,
// reader past the data, flush due, window end), and how many in a row cannot
// meet them follows from where they stand: a step lowers the byte count by
// one, moves the window position by one and the reader by at most two
// bytes (codes are at most 15 bits long). So after the checks the loop runs
// that many steps without them (run_audio_stretch), and stops early only at
// a table block.
//
// In those stretches the channels' history and error terms are kept as
// series (AudioSeries) and written back into the states only at a table
// block and at the end. The series hold 16-bit terms, which they do as long
// as the states were made by the steps themselves, checked once on entry;
// they also take channel_delta to be the last change of the channel before
// the current one, which a table block that changed the channel count may
// have broken: then single plain steps run until it holds again. With
// unpack_step_by_step set, or a state from elsewhere, every step runs on
// its own with the counters updated at once: the plain definition.
Run run_audio(uint8_t* window) {
  TUnpackState& s = unpack_state;
  AudioChannelState states[kMaxChannels];
  std::memcpy(states, s.channels, sizeof states);
  bool stretches = !unpack_step_by_step && s.channel_delta >= -128 && s.channel_delta <= 127;
  for (uint32_t c = 0; c < kMaxChannels; ++c) stretches = stretches && audio_state_in_range(states[c]);
  bool live = false;  // the series hold the channels' recent history

  AudioRun a;
  a.input = s.input_buffer;
  a.entries = &s.audio_entries[0][0];
  a.tables = s.audio_tables;
  a.states = states;
  a.series = &audio_series;
  // The plain steps' register: the stream from bitpos on, avail bits of it.
  uint64_t bits = 0;
  uint32_t avail = 0, bitpos = 0, wpos = 0, wr = 0;
  int32_t left = 0;
  int64_t limit = 0;
  // What the refill, the flush and the progress report see and change.
  auto save_position = [&] {
    s.input_pos = bitpos >> 3;
    s.input_bit = bitpos & 7;
    s.window_pos = wpos;
    unpacked_left = left;
  };
  auto load_position = [&] {
    bitpos = s.input_pos * 8 + s.input_bit;
    avail = 0;
    wpos = s.window_pos;
    wr = s.write_pos;
    left = unpacked_left;
    limit = overrun_limit(s);
  };
  // Everything, for a table block or the end of the run.
  auto save = [&] {
    if (live) series_settle(a);
    live = false;
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
    wpos &= kWindowMask;
    if ((bitpos >> 3) > kRefillStep) {
      save_position();
      fill_input(false);
      load_position();
    }
    const uint32_t pos = bitpos >> 3;
    if (int64_t(pos) > limit) {
      save();
      return Run::overrun;
    }
    if (wr != wpos && ((wr - wpos) & kWindowMask) < kFlushMargin) {
      save_position();
      flush_window();
      load_position();
    }

    bool table_block = false;
    const uint32_t before = a.channel == 0 ? a.channels - 1 : a.channel - 1;
    if (stretches && (live || a.channel_delta == states[before].last_delta)) {
      if (live) {
        series_shift(a);
      } else {
        series_start(a);
        live = true;
      }
      // Steps from this one on that meet none of the conditions above.
      uint32_t r = uint32_t(left) & 0xFFF;  // the progress report comes at 0
      uint32_t n = r != 0 ? r : left != 0 ? 0x1000 : 1;
      n = std::min(n, (kRefillStep - pos) / 2 + 1);
      n = uint32_t(std::min<int64_t>(n, (limit - pos) / 2 + 1));
      uint32_t room = wr == wpos ? kWindowSize : (wr - wpos) & kWindowMask;
      n = std::min(n, room - (kFlushMargin - 1));
      n = std::min(n, kWindowSize - wpos);
      n = std::min(n, (kSeriesRounds - 1) * a.channels);
      a.in = pos + 7;
      a.bits = load_be64(a.input + pos) << (bitpos & 7);
      a.bitsleft = 56 - (bitpos & 7);
      a.out = window + wpos;
      const uint32_t done = run_audio_stretch(a, n, table_block, window);
      bitpos = a.in * 8 - a.bitsleft;
      avail = 0;
      wpos += done;
      left = int32_t(uint32_t(left) - done);
    } else {
      // The stretches read their own entries; fast[] only serves these
      // single steps, so it is made on the first of them after a table block.
      ensure_fast_table(s.audio_tables[a.channel]);
      uint32_t sym = next_audio_symbol(s.audio_tables[a.channel], a.input, bits, avail, bitpos);
      if (sym == 256) {
        table_block = true;
      } else {
        window[wpos++] = audio_step(states[a.channel], a.channel_delta, sym);
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
