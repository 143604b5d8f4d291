// Bit input, canonical-Huffman tables and the table block of the
// unpack-version-20 format.
//
// Canonical codes. Within an alphabet, codes are handed out by length,
// shorter first, and within one length by symbol value; the first code of
// length L is twice the end of the codes of length L-1. So if E[L] is the
// (exclusive) end of the codes of length L read as L-bit numbers,
//     E[L] = 2 * E[L-1] + count[L],
// and limit[L] = E[L] left-aligned in 16 bits is the first 16-bit pattern that
// no longer starts with a code of length L or less. A code of length L is then
// found as the smallest L with peek < limit[L], and its index among the codes
// of that length is (peek - limit[L-1]) >> (16 - L).
//
// Table block layout (what read_tables consumes):
//     1 bit   multimedia block
//     1 bit   1 = lengths are changes against the previous block's, 0 = against zeros
//     2 bits  channel count - 1 (multimedia blocks only)
//     19 x 4 bits  code lengths of the code-length alphabet
//     then code-length symbols until all lengths are known:
//       0-15  new length = (previous length + symbol) mod 16
//       16    2 extra bits: repeat the length before, 3-6 times
//       17    3 extra bits: 3-10 zero lengths
//       18    7 extra bits: 11-138 zero lengths
// An LZ block carries 374 lengths (main 298, distance 48, repeat 28); a
// multimedia block 257 per channel.

#include <cstring>

#include "archive/arc_extract.h"
#include "archive/archive_class.h"
#include "unpack/arc_unpack_internal.h"

int32_t read_packed(uint8_t* buffer, int32_t count) {
  // The request never passes packed_left, so the decoder never reads into
  // the next entry's header.
  if (count <= 0 || packed_left <= 0) return 0;
  if (packed_left < count) count = packed_left;
  int32_t n = archive_stream->read(buffer, count);
  if (n <= 0) return 0;           // end of the stream or a failed read
  if (n > count) n = count;       // a stream cannot deliver more than asked
  packed_read_total += uint32_t(n);
  packed_left -= n;
  return n;
}

void fill_input(bool initial) {
  TUnpackState& s = unpack_state;
  if (initial) {
    int32_t n = read_packed(s.input_buffer, int32_t(kInputSize));
    s.input_top = uint32_t(n);
    s.input_pos = 0;
    s.input_base = 0;
    s.input_end = uint64_t(n);
    return;
  }
  // The last 32 bytes move to the front; input_pos keeps pointing at the
  // same byte. Refills happen only with input_pos in 8160..8191, so the
  // buffer start advances by exactly 8160.
  std::memcpy(s.input_buffer, s.input_buffer + kInputSize - kInputKeep, kInputKeep);
  uint32_t kept = s.input_pos & (kInputKeep - 1);
  s.input_base += s.input_pos - kept;
  s.input_pos = kept;
  int32_t n = read_packed(s.input_buffer + kInputKeep, int32_t(kInputSize - kInputKeep));
  if (n > 0) {
    s.input_top = uint32_t(n) + kInputKeep;
    s.input_end = s.input_base + s.input_top;
  } else {
    // Nothing more: the bytes past input_pos are stale, and the reader goes
    // on over them until the entry's size or the overrun margin stops it.
    s.input_top = s.input_pos;
  }
}

