// The encoder's match finder: hash chains over the bytes the encoder holds
// (the decoder's window before the entry, then the entry as it is read).
//
// Positions count from the start of the encoder's buffer. The chains link
// positions with the same 4 bytes; three-byte matches, which pay only at
// distances below 0x2000, come from a table of the last position of each
// 3-byte hash, and two-byte ones (short copies) from the last position of
// each byte pair. The chain links live in a ring indexed by position modulo
// its size (at most the window), so a link older than the window is simply
// overwritten.
#pragma once

#include <cstdint>
#include <vector>

struct Match {
  uint32_t len;
  uint32_t dist;
};

class MatchFinder {
 public:
  // Sizes the tables for a run over about span_hint bytes (the window at
  // most), so that small entries start quickly. The buffer itself is set
  // with set_buffer.
  void reset(uint32_t span_hint);
  // The bytes the finder reads: buf[0 .. limit).
  void set_buffer(const uint8_t* buf, uint32_t limit) {
    buf_ = buf;
    limit_ = limit;
  }
  uint32_t limit() const { return limit_; }
  const uint8_t* buffer() const { return buf_; }

  // Enters every position below end into the tables.
  void insert_to(uint32_t end);
  // Collects matches at pos with strictly growing lengths (nearest first for
  // each length); lowest is the first position that may be referred to.
  // Enters pos. Returns the number found.
  int find(uint32_t pos, uint32_t lowest, uint32_t max_len, int depth, uint32_t nice, Match* out);
  // Nearest earlier occurrence of the two bytes at pos within short-copy
  // reach (256), or 0.
  uint32_t find_short(uint32_t pos, uint32_t lowest) const;

  // The buffer moved its contents shift bytes towards its start; shift is a
  // multiple of the chain ring's size. Positions that fell out are forgotten.
  void rebase(uint32_t shift);

  // A trial parse enters positions that the real parse enters again: between
  // snapshot and restore every change to the tables is logged, and restore
  // undoes them, so the tables are as they were at the snapshot. The matches
  // found in between are kept: the tables being the same, a search that the
  // real parse repeats (same position and limits) gives the same matches, so
  // it is answered from them until the next snapshot.
  void snapshot();
  void restore();

 private:
  void insert_one(uint32_t p);
  int search(uint32_t pos, uint32_t lowest, uint32_t max_len, int depth, uint32_t nice, Match* out);

  const uint8_t* buf_ = nullptr;
  uint32_t limit_ = 0;
  std::vector<int32_t> head_;   // 4-byte hash -> last position
  std::vector<int32_t> prev_;   // position & prev_mask_ -> earlier position, same hash
  uint32_t prev_mask_ = 0;
  int hash_bits_ = 0;
  std::vector<int32_t> head3_;  // 3-byte hash -> last position
  std::vector<int32_t> head2_;  // 2-byte value -> last position
  uint32_t inserted_ = 0;       // positions below this are in the tables

  // The undo log: for each position entered since the snapshot, what it
  // replaced.
  struct Undo {
    int32_t head, prev, head3, head2;
  };
  bool logging_ = false;
  uint32_t log_start_ = 0;
  std::vector<Undo> log_;

  // The searches made since the snapshot, by position from log_start_.
  struct Search {
    uint32_t first = 0;     // in found_
    uint16_t count = 0;
    uint16_t max_len = 0;   // 0: not searched
    uint16_t depth = 0;
    uint16_t nice = 0;
    uint32_t lowest = 0;
  };
  bool replaying_ = false;
  std::vector<Search> searches_;
  std::vector<Match> found_;
  void forget_searches();
};

// Length of the common prefix of a and b, at most max.
uint32_t match_length(const uint8_t* a, const uint8_t* b, uint32_t max);
