// block_classifier.hpp: classification of the input in 64-byte blocks into bitmasks of the bytes
// the quote-aware builder steers by. Bit i of a mask stands for byte i of the block.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace vx::index_detail {

inline constexpr size_t kBlockSize = 64;

struct BlockMasks {
  uint64_t lt;  // '<'
  uint64_t gt;  // '>'
  uint64_t dq;  // '"'
  uint64_t sq;  // '\''
};

// Classifies `blocks` whole blocks starting at `p` (64 * blocks readable bytes) into out[0..blocks).
using ClassifyBlocks = void (*)(const unsigned char* p, size_t blocks, BlockMasks* out);

void classify_portable(const unsigned char* p, size_t blocks, BlockMasks* out);
#if defined(__x86_64__)
void classify_sse2(const unsigned char* p, size_t blocks, BlockMasks* out);
// Only for CPUs that have AVX2; see `cpu_has_avx2`.
void classify_avx2(const unsigned char* p, size_t blocks, BlockMasks* out);
#endif

bool cpu_has_avx2() noexcept;

// The fastest classifier this CPU runs.
ClassifyBlocks best_classifier() noexcept;

// Debug helper: the mask as 64 characters, byte 0 first, 'X' for a set bit and '.' otherwise.
std::string format_mask(uint64_t mask);

}  // namespace vx::index_detail
