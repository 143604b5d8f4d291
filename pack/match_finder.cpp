// The match finder's tables, its two kinds of search, and the walks it keeps
// for a parse that is run again.

#include "pack/match_finder.h"

#include <algorithm>
#include <cstring>

#include "archive/arc_format.h"

namespace {

constexpr int kHashBits = 19;
constexpr uint32_t kMaxDistance = kWindowSize - 1;
constexpr uint32_t kShortReach = 256;
// The longest match a walk measures: the longest new copy's usual length.
constexpr uint32_t kMaxMatch = 258;
// Walks kept at most. A segment's two parses ask about far fewer positions;
// when a caller never says where it starts again, the oldest half goes.
constexpr size_t kMaxKeptWalks = 1u << 16;

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

inline uint32_t new_min(uint32_t d) { return 3 + new_copy_bonus(d); }

// The matches of a walk that a search with these limits reports: those in
// reach, cut to max_len, each longer than the one before.
int pick(const Match* raw, int n, uint32_t pos, uint32_t lowest, uint32_t max_len, Match* out) {
  int k = 0;
  uint32_t best = 2;
  for (int i = 0; i < n; i++) {
    uint32_t d = raw[i].dist;
    if (d > pos - lowest) continue;
    uint32_t l = std::min(raw[i].len, max_len);
    if (l > best && l >= new_min(d)) {
      out[k++] = {l, d};
      best = l;
    }
  }
  return k;
}

}  // namespace

void MatchFinder::reset(uint32_t span_hint, int depth, uint32_t nice, bool tree) {
  uint32_t span = 4096;
  while (span < span_hint && span < kWindowSize) span <<= 1;
  ring_mask_ = span - 1;
  hash_bits_ = 12;
  while (hash_bits_ < kHashBits && (1u << hash_bits_) < span) hash_bits_++;
  tree_mode_ = tree;
  // A walk reports at most one match a step: the callers' room for 300.
  depth_ = std::clamp(depth, 1, 256);
  nice_ = std::clamp<uint32_t>(nice, 4, kMaxMatch);
  head_.assign(1u << hash_bits_, -1);
  links_.assign(tree ? 2 * size_t(span) : span, -1);
  head3_.assign(1u << 16, -1);
  head2_.assign(1u << 16, -1);
  inserted_ = 0;
  keep_from_ = 0;
  walks_.clear();
  kept_.clear();
  scratch_.resize(kMaxMatch + 2);
}

// Enters p into the byte-pair table; returns what find_short answers for p.
inline uint32_t MatchFinder::enter_short(uint32_t p) {
  if (p + 1 >= limit_) return 0;
  int32_t& h = head2_[pair_of(buf_ + p)];
  uint32_t d = h >= 0 && uint32_t(h) < p ? p - uint32_t(h) : 0;
  h = int32_t(p);
  return d <= kShortReach ? d : 0;
}

// One walk down p's tree (see the header), which hangs p in at the root.
// The pending links lt and gt are the places where the next node smaller,
// respectively larger, than p's bytes goes; lt_len and gt_len are how many
// bytes every node below them shares with p, so a comparison may skip them.
int MatchFinder::enter_tree(uint32_t p, uint32_t best, Match* out) {
  const uint8_t* cur = buf_ + p;
  const uint32_t avail = std::min(limit_ - p, kMaxMatch);
  const uint32_t stop = std::min(nice_, avail);
  // Nodes further back than the ring may have been overwritten.
  const uint32_t reach = std::min(kMaxDistance, ring_mask_);
  int32_t& h = head_[hash4(cur, hash_bits_)];
  int32_t node = h;
  h = int32_t(p);
  int32_t* lt = &links_[2 * size_t(p & ring_mask_)];
  int32_t* gt = lt + 1;
  uint32_t lt_len = 0, gt_len = 0, len = 0;
  int n = 0;
  for (int steps = depth_; steps > 0 && node >= 0 && p - uint32_t(node) <= reach; steps--) {
    const uint8_t* m = buf_ + node;
    int32_t* kids = &links_[2 * size_t(uint32_t(node) & ring_mask_)];
    if (m[len] == cur[len]) {
      len += 1 + match_length(cur + len + 1, m + len + 1, avail - len - 1);
      uint32_t d = p - uint32_t(node);
      if (len > best && len >= new_min(d)) {
        best = len;
        out[n++] = {len, d};
      }
      if (len >= stop) {
        // p replaces the node: same bytes as far as the tree looks.
        *lt = kids[0];
        *gt = kids[1];
        return n;
      }
    }
    if (m[len] < cur[len]) {
      *lt = node;
      lt = kids + 1;
      node = *lt;
      lt_len = len;
      len = std::min(len, gt_len);
    } else {
      *gt = node;
      gt = kids;
      node = *gt;
      gt_len = len;
      len = std::min(len, lt_len);
    }
  }
  *lt = -1;
  *gt = -1;
  return n;
}

