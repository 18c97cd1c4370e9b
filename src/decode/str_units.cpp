// str_units.cpp: the code units a str stores (1, 2 or 4 bytes each) into UTF-8. Markup is ASCII,
// so blocks of 16 ASCII units are narrowed at once; the other blocks go unit by unit. One pass
// writes into a buffer sized for text that is nearly all ASCII, grown when the text is not: a
// buffer sized for the worst case has pages to fault in and is copied when it is cut down, and a
// first pass that measured the UTF-8 read every unit twice.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "decode/decode.hpp"
#include "decode/output_buffer.hpp"

namespace vx {
namespace {

constexpr size_t kBlock = 16;
// Units read before text can be found dense in characters beyond ASCII.
constexpr size_t kDenseAfter = 4096;
// put_unit stores whole words: up to 3 bytes past the last character.
constexpr size_t kWordSlack = 3;

#if defined(__SSE2__)
// Whether each 16-bit (32-bit) lane of `v` is below 0x80.
inline bool ascii_lanes16(__m128i v) {
  return _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xFF80))),
                                           _mm_setzero_si128())) == 0xFFFF;
}
inline bool ascii_lanes32(__m128i v) {
  return _mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(v, _mm_set1_epi32(~0x7F)), _mm_setzero_si128())) ==
         0xFFFF;
}
#endif

// Whether the 16 units at `u` are all ASCII; if so, their bytes go to `out` (16 bytes) when it
// is given.
template <class Unit>
[[gnu::always_inline]] inline bool ascii_block(const Unit* u, char* out) {
#if defined(__SSE2__)
  constexpr size_t kPerVector = 16 / sizeof(Unit);
  __m128i v[sizeof(Unit)];
  __m128i any = _mm_setzero_si128();
  for (size_t k = 0; k < sizeof(Unit); ++k) {
    v[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + k * kPerVector));
    any = _mm_or_si128(any, v[k]);
  }
  // A unit is ASCII when none of its bits from 0x80 up is set.
  if constexpr (sizeof(Unit) == 1) {
    if (_mm_movemask_epi8(any)) return false;
    if (out) _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v[0]);
  } else if constexpr (sizeof(Unit) == 2) {
    if (!ascii_lanes16(any)) return false;
    if (out) _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(v[0], v[1]));
  } else {
    if (!ascii_lanes32(any)) return false;
    if (out) {
      // Every unit fits 7 bits, so the signed packs keep them as they are.
      const __m128i low = _mm_packs_epi32(v[0], v[1]), high = _mm_packs_epi32(v[2], v[3]);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(low, high));
    }
  }
  return true;
#else
  Unit any = 0;
  for (size_t k = 0; k < kBlock; ++k) any |= u[k];
  if (any >= 0x80) return false;
  if (out) {
    for (size_t k = 0; k < kBlock; ++k) out[k] = static_cast<char>(u[k]);
  }
  return true;
#endif
}

// Bytes of UTF-8 beyond the first of one unit.
inline size_t extra_bytes(uint32_t c) { return (c >= 0x80) + (c >= 0x800) + (c >= 0x10000); }
inline bool is_surrogate(uint32_t c) { return c - 0xD800 < 0x800; }

// Whether a unit is a surrogate, which a str can hold alone and UTF-8 cannot.
template <class Unit>
bool has_surrogate(const Unit* u, size_t count) {
  bool found = false;
  if constexpr (sizeof(Unit) > 1) {
    for (size_t k = 0; k < count; ++k) found |= is_surrogate(u[k]);
  }
  return found;
}

// One unit as UTF-8 (not a surrogate), stored as a whole word and chosen without branches: in
// text that mixes scripts, a branch on each character's length is mispredicted about as often
// as not.
template <class Unit>
[[gnu::always_inline]] inline char* put_unit(uint32_t c, char* w) {
  const uint32_t cont_low = 0x80 | (c & 0x3F), cont_mid = 0x80 | ((c >> 6) & 0x3F);
  uint32_t word = (0xC0 | (c >> 6)) | (cont_low << 8);
  if constexpr (sizeof(Unit) > 1) {
    const uint32_t three = (0xE0 | (c >> 12)) | (cont_mid << 8) | (cont_low << 16);
    word = c >= 0x800 ? three : word;
  }
  if constexpr (sizeof(Unit) > 2) {
    const uint32_t four = (0xF0 | (c >> 18)) | ((0x80 | ((c >> 12) & 0x3F)) << 8) | (cont_mid << 16) |
                          (cont_low << 24);
    word = c >= 0x10000 ? four : word;
  }
  word = c < 0x80 ? c : word;
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);  // first byte first
  std::memcpy(w, &word, 4);
  return w + 1 + extra_bytes(c);
}