namespace {

// The code length of v (a peek with its low bit cleared): the smallest L
// from 1 to 14 with v < limit[L], else 15, found by a fixed bisection of four
// comparisons. The limits never decrease with L, which the bisection needs.
inline uint32_t code_length(const uint32_t* limit, uint32_t v) {
  if (v < limit[8]) {
    if (v < limit[4]) {
      if (v < limit[2]) return v < limit[1] ? 1 : 2;
      return v < limit[3] ? 3 : 4;
    }
    if (v < limit[6]) return v < limit[5] ? 5 : 6;
    return v < limit[7] ? 7 : 8;
  }
  if (v < limit[12]) {
    if (v < limit[10]) return v < limit[9] ? 9 : 10;
    return v < limit[11] ? 11 : 12;
  }
  if (v < limit[14]) return v < limit[13] ? 13 : 14;
  return 15;
}

// Position in symbols[] of the code of length len that v starts with; a
// position past the alphabet reads as position 0.
inline uint32_t code_position(const DecodeTable& table, uint32_t len, uint32_t v) {
  uint32_t i = table.first[len] + ((v - table.limit[len - 1]) >> (16 - len));
  return i < table.symbol_count ? i : 0;
}

// Fills a prefix table (fast[], or the LZ loop's entries) with value(symbol,
// code length) for every kBits-bit prefix that starts a code of kBits or
// fewer bits, and 0 for the others.
//
// The codes are canonical: in prefix order come the codes of length 1, then
// those of length 2 and so on, and within one length the symbols in their
// order in symbols[] (from first[L] on, count[L] = first[L + 1] - first[L]
// of them). A code of length L covers 1 << (kBits - L) prefixes, so the
// table is the symbols in that order, each repeated over its run: the runs
// of one length are all as wide, which keeps the inner loop's length the
// same from one symbol to the next. Codes that do not fit the table (more
// than the code space, which a damaged or hostile block may describe) are
// left out; prefixes beyond the last code of kBits or fewer bits are
// left to the search.
template <uint32_t kBits, typename Entry, typename Value>
void fill_prefixes(const DecodeTable& table, Entry* out, Value value) {
  static_assert(kBits < 15, "first[] has a place for every length up to 15");
  constexpr uint32_t size = 1u << kBits;
  uint32_t p = 0;
  for (uint32_t len = 1; len <= kBits; ++len) {
    const uint32_t width = size >> len;
    const uint16_t* symbol = table.symbols + table.first[len];
    const uint32_t count = table.first[len + 1] - table.first[len];
    // Runs only get narrower, so p is a multiple of width and a run that
    // starts inside the table ends inside it.
    for (uint32_t i = 0; i < count && p < size; ++i, p += width) {
      const Entry e = Entry(value(symbol[i], len));
      for (uint32_t j = 0; j < width; ++j) out[p + j] = e;
    }
  }
  for (; p < size; ++p) out[p] = 0;
}

void build_fast_table(DecodeTable& table) {
  fill_prefixes<kFastBits>(table, table.fast, [](uint32_t sym, uint32_t len) { return sym << 4 | len; });
}

}  // namespace

void ensure_fast_table(DecodeTable& table) {
  if (table.fast_ready) return;
  build_fast_table(table);
  table.fast_ready = true;
}

// Out of line: a table block builds up to four tables, and a copy of this
// inside read_tables for each of them costs the setup kilobytes for no
// speed that shows.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void build_decode_table(const uint8_t* lengths, DecodeTable& table, uint32_t size, bool with_fast) {
  // Four tallies side by side, so that a run of equal lengths does not add
  // to one counter in memory over and over, each time waiting for the last.
  uint32_t tally[4][16] = {};
  uint32_t i = 0;
  for (; i + 4 <= size; i += 4)
    for (uint32_t t = 0; t < 4; ++t) ++tally[t][lengths[i + t] & 15];
  for (; i < size; ++i) ++tally[0][lengths[i] & 15];
  uint32_t count[16];
  for (uint32_t len = 0; len < 16; ++len) count[len] = tally[0][len] + tally[1][len] + tally[2][len] + tally[3][len];
  count[0] = 0;

  uint32_t next[16];
  table.limit[0] = 0;
  table.first[0] = 0;
  next[0] = 0;
  uint32_t n = 0;  // 2 * E[L], as the loop goes
  for (uint32_t len = 1; len < 16; ++len) {
    n = 2 * (n + count[len]);
    uint32_t m = n << (15 - len);
    table.limit[len] = m > 0xFFFF ? 0xFFFF : m;
    table.first[len] = table.first[len - 1] + count[len - 1];
    next[len] = table.first[len];
  }
  // Uncoded symbols go to a place of their own, without a branch: which
  // symbols a table leaves out follows the data and cannot be foretold.
  uint16_t uncoded;
  for (uint32_t sym = 0; sym < size; ++sym) {
    uint32_t len = lengths[sym] & 15;
    uint16_t* place = len != 0 ? &table.symbols[next[len]] : &uncoded;
    *place = uint16_t(sym);
    ++next[len];
  }
  table.symbol_count = size;
  table.fast_ready = false;
  if (with_fast) ensure_fast_table(table);
}

uint32_t decode_search(const DecodeTable& table, uint32_t v) {
  // The low bit is cleared so that the all-ones pattern (0xFFFE) still falls
  // below a complete code's last limit, which is capped at 0xFFFF.
  v &= 0xFFFE;
  uint32_t len = code_length(table.limit, v);
  return uint32_t(table.symbols[code_position(table, len, v)]) << 4 | len;
}

uint32_t decode_symbol_search(const DecodeTable& table, uint32_t v) {
  uint32_t e = decode_search(table, v);
  skip_bits(e & 15);
  return e >> 4;
}

