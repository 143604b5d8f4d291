// The encoder for unpack version 20.
//
// An entry is cut into segments of 16 KiB. Each segment is parsed into
// LZ tokens (lazy matching at levels 1 to 3, a priced shortest-path parse at
// levels 4 and 5) and, when its bytes look like sampled data, also run
// through the decoder's audio predictor for 1 to 4 channels; the cheaper
// coding wins. Consecutive segments of the same kind share one table block
// unless a new table pays for itself.
//
// Decoder rules the encoder mirrors (see the matching code in unpack/):
//  - a new copy codes length - 3 - adj, adj = (dist >= 0x2000) + (dist >= 0x40000);
//  - an old-distance copy codes length - 2 - adj, adj adding (dist >= 0x101);
//  - every copy (also 256 and the short copies) enters the distance ring;
//  - the decoder stops once the entry's size is reached and writes a copy
//    that passes the end in full, so no token may cross the end;
//  - a table block codes lengths as changes against the previous block's
//    lengths (second bit 1) or against zeros (second bit 0), with runs.

#include "pack/encoder.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "archive/arc_format.h"
#include "pack/huffman_lengths.h"
#include "pack/match_finder.h"
#include "unpack/arc_audio.h"

TPackStats pack_stats;

namespace {

// ---------------------------------------------------------------------------
// Format tables.

// The alphabet sizes as the encoder's int loops count them.
constexpr int kMainSize = int(kMainSymbols);
constexpr int kDistSize = int(kDistanceSymbols);
constexpr int kRepSize = int(kRepeatSymbols);
constexpr int kLzSize = int(kLzLengths);
constexpr int kAudioSize = int(kAudioSymbols);

// Slot of each length value (after the fixed offsets) and of each short
// distance, 0..255.
uint8_t len_slot_of[256];
uint8_t short_slot_of[256];
bool tables_ready = false;

void init_format_tables() {
  if (tables_ready) return;
  for (int s = 0; s < 28; s++)
    for (int v = kLengthBase[s]; v < kLengthBase[s] + (1 << kLengthBits[s]); v++) len_slot_of[v] = static_cast<uint8_t>(s);
  for (int s = 0; s < 8; s++)
    for (int v = kShortBase[s]; v < kShortBase[s] + (1 << kShortBits[s]); v++) short_slot_of[v] = static_cast<uint8_t>(s);
  tables_ready = true;
}

// Distance slot of distance d (1 .. 2^20).
inline int dist_slot(uint32_t d) {
  uint32_t v = d - 1;
  if (v < 4) return static_cast<int>(v);
  if (v < 131072) {
    int b = 31 - __builtin_clz(v);
    return 2 * b + static_cast<int>((v >> (b - 1)) & 1);
  }
  if (v < 262144) return v < 196608 ? 34 : 35;
  return 36 + static_cast<int>((v - 262144) >> 16);
}

inline uint32_t new_min(uint32_t d) { return 3 + new_copy_bonus(d); }
inline uint32_t new_max(uint32_t d) { return 258 + new_copy_bonus(d); }
inline uint32_t old_min(uint32_t d) { return 2 + old_copy_bonus(d); }
inline uint32_t old_max(uint32_t d) { return 257 + old_copy_bonus(d); }

// ---------------------------------------------------------------------------
// Tokens.

enum TokKind : uint8_t { T_LIT, T_NEW, T_OLD, T_REPEAT, T_SHORT };

struct Token {
  uint32_t dist;   // copies: distance; literal: the byte
  uint16_t len;    // copies: bytes produced
  uint8_t kind;
  uint8_t k;       // T_OLD: 1..4
};

struct CopyState {
  uint32_t ring[4];
  uint32_t index;
  uint32_t last_dist;
  uint32_t last_len;
};

inline void copy_enters(CopyState& s, uint32_t dist, uint32_t len) {
  s.ring[s.index & 3] = dist;
  s.index++;
  s.last_dist = dist;
  s.last_len = len;
}

inline uint32_t ring_dist(const CopyState& s, int k) { return s.ring[(s.index - k) & 3]; }

// ---------------------------------------------------------------------------
// Bit writer, most significant bit first.

struct BitWriter {
  std::vector<uint8_t>* out;
  uint64_t acc;
  int count;
};

inline void put_bits(BitWriter& w, uint32_t value, int bits) {
  if (bits == 0) return;
  w.acc = (w.acc << bits) | (value & ((1u << bits) - 1));
  w.count += bits;
  while (w.count >= 8) {
    w.count -= 8;
    w.out->push_back(static_cast<uint8_t>(w.acc >> w.count));
  }
  w.acc &= (1u << w.count) - 1;
}

inline void flush_bits(BitWriter& w) {
  if (w.count > 0) w.out->push_back(static_cast<uint8_t>(w.acc << (8 - w.count)));
  w.count = 0;
  w.acc = 0;
}

// Canonical codes in the decoder's order: by length, then by symbol.
void canonical_codes(const uint8_t* lengths, int n, uint16_t* codes) {
  int count[17] = {0};
  for (int i = 0; i < n; i++) count[lengths[i]]++;
  count[0] = 0;
  uint32_t next[17];
  uint32_t code = 0;
  for (int l = 1; l <= 16; l++) {
    code = (code + count[l - 1]) << 1;
    next[l] = code;
  }
  for (int i = 0; i < n; i++) codes[i] = lengths[i] ? static_cast<uint16_t>(next[lengths[i]]++) : 0;
}

struct Code {
  uint8_t len[kAudioSize * 4];
  uint16_t code[kAudioSize * 4];
};

inline void put_symbol(BitWriter& w, const uint8_t* len, const uint16_t* code, int s) {
  put_bits(w, code[s], len[s]);
}

// ---------------------------------------------------------------------------
// Table blocks.

struct ClToken {
  uint8_t sym;
  uint8_t extra;
};

// Codes lengths[0..count) against base (the previous lengths, or zeros).
void tokenize_lengths(const uint8_t* len, const uint8_t* base, int count, bool keep, std::vector<ClToken>& toks) {
  toks.clear();
  int i = 0;
  while (i < count) {
    uint8_t l = len[i];
    int run = 1;
    if (l == 0) {
      while (i + run < count && len[i + run] == 0 && run < 138) run++;
      bool unchanged = true;
      if (keep)
        for (int j = 0; j < run && unchanged; j++) unchanged = base[i + j] == 0;
      if (run >= 3 && !(keep && unchanged && run <= 10)) {
        if (run >= 11) toks.push_back({18, static_cast<uint8_t>(run - 11)});
        else toks.push_back({17, static_cast<uint8_t>(run - 3)});
        i += run;
        continue;
      }
    } else if (i > 0 && l == len[i - 1]) {
      while (i + run < count && len[i + run] == l && run < 6) run++;
      int changed = 0;
      for (int j = 0; j < run; j++) changed += base[i + j] != l;
      if (run >= 3 && (!keep || changed * 2 >= run)) {
        toks.push_back({16, static_cast<uint8_t>(run - 3)});
        i += run;
        continue;
      }
    }
    toks.push_back({static_cast<uint8_t>((l - base[i]) & 15), 0});
    i++;
  }
}


struct TablePlan {
  bool keep;
  std::vector<ClToken> toks;
  uint8_t cl_len[19];
  uint32_t bits;
};

void plan_one(const uint8_t* len, const uint8_t* base, int count, bool keep, int header_bits, TablePlan& p) {
  p.keep = keep;
  tokenize_lengths(len, base, count, keep, p.toks);
  uint32_t f[19] = {0};
  for (const ClToken& t : p.toks) f[t.sym]++;
  pack_huffman_lengths(f, 19, 15, p.cl_len);
  uint32_t bits = header_bits + 76;
  for (const ClToken& t : p.toks) bits += p.cl_len[t.sym] + kCodeLengthExtra[t.sym];
  p.bits = bits;
}

// Chooses the cheaper of keep and reset for lengths[0..count).
const uint8_t kZeroLengths[kMaxLengths] = {};

void plan_table(const TPackState& st, const uint8_t* len, int count, bool audio, TablePlan& best) {
  int header = audio ? 4 : 2;
  plan_one(len, kZeroLengths, count, false, header, best);
  if (static_cast<uint32_t>(count) <= st.previous_count) {
    TablePlan k;
    plan_one(len, st.previous_lengths, count, true, header, k);
    if (k.bits < best.bits) best = std::move(k);
  }
}

void write_table(BitWriter& w, TPackState& st, const uint8_t* len, int count, bool audio, int channels,
                 const TablePlan& p) {
  put_bits(w, audio ? 1 : 0, 1);
  put_bits(w, p.keep ? 1 : 0, 1);
  if (audio) put_bits(w, channels - 1, 2);
  for (int i = 0; i < 19; i++) put_bits(w, p.cl_len[i], 4);
  uint16_t codes[19];
  canonical_codes(p.cl_len, 19, codes);
  for (const ClToken& t : p.toks) {
    put_bits(w, codes[t.sym], p.cl_len[t.sym]);
    if (t.sym >= 16) {
      put_bits(w, t.extra, kCodeLengthExtra[t.sym]);
      pack_stats.cl_runs[t.sym - 16]++;
    }
  }
  pack_stats.table_blocks++;
  if (p.keep) pack_stats.table_keep++;
  // What the decoder holds afterwards. A reset clears all 1028 places, so
  // the tail is known; after a change block the tail is whatever the decoder
  // kept or cleared, known only if it was zero already.
  bool tail_zero = true;
  if (!p.keep) {
    std::memset(st.previous_lengths, 0, sizeof st.previous_lengths);
  } else {
    for (int i = count; i < 1028 && tail_zero; i++) tail_zero = st.previous_lengths[i] == 0;
  }
  std::memcpy(st.previous_lengths, len, count);
  st.previous_count = tail_zero ? 1028 : count;
  st.audio_mode = audio;
  if (audio) {
    st.channel_count = channels;
    if (st.current_channel >= st.channel_count) st.current_channel = 0;
    for (int c = 0; c < channels; c++) std::memcpy(st.audio_lengths[c], len + c * kAudioSize, kAudioSize);
  } else {
    std::memcpy(st.main_lengths, len, kMainSize);
    std::memcpy(st.distance_lengths, len + kMainSize, kDistSize);
    std::memcpy(st.repeat_lengths, len + kMainSize + kDistSize, kRepSize);
  }
  st.have_tables = true;
}

// ---------------------------------------------------------------------------
// Audio predictor: the decoder's, run forwards to find each delta.

struct AudioRun {
  AudioChannelState ch[kMaxChannels];
  int32_t channel_delta;
  uint32_t current;
};

// Returns the delta that makes the decoder produce byte b on the current
// channel, and advances the model with the decoder's own step.
inline uint8_t audio_step(AudioRun& r, uint32_t channels, uint8_t b) {
  AudioChannelState& s = r.ch[r.current];
  uint8_t delta = static_cast<uint8_t>(audio_prediction(s, r.channel_delta) - b);
  ::audio_step(s, r.channel_delta, delta);
  if (++r.current >= channels) r.current = 0;
  return delta;
}

// ---------------------------------------------------------------------------
// Prices in bits, from the current code lengths.

struct Prices {
  uint32_t main[kMainSize];
  uint32_t dist[kDistSize];
  uint32_t rep[kRepSize];
  // Length parts by coded length value (length - the copy's minimum), extra
  // bits included: of a new copy (its main symbol) and of an old-distance
  // copy (its repeat-length symbol).
  uint32_t new_len[256];
  uint32_t old_len[256];
};

void fill_length_prices(Prices& pr) {
  for (int v = 0; v < 256; v++) {
    int ls = len_slot_of[v];
    pr.new_len[v] = pr.main[270 + ls] + kLengthBits[ls];
    pr.old_len[v] = pr.rep[ls] + kLengthBits[ls];
  }
}

void prices_from(Prices& pr, const uint8_t* main, const uint8_t* dist, const uint8_t* rep) {
  for (int i = 0; i < kMainSize; i++) pr.main[i] = main[i] ? main[i] : (i < 256 ? 11 : 12);
  for (int i = 0; i < kDistSize; i++) pr.dist[i] = dist[i] ? dist[i] : 8;
  for (int i = 0; i < kRepSize; i++) pr.rep[i] = rep[i] ? rep[i] : 6;
  fill_length_prices(pr);
}

void prices_default(Prices& pr) {
  for (int i = 0; i < kMainSize; i++) pr.main[i] = i < 256 ? 8 : (i >= 270 ? 9 : 8);
  for (int i = 0; i < kDistSize; i++) pr.dist[i] = 6;
  for (int i = 0; i < kRepSize; i++) pr.rep[i] = 4;
  fill_length_prices(pr);
}

inline uint32_t price_distance(const Prices& pr, uint32_t d) {
  int ds = dist_slot(d);
  return pr.dist[ds] + kDistanceBits[ds];
}

inline uint32_t price_new(const Prices& pr, uint32_t len, uint32_t d) {
  return pr.new_len[len - new_min(d)] + price_distance(pr, d);
}

inline uint32_t price_old(const Prices& pr, int k, uint32_t len, uint32_t d) {
  return pr.main[256 + k] + pr.old_len[len - old_min(d)];
}

inline uint32_t price_short(const Prices& pr, uint32_t d) {
  int s = short_slot_of[d - 1];
  return pr.main[261 + s] + kShortBits[s];
}

// ---------------------------------------------------------------------------
// Level settings.

struct Level {
  int depth;       // match finder steps: chain links, or tree nodes at the priced levels
  uint32_t nice;   // stop searching at this length
  bool lazy;
  bool optimal;
  uint32_t good;   // lazy: a copy this long is taken without looking one byte on
                   // priced: a copy this long is taken without pricing the bytes it covers
  int passes;      // priced parse: passes per segment, each priced by the one before
};

Level level_of(int level) {
  switch (level) {
    case 1: return {4, 16, false, false, 0, 1};
    case 2: return {12, 32, true, false, 16, 1};
    case 3: return {24, 64, true, false, 32, 1};
    // The priced levels walk binary trees, which meet the longest matches
    // in far fewer steps than chains.
    case 4: return {16, 64, false, true, 64, 1};
    default: return {24, 258, false, true, 160, 2};
  }
}

// ---------------------------------------------------------------------------
// Parsers. Both write tokens for [pos, ...) up to at least seg_end and return
// the position they stopped at; they keep the copy state as the decoder will.

// Priced shortest path over a stretch of positions; each node keeps the copy
// state of the path that reaches it, so old-distance copies are priced from
// the ring they would really see. The costs live apart from the nodes: the
// relaxing loops read a cost for every length of every copy and write a node
// only when the path improves.
struct Node {
  uint32_t dist;
  uint16_t len;
  uint8_t kind;
  uint8_t k;
  CopyState cs;
};

struct Parser {
  MatchFinder mf;
  const uint8_t* buf;  // what mf reads
  uint32_t lowest;  // first position a copy may refer to
  uint32_t end;     // end of the entry in the buffer
  Level lv;
  Prices pr;
  std::vector<Match> matches;
  // Literal prices summed from lit_base on, for the lazy parser's gains.
  std::vector<uint32_t> lit_sum;
  uint32_t lit_base;
  // The priced parse's nodes, their costs and the path it walks back.
  std::vector<Node> nodes;
  std::vector<uint32_t> costs;
  std::vector<Token> path;
};

// Prepares lit_sum for positions from..to (prices change only between segments).
void prepare_literal_sums(Parser& ps, uint32_t from, uint32_t to) {
  to = std::min(to, ps.end);
  ps.lit_base = from;
  ps.lit_sum.resize(to - from + 1);
  uint32_t acc = 0;
  ps.lit_sum[0] = 0;
  for (uint32_t p = from; p < to; p++) {
    acc += ps.pr.main[ps.buf[p]];
    ps.lit_sum[p - from + 1] = acc;
  }
}

// Best old-distance copy at pos: (kind, k, len).
struct Cand {
  uint32_t len;
  uint32_t dist;
  uint8_t kind;
  uint8_t k;
  int32_t gain;  // bits saved against literals, estimated
};

inline int32_t literal_bits(const Parser& ps, uint32_t pos, uint32_t len) {
  return static_cast<int32_t>(ps.lit_sum[pos + len - ps.lit_base] - ps.lit_sum[pos - ps.lit_base]);
}

// Finds the best coding of a copy starting at pos (or gain <= 0 when none).
Cand best_at(Parser& ps, const CopyState& cs, uint32_t pos) {
  Cand best{0, 0, T_LIT, 0, 0};
  uint32_t max_len = std::min<uint32_t>(ps.end - pos, 260);
  const uint8_t* cur = ps.buf + pos;
  auto consider = [&](uint32_t len, uint32_t dist, uint8_t kind, uint8_t k, uint32_t price) {
    int32_t gain = literal_bits(ps, pos, len) - static_cast<int32_t>(price);
    if (gain > best.gain) best = {len, dist, kind, k, gain};
  };
  if (max_len >= 2) {
    for (int k = 1; k <= 4; k++) {
      uint32_t d = ring_dist(cs, k);
      if (d == 0 || pos - ps.lowest < d) continue;
      uint32_t l = match_length(cur, cur - d, std::min(max_len, old_max(d)));
      if (k == 1 && cs.last_len > 0 && l >= cs.last_len && cs.last_len <= max_len)
        consider(cs.last_len, d, T_REPEAT, 0, ps.pr.main[256]);
      if (l >= old_min(d)) consider(l, d, T_OLD, static_cast<uint8_t>(k), price_old(ps.pr, k, l, d));
    }
    uint32_t sd = ps.mf.find_short(pos, ps.lowest);
    if (sd) consider(2, sd, T_SHORT, 0, price_short(ps.pr, sd));
  }
  int n = ps.mf.find(pos, ps.lowest, std::min<uint32_t>(max_len, 258), ps.matches.data());
  for (int i = 0; i < n; i++) {
    Match m = ps.matches[i];
    uint32_t l = std::min(m.len, new_max(m.dist));
    consider(l, m.dist, T_NEW, 0, price_new(ps.pr, l, m.dist));
  }
  return best;
}

void emit_copy(std::vector<Token>& toks, CopyState& cs, const Cand& c) {
  toks.push_back({c.dist, static_cast<uint16_t>(c.len), c.kind, c.k});
  copy_enters(cs, c.dist, c.len);
}

uint32_t parse_lazy(Parser& ps, CopyState& cs, uint32_t pos, uint32_t seg_end, std::vector<Token>& toks) {
  // A parse passes seg_end by less than two copies.
  prepare_literal_sums(ps, pos, seg_end + 2 * 262);
  Cand cur = best_at(ps, cs, pos);
  while (pos < seg_end) {
    if (cur.gain <= 0) {
      toks.push_back({ps.buf[pos], 1, T_LIT, 0});
      pos++;
      if (pos < ps.end) cur = best_at(ps, cs, pos);
      continue;
    }
    if (ps.lv.lazy && cur.len < ps.lv.good && pos + 1 < ps.end) {
      Cand next = best_at(ps, cs, pos + 1);
      // Taking a literal first pays when the copy one byte on saves more.
      if (next.gain > cur.gain) {
        toks.push_back({ps.buf[pos], 1, T_LIT, 0});
        pos++;
        cur = next;
        continue;
      }
    }
    emit_copy(toks, cs, cur);
    ps.mf.insert_to(pos + cur.len);
    pos += cur.len;
    if (pos < ps.end) cur = best_at(ps, cs, pos);
  }
  return pos;
}

constexpr uint32_t kStretch = 4096;
// The copy length that the priced level's trial pass takes outright.
constexpr uint32_t kTrialTake = 32;

uint32_t parse_optimal(Parser& ps, CopyState& cs, uint32_t pos, uint32_t seg_end, std::vector<Token>& toks) {
  std::vector<Node>& nodes = ps.nodes;
  nodes.resize(kStretch + 1);
  std::vector<uint32_t>& costs = ps.costs;
  costs.resize(kStretch + 1);
  std::vector<Token>& path = ps.path;
  while (pos < seg_end) {
    uint32_t n = std::min<uint32_t>(kStretch, ps.end - pos);
    std::fill(costs.begin() + 1, costs.begin() + n + 1, UINT32_MAX);
    costs[0] = 0;
    nodes[0].cs = cs;
    uint32_t stop = n;        // where the path ends
    Cand jump{0, 0, T_LIT, 0, 0};  // a long copy taken outright at stop
    for (uint32_t i = 0; i < n; i++) {
      Node& nd = nodes[i];
      if (i > 0) {
        const Node& from = nodes[i - nd.len];
        nd.cs = from.cs;
        if (nd.kind != T_LIT) copy_enters(nd.cs, nd.dist, nd.len);
      }
      uint32_t p = pos + i;
      const uint32_t c0 = costs[i];
      uint32_t max_len = n - i;
      const uint8_t* cur = ps.buf + p;
      auto relax_at = [&](uint32_t len, uint32_t cost, uint32_t dist, uint8_t kind, uint8_t k) {
        if (cost < costs[i + len]) {
          costs[i + len] = cost;
          Node& t = nodes[i + len];
          t.dist = dist;
          t.len = static_cast<uint16_t>(len);
          t.kind = kind;
          t.k = k;
        }
      };
      auto relax = [&](uint32_t len, uint32_t dist, uint8_t kind, uint8_t k, uint32_t price) {
        relax_at(len, c0 + price, dist, kind, k);
      };
      relax(1, cur[0], T_LIT, 0, ps.pr.main[cur[0]]);
      uint32_t longest = 0;
      Cand longest_c{0, 0, T_LIT, 0, 0};
      if (max_len >= 2) {
        for (int k = 1; k <= 4; k++) {
          uint32_t d = ring_dist(nd.cs, k);
          // Every old-distance copy and repeat is 2 bytes at least.
          if (d == 0 || p - ps.lowest < d || cur[0] != cur[-int32_t(d)] || cur[1] != cur[1 - int32_t(d)]) continue;
          bool seen = false;
          for (int j = 1; j < k; j++) seen |= ring_dist(nd.cs, j) == d;
          if (seen) continue;
          uint32_t l = match_length(cur, cur - d, std::min(max_len, old_max(d)));
          if (k == 1 && nd.cs.last_len > 0 && l >= nd.cs.last_len)
            relax(nd.cs.last_len, d, T_REPEAT, 0, ps.pr.main[256]);
          const uint32_t lo = old_min(d);
          const uint32_t base = c0 + ps.pr.main[256 + k];
          for (uint32_t len = lo; len <= l; len++)
            relax_at(len, base + ps.pr.old_len[len - lo], d, T_OLD, static_cast<uint8_t>(k));
          if (l > longest && l >= old_min(d)) {
            longest = l;
            longest_c = {l, d, T_OLD, static_cast<uint8_t>(k), 0};
          }
        }
        uint32_t sd = ps.mf.find_short(p, ps.lowest);
        if (sd) relax(2, sd, T_SHORT, 0, price_short(ps.pr, sd));
      }
      int m = ps.mf.find(p, ps.lowest, std::min<uint32_t>(max_len, 258), ps.matches.data());
      uint32_t from_len = 3;
      for (int j = 0; j < m; j++) {
        Match mt = ps.matches[j];
        uint32_t top = std::min(mt.len, new_max(mt.dist));
        const uint32_t lo = new_min(mt.dist);
        const uint32_t base = c0 + price_distance(ps.pr, mt.dist);
        for (uint32_t len = std::max(from_len, lo); len <= top; len++)
          relax_at(len, base + ps.pr.new_len[len - lo], mt.dist, T_NEW, 0);
        from_len = top + 1;
        if (top > longest) {
          longest = top;
          longest_c = {top, mt.dist, T_NEW, 0, 0};
        }
      }
      if (longest >= ps.lv.good) {
        stop = i;
        jump = longest_c;
        // A run that repeats the last copy exactly costs one symbol.
        uint32_t d1 = ring_dist(nd.cs, 1);
        uint32_t ll = nd.cs.last_len;
        if (ll + 1 >= longest && ll <= max_len && d1 && p - ps.lowest >= d1 &&
            match_length(cur, cur - d1, ll) == ll)
          jump = {ll, d1, T_REPEAT, 0, 0};
        break;
      }
    }
    // Walk back from stop and replay the path forwards.
    path.clear();
    for (uint32_t i = stop; i > 0;) {
      const Node& nd = nodes[i];
      path.push_back({nd.dist, nd.len, nd.kind, nd.k});
      i -= nd.len;
    }
    for (size_t j = path.size(); j-- > 0;) {
      toks.push_back(path[j]);
      if (path[j].kind != T_LIT) copy_enters(cs, path[j].dist, path[j].len);
    }
    pos += stop;
    if (jump.len) {
      emit_copy(toks, cs, jump);
      ps.mf.insert_to(pos + jump.len);
      pos += jump.len;
    }
  }
  return pos;
}

// ---------------------------------------------------------------------------
// Blocks.

struct LzFreq {
  uint32_t main[kMainSize] = {};
  uint32_t dist[kDistSize] = {};
  uint32_t rep[kRepSize] = {};
};

void count_tokens(const std::vector<Token>& toks, size_t from, LzFreq& f) {
  for (size_t i = from; i < toks.size(); i++) {
    const Token& t = toks[i];
    switch (t.kind) {
      case T_LIT: f.main[t.dist]++; break;
      case T_NEW: {
        f.main[270 + len_slot_of[t.len - new_min(t.dist)]]++;
        f.dist[dist_slot(t.dist)]++;
        break;
      }
      case T_OLD:
        f.main[256 + t.k]++;
        f.rep[len_slot_of[t.len - old_min(t.dist)]]++;
        break;
      case T_REPEAT: f.main[256]++; break;
      case T_SHORT: f.main[261 + short_slot_of[t.dist - 1]]++; break;
    }
  }
}

// Every field starts defined: blocks are copied and swapped whole, also
// before a segment has set the fields its kind does not use.
struct Block {
  bool audio = false;
  int channels = 0;
  uint32_t start_channel = 0;
  uint32_t bytes = 0;           // of the entry it codes
  std::vector<Token> toks;      // LZ
  std::vector<uint8_t> deltas;  // audio
  LzFreq lz;
  uint32_t af[4][kAudioSize] = {};
};

// Lengths of a block's alphabet; the switch symbol is always kept codable so
// that a later table block can be announced (also from a following solid entry).
int block_lengths(const Block& b, uint8_t* len) {
  if (!b.audio) {
    LzFreq f = b.lz;
    if (!f.main[269]) f.main[269] = 1;
    pack_huffman_lengths(f.main, kMainSize, 15, len);
    pack_huffman_lengths(f.dist, kDistSize, 15, len + kMainSize);
    pack_huffman_lengths(f.rep, kRepSize, 15, len + kMainSize + kDistSize);
    return kLzSize;
  }
  for (int c = 0; c < b.channels; c++) {
    uint32_t f[kAudioSize];
    std::memcpy(f, b.af[c], sizeof f);
    if (!f[256]) f[256] = 1;
    pack_huffman_lengths(f, kAudioSize, 15, len + c * kAudioSize);
  }
  return kAudioSize * b.channels;
}

// Bits of the block's symbols (without extra bits) under its own code.
uint64_t block_symbol_bits(const Block& b, const uint8_t* len) {
  uint64_t bits = 0;
  if (!b.audio) {
    for (int i = 0; i < kMainSize; i++) bits += uint64_t(b.lz.main[i]) * len[i];
    for (int i = 0; i < kDistSize; i++) bits += uint64_t(b.lz.dist[i]) * len[kMainSize + i];
    for (int i = 0; i < kRepSize; i++) bits += uint64_t(b.lz.rep[i]) * len[kMainSize + kDistSize + i];
  } else {
    for (int c = 0; c < b.channels; c++)
      for (int i = 0; i < kAudioSize; i++) bits += uint64_t(b.af[c][i]) * len[c * kAudioSize + i];
  }
  return bits;
}

uint64_t block_cost(const TPackState& st, const Block& b) {
  uint8_t len[1028];
  int count = block_lengths(b, len);
  TablePlan plan;
  plan_table(st, len, count, b.audio, plan);
  return block_symbol_bits(b, len) + plan.bits + 12;
}

// The cost of a and b coded as one block, neither of them changed.
uint64_t merged_cost(const TPackState& st, const Block& a, const Block& b) {
  Block sum;
  sum.audio = a.audio;
  sum.channels = a.channels;
  for (int i = 0; i < kMainSize; i++) sum.lz.main[i] = a.lz.main[i] + b.lz.main[i];
  for (int i = 0; i < kDistSize; i++) sum.lz.dist[i] = a.lz.dist[i] + b.lz.dist[i];
  for (int i = 0; i < kRepSize; i++) sum.lz.rep[i] = a.lz.rep[i] + b.lz.rep[i];
  for (int c = 0; c < 4; c++)
    for (int i = 0; i < kAudioSize; i++) sum.af[c][i] = a.af[c][i] + b.af[c][i];
  return block_cost(st, sum);
}

void merge_into(Block& a, const Block& b) {
  a.bytes += b.bytes;
  if (!a.audio) {
    a.toks.insert(a.toks.end(), b.toks.begin(), b.toks.end());
    for (int i = 0; i < kMainSize; i++) a.lz.main[i] += b.lz.main[i];
    for (int i = 0; i < kDistSize; i++) a.lz.dist[i] += b.lz.dist[i];
    for (int i = 0; i < kRepSize; i++) a.lz.rep[i] += b.lz.rep[i];
  } else {
    a.deltas.insert(a.deltas.end(), b.deltas.begin(), b.deltas.end());
    for (int c = 0; c < 4; c++)
      for (int i = 0; i < kAudioSize; i++) a.af[c][i] += b.af[c][i];
  }
}

// Writes a block: the symbol that announces its table block (unless the
// decoder reads one by itself at the start of the entry), the table block,
// then its symbols.
void write_block(BitWriter& w, TPackState& st, const Block& b, bool announce) {
  if (announce) {
    Code cur;
    if (st.audio_mode) {
      const uint8_t* l = st.audio_lengths[st.current_channel];
      canonical_codes(l, kAudioSize, cur.code);
      put_bits(w, cur.code[256], l[256]);
    } else {
      canonical_codes(st.main_lengths, kMainSize, cur.code);
      put_bits(w, cur.code[269], st.main_lengths[269]);
    }
  }
  uint8_t len[1028];
  int count = block_lengths(b, len);
  TablePlan plan;
  plan_table(st, len, count, b.audio, plan);
  write_table(w, st, len, count, b.audio, b.channels, plan);

  if (b.audio) {
    Code ac;
    for (int c = 0; c < b.channels; c++) canonical_codes(len + c * kAudioSize, kAudioSize, ac.code + c * kAudioSize);
    uint32_t ch = st.current_channel;
    for (uint8_t d : b.deltas) {
      put_bits(w, ac.code[ch * kAudioSize + d], len[ch * kAudioSize + d]);
      if (++ch >= static_cast<uint32_t>(b.channels)) ch = 0;
    }
    st.current_channel = ch;
    pack_stats.audio_blocks[b.channels]++;
    pack_stats.audio_bytes += b.deltas.size();
    return;
  }
  pack_stats.lz_blocks++;
  uint16_t mc[kMainSize], dc[kDistSize], rc[kRepSize];
  const uint8_t* ml = len;
  const uint8_t* dl = len + kMainSize;
  const uint8_t* rl = len + kMainSize + kDistSize;
  canonical_codes(ml, kMainSize, mc);
  canonical_codes(dl, kDistSize, dc);
  canonical_codes(rl, kRepSize, rc);
  for (const Token& t : b.toks) {
    switch (t.kind) {
      case T_LIT:
        put_symbol(w, ml, mc, t.dist);
        pack_stats.literals++;
        break;
      case T_NEW: {
        uint32_t v = t.len - new_min(t.dist);
        int ls = len_slot_of[v];
        put_symbol(w, ml, mc, 270 + ls);
        put_bits(w, v - kLengthBase[ls], kLengthBits[ls]);
        int ds = dist_slot(t.dist);
        put_symbol(w, dl, dc, ds);
        put_bits(w, t.dist - 1 - kDistanceBase[ds], kDistanceBits[ds]);
        pack_stats.new_copies++;
        if (t.dist >= 0x40000) pack_stats.far_copies++;
        break;
      }
      case T_OLD: {
        uint32_t v = t.len - old_min(t.dist);
        int ls = len_slot_of[v];
        put_symbol(w, ml, mc, 256 + t.k);
        put_symbol(w, rl, rc, ls);
        put_bits(w, v - kLengthBase[ls], kLengthBits[ls]);
        pack_stats.old_distance[t.k - 1]++;
        break;
      }
      case T_REPEAT:
        put_symbol(w, ml, mc, 256);
        pack_stats.repeat_last++;
        break;
      case T_SHORT: {
        int s = short_slot_of[t.dist - 1];
        put_symbol(w, ml, mc, 261 + s);
        put_bits(w, t.dist - 1 - kShortBase[s], kShortBits[s]);
        pack_stats.short_copies++;
        break;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Audio detection.

// Order-0 entropy in bits of a byte histogram.
double entropy_bits(const uint32_t* h, int n) {
  uint64_t total = 0;
  for (int i = 0; i < n; i++) total += h[i];
  double bits = 0;
  for (int i = 0; i < n; i++)
    if (h[i]) bits -= h[i] * __builtin_log2(static_cast<double>(h[i]) / static_cast<double>(total));
  return bits;
}

// Channel counts worth a full run over data[0..n): the predictor is run on
// a sample for every count, and the counts whose deltas look cheaper than
// what LZ does (lz_bits a byte) are returned, best first: the best one, or
// at the priced levels every one in reach of LZ (a sample's order-0 estimate
// is rough, but data where LZ does far better, most data, is not audio and is
// spared four full runs a segment).
int audio_candidates(const AudioRun& start, const uint8_t* data, uint32_t n, double lz_bits, int level, int* out) {
  if (n < 1024) return 0;
  uint32_t sample = std::min<uint32_t>(n, 2048);
  double bits[5];
  uint32_t hist[4][256];
  for (int c = 1; c <= 4; c++) {
    AudioRun r = start;
    if (r.current >= static_cast<uint32_t>(c)) r.current = 0;
    std::memset(hist, 0, sizeof hist);
    for (uint32_t i = 0; i < sample; i++) {
      uint32_t ch = r.current;
      hist[ch][audio_step(r, c, data[i])]++;
    }
    bits[c] = 0;
    for (int ch = 0; ch < c; ch++) bits[c] += entropy_bits(hist[ch], 256);
    bits[c] /= sample;
  }
  int order[4] = {1, 2, 3, 4};
  std::sort(order, order + 4, [&](int a, int b) { return bits[a] < bits[b]; });
  int k = 0;
  const double reach = level >= 4 ? 1.5 : 1.1;
  while (k < (level >= 4 ? 4 : 1) && bits[order[k]] < lz_bits * reach) {
    out[k] = order[k];
    k++;
  }
  return k;
}

// Segments of the entry, and how far ahead of a segment the buffer holds
// the entry: the segment, the priced parse's last stretch past its end and
// the longest copy after that.
constexpr uint32_t kSegment = 1u << 14;
constexpr uint32_t kLookahead = 1u << 16;
static_assert(kLookahead >= kSegment + kStretch + 2 * 262, "a parse reads past its segment");
// The input buffer: the window behind the current segment and up to two
// windows more. It moves by whole windows, which keeps every position's
// place in the match finder's chain ring.
constexpr uint32_t kBufferSize = 3 * kWindowSize + kLookahead;
// A block's table is shared by the segments merged into it up to this many
// bytes of the entry; then it is written, so that pending tokens stay few.
constexpr uint32_t kMaxBlockBytes = 1u << 20;
// Packed bytes are passed on to the sink in pieces of about this size.
constexpr size_t kOutputPiece = 1u << 16;

}  // namespace

void pack_state_reset(TPackState& st) {
  std::memset(st.old_distances, 0, sizeof st.old_distances);
  st.old_distance_index = 0;
  st.last_distance = 0;
  st.last_length = 0;
  std::memset(st.previous_lengths, 0, sizeof st.previous_lengths);
  st.previous_count = kMaxLengths;
  st.audio_mode = false;
  st.channel_count = 1;
  st.current_channel = 0;
  st.channel_delta = 0;
  std::memset(st.audio, 0, sizeof st.audio);
  std::memset(st.main_lengths, 0, sizeof st.main_lengths);
  std::memset(st.distance_lengths, 0, sizeof st.distance_lengths);
  std::memset(st.repeat_lengths, 0, sizeof st.repeat_lengths);
  std::memset(st.audio_lengths, 0, sizeof st.audio_lengths);
  st.have_tables = false;
  st.history.clear();
}

// The encoder's scratch and the entry in progress. Positions count from the
// start of buf, which holds the decoder's window before the entry (in a
// solid run) followed by the entry as far as it has been read.
struct Encoder::Impl {
  // The entry.
  TPackState* st = nullptr;
  bool solid_entry = false;
  int level = 3;
  ByteSource* in = nullptr;
  uint64_t unread = 0;   // entry bytes not yet read
  std::vector<uint8_t> buf;
  uint32_t loaded = 0;   // bytes of buf that hold data
  uint32_t end = 0;      // where the entry ends (past loaded while unread)

  // Parsing and the decoder's state as the parse leaves it.
  Parser ps;
  CopyState cs;
  CopyState lz_cs;  // the copy state after the segment's LZ parse
  AudioRun ar;

  // Blocks: the segment just parsed, an audio trial, and the block waiting
  // to be written (segments merged while they share a table well).
  Block seg, trial, pending;
  bool pending_valid = false;
  bool first_block = true;
  bool first_segment = true;
  std::vector<Token> probe;

  // Output.
  std::vector<uint8_t> packed;
  BitWriter w{nullptr, 0, 0};
  ByteSink* out = nullptr;
  uint64_t written = 0;

  uint64_t limit = 0;    // give up when the packed form reaches this size

  Result pack(TPackState& state, ByteSource& source, uint64_t size, bool solid, int lvl, ByteSink& sink);
  void start(uint64_t size);
  bool load_ahead(uint32_t& pos);
  uint32_t parse_segment(uint32_t pos, uint32_t goal);
  void price_first_pass(uint32_t pos, uint32_t goal);
  uint64_t lz_cost() const;
  void try_audio(uint32_t from, uint32_t to, uint64_t lz_bits);
  bool merge_pending();
  void write_pending();
  void price_from_pending();
  bool pass_on(bool all);
  void finish();
};

Encoder::Encoder() : impl_(new Impl) {}
Encoder::~Encoder() { delete impl_; }

Encoder::Result Encoder::pack(TPackState& state, ByteSource& in, uint64_t size, bool solid, int level, ByteSink& out,
                              uint64_t limit, uint64_t& written) {
  impl_->limit = limit;
  Result r = impl_->pack(state, in, size, solid, level, out);
  written = impl_->written;
  return r;
}

// The entry: a loop over segments, each parsed, priced, tried as audio, and
// merged into the pending block or written.
Encoder::Result Encoder::Impl::pack(TPackState& state, ByteSource& source, uint64_t size, bool solid, int lvl,
                                    ByteSink& sink) {
  init_format_tables();
  st = &state;
  in = &source;
  out = &sink;
  written = 0;
  level = std::clamp(lvl, 1, 5);
  solid_entry = solid;
  if (!solid) pack_state_reset(state);
  if (size == 0) return Result::packed;
  start(size);

  uint32_t pos = static_cast<uint32_t>(state.history.size());
  while (pos < end) {
    if (!load_ahead(pos)) return Result::read_failed;
    uint32_t seg_start = pos;
    pos = parse_segment(pos, std::min(end, seg_start + kSegment));
    uint64_t lz_bits = lz_cost();
    try_audio(seg_start, pos, lz_bits);
    if (!merge_pending()) {
      if (pending_valid) write_pending();
      std::swap(pending, seg);
      pending_valid = true;
    }
    price_from_pending();
    if (!pass_on(false)) return Result::write_failed;
    if (written + packed.size() >= limit) return Result::not_smaller;
  }
  if (pending_valid) write_pending();
  flush_bits(w);
  if (!pass_on(true)) return Result::write_failed;
  if (written >= limit) return Result::not_smaller;
  finish();
  return Result::packed;
}

// Sets up the buffer with the decoder's window and the match finder, the
// parser and the models with the state the entry starts from.
void Encoder::Impl::start(uint64_t size) {
  unread = size;
  const std::vector<uint8_t>& history = st->history;
  uint64_t total = history.size() + size;
  buf.resize(static_cast<size_t>(std::min<uint64_t>(total, kBufferSize)));
  std::copy(history.begin(), history.end(), buf.begin());
  loaded = static_cast<uint32_t>(history.size());
  end = static_cast<uint32_t>(total);  // at most 2^31 + 2^20

  ps.lv = level_of(level);
  ps.mf.reset(static_cast<uint32_t>(std::min<uint64_t>(total, kWindowSize)), ps.lv.depth, ps.lv.nice, ps.lv.optimal);
  ps.buf = buf.data();
  // The window's positions enter the match finder with the first search,
  // once the entry's first bytes are there to hash them with.
  ps.mf.set_buffer(buf.data(), loaded);
  ps.lowest = 0;
  ps.end = loaded;
  ps.matches.resize(300);
  prices_default(ps.pr);
  if (st->have_tables) prices_from(ps.pr, st->main_lengths, st->distance_lengths, st->repeat_lengths);

  std::memcpy(cs.ring, st->old_distances, sizeof cs.ring);
  cs.index = st->old_distance_index;
  cs.last_dist = st->last_distance;
  cs.last_len = st->last_length;
  std::memcpy(ar.ch, st->audio, sizeof ar.ch);
  ar.channel_delta = st->channel_delta;
  ar.current = st->current_channel;

  pending_valid = false;
  first_block = true;
  first_segment = true;
  packed.clear();
  w = BitWriter{&packed, 0, 0};
}

// Makes the buffer hold the entry from pos to kLookahead past it (or to its
// end): moves the buffer by whole windows when it is full, then reads.
// pos follows the move.
bool Encoder::Impl::load_ahead(uint32_t& pos) {
  uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(end, uint64_t(pos) + kLookahead));
  if (want <= loaded) return true;
  if (want > buf.size() && pos >= 2 * kWindowSize) {
    uint32_t shift = (pos - kWindowSize) & ~(kWindowSize - 1);
    std::memmove(buf.data(), buf.data() + shift, loaded - shift);
    ps.mf.rebase(shift);
    loaded -= shift;
    end -= shift;
    pos -= shift;
  }
  uint32_t room = static_cast<uint32_t>(buf.size()) - loaded;
  uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(unread, room));
  if (n > 0 && in->read(buf.data() + loaded, n) != n) return false;
  unread -= n;
  loaded += n;
  ps.end = loaded;
  ps.mf.set_buffer(buf.data(), loaded);
  return true;
}

// The first pass over a segment, which prices the real parse from the
// segment's own statistics: at level 4 only for the very first segment
// (there are no tables to go by yet), and as a lazy parse; at level 5 for
// every segment, with the priced parse itself.
void Encoder::Impl::price_first_pass(uint32_t pos, uint32_t goal) {
  bool first_prices = first_segment && !st->have_tables;
  if (!first_prices && ps.lv.passes == 1) return;
  probe.clear();
  CopyState probe_cs = cs;
  if (ps.lv.passes > 1 && !first_prices) {
    // The pass only counts symbols: it takes long copies outright sooner,
    // which leaves the counts nearly as they are at a fraction of the work.
    Level keep = ps.lv;
    ps.lv.good = std::min(ps.lv.good, kTrialTake);
    parse_optimal(ps, probe_cs, pos, goal, probe);
    ps.lv = keep;
  } else {
    Level keep = ps.lv;
    ps.lv = level_of(3);
    parse_lazy(ps, probe_cs, pos, goal, probe);
    ps.lv = keep;
  }
  LzFreq f;
  count_tokens(probe, 0, f);
  f.main[269] += 1;
  uint8_t l[kLzSize];
  pack_huffman_lengths(f.main, kMainSize, 15, l);
  pack_huffman_lengths(f.dist, kDistSize, 15, l + kMainSize);
  pack_huffman_lengths(f.rep, kRepSize, 15, l + kMainSize + kDistSize);
  prices_from(ps.pr, l, l + kMainSize, l + kMainSize + kDistSize);
}

// The LZ parse of one segment into seg, on a copy of the copy state (cs
// takes it when LZ wins); returns where the parse stopped.
uint32_t Encoder::Impl::parse_segment(uint32_t pos, uint32_t goal) {
  seg.audio = false;
  seg.channels = 0;
  seg.toks.clear();
  seg.deltas.clear();
  seg.lz = LzFreq();
  std::memset(seg.af, 0, sizeof seg.af);
  lz_cs = cs;
  // The priced levels' trial pass asks the match finder again what the
  // real parse asks.
  if (ps.lv.optimal) ps.mf.repeat_from(pos);
  if (ps.lv.optimal) price_first_pass(pos, goal);
  uint32_t stop = ps.lv.optimal ? parse_optimal(ps, lz_cs, pos, goal, seg.toks) : parse_lazy(ps, lz_cs, pos, goal, seg.toks);
  count_tokens(seg.toks, 0, seg.lz);
  seg.bytes = stop - pos;
  first_segment = false;
  return stop;
}

// Bits of the segment as LZ: its block with a table of its own, plus the
// extra bits of its copies.
uint64_t Encoder::Impl::lz_cost() const {
  uint64_t bits = block_cost(*st, seg);
  for (const Token& t : seg.toks) {
    if (t.kind == T_NEW) bits += kLengthBits[len_slot_of[t.len - new_min(t.dist)]] + kDistanceBits[dist_slot(t.dist)];
    else if (t.kind == T_OLD) bits += kLengthBits[len_slot_of[t.len - old_min(t.dist)]];
    else if (t.kind == T_SHORT) bits += kShortBits[short_slot_of[t.dist - 1]];
  }
  return bits;
}

// Codes the segment's bytes [from, to) through the audio predictor for the
// promising channel counts; the cheapest coding, LZ included, takes seg.
void Encoder::Impl::try_audio(uint32_t from, uint32_t to, uint64_t lz_bits) {
  uint32_t n = to - from;
  int cands[4];
  int nc = audio_candidates(ar, buf.data() + from, n, double(lz_bits) / n, level, cands);
  uint64_t best_cost = lz_bits;
  int best_channels = 0;
  AudioRun best_run;
  for (int i = 0; i < nc; i++) {
    int channels = cands[i];
    AudioRun r = ar;
    if (r.current >= static_cast<uint32_t>(channels)) r.current = 0;
    trial.audio = true;
    trial.channels = channels;
    trial.start_channel = r.current;
    trial.bytes = n;
    trial.deltas.resize(n);
    std::memset(trial.af, 0, sizeof trial.af);
    for (uint32_t j = 0; j < n; j++) {
      uint32_t c = r.current;
      uint8_t d = audio_step(r, channels, buf[from + j]);
      trial.deltas[j] = d;
      trial.af[c][d]++;
    }
    uint64_t cost = block_cost(*st, trial);
    if (cost < best_cost) {
      best_cost = cost;
      best_channels = channels;
      best_run = r;
      std::swap(seg.deltas, trial.deltas);
      std::memcpy(seg.af, trial.af, sizeof seg.af);
      seg.start_channel = trial.start_channel;
    }
  }
  if (best_channels) {
    seg.audio = true;
    seg.channels = best_channels;
    seg.toks.clear();
    ar = best_run;
  } else {
    cs = lz_cs;
    seg.deltas.clear();
  }
}

// Merges seg into the pending block when one table for both costs no more
// than a table each (and the block stays within its bound); false leaves
// both as they were.
bool Encoder::Impl::merge_pending() {
  if (!pending_valid || pending.audio != seg.audio || pending.channels != seg.channels) return false;
  if (pending.bytes + seg.bytes > kMaxBlockBytes) return false;
  uint64_t apart = block_cost(*st, pending) + block_cost(*st, seg);
  uint64_t together = merged_cost(*st, pending, seg);
  if (together > apart) return false;
  merge_into(pending, seg);
  return true;
}

void Encoder::Impl::write_pending() {
  write_block(w, *st, pending, !first_block || solid_entry);
  first_block = false;
  pending_valid = false;
}

// Later segments are priced with the code they will most likely share.
void Encoder::Impl::price_from_pending() {
  if (pending.audio) return;
  uint8_t l[kMaxLengths];
  block_lengths(pending, l);
  prices_from(ps.pr, l, l + kMainSize, l + kMainSize + kDistSize);
}

// Hands the packed bytes to the sink once there are enough of them (all of
// them when all is set).
bool Encoder::Impl::pass_on(bool all) {
  if (packed.empty() || (!all && packed.size() < kOutputPiece)) return true;
  if (!out->write(packed.data(), packed.size())) return false;
  written += packed.size();
  packed.clear();
  return true;
}

// What the decoder holds after the entry.
void Encoder::Impl::finish() {
  std::memcpy(st->old_distances, cs.ring, sizeof cs.ring);
  st->old_distance_index = cs.index;
  st->last_distance = cs.last_dist;
  st->last_length = cs.last_len;
  std::memcpy(st->audio, ar.ch, sizeof ar.ch);
  st->channel_delta = ar.channel_delta;
  // current_channel was advanced by the audio blocks as they were written.
  size_t keep = std::min<size_t>(loaded, kWindowSize);
  st->history.assign(buf.begin() + (loaded - keep), buf.begin() + loaded);
}

void pack_entry(TPackState& st, const uint8_t* data, size_t size, bool solid_entry, int level,
                std::vector<uint8_t>& out) {
  out.clear();
  Encoder encoder;
  MemorySource in(data, size);
  VectorSink sink(out);
  uint64_t written = 0;
  encoder.pack(st, in, size, solid_entry, level, sink, UINT64_MAX, written);
}
