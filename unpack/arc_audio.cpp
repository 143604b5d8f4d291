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

VELMORA_AVX2_TARGET inline __m256i load16(const int16_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Every term is at most 1279 and a whole cycle's sum of one counter at
// most 40928 (see AudioSeries), so each counter is summed in 16-bit lanes
// and its total still fits one, read as unsigned.
VELMORA_AVX2_TARGET uint32_t series_cycle_winner_avx2(const int16_t* delta, const int16_t* change,
                                                      const int16_t* cd) {
  __m256i e[2], h[5][2];
  for (int half = 0; half < 2; ++half) {
    const int at = 16 * half;
    // The high byte, read as signed, times 8.
    e[half] = _mm256_slli_epi16(_mm256_srai_epi16(load16(delta + at), 8), 3);
    const __m256i c1 = load16(change + at - 1), c2 = load16(change + at - 2), c3 = load16(change + at - 3),
                  c4 = load16(change + at - 4);
    h[0][half] = c1;
    h[1][half] = _mm256_sub_epi16(c1, c2);
    h[2][half] = _mm256_sub_epi16(c2, c3);
    h[3][half] = _mm256_sub_epi16(c3, c4);
    h[4][half] = load16(cd + at);
  }
  // Sixteen partial sums per counter, counter 11 an empty one.
  __m256i acc[12];
  acc[0] = _mm256_add_epi16(_mm256_abs_epi16(e[0]), _mm256_abs_epi16(e[1]));
  for (int j = 0; j < 5; ++j) {
    acc[2 * j + 1] = _mm256_add_epi16(_mm256_abs_epi16(_mm256_sub_epi16(e[0], h[j][0])),
                                      _mm256_abs_epi16(_mm256_sub_epi16(e[1], h[j][1])));
    acc[2 * j + 2] = _mm256_add_epi16(_mm256_abs_epi16(_mm256_add_epi16(e[0], h[j][0])),
                                      _mm256_abs_epi16(_mm256_add_epi16(e[1], h[j][1])));
  }
  acc[11] = _mm256_setzero_si256();
  // Three levels of pairwise adds leave, in each 128-bit half, one partial
  // sum per counter in counter order: 0-7 in one register, 8-11 twice over
  // in the other. The halves are added after.
  __m256i two[6], four[3];
  for (int i = 0; i < 6; ++i) two[i] = _mm256_hadd_epi16(acc[2 * i], acc[2 * i + 1]);
  for (int i = 0; i < 3; ++i) four[i] = _mm256_hadd_epi16(two[2 * i], two[2 * i + 1]);
  const __m256i low8 = _mm256_hadd_epi16(four[0], four[1]);
  const __m256i high4 = _mm256_hadd_epi16(four[2], four[2]);
  const __m128i sums_low = _mm_add_epi16(_mm256_castsi256_si128(low8), _mm256_extracti128_si256(low8, 1));
  // Counter 11 and the copies are kept out of the race.
  const __m128i sums_high = _mm_or_si128(_mm_add_epi16(_mm256_castsi256_si128(high4), _mm256_extracti128_si256(high4, 1)),
                                         _mm_setr_epi16(0, 0, 0, -1, -1, -1, -1, -1));
  // The smallest of eight and its place, the lowest place among equals.
  const uint32_t m_low = uint32_t(_mm_cvtsi128_si32(_mm_minpos_epu16(sums_low)));
  const uint32_t m_high = uint32_t(_mm_cvtsi128_si32(_mm_minpos_epu16(sums_high)));
  return (m_high & 0xFFFF) < (m_low & 0xFFFF) ? 8 + ((m_high >> 16) & 7) : (m_low >> 16) & 7;
}

// The processor has AVX2 and the system saves its registers.
bool avx2_supported() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  if (!(ecx & bit_OSXSAVE) || !(ecx & bit_AVX)) return false;
  unsigned xcr0 = 0, xcr0_high = 0;
  __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
  if ((xcr0 & 6) != 6) return false;  // SSE and AVX state
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  return (ebx & bit_AVX2) != 0;
}

// Asked once, before the program's main: a guarded local static or the
// compiler's processor-feature query would link the thread-safe guard, the
// exception machinery under it and a processor table into the setup.
const bool audio_avx2 = avx2_supported();

}  // namespace
#endif

uint32_t series_cycle_winner(const int16_t* delta, const int16_t* change, const int16_t* cd) {
#if VELMORA_AUDIO_AVX2
  if (audio_avx2) return series_cycle_winner_avx2(delta, change, cd);
#endif
  uint32_t sum[11] = {};
  add_series_errors_plain(sum, delta, change, cd, 32);
  return audio_detail::winning_counter(sum);
}

uint8_t decode_audio_byte(uint32_t delta) {
  TUnpackState& s = unpack_state;
  return audio_step(s.channels[s.current_channel], s.channel_delta, delta);
}
