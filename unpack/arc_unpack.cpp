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
#if defined(__GNUC__)
__attribute__((noinline))
#endif
uint32_t main_entry_searched(uint64_t bits) {
  uint32_t r = decode_search(unpack_state.main_table, uint32_t(bits >> 48));
  return main_entry(r >> 4, r & 15);
}
#if defined(__GNUC__)
__attribute__((noinline))
#endif
uint32_t distance_entry_searched(uint64_t bits) {
  uint32_t r = decode_search(unpack_state.distance_table, uint32_t(bits >> 48));
  return distance_entry(r >> 4, r & 15);
}
#if defined(__GNUC__)
__attribute__((noinline))
#endif
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
#if defined(__GNUC__)
__attribute__((noinline))
#endif
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

  // What a step reads and writes of each channel's state and collection,
  // in locals (indexed by constants only, so each gets a register where
  // there are enough): written back only where a cycle ends and at the end.
  // Three or four channels' worth would not fit the registers; those steps
  // work on the states in place (audio_step_deferred).
  constexpr bool kInRegisters = kChannels <= 2;
  int32_t last_byte[kChannels], last_delta[kChannels], w1[kChannels], w2[kChannels], w3[kChannels],
      w4[kChannels], w5[kChannels];
  uint32_t count[kChannels], due[kChannels];
  auto load_weights = [&](uint32_t k) {
    w1[k] = states[k].coef1;
    w2[k] = states[k].coef2;
    w3[k] = states[k].coef3;
    w4[k] = states[k].coef4;
    w5[k] = states[k].coef5;
  };
  auto store = [&](uint32_t k) {
    states[k].last_byte = last_byte[k];
    states[k].last_delta = last_delta[k];
    pending[k].count = count[k];
  };
  for (uint32_t k = 0; k < kChannels && kInRegisters; ++k) {
    load_weights(k);
    last_byte[k] = states[k].last_byte;
    last_delta[k] = states[k].last_delta;
    count[k] = pending[k].count;
    due[k] = pending[k].due;
  }

  // One step on channel k (a compile-time constant); false at the
  // table-block symbol. The same arithmetic as audio_step_deferred.
  auto step = [&](auto channel_constant) {
    constexpr uint32_t k = decltype(channel_constant)::value;
    uint32_t delta = next_audio_symbol(tables[k], input, bits, avail, bitpos);
    if (delta == 256) return false;
    if constexpr (!kInRegisters) {
      out[done++] = audio_step_deferred(states[k], pending[k], channel_delta, delta);
      return true;
    }
    using namespace audio_detail;
    AudioPending& q = pending[k];
    const uint32_t i = count[k];
    const int32_t h1 = last_delta[k];
    const int32_t h2 = h1 - q.h1[i];
    const int32_t h3 = q.h2[i + 2];
    const int32_t h4 = q.h2[i + 1];
    const int32_t cd = channel_delta;
    q.e[i] = int16_t(signed_byte(int32_t(delta)) * 8);
    q.cd[i] = int16_t(cd);
    q.h1[i + 1] = int16_t(h1);
    q.h2[i + 3] = int16_t(h2);
    // The chain through cd kept short as in audio_step_deferred; the term
    // of the byte just made comes last, as the others are ready before it.
    const int32_t d = int32_t(delta);
    int32_t r = w1[k] * h1 + w2[k] * h2 + w3[k] * h3 + w4[k] * h4 - 8 * d;
    r += w5[k] * cd;
    const int32_t change = int32_t(int8_t(uint8_t(uint32_t(r) >> 3)));
    const int32_t o = ((last_byte[k] + change + d) & 0xFF) - d;
    last_delta[k] = change;
    channel_delta = change;
    out[done++] = uint8_t(last_byte[k] + change);
    last_byte[k] = o;
    count[k] = i + 1;
    if (i + 1 == due[k]) {
      store(k);
      audio_cycle_end(states[k], q);
      load_weights(k);
      count[k] = q.count;
      due[k] = q.due;
    }
    return true;
  };
  // The same on the channel given at run time.
  auto step_on = [&](uint32_t k) {
    switch (k) {
      case 0: return step(std::integral_constant<uint32_t, 0>());
      case 1: if constexpr (kChannels > 1) return step(std::integral_constant<uint32_t, 1>()); break;
      case 2: if constexpr (kChannels > 2) return step(std::integral_constant<uint32_t, 2>()); break;
      default: if constexpr (kChannels > 3) return step(std::integral_constant<uint32_t, 3>()); break;
    }
    return false;
  };
  auto next = [](uint32_t k) { return k + 1 == kChannels ? 0 : k + 1; };

  bool ended = false;
  // Single steps up to the first channel, whole rounds, single steps again.
  while (!ended && channel != 0 && done < n) {
    ended = !step_on(channel);
    if (!ended) channel = next(channel);
  }
  while (!ended && n - done >= kChannels) {
    ended = !step(std::integral_constant<uint32_t, 0>());
    if (ended) channel = 0;
    if constexpr (kChannels > 1) {
      if (!ended && !step(std::integral_constant<uint32_t, 1>())) ended = true, channel = 1;
    }
    if constexpr (kChannels > 2) {
      if (!ended && !step(std::integral_constant<uint32_t, 2>())) ended = true, channel = 2;
    }
    if constexpr (kChannels > 3) {
      if (!ended && !step(std::integral_constant<uint32_t, 3>())) ended = true, channel = 3;
    }
  }
  while (!ended && done < n) {
    ended = !step_on(channel);
    if (!ended) channel = next(channel);
  }

  for (uint32_t k = 0; k < kChannels && kInRegisters; ++k) store(k);
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
