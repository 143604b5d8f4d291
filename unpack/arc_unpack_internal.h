// Internals of the unpack-version-20 decoder, shared by its source files and
// its tests: the bit reader over the input buffer, the canonical-Huffman
// decoding tables, the table block, the multimedia predictor and the LZ
// state. Everything lives in one module-level record, `unpack_state`, so a
// test can start from a clean slate with reset_unpack_state().
//
// Bit order. The packed stream is read most significant bit first: bit 0 of
// the stream is the top bit of the first packed byte, and a field of n bits
// is the next n bits read as an unsigned number, first bit most significant.
//
// Input buffer. Packed bytes arrive in blocks of 8192 (the first fill) and
// 8160 (refills). A refill moves the last 32 bytes to the front so that the
// reader, which looks up to three bytes ahead of input_pos, never needs a
// bounds check per bit: callers refill when input_pos passes a threshold at
// fixed points (before each decoding step, at the start of a table block,
// before each code-length symbol), and no stretch between two such points
// consumes more than 51 bits.
#pragma once

#include <cstdint>
#include <cstring>

#include "archive/arc_extract.h"
#include "archive/arc_format.h"
#include "unpack/arc_unpack.h"

constexpr uint32_t kInputSize = 8192;
constexpr uint32_t kInputKeep = 32;                 // bytes kept across a refill
constexpr uint32_t kRefillStep = kInputSize - 30;   // before each decoding step
constexpr uint32_t kRefillTable = kInputSize - 25;  // at the start of a table block
// The reader never needs a bit past byte 8191, but it loads whole words:
// four bytes per peek, eight per LZ step and per top-up of the code-length
// window, starting at most at byte 8191, 8169 and 8184. The slack keeps
// those loads inside the buffer; the bits they bring from it are never
// used.
constexpr uint32_t kInputSlack = 8;

// How far the bit reader may run past the end of an entry's packed data
// before the entry is given up. A sound stream ends within a few bytes of
// look-ahead; a damaged one could otherwise keep decoding table blocks or
// empty copies over stale buffer contents for ever.
constexpr uint32_t kOverrunMargin = 64;

constexpr uint32_t kWindowMask = kWindowSize - 1;

// A canonical-Huffman decoding table.
//   limit[L]  exclusive upper bound, left-aligned in 16 bits, of all codes of
//             length L or less (limit[0] = 0); values above 0xFFFF are kept
//             as 0xFFFF, which a peek with its low bit cleared never reaches.
//   first[L]  index in symbols[] of the first symbol whose code has length L.
//   symbols   coded symbols by code length, then by value. Entries past the
//             coded ones keep whatever an earlier build left there.
// A code that decodes to an index at or past symbol_count yields symbols[0].
//   fast[p]   the search's result for every peek whose top kFastBits bits
//             are p, precomputed when the table is built: symbol << 4 | code
//             length when the length is kFastBits or less, else 0 (the search
//             decides). Codes that short depend on nothing but those bits.
//             The LZ tables are mostly read through the LZ loop's own
//             entries, so theirs is filled only when first needed
//             (fast_ready; see ensure_fast_table).
constexpr uint32_t kFastBits = 10;
struct DecodeTable {
  uint32_t symbol_count;
  uint32_t limit[16];
  uint32_t first[16];
  uint16_t symbols[kMainSymbols];
  uint16_t fast[1u << kFastBits];
  bool fast_ready;
};