// The units of a block that is not all ASCII.
template <class Unit>
inline char* put_mixed_block(const Unit* u, size_t count, char* w) {
  size_t k = 0;
#if defined(__SSE2__)
  if constexpr (sizeof(Unit) == 2) {
    // Text in a script of its own still has ASCII stretches (spaces, markup) of a half block.
    for (; k + 8 <= count; k += 8) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + k));
      if (ascii_lanes16(v)) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(w), _mm_packus_epi16(v, v));
        w += 8;
      } else {
        for (size_t j = k; j < k + 8; ++j) w = put_unit<Unit>(u[j], w);
      }
    }
  }
#endif
  for (; k < count; ++k) w = put_unit<Unit>(u[k], w);
  return w;
}

// The UTF-8 of the units, or null when they are better left to the interpreter's encoder: a
// surrogate (the interpreter raises its own error), or text found dense in characters beyond
// ASCII, which the interpreter's encoder handles as fast and which would outgrow the buffer.
template <class Unit>
SourceText* utf8_of(const Unit* u, size_t n) {
  // Room one block that is not all ASCII may take: each unit at its longest, then the word
  // stores' overrun.
  constexpr size_t kMixedRoom = kBlock * (sizeof(Unit) == 1 ? 2 : sizeof(Unit) == 2 ? 3 : 4) + kWordSlack;
  // A sixty-fourth more than the units holds a document of markup with a few characters beyond
  // ASCII; the buffer is no larger than that because a read's large buffers share a small cache
  // of mappings, and one that does not fit there is faulted in afresh.
  decode_detail::Output out(n + n / 64 + kMixedRoom + kBlock);
  size_t i = 0, used = 0, mixed_blocks = 0;
  while (true) {
    if (out.capacity() - used < kMixedRoom + kBlock) {
      // Grown to what the rest will take at the rate of the text so far, and an eighth more.
      const double per_unit = i ? static_cast<double>(used) / static_cast<double>(i) : 1.0;
      const auto rest = static_cast<size_t>(static_cast<double>(n - i) * per_unit * 1.125);
      const size_t projected = used + rest + kMixedRoom + kBlock;
      out.resize(std::max(projected, out.capacity() + out.capacity() / 4));
    }
    char* const base = out.data();
    char* w = base + used;
    // As many ASCII blocks as the buffer holds while keeping the room of one mixed block.
    const size_t fit = (out.capacity() - used - kMixedRoom) / kBlock * kBlock;
    const size_t stop = i + std::min(n - i, fit);
    while (i + kBlock <= stop && ascii_block<Unit>(u + i, w)) {
      i += kBlock;
      w += kBlock;
    }
    used = static_cast<size_t>(w - base);
    if (i == n) break;
    if (i + kBlock > stop && stop < n) continue;  // out of room: grown above
    // A block that is not all ASCII, or the last units, fewer than a block.
    if (++mixed_blocks * kBlock * kBlock > i && i >= kDenseAfter) return nullptr;
    const size_t count = std::min(n - i, kBlock);
    if (has_surrogate(u + i, count)) return nullptr;
    w = put_mixed_block(u + i, count, w);
    i += count;
    used = static_cast<size_t>(w - base);
  }
  return out.finish(used);
}

}  // namespace

SourceText* utf8_of_units(const void* units, size_t count, int unit_bytes) {
  switch (unit_bytes) {
    case 1: return utf8_of(static_cast<const uint8_t*>(units), count);
    case 2: return utf8_of(static_cast<const uint16_t*>(units), count);
    default: return utf8_of(static_cast<const uint32_t*>(units), count);
  }
}

}  // namespace vx
