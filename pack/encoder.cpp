// The encoder for unpack version 20.
//
// An entry is cut into segments of about 64 KiB. Each segment is parsed into
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

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/arc_format.h"
#include "pack/encoder.h"
#include "pack/huffman_lengths.h"
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
constexpr uint32_t kMaxDistance = kWindowSize - 1;

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

inline uint32_t new_adj(uint32_t d) { return (d >= 0x2000) + (d >= 0x40000); }
inline uint32_t old_adj(uint32_t d) { return (d >= 0x101) + (d >= 0x2000) + (d >= 0x40000); }
inline uint32_t new_min(uint32_t d) { return 3 + new_adj(d); }
inline uint32_t new_max(uint32_t d) { return 258 + new_adj(d); }
inline uint32_t old_min(uint32_t d) { return 2 + old_adj(d); }
inline uint32_t old_max(uint32_t d) { return 257 + old_adj(d); }

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
void plan_table(const TPackState& st, const uint8_t* len, int count, bool audio, TablePlan& best) {
  static const uint8_t zeros[1028] = {0};
  int header = audio ? 4 : 2;
  plan_one(len, zeros, count, false, header, best);
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
// Match finder: hash chains over the whole buffer (history + entry). The
// chains link positions with the same 4 bytes; three-byte matches, which pay
// only at distances below 0x2000, come from a table of the last position of
// each 3-byte hash, and two-byte ones (short copies) from the last position
// of each byte pair.

constexpr int kHashBits = 19;

struct MatchFinder {
  const uint8_t* buf;
  uint32_t size;
  std::vector<int32_t> head;   // 4-byte hash -> last position
  std::vector<int32_t> prev;   // position & prev_mask -> earlier position, same hash
  uint32_t prev_mask;          // the window, or less for a small buffer
  int hash_bits;               // of head: fewer for a small buffer
  std::vector<int32_t> head3;  // 3-byte hash -> last position
  std::vector<int32_t> head2;  // 2-byte value -> last position
  uint32_t inserted;           // positions below this are in the tables
};

inline uint32_t hash4(const uint8_t* p, int bits) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return (v * 2654435761u) >> (32 - bits);
}

inline uint32_t hash3(const uint8_t* p) {
  return ((p[0] << 16 | p[1] << 8 | p[2]) * 2654435761u) >> (32 - 16);
}

void mf_init(MatchFinder& mf, const uint8_t* buf, uint32_t size) {
  mf.buf = buf;
  mf.size = size;
  // Tables in proportion to the buffer, so that small entries start quickly.
  uint32_t span = 4096;
  while (span < size && span < kWindowSize) span <<= 1;
  mf.prev_mask = span - 1;
  mf.hash_bits = 12;
  while (mf.hash_bits < kHashBits && (1u << mf.hash_bits) < span) mf.hash_bits++;
  mf.head.assign(1u << mf.hash_bits, -1);
  mf.prev.assign(span, -1);
  mf.head3.assign(1u << 16, -1);
  mf.head2.assign(65536, -1);
  mf.inserted = 0;
}

inline void mf_insert_to(MatchFinder& mf, uint32_t end) {
  while (mf.inserted < end) {
    uint32_t p = mf.inserted++;
    if (p + 3 < mf.size) {
      uint32_t h = hash4(mf.buf + p, mf.hash_bits);
      mf.prev[p & mf.prev_mask] = mf.head[h];
      mf.head[h] = static_cast<int32_t>(p);
    }
    if (p + 2 < mf.size) mf.head3[hash3(mf.buf + p)] = static_cast<int32_t>(p);
    if (p + 1 < mf.size) mf.head2[mf.buf[p] << 8 | mf.buf[p + 1]] = static_cast<int32_t>(p);
  }
}