// Enters the next position; with the trees, returns what its walk found
// (the 3-byte match first) and keeps it when asked to.
int MatchFinder::enter_next(Match* out) {
  const uint32_t p = inserted_++;
  const uint8_t* at = buf_ + p;
  uint32_t short_dist = enter_short(p);
  if (!tree_mode_) {
    if (p + 3 < limit_) {
      int32_t& h = head_[hash4(at, hash_bits_)];
      links_[p & ring_mask_] = h;
      h = int32_t(p);
    }
    if (p + 2 < limit_) head3_[hash3(at)] = int32_t(p);
    return 0;
  }
  // The walks of the next positions start at random places of the tables
  // and of the window: fetch the table entries two positions ahead, and the
  // first node of the next walk, while this one is walked.
  if (p + 5 < limit_) {
    __builtin_prefetch(&head_[hash4(at + 2, hash_bits_)]);
    __builtin_prefetch(&head3_[hash3(at + 2)]);
    int32_t next = head_[hash4(at + 1, hash_bits_)];
    if (next >= 0) {
      __builtin_prefetch(buf_ + next);
      __builtin_prefetch(&links_[2 * size_t(uint32_t(next) & ring_mask_)]);
    }
  }
  int n = 0;
  uint32_t best = 2;
  if (p + 2 < limit_) {
    int32_t& h = head3_[hash3(at)];
    if (h >= 0 && uint32_t(h) < p && p - uint32_t(h) < 0x2000) {
      uint32_t l = match_length(at, buf_ + h, std::min(limit_ - p, kMaxMatch));
      if (l >= 3) {
        best = l;
        out[n++] = {l, p - uint32_t(h)};
      }
    }
    h = int32_t(p);
  }
  if (p + 3 < limit_) n += enter_tree(p, best, out + n);
  if (p >= keep_from_) {
    if (walks_.size() >= kMaxKeptWalks) repeat_from(p - uint32_t(kMaxKeptWalks / 2));
    walks_.push_back({uint32_t(kept_.size()), uint16_t(n), uint16_t(short_dist)});
    kept_.insert(kept_.end(), out, out + n);
  }
  return n;
}

void MatchFinder::insert_to(uint32_t end) {
  while (inserted_ < end) enter_next(scratch_.data());
}

const MatchFinder::Walk* MatchFinder::kept_walk(uint32_t p) const {
  if (!tree_mode_ || p < keep_from_ || p - keep_from_ >= walks_.size()) return nullptr;
  return &walks_[p - keep_from_];
}

int MatchFinder::find(uint32_t pos, uint32_t lowest, uint32_t max_len, Match* out) {
  if (!tree_mode_) {
    insert_to(pos);
    int n = search_chain(pos, lowest, max_len, out);
    insert_to(pos + 1);
    return n;
  }
  if (pos < inserted_) {
    // Entered before: by a parse that ran ahead, whose walk was kept.
    const Walk* w = kept_walk(pos);
    return w ? pick(kept_.data() + w->first, w->count, pos, lowest, max_len, out) : 0;
  }
  insert_to(pos);
  int n = enter_next(scratch_.data());
  return pick(scratch_.data(), n, pos, lowest, max_len, out);
}

int MatchFinder::search_chain(uint32_t pos, uint32_t lowest, uint32_t max_len, Match* out) {
  int n = 0;
  uint32_t best = 2;
  const uint8_t* cur = buf_ + pos;
  int depth = depth_;
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
  if (max_len >= 4 && best < max_len && best < nice_ && pos + 3 < limit_) {
    int32_t cand = head_[hash4(cur, hash_bits_)];
    while (cand >= 0 && depth-- > 0) {
      uint32_t c = uint32_t(cand);
      if (c >= pos) {  // pos itself, when it was searched before
        cand = links_[c & ring_mask_];
        if (cand >= int32_t(c)) break;
        continue;
      }
      if (c < lowest || pos - c > kMaxDistance) break;
      if (cur[best] == buf_[c + best]) {
        uint32_t l = match_length(cur, buf_ + c, max_len);
        if (l > best) {
          uint32_t d = pos - c;
          if (l >= new_min(d)) {
            best = l;
            out[n++] = {l, d};
            if (l >= nice_ || l >= max_len) break;
            // A long copy found: a short look further is enough.
            if (l >= 24 && depth > 4) depth = 4;
          }
        }
      }
      int32_t nx = links_[c & ring_mask_];
      if (nx >= cand) break;
      cand = nx;
    }
  }
  return n;
}

uint32_t MatchFinder::find_short(uint32_t pos, uint32_t lowest) const {
  uint32_t d = 0;
  if (pos < inserted_) {
    const Walk* w = kept_walk(pos);
    d = w ? w->short_dist : 0;
  } else if (pos + 1 < limit_) {
    int32_t c = head2_[pair_of(buf_ + pos)];
    d = c >= 0 && uint32_t(c) < pos ? pos - uint32_t(c) : 0;
  }
  return d <= kShortReach && d <= pos - lowest ? d : 0;
}

void MatchFinder::repeat_from(uint32_t pos) {
  if (pos >= inserted_ || walks_.empty()) {
    walks_.clear();
    kept_.clear();
    keep_from_ = std::max(pos, inserted_);
    return;
  }
  if (pos <= keep_from_) return;  // what lies below was never kept
  size_t drop = pos - keep_from_;
  uint32_t first = walks_[drop].first;
  walks_.erase(walks_.begin(), walks_.begin() + drop);
  kept_.erase(kept_.begin(), kept_.begin() + first);
  for (Walk& w : walks_) w.first -= first;
  keep_from_ = pos;
}

void MatchFinder::rebase(uint32_t shift) {
  for (int32_t& v : head_) v = moved(v, shift);
  for (int32_t& v : links_) v = moved(v, shift);
  for (int32_t& v : head3_) v = moved(v, shift);
  for (int32_t& v : head2_) v = moved(v, shift);
  if (keep_from_ < shift) repeat_from(shift);
  keep_from_ -= shift;
  inserted_ = inserted_ >= shift ? inserted_ - shift : 0;
}
