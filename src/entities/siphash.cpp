// siphash.cpp: SipHash as published (Aumasson and Bernstein), with configurable round counts.
#include "entities/siphash.hpp"

#include <bit>
#include <cstring>

namespace vx {
namespace {

struct SipState {
  uint64_t v0, v1, v2, v3;
  void round() {
    v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
    v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
  }
};

inline uint64_t load_le64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

template <int C>
inline void compress(SipState& s, uint64_t m) {
  s.v3 ^= m;
  for (int i = 0; i < C; ++i) s.round();
  s.v0 ^= m;
}

}  // namespace

template <int C, int D>
uint64_t siphash(uint64_t k0, uint64_t k1, const void* data, size_t len, int trailing_byte) {
  SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
             k1 ^ 0x7465646279746573ULL};
  const auto* p = static_cast<const unsigned char*>(data);
  size_t total = len + (trailing_byte >= 0 ? 1 : 0);
  size_t whole = len & ~size_t{7};
  for (size_t i = 0; i < whole; i += 8) compress<C>(s, load_le64(p + i));

  // The last block: the remaining bytes, the trailing byte, then the total length in the top byte.
  unsigned char tail[16] = {};
  size_t rest = len - whole;
  if (rest) std::memcpy(tail, p + whole, rest);
  if (trailing_byte >= 0) tail[rest++] = static_cast<unsigned char>(trailing_byte);
  if (rest == 8) {  // the trailing byte completed a block of its own
    compress<C>(s, load_le64(tail));
    std::memset(tail, 0, 8);
    rest = 0;
  }
  uint64_t last = load_le64(tail) | (static_cast<uint64_t>(total & 0xff) << 56);
  compress<C>(s, last);

  s.v2 ^= 0xff;
  for (int i = 0; i < D; ++i) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

template uint64_t siphash<1, 3>(uint64_t, uint64_t, const void*, size_t, int);
template uint64_t siphash<2, 4>(uint64_t, uint64_t, const void*, size_t, int);

}  // namespace vx