inline uint32_t match_len(const uint8_t* a, const uint8_t* b, uint32_t max) {
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

struct Match {
  uint32_t len;
  uint32_t dist;
};

// Collects matches at pos with strictly growing lengths (nearest first for
// each length); lowest is the first position that may be referred to.
// Inserts pos. Returns the number found.
int mf_find(MatchFinder& mf, uint32_t pos, uint32_t lowest, uint32_t max_len, int depth, uint32_t nice,
            Match* out) {
  mf_insert_to(mf, pos);
  int n = 0;
  uint32_t best = 2;
  const uint8_t* cur = mf.buf + pos;
  if (max_len >= 3 && pos + 2 < mf.size) {
    int32_t c3 = mf.head3[hash3(cur)];
    if (c3 >= 0 && static_cast<uint32_t>(c3) < pos && static_cast<uint32_t>(c3) >= lowest && pos - c3 < 0x2000) {
      uint32_t l = match_len(cur, mf.buf + c3, max_len);
      if (l >= 3) {
        best = l;
        out[n++] = {l, pos - static_cast<uint32_t>(c3)};
      }
    }
  }
  if (max_len >= 4 && best < max_len && best < nice && pos + 3 < mf.size) {
    int32_t cand = mf.head[hash4(cur, mf.hash_bits)];
    while (cand >= 0 && depth-- > 0) {
      uint32_t c = static_cast<uint32_t>(cand);
      if (c >= pos) {  // pos itself, when it was searched before
        cand = mf.prev[c & mf.prev_mask];
        if (cand >= static_cast<int32_t>(c)) break;
        continue;
      }
      if (c < lowest || pos - c > kMaxDistance) break;
      if (cur[best] == mf.buf[c + best]) {
        uint32_t l = match_len(cur, mf.buf + c, max_len);
        if (l > best) {
          uint32_t d = pos - c;
          if (l >= new_min(d)) {
            best = l;
            out[n++] = {l, d};
            if (l >= nice || l >= max_len) break;
            // A long copy found: a short look further is enough.
            if (l >= 24 && depth > 4) depth = 4;
          }
        }
      }
      int32_t nx = mf.prev[c & mf.prev_mask];
      if (nx >= cand) break;
      cand = nx;
    }
  }
  mf_insert_to(mf, pos + 1);
  return n;
}

// Nearest earlier occurrence of the two bytes at pos within short-copy reach.
inline uint32_t mf_short(const MatchFinder& mf, uint32_t pos, uint32_t lowest) {
  if (pos + 1 >= mf.size) return 0;
  int32_t c = mf.head2[mf.buf[pos] << 8 | mf.buf[pos + 1]];
  if (c < 0 || static_cast<uint32_t>(c) >= pos || static_cast<uint32_t>(c) < lowest) return 0;
  uint32_t d = pos - static_cast<uint32_t>(c);
  return d <= 256 ? d : 0;
}

// ---------------------------------------------------------------------------
// Prices in bits, from the current code lengths.

struct Prices {
  uint32_t main[kMainSize];
  uint32_t dist[kDistSize];
  uint32_t rep[kRepSize];
};

void prices_from(Prices& pr, const uint8_t* main, const uint8_t* dist, const uint8_t* rep) {
  for (int i = 0; i < kMainSize; i++) pr.main[i] = main[i] ? main[i] : (i < 256 ? 11 : 12);
  for (int i = 0; i < kDistSize; i++) pr.dist[i] = dist[i] ? dist[i] : 8;
  for (int i = 0; i < kRepSize; i++) pr.rep[i] = rep[i] ? rep[i] : 6;
}

void prices_default(Prices& pr) {
  for (int i = 0; i < kMainSize; i++) pr.main[i] = i < 256 ? 8 : (i >= 270 ? 9 : 8);
  for (int i = 0; i < kDistSize; i++) pr.dist[i] = 6;
  for (int i = 0; i < kRepSize; i++) pr.rep[i] = 4;
}

inline uint32_t price_new(const Prices& pr, uint32_t len, uint32_t d) {
  uint32_t v = len - new_min(d);
  int ls = len_slot_of[v];
  int ds = dist_slot(d);
  return pr.main[270 + ls] + kLengthBits[ls] + pr.dist[ds] + kDistanceBits[ds];
}

inline uint32_t price_old(const Prices& pr, int k, uint32_t len, uint32_t d) {
  uint32_t v = len - old_min(d);
  int ls = len_slot_of[v];
  return pr.main[256 + k] + pr.rep[ls] + kLengthBits[ls];
}

inline uint32_t price_short(const Prices& pr, uint32_t d) {
  int s = short_slot_of[d - 1];
  return pr.main[261 + s] + kShortBits[s];
}

// ---------------------------------------------------------------------------
// Level settings.

struct Level {
  int depth;       // hash chain steps
  uint32_t nice;   // stop searching at this length
  bool lazy;
  bool optimal;
  uint32_t good;   // lazy: a copy this long is taken without looking one byte on
  int passes;      // priced parse: passes per segment, each priced by the one before
};

Level level_of(int level) {
  switch (level) {
    case 1: return {4, 16, false, false, 0, 1};
    case 2: return {12, 32, true, false, 16, 1};
    case 3: return {24, 64, true, false, 32, 1};
    case 4: return {48, 96, false, true, 0, 1};
    default: return {256, 258, false, true, 0, 2};
  }
}

// ---------------------------------------------------------------------------
// Parsers. Both write tokens for [pos, ...) up to at least seg_end and return
// the position they stopped at; they keep the copy state as the decoder will.

struct Parser {
  MatchFinder mf;
  uint32_t lowest;  // first position a copy may refer to
  uint32_t end;     // end of the entry in the buffer
  Level lv;
  Prices pr;
  std::vector<Match> matches;
  // Literal prices summed from lit_base on, for the lazy parser's gains.
  std::vector<uint32_t> lit_sum;
  uint32_t lit_base;
};

// Prepares lit_sum for positions from..to (prices change only between segments).
void prepare_literal_sums(Parser& ps, uint32_t from, uint32_t to) {
  to = std::min(to, ps.end);
  ps.lit_base = from;
  ps.lit_sum.resize(to - from + 1);
  uint32_t acc = 0;
  ps.lit_sum[0] = 0;
  for (uint32_t p = from; p < to; p++) {
    acc += ps.pr.main[ps.mf.buf[p]];
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
  const uint8_t* cur = ps.mf.buf + pos;
  auto consider = [&](uint32_t len, uint32_t dist, uint8_t kind, uint8_t k, uint32_t price) {
    int32_t gain = literal_bits(ps, pos, len) - static_cast<int32_t>(price);
    if (gain > best.gain) best = {len, dist, kind, k, gain};
  };
  if (max_len >= 2) {
    for (int k = 1; k <= 4; k++) {
      uint32_t d = ring_dist(cs, k);
      if (d == 0 || pos - ps.lowest < d) continue;
      uint32_t l = match_len(cur, cur - d, std::min(max_len, old_max(d)));
      if (k == 1 && cs.last_len > 0 && l >= cs.last_len && cs.last_len <= max_len)
        consider(cs.last_len, d, T_REPEAT, 0, ps.pr.main[256]);
      if (l >= old_min(d)) consider(l, d, T_OLD, static_cast<uint8_t>(k), price_old(ps.pr, k, l, d));
    }
    uint32_t sd = mf_short(ps.mf, pos, ps.lowest);
    if (sd) consider(2, sd, T_SHORT, 0, price_short(ps.pr, sd));
  }
  int n = mf_find(ps.mf, pos, ps.lowest, std::min<uint32_t>(max_len, 258), ps.lv.depth, ps.lv.nice, ps.matches.data());
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
      toks.push_back({ps.mf.buf[pos], 1, T_LIT, 0});
      pos++;
      if (pos < ps.end) cur = best_at(ps, cs, pos);
      continue;
    }
    if (ps.lv.lazy && cur.len < ps.lv.good && pos + 1 < ps.end) {
      Cand next = best_at(ps, cs, pos + 1);
      // Taking a literal first pays when the copy one byte on saves more.
      if (next.gain > cur.gain) {
        toks.push_back({ps.mf.buf[pos], 1, T_LIT, 0});
        pos++;
        cur = next;
        continue;
      }
    }
    emit_copy(toks, cs, cur);
    mf_insert_to(ps.mf, pos + cur.len);
    pos += cur.len;
    if (pos < ps.end) cur = best_at(ps, cs, pos);
  }
  return pos;
}