// Lookup entries of the LZ loop's fast path: one load per code gives what
// the step needs next, so the symbol itself is never looked at on the way.
// For every peek whose top bits (kMainEntryBits, kDistanceEntryBits,
// kRepeatEntryBits of the table) start a code no longer than that, the entry
// holds
//     bits 0-4    bits to consume: the code and the extra bits after it
//     main and repeat-length tables:
//       bits 5-10   mask of the extra bits after the code ((1 << count) - 1)
//       bits 11-19  the symbol (main table only)
//       bit 20      main table: set for a literal
//       bit 21      main table: set for a new copy (symbols 270-297)
//       bits 24-31  main table: length base + 3 of symbols 270-297, short
//                   distance base + 1 of symbols 261-268
//       bits 11-31  repeat-length table: length base + 2
//     distance table (up to 16 extra bits, whose mask would not fit):
//       bits 5-9    extra bits after the code
//       bits 10-31  distance base + 1
// and 0 otherwise, where the four-comparison search decides (a code never
// has 0 bits). Rebuilt with the tables by every LZ table block.
constexpr uint32_t kMainEntryBits = 11;
constexpr uint32_t kDistanceEntryBits = 10;
constexpr uint32_t kRepeatEntryBits = 8;
constexpr uint32_t kEntryLiteral = 1u << 20;
constexpr uint32_t kEntryNewCopy = 1u << 21;
inline uint32_t entry_bits(uint32_t e) { return e & 31; }
inline uint32_t entry_extra_mask(uint32_t e) { return (e >> 5) & 63; }
inline uint32_t entry_symbol(uint32_t e) { return (e >> 11) & 511; }
inline uint8_t entry_literal(uint32_t e) { return uint8_t(e >> 11); }
inline uint32_t entry_main_base(uint32_t e) { return e >> 24; }
inline uint32_t entry_repeat_base(uint32_t e) { return e >> 11; }
inline uint32_t entry_distance_extra_bits(uint32_t e) { return (e >> 5) & 31; }
inline uint32_t entry_distance_base(uint32_t e) { return e >> 10; }

// Lookup entries of the multimedia loop's fast path, one table per channel:
// for every peek whose top kAudioEntryBits bits start a code no longer than
// that, of a delta (not of the table-block symbol 256),
//     bits 0-5    code length (bits 6-7 clear, so the entry itself can be
//                 taken off a bit count whose low byte is all that counts)
//     bits 8-15   the delta
//     bits 16-23  clear
//     bits 24-31  -delta, as a byte: the delta's share of the prediction
//                 sum, -8 * delta, in the sum's form that the rounds keep
//                 (shifted left by 21 bits; see series_change)
// and 0 otherwise, where the search decides. The search's result for the
// table-block symbol is given as its code length with bit 16 set, which no
// delta's entry has.
constexpr uint32_t kAudioEntryBits = 11;
constexpr uint32_t kAudioEntryBlock = 1u << 16;
inline uint32_t audio_entry(uint32_t sym, uint32_t len) {
  if (sym >= 256) return len | kAudioEntryBlock;
  return len | sym << 8 | ((0u - sym) & 0xFF) << 24;
}
inline bool audio_entry_is_block(uint32_t e) { return (e & kAudioEntryBlock) != 0; }

// One channel of the multimedia predictor.
struct AudioChannelState {
  int32_t coef1, coef2, coef3, coef4, coef5;  // weights, kept within -17..16
  int32_t hist1, hist2, hist3, hist4;         // last delta, then changes between deltas
  int32_t last_delta;                         // -128..127
  uint32_t error_sum[11];                     // errors of the eleven candidate adjustments
  uint32_t byte_count;
  int32_t last_byte;                          // last output before reduction to a byte
};

struct TUnpackState {
  // Bit reader.
  uint8_t input_buffer[kInputSize + kInputSlack];
  uint32_t input_pos;  // current byte
  uint32_t input_bit;  // current bit of that byte, 0 = most significant
  uint32_t input_top;  // valid bytes after the last fill
  // Where the buffer stands in the entry's packed data, to notice a reader
  // that has run off its end: input_buffer[0] is packed byte input_base, and
  // the packed bytes delivered so far end at input_end.
  uint64_t input_base;
  uint64_t input_end;

  // Tables and the table block.
  DecodeTable main_table;
  DecodeTable distance_table;
  DecodeTable repeat_length_table;
  DecodeTable code_length_table;
  DecodeTable audio_tables[kMaxChannels];
  uint32_t main_entries[1u << kMainEntryBits];
  uint32_t distance_entries[1u << kDistanceEntryBits];
  uint32_t repeat_entries[1u << kRepeatEntryBits];
  uint32_t audio_entries[kMaxChannels][1u << kAudioEntryBits];
  // The multimedia rounds' working weights (see lane_weights in
  // arc_unpack.cpp).
  uint32_t audio_weights[kMaxChannels][8];
  uint8_t previous_lengths[kMaxLengths];
  bool audio_mode;
  uint32_t channel_count;    // 1 to 4
  uint32_t current_channel;  // 0 to channel_count - 1

  // Multimedia predictor.
  AudioChannelState channels[kMaxChannels];
  int32_t channel_delta;  // last_delta of the channel that produced the previous byte

