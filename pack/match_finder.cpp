// The match finder's tables, its search, and its snapshot and restore.

#include "pack/match_finder.h"

#include <algorithm>
#include <cstring>

#include "archive/arc_format.h"

namespace {

constexpr int kHashBits = 19;
constexpr uint32_t kMaxDistance = kWindowSize - 1;
constexpr uint32_t kShortReach = 256;
// Matches kept from a trial parse for the real one: far more than a segment
// needs, a bound on the memory in any case.
constexpr size_t kMaxKeptMatches = 1u << 20;

inline uint32_t hash4(const uint8_t* p, int bits) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return (v * 2654435761u) >> (32 - bits);
}

inline uint32_t hash3(const uint8_t* p) {
  return ((p[0] << 16 | p[1] << 8 | p[2]) * 2654435761u) >> (32 - 16);
}

inline uint32_t pair_of(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }

// A position after the buffer moved, or -1 when it fell out.
inline int32_t moved(int32_t v, uint32_t shift) {
  return v >= 0 && uint32_t(v) >= shift ? int32_t(uint32_t(v) - shift) : -1;
}

}  // namespace

uint32_t match_length(const uint8_t* a, const uint8_t* b, uint32_t max) {
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

void MatchFinder::reset(uint32_t span_hint) {
  uint32_t span = 4096;
  while (span < span_hint && span < kWindowSize) span <<= 1;
  prev_mask_ = span - 1;
  hash_bits_ = 12;
  while (hash_bits_ < kHashBits && (1u << hash_bits_) < span) hash_bits_++;
  head_.assign(1u << hash_bits_, -1);
  prev_.assign(span, -1);
  head3_.assign(1u << 16, -1);
  head2_.assign(1u << 16, -1);
  inserted_ = 0;
  logging_ = false;
  log_.clear();
  forget_searches();
}

inline void MatchFinder::insert_one(uint32_t p) {
  const uint8_t* at = buf_ + p;
  Undo u{-1, -1, -1, -1};
  if (p + 3 < limit_) {
    int32_t& h = head_[hash4(at, hash_bits_)];
    int32_t& link = prev_[p & prev_mask_];
    u.head = h;
    u.prev = link;
    link = h;
    h = int32_t(p);
  }
  if (p + 2 < limit_) {
    int32_t& h = head3_[hash3(at)];
    u.head3 = h;
    h = int32_t(p);
  }
  if (p + 1 < limit_) {
    int32_t& h = head2_[pair_of(at)];
    u.head2 = h;
    h = int32_t(p);
  }
  if (logging_) log_.push_back(u);
}

void MatchFinder::insert_to(uint32_t end) {
  while (inserted_ < end) insert_one(inserted_++);
}

int MatchFinder::find(uint32_t pos, uint32_t lowest, uint32_t max_len, int depth, uint32_t nice, Match* out) {
  const uint32_t k = pos - log_start_;
  if (replaying_ && pos >= log_start_ && k < searches_.size()) {
    const Search& s = searches_[k];
    if (s.max_len == max_len && s.depth == depth && s.nice == nice && s.lowest == lowest) {
      std::copy(found_.begin() + s.first, found_.begin() + s.first + s.count, out);
      insert_to(pos + 1);
      return s.count;
    }
  }
  int n = search(pos, lowest, max_len, depth, nice, out);
  if (logging_ && pos >= log_start_ && found_.size() + n <= kMaxKeptMatches && max_len > 0) {
    if (searches_.size() <= k) searches_.resize(k + 1);
    searches_[k] = Search{uint32_t(found_.size()), uint16_t(n), uint16_t(max_len), uint16_t(depth), uint16_t(nice), lowest};
    found_.insert(found_.end(), out, out + n);
  }
  return n;
}

int MatchFinder::search(uint32_t pos, uint32_t lowest, uint32_t max_len, int depth, uint32_t nice, Match* out) {
  insert_to(pos);
  int n = 0;
  uint32_t best = 2;
  const uint8_t* cur = buf_ + pos;
  if (max_len >= 3 && pos + 2 < limit_) {
    int32_t c3 = head3_[hash3(cur)];
    if (c3 >= 0 && uint32_t(c3) < pos && uint32_t(c3) >= lowest && pos - uint32_t(c3) < 0x2000) {
      uint32_t l = match_length(cur, buf_ + c3, max_len);
      if (l >= 3) {
        best = l;
        out[n++] = {l, pos - uint32_t(c3)};
      }
    }
  }
  if (max_len >= 4 && best < max_len && best < nice && pos + 3 < limit_) {
    int32_t cand = head_[hash4(cur, hash_bits_)];
    while (cand >= 0 && depth-- > 0) {
      uint32_t c = uint32_t(cand);
      if (c >= pos) {  // pos itself, when it was searched before
        cand = prev_[c & prev_mask_];
        if (cand >= int32_t(c)) break;
        continue;
      }
      if (c < lowest || pos - c > kMaxDistance) break;
      if (cur[best] == buf_[c + best]) {
        uint32_t l = match_length(cur, buf_ + c, max_len);
        if (l > best) {
          uint32_t d = pos - c;
          if (l >= 3 + new_copy_bonus(d)) {
            best = l;
            out[n++] = {l, d};
            if (l >= nice || l >= max_len) break;
            // A long copy found: a short look further is enough.
            if (l >= 24 && depth > 4) depth = 4;
          }
        }
      }
      int32_t nx = prev_[c & prev_mask_];
      if (nx >= cand) break;
      cand = nx;
    }
  }
  insert_to(pos + 1);
  return n;
}

uint32_t MatchFinder::find_short(uint32_t pos, uint32_t lowest) const {
  if (pos + 1 >= limit_) return 0;
  int32_t c = head2_[pair_of(buf_ + pos)];
  if (c < 0 || uint32_t(c) >= pos || uint32_t(c) < lowest) return 0;
  uint32_t d = pos - uint32_t(c);
  return d <= kShortReach ? d : 0;
}

void MatchFinder::rebase(uint32_t shift) {
  for (int32_t& v : head_) v = moved(v, shift);
  for (int32_t& v : prev_) v = moved(v, shift);
  for (int32_t& v : head3_) v = moved(v, shift);
  for (int32_t& v : head2_) v = moved(v, shift);
  inserted_ = inserted_ >= shift ? inserted_ - shift : 0;
  forget_searches();
}

void MatchFinder::forget_searches() {
  replaying_ = false;
  searches_.clear();
  found_.clear();
}

void MatchFinder::snapshot() {
  logging_ = true;
  log_start_ = inserted_;
  log_.clear();
  forget_searches();
}

void MatchFinder::restore() {
  logging_ = false;
  // Undo in reverse order: a position's entries replaced what the ones
  // before it had written.
  for (size_t k = log_.size(); k-- > 0;) {
    uint32_t p = log_start_ + uint32_t(k);
    const uint8_t* at = buf_ + p;
    const Undo& u = log_[k];
    if (p + 3 < limit_) {
      head_[hash4(at, hash_bits_)] = u.head;
      prev_[p & prev_mask_] = u.prev;
    }
    if (p + 2 < limit_) head3_[hash3(at)] = u.head3;
    if (p + 1 < limit_) head2_[pair_of(at)] = u.head2;
  }
  inserted_ = log_start_;
  log_.clear();
  replaying_ = true;
}