// Priced shortest path over a stretch of positions; each node keeps the copy
// state of the path that reaches it, so old-distance copies are priced from
// the ring they would really see.
struct Node {
  uint32_t cost;
  uint32_t dist;
  uint16_t len;
  uint8_t kind;
  uint8_t k;
  CopyState cs;
};

uint32_t parse_optimal(Parser& ps, CopyState& cs, uint32_t pos, uint32_t seg_end, std::vector<Token>& toks) {
  constexpr uint32_t kStretch = 4096;
  static std::vector<Node> nodes;
  nodes.resize(kStretch + 1);
  std::vector<Token> path;
  while (pos < seg_end) {
    uint32_t n = std::min<uint32_t>(kStretch, ps.end - pos);
    for (uint32_t i = 1; i <= n; i++) nodes[i].cost = UINT32_MAX;
    nodes[0].cost = 0;
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
      uint32_t c0 = nd.cost;
      uint32_t max_len = n - i;
      const uint8_t* cur = ps.mf.buf + p;
      auto relax = [&](uint32_t len, uint32_t dist, uint8_t kind, uint8_t k, uint32_t price) {
        Node& t = nodes[i + len];
        if (c0 + price < t.cost) {
          t.cost = c0 + price;
          t.dist = dist;
          t.len = static_cast<uint16_t>(len);
          t.kind = kind;
          t.k = k;
        }
      };
      relax(1, cur[0], T_LIT, 0, ps.pr.main[cur[0]]);
      uint32_t longest = 0;
      Cand longest_c{0, 0, T_LIT, 0, 0};
      if (max_len >= 2) {
        for (int k = 1; k <= 4; k++) {
          uint32_t d = ring_dist(nd.cs, k);
          if (d == 0 || p - ps.lowest < d) continue;
          bool seen = false;
          for (int j = 1; j < k; j++) seen |= ring_dist(nd.cs, j) == d;
          if (seen) continue;
          uint32_t l = match_len(cur, cur - d, std::min(max_len, old_max(d)));
          if (k == 1 && nd.cs.last_len > 0 && l >= nd.cs.last_len)
            relax(nd.cs.last_len, d, T_REPEAT, 0, ps.pr.main[256]);
          for (uint32_t len = old_min(d); len <= l; len++)
            relax(len, d, T_OLD, static_cast<uint8_t>(k), price_old(ps.pr, k, len, d));
          if (l > longest && l >= old_min(d)) {
            longest = l;
            longest_c = {l, d, T_OLD, static_cast<uint8_t>(k), 0};
          }
        }
        uint32_t sd = mf_short(ps.mf, p, ps.lowest);
        if (sd) relax(2, sd, T_SHORT, 0, price_short(ps.pr, sd));
      }
      int m = mf_find(ps.mf, p, ps.lowest, std::min<uint32_t>(max_len, 258), ps.lv.depth, ps.lv.nice,
                      ps.matches.data());
      uint32_t from_len = 3;
      for (int j = 0; j < m; j++) {
        Match mt = ps.matches[j];
        uint32_t top = std::min(mt.len, new_max(mt.dist));
        for (uint32_t len = std::max(from_len, new_min(mt.dist)); len <= top; len++)
          relax(len, mt.dist, T_NEW, 0, price_new(ps.pr, len, mt.dist));
        from_len = top + 1;
        if (top > longest) {
          longest = top;
          longest_c = {top, mt.dist, T_NEW, 0, 0};
        }
      }
      if (longest >= ps.lv.nice) {
        stop = i;
        jump = longest_c;
        // A run that repeats the last copy exactly costs one symbol.
        uint32_t d1 = ring_dist(nd.cs, 1);
        uint32_t ll = nd.cs.last_len;
        if (ll + 1 >= longest && ll <= max_len && d1 && p - ps.lowest >= d1 &&
            match_len(cur, cur - d1, ll) == ll)
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
      mf_insert_to(ps.mf, pos + jump.len);
      pos += jump.len;
    }
  }
  return pos;
}

