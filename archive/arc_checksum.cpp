// The two checksums of the archive format.
//
// CRC-32: the reflected form of the IEEE 802.3 polynomial (0xEDB88320).
// Long runs go sixteen bytes per step: table k holds the CRC register after
// a byte followed by k zero bytes, so the sixteen lookups of one step,
// combined by XOR, advance the CRC over sixteen bytes at once; the unaligned
// start and the tail go byte by byte with table 0, the classic one.
// update_checksum applies no final complement: callers start at 0xFFFFFFFF
// and compare the complement of the result, so the values stored in the
// archive are the ordinary CRC-32 of the covered bytes.
//
// The 16-bit checksum of the old format: add the byte, keep 16 bits, rotate
// the 16-bit value left by one. Cheap, weak, and kept only so that old-format
// entries could be checked the way their writer computed them.
//
// Where the processor multiplies without carries (x86 with PCLMULQDQ and
// SSE4.1, found at run time), long runs fold 64 bytes per step instead: the
// CRC of a message is its remainder modulo the polynomial P, and a 128-bit
// piece followed by n more bits contributes piece * x^n mod P, so four
// running 128-bit accumulators are carried forward over each next 64 bytes
// by two carry-less multiplications each with the constants x^(512+-32)
// mod P, then folded into one with x^(128+-32) mod P, reduced to 64 and 32
// bits with x^64 mod P and finished by Barrett reduction with
// floor(x^64 / P). Everything is in the reflected bit order of the CRC, so
// each constant is the reflected 32-bit remainder shifted left by one.
#include "archive/arc_checksum.h"

#include <cstdint>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define VELMORA_CRC_CLMUL 1
#include <cpuid.h>
#include <immintrin.h>
#endif

uint32_t crc_table[256];

namespace {

// crc_slices[k][b]: the CRC register after byte b and k zero bytes;
// crc_slices[0] is crc_table.
constexpr int kSlices = 16;
uint32_t crc_slices[kSlices][256];

inline uint32_t load_le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

#if VELMORA_CRC_CLMUL
// The folding constants (see the top of the file).
constexpr uint64_t kFold512Low = 0x154442bd4;   // x^(4*128+32) mod P
constexpr uint64_t kFold512High = 0x1c6e41596;  // x^(4*128-32) mod P
constexpr uint64_t kFold128Low = 0x1751997d0;   // x^(128+32) mod P
constexpr uint64_t kFold128High = 0x0ccaa009e;  // x^(128-32) mod P
constexpr uint64_t kFold64 = 0x163cd6124;       // x^64 mod P
constexpr uint64_t kBarrettMu = 0x1f7011641;    // floor(x^64 / P)
constexpr uint64_t kPolynomial = 0x1db710641;   // P

#define VELMORA_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

VELMORA_CLMUL_TARGET inline __m128i load(const uint8_t* q) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
}

// x * x^(n+32) and x * x^(n-32) for the low and high halves of x: the
// half-products line up with the 128 bits n further on.
VELMORA_CLMUL_TARGET inline __m128i fold(__m128i x, __m128i k, __m128i next) {
  __m128i low = _mm_clmulepi64_si128(x, k, 0x00);
  __m128i high = _mm_clmulepi64_si128(x, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

// The CRC register after count bytes (count at least 64, a multiple of 16).
VELMORA_CLMUL_TARGET uint32_t crc32_folded(uint32_t c, const uint8_t* p, size_t count) {
  __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(int(c)));
  __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
  p += 64;
  count -= 64;
  const __m128i k512 = _mm_set_epi64x(int64_t(kFold512High), int64_t(kFold512Low));
  for (; count >= 64; count -= 64, p += 64) {
    x0 = fold(x0, k512, load(p));
    x1 = fold(x1, k512, load(p + 16));
    x2 = fold(x2, k512, load(p + 32));
    x3 = fold(x3, k512, load(p + 48));
  }
  const __m128i k128 = _mm_set_epi64x(int64_t(kFold128High), int64_t(kFold128Low));
  __m128i x = fold(x0, k128, x1);
  x = fold(x, k128, x2);
  x = fold(x, k128, x3);
  for (; count >= 16; count -= 16, p += 16) x = fold(x, k128, load(p));

  // 128 bits to 64: the low half times x^(128-32) onto the high half.
  const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
  x = _mm_xor_si128(_mm_clmulepi64_si128(x, k128, 0x10), _mm_srli_si128(x, 8));
  // 64 bits to 32 more: the low 32 bits times x^64 onto the rest.
  x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, mask32), _mm_set_epi64x(0, int64_t(kFold64)), 0x00),
                    _mm_srli_si128(x, 4));
  // Barrett reduction to the 32-bit remainder.
  const __m128i barrett = _mm_set_epi64x(int64_t(kBarrettMu), int64_t(kPolynomial));
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, mask32), barrett, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), barrett, 0x00);
  return uint32_t(_mm_extract_epi32(_mm_xor_si128(t, x), 1));
}