void read_tables() {
  TUnpackState& s = unpack_state;
  if (s.input_pos > kRefillTable) fill_input(false);

  uint32_t v = peek_bits();
  s.audio_mode = (v & 0x8000) != 0;
  if ((v & 0x4000) == 0) std::memset(s.previous_lengths, 0, sizeof s.previous_lengths);
  skip_bits(2);

  uint32_t total = kLzLengths;
  if (s.audio_mode) {
    s.channel_count = ((v >> 12) & 3) + 1;
    if (s.current_channel >= s.channel_count) s.current_channel = 0;
    skip_bits(2);
    total = kAudioSymbols * s.channel_count;
  }

  uint8_t cl_lengths[kCodeLengthSymbols];
  for (uint32_t i = 0; i < kCodeLengthSymbols; ++i) cl_lengths[i] = uint8_t(get_bits(4));
  build_decode_table(cl_lengths, s.code_length_table, kCodeLengthSymbols);

  // The lengths are decoded in place: each place is read as a base before it
  // is overwritten, and a repeat looks back only at places already renewed.
  //
  // The stream is read through a 64-bit window, topped up before each
  // symbol without a branch (whole bytes from `in` on, to 56 to 63 valid
  // bits) and shifted as codes are taken: a symbol then waits only for the
  // one before it to be shifted out, not for a byte and bit position to be
  // worked out and a word loaded from it. A symbol takes at most 22 bits.
  // The window's loads stay inside the buffer while in <= kInputSize - 8;
  // past that the buffer is refilled first, the reader then standing 5 to
  // 8 bytes behind in, inside the last 32 bytes, where a refill may happen.
  uint8_t* lengths = s.previous_lengths;
  uint64_t window = 0;
  uint32_t left = 0;  // valid bits in the window
  uint32_t in = 0;    // the byte after the window's last
  auto top_up = [&] {
    window |= load_be64(s.input_buffer + in) >> left;
    in += (63 - left) >> 3;
    left |= 56;
  };
  auto take = [&](uint32_t n) {
    window <<= n;
    left -= n;
  };
  auto get = [&](uint32_t n) {
    const uint32_t field = uint32_t(window >> (64 - n));
    take(n);
    return field;
  };
  auto open_window = [&] {
    const BitPosition at = reader_position();
    window = 0;
    left = 0;
    in = at.pos;
    top_up();
    take(at.bit);
  };
  auto close_window = [&] {
    const uint32_t bit = in * 8 - left;
    set_reader_position({bit >> 3, bit & 7});
  };
  open_window();
  uint32_t i = 0;
  while (i < total) {
    if (in > kInputSize - 8) {
      close_window();
      fill_input(false);
      open_window();
    }
    top_up();
    const uint32_t v = uint32_t(window >> 48);
    uint32_t e = s.code_length_table.fast[v >> (16 - kFastBits)];
    if (e == 0) e = decode_search(s.code_length_table, v);
    take(e & 15);
    const uint32_t sym = e >> 4;
    if (sym < 16) {
      lengths[i] = uint8_t((lengths[i] + sym) & 15);
      ++i;
      continue;
    }
    uint32_t run;
    uint8_t value = 0;
    if (sym == 16) {
      run = 3 + get(2);
      // A block that starts with a repeat has nothing to repeat: zeros.
      value = i > 0 ? lengths[i - 1] : 0;
    } else if (sym == 17) {
      run = 3 + get(3);
    } else {
      run = 11 + get(7);
    }
    // A run that passes the end of the block is cut there.
    for (; run > 0 && i < total; --run) lengths[i++] = value;
  }
  close_window();

  if (s.audio_mode) {
    for (uint32_t c = 0; c < s.channel_count; ++c) {
      build_decode_table(lengths + c * kAudioSymbols, s.audio_tables[c], kAudioSymbols, false);
      fill_prefixes<kAudioEntryBits>(s.audio_tables[c], s.audio_entries[c],
                                     [](uint32_t sym, uint32_t len) { return sym < 256 ? audio_entry(sym, len) : 0; });
    }
  } else {
    build_decode_table(lengths, s.main_table, kMainSymbols, false);
    build_decode_table(lengths + kMainSymbols, s.distance_table, kDistanceSymbols, false);
    build_decode_table(lengths + kMainSymbols + kDistanceSymbols, s.repeat_length_table,
                       kRepeatSymbols, false);
    fill_prefixes<kMainEntryBits>(s.main_table, s.main_entries, main_entry);
    fill_prefixes<kDistanceEntryBits>(s.distance_table, s.distance_entries, distance_entry);
    fill_prefixes<kRepeatEntryBits>(s.repeat_length_table, s.repeat_entries, repeat_entry);
  }
}
