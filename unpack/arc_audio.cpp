// The multimedia predictor on the module state (the step itself is in
// arc_audio.h).

#include "unpack/arc_audio.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define VELMORA_AUDIO_AVX2 1
#include <cpuid.h>
#include <immintrin.h>
#endif

#if VELMORA_AUDIO_AVX2
namespace {

#define VELMORA_AVX2_TARGET __attribute__((target("avx2")))
#define VELMORA_AVX2_INLINE __attribute__((target("avx2"), always_inline))

VELMORA_AVX2_TARGET inline __m256i load16(const int16_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// The sums of adjacent lanes of a, then of b, in each 128-bit half: what
// a horizontal add gives, made by the multiplier (each pair times one)
// and one pack, where the horizontal add takes two shuffles on the busier
// shuffle units. The multiply reads its lanes as signed, which holds here:
// a lane holds at most 2558 (two terms of at most 1279) entering the first
// level, 5116 the second and 10232 the third, and the two 128-bit halves
// are added after, with plain 16-bit adds.
VELMORA_AVX2_INLINE inline __m256i pair_sums(__m256i a, __m256i b) {
  const __m256i ones = _mm256_set1_epi16(1);
  return _mm256_packus_epi32(_mm256_madd_epi16(a, ones), _mm256_madd_epi16(b, ones));
}

// The winner from the counters' partial sums, one per counter in each
// 128-bit half (0-7 in low8, 8-10 then an empty counter 11 in high4): the
// halves are added, and the smallest sum wins, the lowest counter among
// equals.
VELMORA_AVX2_INLINE inline uint32_t winner_of_sums(__m256i low8, __m256i high4) {
  const __m128i sums_low = _mm_add_epi16(_mm256_castsi256_si128(low8), _mm256_extracti128_si256(low8, 1));
  // Counter 11 and the copies are kept out of the race.
  const __m128i sums_high = _mm_or_si128(_mm_add_epi16(_mm256_castsi256_si128(high4), _mm256_extracti128_si256(high4, 1)),
                                         _mm_setr_epi16(0, 0, 0, -1, -1, -1, -1, -1));
  // The smallest of eight and its place, the lowest place among equals.
  const uint32_t m_low = uint32_t(_mm_cvtsi128_si32(_mm_minpos_epu16(sums_low)));
  const uint32_t m_high = uint32_t(_mm_cvtsi128_si32(_mm_minpos_epu16(sums_high)));
  return (m_high & 0xFFFF) < (m_low & 0xFFFF) ? 8 + ((m_high >> 16) & 7) : (m_low >> 16) & 7;
}

// Every term is at most 1279 and a whole cycle's sum of one counter at
// most 40928 (see AudioSeries), so each counter is summed in 16-bit lanes
// and its total still fits one, read as unsigned.
VELMORA_AVX2_TARGET uint32_t series_cycle_winner_avx2(const int16_t* delta, const int16_t* change,
                                                      const int16_t* cd) {
  // The high byte, read as signed, times 8 (the low byte, a code length,
  // is shifted out); one register per half cycle.
  const __m256i e0 = _mm256_srai_epi16(load16(delta), 5);
  const __m256i e1 = _mm256_srai_epi16(load16(delta + 16), 5);
  // Sixteen partial sums of counter 2j + 1 (e - h) and 2j + 2 (e + h) for
  // the history term h of each byte, given by half.
  auto pair = [&](__m256i h0, __m256i h1, __m256i& minus, __m256i& plus) VELMORA_AVX2_INLINE {
    minus = _mm256_add_epi16(_mm256_abs_epi16(_mm256_sub_epi16(e0, h0)), _mm256_abs_epi16(_mm256_sub_epi16(e1, h1)));
    plus = _mm256_add_epi16(_mm256_abs_epi16(_mm256_add_epi16(e0, h0)), _mm256_abs_epi16(_mm256_add_epi16(e1, h1)));
  };
  // The counters are made in order and summed pairwise as they come, so
  // that few registers are live at a time: three levels of pairwise adds
  // leave, in each 128-bit half, one partial sum per counter in counter
  // order, 0-7 in one register and 8-10 (then an empty counter 11) in the
  // other. The halves are added after.
  __m256i acc[11];
  acc[0] = _mm256_add_epi16(_mm256_abs_epi16(e0), _mm256_abs_epi16(e1));
  __m256i a1 = load16(change - 1), b1 = load16(change + 15);  // hist1: the last change
  pair(a1, b1, acc[1], acc[2]);
  __m256i a2 = load16(change - 2), b2 = load16(change + 14);
  pair(_mm256_sub_epi16(a1, a2), _mm256_sub_epi16(b1, b2), acc[3], acc[4]);
  const __m256i two0 = pair_sums(acc[0], acc[1]), two1 = pair_sums(acc[2], acc[3]);
  __m256i a3 = load16(change - 3), b3 = load16(change + 13);
  pair(_mm256_sub_epi16(a2, a3), _mm256_sub_epi16(b2, b3), acc[5], acc[6]);
  const __m256i four0 = pair_sums(two0, two1), two2 = pair_sums(acc[4], acc[5]);
  __m256i a4 = load16(change - 4), b4 = load16(change + 12);
  pair(_mm256_sub_epi16(a3, a4), _mm256_sub_epi16(b3, b4), acc[7], acc[8]);
  const __m256i two3 = pair_sums(acc[6], acc[7]);
  pair(load16(cd), load16(cd + 16), acc[9], acc[10]);
  const __m256i four1 = pair_sums(two2, two3);
  const __m256i two4 = pair_sums(acc[8], acc[9]), two5 = pair_sums(acc[10], _mm256_setzero_si256());
  const __m256i four2 = pair_sums(two4, two5);
  return winner_of_sums(pair_sums(four0, four1), pair_sums(four2, four2));
}

// The same with 512-bit vectors, a whole cycle in one register: the terms
// take half the instructions. The levels of pair sums work within each
// 128-bit quarter as they do within each half above (a lane enters them
// with at most 1279, 2558 and 5116), and the quarters are added after.
#define VELMORA_AVX512_TARGET __attribute__((target("avx2,avx512f,avx512bw")))
// GCC 12's headers read an unset register in the 512-bit extracts and
// casts, which its own warnings then report.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
VELMORA_AVX512_TARGET inline __m512i load32(const int16_t* p) { return _mm512_loadu_si512(p); }
VELMORA_AVX512_TARGET inline __m512i pair_sums(__m512i a, __m512i b) {
  const __m512i ones = _mm512_set1_epi16(1);
  return _mm512_packus_epi32(_mm512_madd_epi16(a, ones), _mm512_madd_epi16(b, ones));
}
VELMORA_AVX512_TARGET inline __m256i add_halves(__m512i v) {
  return _mm256_add_epi16(_mm512_castsi512_si256(v), _mm512_extracti64x4_epi64(v, 1));
}
VELMORA_AVX512_TARGET uint32_t series_cycle_winner_avx512(const int16_t* delta, const int16_t* change,
                                                          const int16_t* cd) {
  const __m512i e = _mm512_srai_epi16(load32(delta), 5);
  const __m512i c1 = load32(change - 1), c2 = load32(change - 2), c3 = load32(change - 3);
  const __m512i h[5] = {c1, _mm512_sub_epi16(c1, c2), _mm512_sub_epi16(c2, c3), _mm512_sub_epi16(c3, load32(change - 4)),
                        load32(cd)};
  __m512i acc[12];
  acc[0] = _mm512_abs_epi16(e);
  for (int j = 0; j < 5; ++j) {
    acc[2 * j + 1] = _mm512_abs_epi16(_mm512_sub_epi16(e, h[j]));
    acc[2 * j + 2] = _mm512_abs_epi16(_mm512_add_epi16(e, h[j]));
  }
  acc[11] = _mm512_setzero_si512();
  __m512i two[6];
  for (int i = 0; i < 6; ++i) two[i] = pair_sums(acc[2 * i], acc[2 * i + 1]);
  const __m512i four2 = pair_sums(two[4], two[5]);
  return winner_of_sums(add_halves(pair_sums(pair_sums(two[0], two[1]), pair_sums(two[2], two[3]))),
                        add_halves(pair_sums(four2, four2)));
}
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// 2 where the processor has AVX-512 (with byte and word instructions), 1
// where it has AVX2, and the system saves the registers they use; else 0.
uint32_t vector_level_supported() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return 0;
  if (!(ecx & bit_OSXSAVE) || !(ecx & bit_AVX)) return 0;
  unsigned xcr0 = 0, xcr0_high = 0;
  __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
  if ((xcr0 & 6) != 6) return 0;  // SSE and AVX state
  if (__get_cpuid_max(0, nullptr) < 7) return 0;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  if (!(ebx & bit_AVX2)) return 0;
  // 512-bit registers and the mask registers saved too, and byte and word
  // instructions on them.
  if ((xcr0 & 0xE6) == 0xE6 && (ebx & bit_AVX512F) && (ebx & bit_AVX512BW)) return 2;
  return 1;
}

// Asked once, before the program's main: a guarded local static or the
// compiler's processor-feature query would link the thread-safe guard, the
// exception machinery under it and a processor table into the setup.
const uint32_t vector_level = vector_level_supported();

}  // namespace
#endif

uint32_t audio_vector_level() {
#if VELMORA_AUDIO_AVX2
  return vector_level;
#else
  return 0;
#endif
}

uint32_t series_cycle_winner_at(uint32_t level, const int16_t* delta, const int16_t* change, const int16_t* cd) {
#if VELMORA_AUDIO_AVX2
  if (level >= 2) return series_cycle_winner_avx512(delta, change, cd);
  if (level == 1) return series_cycle_winner_avx2(delta, change, cd);
#endif
  (void)level;
  uint32_t sum[11] = {};
  add_series_errors_plain(sum, delta, change, cd, 32);
  return audio_detail::winning_counter(sum);
}

uint32_t series_cycle_winner(const int16_t* delta, const int16_t* change, const int16_t* cd) {
  return series_cycle_winner_at(audio_vector_level(), delta, change, cd);
}

uint8_t decode_audio_byte(uint32_t delta) {
  TUnpackState& s = unpack_state;
  return audio_step(s.channels[s.current_channel], s.channel_delta, delta);
}
