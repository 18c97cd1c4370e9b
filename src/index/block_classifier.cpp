// block_classifier.cpp: the portable, SSE2 and AVX2 block classifiers and the run-time choice.
#include "index/block_classifier.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vx::index_detail {

void classify_portable(const unsigned char* p, size_t blocks, BlockMasks* out) {
  for (size_t b = 0; b < blocks; ++b, p += kBlockSize) {
    BlockMasks m{0, 0, 0, 0};
    for (unsigned i = 0; i < kBlockSize; ++i) {
      const uint64_t bit = uint64_t{1} << i;
      m.lt |= p[i] == '<' ? bit : 0;
      m.gt |= p[i] == '>' ? bit : 0;
      m.dq |= p[i] == '"' ? bit : 0;
      m.sq |= p[i] == '\'' ? bit : 0;
    }
    out[b] = m;
  }
}

#if defined(__x86_64__)

namespace {

inline uint64_t equal_mask(__m128i a, __m128i b, __m128i c, __m128i d, __m128i byte) {
  const uint64_t ma = static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, byte)));
  const uint64_t mb = static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, byte)));
  const uint64_t mc = static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(c, byte)));
  const uint64_t md = static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(d, byte)));
  return ma | (mb << 16) | (mc << 32) | (md << 48);
}

__attribute__((target("avx2"), always_inline)) inline uint64_t equal_mask(__m256i lo, __m256i hi,
                                                                           __m256i byte) {
  const uint64_t mlo = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, byte)));
  const uint64_t mhi = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, byte)));
  return mlo | (mhi << 32);
}

}  // namespace

void classify_sse2(const unsigned char* p, size_t blocks, BlockMasks* out) {
  const __m128i lt = _mm_set1_epi8('<'), gt = _mm_set1_epi8('>');
  const __m128i dq = _mm_set1_epi8('"'), sq = _mm_set1_epi8('\'');
  for (size_t b = 0; b < blocks; ++b, p += kBlockSize) {
    const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    const __m128i v3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
    out[b] = {equal_mask(v0, v1, v2, v3, lt), equal_mask(v0, v1, v2, v3, gt),
              equal_mask(v0, v1, v2, v3, dq), equal_mask(v0, v1, v2, v3, sq)};
  }
}

__attribute__((target("avx2"))) void classify_avx2(const unsigned char* p, size_t blocks,
                                                   BlockMasks* out) {
  const __m256i lt = _mm256_set1_epi8('<'), gt = _mm256_set1_epi8('>');
  const __m256i dq = _mm256_set1_epi8('"'), sq = _mm256_set1_epi8('\'');
  for (size_t b = 0; b < blocks; ++b, p += kBlockSize) {
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    out[b] = {equal_mask(lo, hi, lt), equal_mask(lo, hi, gt), equal_mask(lo, hi, dq),
              equal_mask(lo, hi, sq)};
  }
}

bool cpu_has_avx2() noexcept { return __builtin_cpu_supports("avx2"); }

ClassifyBlocks best_classifier() noexcept {
  return cpu_has_avx2() ? classify_avx2 : classify_sse2;
}

#else

bool cpu_has_avx2() noexcept { return false; }

ClassifyBlocks best_classifier() noexcept { return classify_portable; }

#endif

std::string format_mask(uint64_t mask) {
  std::string text(kBlockSize, '.');
  for (unsigned i = 0; i < kBlockSize; ++i) {
    if (mask >> i & 1) text[i] = 'X';
  }
  return text;
}

}  // namespace vx::index_detail
