// Test helper: writes unpack-version-20 bit streams by hand, bit for bit, so
// that decoder tests can put exactly the symbols, extra bits and table blocks
// they mean into a stream, including ones no encoder would choose.
//
// Header-only and independent of the decoder: canonical codes are computed
// here from the code lengths on their own (shorter codes first, then by
// symbol value; the first code of a length is twice the end of the codes one
// bit shorter).
//
// Typical use:
//   bitw::BitWriter w;
//   bitw::LzCodes codes = bitw::LzCodes::flat();
//   bitw::write_lz_table_block(w, codes.lengths(), {});
//   w.put_symbol(codes.main, 'a');
//   std::vector<uint8_t> data = w.finish();
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace bitw {

// Canonical prefix code of one alphabet.
struct Code {
  std::vector<uint8_t> length;  // per symbol, 0 = not coded
  std::vector<uint32_t> code;   // per symbol, right-aligned in length bits

  Code() = default;
  explicit Code(std::vector<uint8_t> lengths) : length(std::move(lengths)), code(length.size(), 0) {
    uint32_t count[16] = {};
    for (uint8_t l : length) count[l & 15]++;
    count[0] = 0;
    uint32_t next[16] = {};
    uint32_t end = 0;  // end of the codes one bit shorter
    for (int l = 1; l < 16; ++l) {
      next[l] = 2 * end;
      end = next[l] + count[l];
    }
    for (size_t s = 0; s < length.size(); ++s)
      if (length[s]) code[s] = next[length[s]]++;
  }
  // Every symbol with the same length.
  static Code uniform(size_t symbols, uint8_t len) {
    return Code(std::vector<uint8_t>(symbols, len));
  }
};

class BitWriter {
 public:
  // Appends the low `bits` bits of value, most significant first.
  void put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) put_bit((value >> i) & 1);
  }
  void put_bit(uint32_t bit) {
    if (nbits_ % 8 == 0) bytes_.push_back(0);
    if (bit) bytes_.back() |= uint8_t(0x80 >> (nbits_ % 8));
    ++nbits_;
  }
  void put_symbol(const Code& c, size_t symbol) { put(c.code.at(symbol), c.length.at(symbol)); }
  size_t bit_count() const { return nbits_; }
  // The bytes so far, the last one padded with zero bits, plus `padding`
  // zero bytes.
  std::vector<uint8_t> finish(size_t padding = 0) const {
    std::vector<uint8_t> out = bytes_;
    out.insert(out.end(), padding, 0);
    return out;
  }

 private:
  std::vector<uint8_t> bytes_;
  size_t nbits_ = 0;
};

// One code-length symbol of a table block with its extra bits.
struct LengthItem {
  uint8_t symbol;     // 0-15 change, 16 repeat, 17/18 zeros
  uint32_t extra = 0; // 2, 3 or 7 bits for 16, 17, 18
};

// Plain coding of `lengths` as changes against `previous` (one symbol per
// place), or, with runs = true, zero runs as 17/18 and repeats as 16 where
// they fit.
inline std::vector<LengthItem> plan_lengths(const std::vector<uint8_t>& lengths,
                                            const std::vector<uint8_t>& previous, bool runs) {
  std::vector<LengthItem> items;
  size_t i = 0;
  auto prev = [&](size_t k) -> uint8_t { return k < previous.size() ? previous[k] : 0; };
  while (i < lengths.size()) {
    if (runs) {
      size_t n = 0;
      while (i + n < lengths.size() && lengths[i + n] == 0 && n < 138) ++n;
      if (n >= 11) {
        items.push_back({18, uint32_t(n - 11)});
        i += n;
        continue;
      }
      if (n >= 3) {
        items.push_back({17, uint32_t(n - 3)});
        i += n;
        continue;
      }
      if (i > 0) {
        size_t r = 0;
        while (i + r < lengths.size() && lengths[i + r] == lengths[i - 1] && r < 6) ++r;
        if (r >= 3) {
          items.push_back({16, uint32_t(r - 3)});
          i += r;
          continue;
        }
      }
    }
    items.push_back({uint8_t((lengths[i] - prev(i)) & 15), 0});
    ++i;
  }
  return items;
}

// Code lengths of the code-length alphabet used unless a test picks its own:
// 5 bits for all 19 symbols.
inline std::vector<uint8_t> default_cl_lengths() { return std::vector<uint8_t>(19, 5); }

