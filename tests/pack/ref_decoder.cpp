#include "ref_decoder.h"

#include <cstdlib>
#include <cstring>

namespace {

struct Bits {
  const uint8_t* p;
  size_t n;
  size_t pos = 0;
  uint32_t bit = 0;
  uint8_t at(size_t i) const { return i < n ? p[i] : 0; }
  uint32_t peek() const {
    uint32_t v = uint32_t(at(pos)) << 16 | uint32_t(at(pos + 1)) << 8 | at(pos + 2);
    return (v >> (8 - bit)) & 0xFFFF;
  }
  void skip(uint32_t k) {
    uint32_t t = bit + k;
    pos += t / 8;
    bit = t % 8;
  }
  uint32_t get(uint32_t k) {
    uint32_t v = peek() >> (16 - k);
    skip(k);
    return v;
  }
};

void build(RefDecoder::Table& t, const uint8_t* len, uint32_t size) {
  uint32_t count[16] = {0}, next[16];
  for (uint32_t i = 0; i < size; i++) count[len[i]]++;
  count[0] = 0;
  t.limit[0] = 0;
  t.first[0] = 0;
  next[0] = 0;
  uint32_t acc = 0;
  for (int l = 1; l < 16; l++) {
    acc = 2 * (acc + count[l]);
    uint32_t m = acc << (15 - l);
    t.limit[l] = m > 0xFFFF ? 0xFFFF : m;
    t.first[l] = t.first[l - 1] + count[l - 1];
    next[l] = t.first[l];
  }
  if (t.symbols.size() < size) t.symbols.resize(size, 0);
  for (uint32_t s = 0; s < size; s++)
    if (len[s]) t.symbols[next[len[s]]++] = s;
  t.count = size;
}

uint32_t decode(Bits& b, const RefDecoder::Table& t) {
  uint32_t v = b.peek() & 0xFFFE;
  uint32_t l = 15;
  for (uint32_t k = 1; k <= 14; k++)
    if (v < t.limit[k]) {
      l = k;
      break;
    }
  b.skip(l);
  uint32_t i = t.first[l] + ((v - t.limit[l - 1]) >> (16 - l));
  if (i >= t.count) i = 0;
  return t.symbols.empty() ? 0 : t.symbols[i];
}

void read_tables(RefDecoder& d, Bits& b) {
  d.table_blocks++;
  uint32_t v = b.peek();
  d.audio_mode = (v & 0x8000) != 0;
  if (!(v & 0x4000)) std::memset(d.previous_lengths, 0, sizeof d.previous_lengths);
  b.skip(2);
  uint32_t count = 374;
  if (d.audio_mode) {
    d.channel_count = ((v >> 12) & 3) + 1;
    if (d.current_channel >= d.channel_count) d.current_channel = 0;
    b.skip(2);
    count = 257 * d.channel_count;
  }
  uint8_t cl[19];
  for (int i = 0; i < 19; i++) cl[i] = static_cast<uint8_t>(b.get(4));
  build(d.cl_t, cl, 19);
  uint8_t len[1028] = {0};
  for (uint32_t i = 0; i < count;) {
    uint32_t s = decode(b, d.cl_t);
    if (s < 16) {
      len[i] = (d.previous_lengths[i] + s) & 15;
      i++;
    } else if (s == 16) {
      uint32_t run = 3 + b.get(2);
      uint8_t prev = i ? len[i - 1] : 0;
      while (run-- && i < count) len[i++] = prev;
    } else {
      uint32_t run = s == 17 ? 3 + b.get(3) : 11 + b.get(7);
      while (run-- && i < count) len[i++] = 0;
    }
  }
  if (d.audio_mode) {
    for (uint32_t c = 0; c < d.channel_count; c++) build(d.audio_t[c], len + c * 257, 257);
  } else {
    build(d.main_t, len, 298);
    build(d.dist_t, len + 298, 48);
    build(d.rep_t, len + 346, 28);
  }
  std::memcpy(d.previous_lengths, len, count);
}

uint8_t audio_byte(RefDecoder& d, uint32_t delta) {
  RefDecoder::Chan& s = d.chan[d.current_channel];
  s.byte_count++;
  s.hist[3] = s.hist[2];
  s.hist[2] = s.hist[1];
  s.hist[1] = s.last_delta - s.hist[0];
  s.hist[0] = s.last_delta;
  int32_t p = 8 * s.last_byte + s.coef[0] * s.hist[0] + s.coef[1] * s.hist[1] + s.coef[2] * s.hist[2] +
              s.coef[3] * s.hist[3] + s.coef[4] * d.channel_delta;
  int32_t pred = (p >> 3) & 0xFF;
  int32_t out = pred - static_cast<int32_t>(delta);
  int32_t e = static_cast<int8_t>(delta) * 8;
  int32_t h[5] = {s.hist[0], s.hist[1], s.hist[2], s.hist[3], d.channel_delta};
  s.error_sum[0] += std::abs(e);
  for (int i = 0; i < 5; i++) {
    s.error_sum[1 + 2 * i] += std::abs(e - h[i]);
    s.error_sum[2 + 2 * i] += std::abs(e + h[i]);
  }
  s.last_delta = static_cast<int8_t>(out - s.last_byte);
  d.channel_delta = s.last_delta;
  s.last_byte = out;
  if (s.byte_count % 32 == 0) {
    uint32_t best = 0;
    for (int i = 1; i < 11; i++)
      if (s.error_sum[i] < s.error_sum[best]) best = i;
    std::memset(s.error_sum, 0, sizeof s.error_sum);
    if (best) {
      int32_t& c = s.coef[(best - 1) / 2];
      if (best % 2) {
        if (c >= -16) c--;
      } else if (c < 16) {
        c++;
      }
    }
  }
  return static_cast<uint8_t>(out);
}

const uint32_t kLenBase[28] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 12, 14, 16, 20,
                               24, 28, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224};
