// siphash.hpp: SipHash-c-d, used as SipHash-1-3 by the attribute map.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vx {

// SipHash with `C` compression and `D` finalisation rounds over `len` bytes, plus an optional
// trailing byte appended to the message (the attribute map hashes key bytes followed by 0xFF).
template <int C, int D>
uint64_t siphash(uint64_t k0, uint64_t k1, const void* data, size_t len, int trailing_byte = -1);

inline uint64_t siphash13(uint64_t k0, uint64_t k1, const void* data, size_t len,
                          int trailing_byte = -1) {
  return siphash<1, 3>(k0, k1, data, len, trailing_byte);
}

extern template uint64_t siphash<1, 3>(uint64_t, uint64_t, const void*, size_t, int);
extern template uint64_t siphash<2, 4>(uint64_t, uint64_t, const void*, size_t, int);

}  // namespace vx