  // LZ window and copies.
  uint8_t* window;
  uint32_t window_pos;  // where the next byte goes
  uint32_t write_pos;   // first byte not yet written out
  // The window is not cleared when an entry starts afresh: the bytes from
  // window_fill to the window's end, which nothing since then has written,
  // read as zeros and are cleared only when a copy is about to read one of
  // them (clear_unwritten). Brought up to date by each flush (the written
  // stretch is write_pos..window_pos, wrapped or not) and by a stored copy.
  uint32_t window_fill;
  uint32_t last_distance;
  uint32_t last_length;
  uint32_t old_distances[4];
  uint32_t old_distance_index;  // counts copies; only its value mod 4 is used
};

extern TUnpackState unpack_state;

// Makes the decoding loops run each step on its own, with every per-step
// check (and, in multimedia mode, the error counters updated at once),
// instead of in checked stretches: the plain definition, for comparing the
// two.
extern bool unpack_step_by_step;


// Bit input and tables.
void fill_input(bool initial);
// with_fast = false leaves fast[] to ensure_fast_table.
void build_decode_table(const uint8_t* lengths, DecodeTable& table, uint32_t size, bool with_fast = true);
void ensure_fast_table(DecodeTable& table);
void read_tables();

// Eight bytes as a big-endian number.
inline uint64_t load_be64(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  w = __builtin_bswap64(w);
#endif
  return w;
}

// Four bytes as a big-endian number.
inline uint32_t load_be32(const uint8_t* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  w = __builtin_bswap32(w);
#endif
  return w;
}

// The four-comparison search over the limits for the peek v: symbol << 4 |
// code length, nothing consumed. The reference that fast[] reproduces.
uint32_t decode_search(const DecodeTable& table, uint32_t v);
// The same, consuming the code; v is peek_bits().
uint32_t decode_symbol_search(const DecodeTable& table, uint32_t v);

// A place in the input buffer: byte pos, bit (0 = most significant). The
// reader's own is input_pos and input_bit; a loop that must not read it
// back from memory at every step works on a copy and puts it back.
struct BitPosition {
  uint32_t pos;
  uint32_t bit;

  // The next 16 bits of the stream, not consumed. The load takes a fourth
  // byte whose bits are all shifted out again; the buffer's slack keeps it
  // in bounds at the very end.
  uint32_t peek() const { return (load_be32(unpack_state.input_buffer + pos) << bit) >> 16; }
  // Consumes n bits (0 to 16).
  void skip(uint32_t n) {
    const uint32_t t = bit + n;
    pos += t >> 3;
    bit = t & 7;
  }
  // Reads a field of n bits (0 to 16); 0 bits read as 0.
  uint32_t get(uint32_t n) {
    if (n == 0) return 0;
    const uint32_t v = peek() >> (16 - n);
    skip(n);
    return v;
  }
  // Decodes and consumes one code.
  uint32_t decode(const DecodeTable& table) {
    const uint32_t v = peek();
    uint32_t e = table.fast[v >> (16 - kFastBits)];
    if (e == 0) e = decode_search(table, v);
    skip(e & 15);
    return e >> 4;
  }
};

inline BitPosition reader_position() { return {unpack_state.input_pos, unpack_state.input_bit}; }
inline void set_reader_position(BitPosition p) {
  unpack_state.input_pos = p.pos;
  unpack_state.input_bit = p.bit;
}

// The reader's own position, through the same steps.
inline uint32_t peek_bits() { return reader_position().peek(); }
inline void skip_bits(uint32_t n) {
  BitPosition p = reader_position();
  p.skip(n);
  set_reader_position(p);
}
inline uint32_t get_bits(uint32_t n) {
  BitPosition p = reader_position();
  const uint32_t v = p.get(n);
  set_reader_position(p);
  return v;
}
inline uint32_t decode_symbol(const DecodeTable& table) {
  BitPosition p = reader_position();
  const uint32_t sym = p.decode(table);
  set_reader_position(p);
  return sym;
}

// The lookup entry of symbol sym with a code of len bits, for the main,
// distance and repeat-length tables.
uint32_t main_entry(uint32_t sym, uint32_t len);
uint32_t distance_entry(uint32_t sym, uint32_t len);
uint32_t repeat_entry(uint32_t sym, uint32_t len);

// Multimedia predictor: one output byte of current_channel from its delta.
uint8_t decode_audio_byte(uint32_t delta);

// LZ decoder.
void reset_decoder(bool solid);
void copy_match(uint32_t length, uint32_t distance);
void clear_unwritten(uint32_t dst);
void flush_window();
void read_trailing_tables();
