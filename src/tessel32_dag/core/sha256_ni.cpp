// SHA-256 with the x86 SHA extensions, chosen at run time by sha256_hex when
// the CPU has them (several times faster than the portable rounds).
#include "tessel32_dag/core/sha256.h"

#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

namespace dag::core {
namespace {


/// SHA-256 blocks with the CPU's SHA extensions; `abef`/`cdgh` hold the state
/// in the order the round instruction wants it.
__attribute__((target("sha,sse4.1,ssse3"))) void ni_blocks(__m128i& abef, __m128i& cdgh, const uint8_t* p,
                                                            size_t nblocks) {
  const __m128i bswap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  for (; nblocks; --nblocks, p += 64) {
    const __m128i abef0 = abef, cdgh0 = cdgh;
    __m128i w[4];
    for (int k = 0; k < 4; ++k) w[k] = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i*) (p + 16 * k)), bswap);
#pragma GCC unroll 16
    for (int r = 0; r < 16; ++r) {
      __m128i m = _mm_add_epi32(w[r & 3], _mm_load_si128((const __m128i*) &SHA256_K[4 * r]));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, m);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(m, 0x0E));
      if (r < 12) {  // the schedule's next four words replace the oldest four
        const __m128i x0 = w[r & 3], x1 = w[(r + 1) & 3], x2 = w[(r + 2) & 3], x3 = w[(r + 3) & 3];
        w[r & 3] = _mm_sha256msg2_epu32(
            _mm_add_epi32(_mm_sha256msg1_epu32(x0, x1), _mm_alignr_epi8(x3, x2, 4)), x3);
      }
    }
    abef = _mm_add_epi32(abef, abef0);
    cdgh = _mm_add_epi32(cdgh, cdgh0);
  }
}

__attribute__((target("sha,sse4.1,ssse3"))) void ni_sha256_hex(const void* data, size_t len, char out[64]) {
  // The initial state H0..H7, rearranged to ABEF / CDGH.
  alignas(16) static const uint32_t h0[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  __m128i t = _mm_shuffle_epi32(_mm_load_si128((const __m128i*) &h0[0]), 0xB1);  // CDAB
  __m128i cdgh = _mm_shuffle_epi32(_mm_load_si128((const __m128i*) &h0[4]), 0x1B);  // EFGH
  __m128i abef = _mm_alignr_epi8(t, cdgh, 8);
  cdgh = _mm_blend_epi16(cdgh, t, 0xF0);
  const uint8_t* p = (const uint8_t*) data;
  size_t full = len / 64, rest = len % 64;
  ni_blocks(abef, cdgh, p, full);
  uint8_t tail[128] = {};
  std::memcpy(tail, p + 64 * full, rest);
  tail[rest] = 0x80;
  size_t tail_len = rest + 9 <= 64 ? 64 : 128;
  uint64_t bits = (uint64_t) len * 8;
  for (int k = 0; k < 8; ++k) tail[tail_len - 1 - k] = (uint8_t) (bits >> (8 * k));
  ni_blocks(abef, cdgh, tail, tail_len / 64);
  // Back to H0..H7.
  t = _mm_shuffle_epi32(abef, 0x1B);     // FEBA
  cdgh = _mm_shuffle_epi32(cdgh, 0xB1);  // DCHG
  alignas(16) uint32_t h[8];
  _mm_store_si128((__m128i*) &h[0], _mm_blend_epi16(t, cdgh, 0xF0));  // DCBA
  _mm_store_si128((__m128i*) &h[4], _mm_alignr_epi8(cdgh, t, 8));     // HGFE
  static const char digits[] = "0123456789abcdef";
  for (int k = 0; k < 8; ++k)
    for (int b = 0; b < 8; ++b) out[8 * k + b] = digits[(h[k] >> (28 - 4 * b)) & 0xF];
}

}  // namespace

bool sha256_hex_accelerated(const void* data, size_t len, char out[64]) {
  static const bool available = __builtin_cpu_supports("sha") && __builtin_cpu_supports("sse4.1");
  if (!available) return false;
  ni_sha256_hex(data, len, out);
  return true;
}

}  // namespace dag::core

#else

namespace dag::core {
bool sha256_hex_accelerated(const void*, size_t, char*) { return false; }
}  // namespace dag::core

#endif
