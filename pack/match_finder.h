// The encoder's match finder over the bytes the encoder holds (the decoder's
// window before the entry, then the entry as it is read).
//
// Positions count from the start of the encoder's buffer. Two structures
// find the copies of four bytes and more:
//  - hash chains (the lazy levels): each position links to the previous
//    one with the same 4-byte hash; a search walks that list;
//  - binary trees (the priced levels): the positions with the same 4-byte
//    hash form a tree sorted by the bytes that follow them, the newest at
//    the root. Entering a position walks down from the root towards it,
//    meeting the matches of growing length on the way, and re-hangs the
//    walked nodes below the new root. Entering a position and searching it
//    are the same walk, so a position skipped by a long copy costs what a
//    search costs, and the tree stays whole.
// Three-byte matches, which pay only at distances below 0x2000, come from a
// table of the last position of each 3-byte hash, and two-byte ones (short
// copies) from the last position of each byte pair. Links live in a ring
// indexed by position modulo its size (at most the window), so a link older
// than the ring is simply overwritten.
//
// A priced parse is run twice over a segment (a trial that prices the real
// one). The trees are not rolled back for that: every position is entered
// once, with the same walk whoever asks, and the matches of each walk from
// the segment's start on are kept. A search at a position already entered is
// answered from them, and is then exactly what a finder that never ran the
// trial would answer.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

struct Match {
  uint32_t len;
  uint32_t dist;
};

class MatchFinder {
 public:
  // Sizes the tables for a run over about span_hint bytes (the window at
  // most), so that small entries start quickly. depth bounds the steps of a
  // walk, nice ends a walk at a match this long; tree picks the structure.
  // The buffer itself is set with set_buffer.
  void reset(uint32_t span_hint, int depth, uint32_t nice, bool tree);
  // The bytes the finder reads: buf[0 .. limit).
  void set_buffer(const uint8_t* buf, uint32_t limit) {
    buf_ = buf;
    limit_ = limit;
  }
  uint32_t limit() const { return limit_; }
  const uint8_t* buffer() const { return buf_; }

  // Enters every position below end into the tables.
  void insert_to(uint32_t end);
  // Collects matches at pos of at most max_len bytes with strictly growing
  // lengths (each the nearest found of its length); lowest is the first
  // position that may be referred to. Enters pos. Returns the number found.
  int find(uint32_t pos, uint32_t lowest, uint32_t max_len, Match* out);
  // Nearest earlier occurrence of the two bytes at pos within short-copy
  // reach (256), or 0. Asked before pos is entered (or, with the trees, of
  // a position whose walk was kept).
  uint32_t find_short(uint32_t pos, uint32_t lowest) const;

  // The buffer moved its contents shift bytes towards its start; shift is a
  // multiple of the ring's size. Positions that fell out are forgotten.
  void rebase(uint32_t shift);

  // Trees: searches from pos on may be asked again (a trial parse, then the
  // real one), so the walks from pos on are kept; those below are dropped.
  void repeat_from(uint32_t pos);

 private:
  struct Walk {           // what entering one position found
    uint32_t first;       // in kept_
    uint16_t count;
    uint16_t short_dist;  // find_short's answer, 0: none
  };
  int enter_next(Match* out);
  uint32_t enter_short(uint32_t p);
  int enter_tree(uint32_t p, uint32_t best, Match* out);
  int search_chain(uint32_t pos, uint32_t lowest, uint32_t max_len, Match* out);
  const Walk* kept_walk(uint32_t p) const;

  const uint8_t* buf_ = nullptr;
  uint32_t limit_ = 0;
  bool tree_mode_ = false;
  int depth_ = 0;
  uint32_t nice_ = 0;
  std::vector<int32_t> head_;   // 4-byte hash -> last position
  // Chains: position & ring_mask_ -> earlier position, same hash.
  // Trees: [2 * (position & ring_mask_)] -> left (smaller) child, +1 -> right.
  std::vector<int32_t> links_;
  uint32_t ring_mask_ = 0;
  int hash_bits_ = 0;
  std::vector<int32_t> head3_;  // 3-byte hash -> last position
  std::vector<int32_t> head2_;  // 2-byte value -> last position
  uint32_t inserted_ = 0;       // positions below this are in the tables

  // Trees: the walks of positions keep_from_ .. inserted_.
  uint32_t keep_from_ = 0;
  std::vector<Walk> walks_;
  std::vector<Match> kept_;
  std::vector<Match> scratch_;
};

// Length of the common prefix of a and b, at most max. Inline: the parse
// and the finder's walks measure a match at nearly every step.
inline uint32_t match_length(const uint8_t* a, const uint8_t* b, uint32_t max) {
  uint32_t n = 0;
  while (n + 8 <= max) {
    uint64_t x, y;
    std::memcpy(&x, a + n, 8);
    std::memcpy(&y, b + n, 8);
    if (x != y) return n + (__builtin_ctzll(x ^ y) >> 3);
    n += 8;
  }
  while (n < max && a[n] == b[n]) n++;
  return n;
}
