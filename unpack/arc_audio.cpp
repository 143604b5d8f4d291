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

// Every term of a full cycle is at most 1279 (see AudioSeries), so two of
// them side by side, and the pairs that madd forms from those, stay far
// inside their lanes.
VELMORA_AVX2_TARGET void add_series_errors_avx2(uint32_t* sum, const int16_t* delta, const int16_t* change,
                                                const int16_t* cd) {
  __m256i e[2], h[5][2];
  for (int half = 0; half < 2; ++half) {
    const int at = 16 * half;
    // The low byte, read as signed, times 8.
    e[half] = _mm256_srai_epi16(_mm256_slli_epi16(load16(delta + at), 8), 5);
    const __m256i c1 = load16(change + at - 1), c2 = load16(change + at - 2), c3 = load16(change + at - 3),
                  c4 = load16(change + at - 4);
    h[0][half] = c1;
    h[1][half] = _mm256_sub_epi16(c1, c2);
    h[2][half] = _mm256_sub_epi16(c2, c3);
    h[3][half] = _mm256_sub_epi16(c3, c4);
    h[4][half] = load16(cd + at);
  }
  __m256i acc[12];
  acc[0] = _mm256_add_epi16(_mm256_abs_epi16(e[0]), _mm256_abs_epi16(e[1]));
  for (int j = 0; j < 5; ++j) {
    acc[2 * j + 1] = _mm256_add_epi16(_mm256_abs_epi16(_mm256_sub_epi16(e[0], h[j][0])),
                                      _mm256_abs_epi16(_mm256_sub_epi16(e[1], h[j][1])));
    acc[2 * j + 2] = _mm256_add_epi16(_mm256_abs_epi16(_mm256_add_epi16(e[0], h[j][0])),
                                      _mm256_abs_epi16(_mm256_add_epi16(e[1], h[j][1])));
  }
  acc[11] = _mm256_setzero_si256();
  // Eight 32-bit partial sums per counter, then a tree of horizontal adds:
  // each level halves the partial sums and doubles the counters a register
  // holds, in each 128-bit half; the two halves are added at the end.
  const __m256i ones = _mm256_set1_epi16(1);
  __m256i wide[12];
  for (int k = 0; k < 12; ++k) wide[k] = _mm256_madd_epi16(acc[k], ones);
  for (int g = 0; g < 3; ++g) {
    __m256i a = _mm256_hadd_epi32(wide[4 * g], wide[4 * g + 1]);
    __m256i b = _mm256_hadd_epi32(wide[4 * g + 2], wide[4 * g + 3]);
    __m256i four = _mm256_hadd_epi32(a, b);
    __m128i total = _mm_add_epi32(_mm256_castsi256_si128(four), _mm256_extracti128_si256(four, 1));
    uint32_t out[4];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), total);
    for (int k = 0; k < 4 && 4 * g + k < 11; ++k) sum[4 * g + k] += out[k];
  }
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

void add_series_errors(uint32_t* sum, const int16_t* delta, const int16_t* change, const int16_t* cd,
                       uint32_t count) {
#if VELMORA_AUDIO_AVX2
  if (audio_avx2 && count == 32) {
    add_series_errors_avx2(sum, delta, change, cd);
    return;
  }
#endif
  add_series_errors_plain(sum, delta, change, cd, count);
}

uint8_t decode_audio_byte(uint32_t delta) {
  TUnpackState& s = unpack_state;
  return audio_step(s.channels[s.current_channel], s.channel_delta, delta);
}