const uint32_t kLenBits[28] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};
const uint32_t kDistBase[48] = {0,      1,      2,      3,      4,      6,      8,      12,     16,     24,
                                32,     48,     64,     96,     128,    192,    256,    384,    512,    768,
                                1024,   1536,   2048,   3072,   4096,   6144,   8192,   12288,  16384,  24576,
                                32768,  49152,  65536,  98304,  131072, 196608, 262144, 327680, 393216, 458752,
                                524288, 589824, 655360, 720896, 786432, 851968, 917504, 983040};
const uint32_t kDistBits[48] = {0,  0,  0,  0,  1,  1,  2,  2,  3,  3,  4,  4,  5,  5,  6,  6,
                                7,  7,  8,  8,  9,  9,  10, 10, 11, 11, 12, 12, 13, 13, 14, 14,
                                15, 15, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16};
const uint32_t kShortBase[8] = {0, 4, 8, 16, 32, 64, 128, 192};
const uint32_t kShortBits[8] = {2, 2, 3, 4, 5, 6, 6, 6};

void copy(RefDecoder& d, int32_t& left, uint32_t len, uint32_t dist, std::vector<uint8_t>& out) {
  d.old_distances[d.old_index++ & 3] = dist;
  d.last_distance = dist;
  d.last_length = len;
  left -= static_cast<int32_t>(len);
  for (uint32_t i = 0; i < len; i++) {
    d.window[d.window_pos] = d.window[(d.window_pos - dist) & 0xFFFFF];
    out.push_back(d.window[d.window_pos]);
    d.window_pos = (d.window_pos + 1) & 0xFFFFF;
  }
}

}  // namespace

void ref_unpack(RefDecoder& d, const uint8_t* packed, size_t n, uint32_t unp_size, bool solid,
                std::vector<uint8_t>& out) {
  Bits b{packed, n};
  if (!solid) {
    d.channel_delta = 0;
    d.current_channel = 0;
    std::memset(d.chan, 0, sizeof d.chan);
    std::memset(d.old_distances, 0, sizeof d.old_distances);
    d.old_index = 0;
    d.last_distance = d.last_length = 0;
    std::fill(d.window.begin(), d.window.end(), 0);
    std::memset(d.previous_lengths, 0, sizeof d.previous_lengths);
    d.window_pos = 0;
    read_tables(d, b);
  }
  int32_t left = static_cast<int32_t>(unp_size) - 1;
  while (left >= 0) {
    if (d.audio_mode) {
      uint32_t s = decode(b, d.audio_t[d.current_channel]);
      if (s == 256) {
        read_tables(d, b);
        continue;
      }
      d.window[d.window_pos] = audio_byte(d, s);
      out.push_back(d.window[d.window_pos]);
      d.window_pos = (d.window_pos + 1) & 0xFFFFF;
      if (++d.current_channel >= d.channel_count) d.current_channel = 0;
      left--;
      continue;
    }
    uint32_t s = decode(b, d.main_t);
    if (s < 256) {
      d.window[d.window_pos] = static_cast<uint8_t>(s);
      out.push_back(d.window[d.window_pos]);
      d.window_pos = (d.window_pos + 1) & 0xFFFFF;
      left--;
    } else if (s > 269) {
      uint32_t slot = s - 270;
      uint32_t len = kLenBase[slot] + 3 + b.get(kLenBits[slot]);
      uint32_t ds = decode(b, d.dist_t);
      uint32_t dist = kDistBase[ds] + 1 + b.get(kDistBits[ds]);
      if (dist >= 0x40000) len++;
      if (dist >= 0x2000) len++;
      copy(d, left, len, dist, out);
    } else if (s == 269) {
      read_tables(d, b);
    } else if (s == 256) {
      copy(d, left, d.last_length, d.last_distance, out);
    } else if (s < 261) {
      uint32_t dist = d.old_distances[(d.old_index - (s - 256)) & 3];
      uint32_t slot = decode(b, d.rep_t);
      uint32_t len = kLenBase[slot] + 2 + b.get(kLenBits[slot]);
      if (dist >= 0x40000) len++;
      if (dist >= 0x2000) len++;
      if (dist >= 0x101) len++;
      copy(d, left, len, dist, out);
    } else {
      uint32_t slot = s - 261;
      copy(d, left, 2, kShortBase[slot] + 1 + b.get(kShortBits[slot]), out);
    }
  }
  if (b.pos + 5 <= n) {
    uint32_t s = decode(b, d.audio_mode ? d.audio_t[d.current_channel] : d.main_t);
    if (s == (d.audio_mode ? 256u : 269u)) read_tables(d, b);
  }
}