// Asked once, when the tables are filled: a guarded local static or the
// compiler's processor-feature query would link the thread-safe guard, the
// exception machinery under it and a processor table into every small
// program that checks a CRC.
bool crc_folding = false;

bool crc_folding_supported() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  return (ecx & bit_PCLMUL) != 0 && (ecx & bit_SSE4_1) != 0;
}
#endif

}  // namespace

void init_crc_table() {
#if VELMORA_CRC_CLMUL
  crc_folding = crc_folding_supported();
#endif
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    crc_table[i] = c;
    crc_slices[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i)
    for (int k = 1; k < kSlices; ++k) {
      uint32_t prev = crc_slices[k - 1][i];
      crc_slices[k][i] = (prev >> 8) ^ crc_table[prev & 0xFFu];
    }
}

uint32_t update_checksum(uint32_t start, const void* data, size_t count, int kind) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (kind == 1) {
    uint32_t c = start & 0xFFFFu;
    for (size_t i = 0; i < count; ++i) {
      c = (c + p[i]) & 0xFFFFu;
      c = ((c << 1) | (c >> 15)) & 0xFFFFu;
    }
    return c;
  }
  uint32_t c = start;
#if VELMORA_CRC_CLMUL
  if (count >= 64 && crc_folding) {
    size_t whole = count & ~size_t(15);
    c = crc32_folded(c, p, whole);
    p += whole;
    count -= whole;
  }
#endif
  for (; count > 0 && (reinterpret_cast<uintptr_t>(p) & 7) != 0; --count, ++p)
    c = crc_table[(c ^ *p) & 0xFFu] ^ (c >> 8);
  const uint32_t(&t)[kSlices][256] = crc_slices;
  for (; count >= 16; count -= 16, p += 16) {
    uint32_t w0 = load_le32(p) ^ c;
    uint32_t w1 = load_le32(p + 4);
    uint32_t w2 = load_le32(p + 8);
    uint32_t w3 = load_le32(p + 12);
    c = t[15][w0 & 0xFFu] ^ t[14][(w0 >> 8) & 0xFFu] ^ t[13][(w0 >> 16) & 0xFFu] ^ t[12][w0 >> 24] ^
        t[11][w1 & 0xFFu] ^ t[10][(w1 >> 8) & 0xFFu] ^ t[9][(w1 >> 16) & 0xFFu] ^ t[8][w1 >> 24] ^
        t[7][w2 & 0xFFu] ^ t[6][(w2 >> 8) & 0xFFu] ^ t[5][(w2 >> 16) & 0xFFu] ^ t[4][w2 >> 24] ^
        t[3][w3 & 0xFFu] ^ t[2][(w3 >> 8) & 0xFFu] ^ t[1][(w3 >> 16) & 0xFFu] ^ t[0][w3 >> 24];
  }
  for (; count > 0; --count, ++p) c = crc_table[(c ^ *p) & 0xFFu] ^ (c >> 8);
  return c;
}