// ---------------------------------------------------------------------------
// Blocks.

struct LzFreq {
  uint32_t main[kMainSize];
  uint32_t dist[kDistSize];
  uint32_t rep[kRepSize];
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

struct Block {
  bool audio;
  int channels;
  uint32_t start_channel;
  std::vector<Token> toks;      // LZ
  std::vector<uint8_t> deltas;  // audio
  LzFreq lz;
  uint32_t af[4][kAudioSize];
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

void merge_into(Block& a, const Block& b) {
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
    static Code ac;
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
// what LZ does (lz_bits a byte) are returned, best first. The best levels
// try every count in full.
int audio_candidates(const AudioRun& start, const uint8_t* data, uint32_t n, double lz_bits, int level, int* out) {
  if (n < 1024) return 0;
  if (level >= 4) {
    for (int c = 0; c < 4; c++) out[c] = c + 1;
    return 4;
  }
  uint32_t sample = std::min<uint32_t>(n, 2048);
  double bits[5];
  static uint32_t hist[4][256];
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
  if (bits[order[0]] < lz_bits * 1.1) out[k++] = order[0];
  return k;
}

}  // namespace

void pack_state_reset(TPackState& st) {
  std::memset(st.old_distances, 0, sizeof st.old_distances);
  st.old_distance_index = 0;
  st.last_distance = 0;
  st.last_length = 0;
  std::memset(st.previous_lengths, 0, sizeof st.previous_lengths);
  st.previous_count = 1028;
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

void pack_entry(TPackState& st, const uint8_t* data, size_t size, bool solid_entry, int level,
                std::vector<uint8_t>& out) {
  init_format_tables();
  out.clear();
  if (level < 1) level = 1;
  if (level > 5) level = 5;
  if (!solid_entry) pack_state_reset(st);
  if (size == 0) return;

  // The buffer holds what the decoder's window holds before the entry (in a
  // solid run) followed by the entry itself.
  // Without history the entry is used where it lies.
  std::vector<uint8_t> joined;
  const uint8_t* buf = data;
  if (!st.history.empty()) {
    joined.reserve(st.history.size() + size);
    joined.insert(joined.end(), st.history.begin(), st.history.end());
    joined.insert(joined.end(), data, data + size);
    buf = joined.data();
  }
  uint32_t base = static_cast<uint32_t>(st.history.size());
  uint32_t end = static_cast<uint32_t>(base + size);

  static Parser ps;
  ps.lv = level_of(level);
  mf_init(ps.mf, buf, end);
  mf_insert_to(ps.mf, base);
  ps.lowest = 0;
  ps.end = end;
  ps.matches.resize(300);
  prices_default(ps.pr);
  if (st.have_tables) prices_from(ps.pr, st.main_lengths, st.distance_lengths, st.repeat_lengths);

  CopyState cs;
  std::memcpy(cs.ring, st.old_distances, sizeof cs.ring);
  cs.index = st.old_distance_index;
  cs.last_dist = st.last_distance;
  cs.last_len = st.last_length;
  AudioRun ar;
  std::memcpy(ar.ch, st.audio, sizeof ar.ch);
  ar.channel_delta = st.channel_delta;
  ar.current = st.current_channel;

  BitWriter w{&out, 0, 0};
  bool first = true;
  bool pending_valid = false;
  static Block pending, seg;

  constexpr uint32_t kSegment = 1u << 14;
  uint32_t pos = base;
  while (pos < end) {
    uint32_t seg_start = pos;
    uint32_t seg_goal = std::min(end, seg_start + kSegment);
    // LZ parse of the segment, on a copy of the copy state.
    CopyState lz_cs = cs;
    seg.audio = false;
    seg.channels = 0;
    seg.toks.clear();
    seg.deltas.clear();
    std::memset(&seg.lz, 0, sizeof seg.lz);
    std::memset(seg.af, 0, sizeof seg.af);
    if (ps.lv.optimal) {
      // A first pass prices the segment from its own statistics: at level 4
      // only for the very first segment (there are no tables to go by yet),
      // and as a lazy parse; at level 5 for every segment, with the priced
      // parse itself.
      bool first_prices = !st.have_tables && pos == base && !pending_valid;
      if (first_prices || ps.lv.passes > 1) {
        std::vector<Token> probe;
        CopyState probe_cs = cs;
        uint32_t ins = ps.mf.inserted;
        static std::vector<int32_t> head, head2, head3;
        head = ps.mf.head;
        head2 = ps.mf.head2;
        head3 = ps.mf.head3;
        if (ps.lv.passes > 1 && !first_prices) {
          parse_optimal(ps, probe_cs, pos, seg_goal, probe);
        } else {
          Level keep = ps.lv;
          ps.lv = level_of(3);
          parse_lazy(ps, probe_cs, pos, seg_goal, probe);
          ps.lv = keep;
        }
        LzFreq f;
        std::memset(&f, 0, sizeof f);
        count_tokens(probe, 0, f);
        uint8_t l[kLzSize];
        f.main[269] += 1;
        pack_huffman_lengths(f.main, kMainSize, 15, l);
        pack_huffman_lengths(f.dist, kDistSize, 15, l + kMainSize);
        pack_huffman_lengths(f.rep, kRepSize, 15, l + kMainSize + kDistSize);
        prices_from(ps.pr, l, l + kMainSize, l + kMainSize + kDistSize);
        // Forget the probe's insertions: the real parse inserts them again.
        ps.mf.head.swap(head);
        ps.mf.head2.swap(head2);
        ps.mf.head3.swap(head3);
        ps.mf.inserted = ins;
      }
      pos = parse_optimal(ps, lz_cs, pos, seg_goal, seg.toks);
    } else {
      pos = parse_lazy(ps, lz_cs, pos, seg_goal, seg.toks);
    }
    count_tokens(seg.toks, 0, seg.lz);
    uint64_t lz_cost = block_cost(st, seg);
    for (const Token& t : seg.toks) {
      if (t.kind == T_NEW) lz_cost += kLengthBits[len_slot_of[t.len - new_min(t.dist)]] + kDistanceBits[dist_slot(t.dist)];
      else if (t.kind == T_OLD) lz_cost += kLengthBits[len_slot_of[t.len - old_min(t.dist)]];
      else if (t.kind == T_SHORT) lz_cost += kShortBits[short_slot_of[t.dist - 1]];
    }

    // Audio alternatives for the same bytes.
    uint32_t seg_len = pos - seg_start;
    int cands[4];
    int nc = audio_candidates(ar, buf + seg_start, seg_len, double(lz_cost) / seg_len, level, cands);
    uint64_t best_cost = lz_cost;
    int best_channels = 0;
    AudioRun best_run;
    static Block aseg;
    for (int i = 0; i < nc; i++) {
      int n = cands[i];
      AudioRun r = ar;
      if (r.current >= static_cast<uint32_t>(n)) r.current = 0;
      uint32_t start_channel = r.current;
      aseg.audio = true;
      aseg.channels = n;
      aseg.start_channel = start_channel;
      aseg.deltas.resize(seg_len);
      std::memset(aseg.af, 0, sizeof aseg.af);
      for (uint32_t j = 0; j < seg_len; j++) {
        uint32_t c = r.current;
        uint8_t d = audio_step(r, n, buf[seg_start + j]);
        aseg.deltas[j] = d;
        aseg.af[c][d]++;
      }
      uint64_t cost = block_cost(st, aseg);
      if (cost < best_cost) {
        best_cost = cost;
        best_channels = n;
        best_run = r;
        std::swap(seg.deltas, aseg.deltas);
        std::memcpy(seg.af, aseg.af, sizeof seg.af);
        seg.start_channel = start_channel;
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

    // Share the pending block's table when a new one does not pay.
    bool merged = false;
    if (pending_valid && pending.audio == seg.audio && pending.channels == seg.channels) {
      uint64_t apart = block_cost(st, pending) + block_cost(st, seg);
      Block& both = pending;
      // Tentatively merge, and undo if it does not pay.
      size_t tsize = both.toks.size(), dsize = both.deltas.size();
      LzFreq lz_saved = both.lz;
      static uint32_t af_saved[4][kAudioSize];
      std::memcpy(af_saved, both.af, sizeof af_saved);
      merge_into(both, seg);
      if (block_cost(st, both) <= apart) {
        merged = true;
      } else {
        both.toks.resize(tsize);
        both.deltas.resize(dsize);
        both.lz = lz_saved;
        std::memcpy(both.af, af_saved, sizeof af_saved);
      }
    }
    if (!merged) {
      if (pending_valid) {
        write_block(w, st, pending, !first || solid_entry);
        first = false;
      }
      std::swap(pending, seg);
      pending_valid = true;
    }
    // Later segments are priced with the code they will most likely share.
    if (!pending.audio) {
      uint8_t l[1028];
      block_lengths(pending, l);
      prices_from(ps.pr, l, l + kMainSize, l + kMainSize + kDistSize);
    }
  }
  if (pending_valid) write_block(w, st, pending, !first || solid_entry);
  flush_bits(w);

  // What the decoder holds after the entry.
  std::memcpy(st.old_distances, cs.ring, sizeof cs.ring);
  st.old_distance_index = cs.index;
  st.last_distance = cs.last_dist;
  st.last_length = cs.last_len;
  std::memcpy(st.audio, ar.ch, sizeof ar.ch);
  st.channel_delta = ar.channel_delta;
  // current_channel was advanced by the audio blocks as they were written.
  size_t keep = std::min<size_t>(end, kWindowSize);
  st.history.assign(buf + end - keep, buf + end);
}