// Writes a table block: the mode bit, the keep bit (1 = changes against the
// previous lengths), the channel count in multimedia mode, the 19 code-length
// lengths, and the items.
inline void write_table_block(BitWriter& w, bool audio, bool keep, int channels,
                              const std::vector<uint8_t>& cl_lengths,
                              const std::vector<LengthItem>& items) {
  w.put(audio ? 1 : 0, 1);
  w.put(keep ? 1 : 0, 1);
  if (audio) w.put(uint32_t(channels - 1), 2);
  for (int i = 0; i < 19; ++i) w.put(cl_lengths.at(i), 4);
  Code cl(cl_lengths);
  for (const LengthItem& it : items) {
    w.put_symbol(cl, it.symbol);
    if (it.symbol == 16) w.put(it.extra, 2);
    if (it.symbol == 17) w.put(it.extra, 3);
    if (it.symbol == 18) w.put(it.extra, 7);
  }
}

// The three codes of an LZ block.
struct LzCodes {
  Code main, distance, repeat;
  LzCodes(Code m, Code d, Code r) : main(std::move(m)), distance(std::move(d)), repeat(std::move(r)) {}
  // Fixed-length codes for all symbols: 9, 6 and 5 bits.
  static LzCodes flat() {
    return LzCodes(Code::uniform(298, 9), Code::uniform(48, 6), Code::uniform(28, 5));
  }
  // The 374 lengths of the block, in stream order.
  std::vector<uint8_t> lengths() const {
    std::vector<uint8_t> all = main.length;
    all.insert(all.end(), distance.length.begin(), distance.length.end());
    all.insert(all.end(), repeat.length.begin(), repeat.length.end());
    return all;
  }
};

// An LZ table block that codes `lengths` against `previous` (empty = zeros,
// and the keep bit then 0).
inline void write_lz_table_block(BitWriter& w, const std::vector<uint8_t>& lengths,
                                 const std::vector<uint8_t>& previous, bool runs = true) {
  write_table_block(w, false, !previous.empty(), 1, default_cl_lengths(),
                    plan_lengths(lengths, previous, runs));
}

// A multimedia table block: one 257-symbol code per channel.
inline void write_audio_table_block(BitWriter& w, const std::vector<Code>& channels,
                                    const std::vector<uint8_t>& previous, bool runs = true) {
  std::vector<uint8_t> all;
  for (const Code& c : channels) all.insert(all.end(), c.length.begin(), c.length.end());
  write_table_block(w, true, !previous.empty(), int(channels.size()), default_cl_lengths(),
                    plan_lengths(all, previous, runs));
}

// Symbols of the LZ mode with their extra bits, by slot; the tests choose
// slots and extra values directly so that each rule is hit on purpose.
inline void put_literal(BitWriter& w, const LzCodes& c, uint8_t byte) { w.put_symbol(c.main, byte); }

// New copy: main symbol 270 + length slot with its extra bits, then the
// distance slot with its extra bits.
inline void put_new_copy(BitWriter& w, const LzCodes& c, int length_slot, uint32_t length_extra,
                         int distance_slot, uint32_t distance_extra) {
  static const int kLengthBits[28] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2,
                                      2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};
  w.put_symbol(c.main, size_t(270 + length_slot));
  w.put(length_extra, kLengthBits[length_slot]);
  w.put_symbol(c.distance, size_t(distance_slot));
  int dbits = distance_slot < 4 ? 0 : distance_slot >= 34 ? 16 : distance_slot / 2 - 1;
  w.put(distance_extra, dbits);
}

// Copy at an old distance: symbol 256 + k (k = 1..4), then a repeat-length slot.
inline void put_old_copy(BitWriter& w, const LzCodes& c, int k, int length_slot, uint32_t length_extra) {
  static const int kLengthBits[28] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2,
                                      2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};
  w.put_symbol(c.main, size_t(256 + k));
  w.put_symbol(c.repeat, size_t(length_slot));
  w.put(length_extra, kLengthBits[length_slot]);
}

// Short copy (length 2): symbol 261 + slot with its extra bits.
inline void put_short_copy(BitWriter& w, const LzCodes& c, int slot, uint32_t extra) {
  static const int kBits[8] = {2, 2, 3, 4, 5, 6, 6, 6};
  w.put_symbol(c.main, size_t(261 + slot));
  w.put(extra, kBits[slot]);
}

}  // namespace bitw
