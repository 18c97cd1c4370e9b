// byte_classes.hpp: the byte classes the index scanners stop at, as one table built from predicates,
// plus the loops that skip runs of bytes outside a set of classes.
#pragma once
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vx::index_detail {

// Legend: one bit per class; a byte may be in several.
enum ByteClass : uint8_t {
  kSpace = 1,     // tab, line feed, form feed, carriage return, space: end every kind of name
  kSlash = 2,     // '/': ends a start-tag name; directly before '>' it ends an empty-element tag
  kGt = 4,        // '>'
  kQuestion = 8,  // '?': ends a processing-instruction target
  kQuote = 16,    // '"' and '\'': open an attribute value inside a start tag
  kEquals = 32,   // '=': ends an attribute name
};

constexpr bool is_space(unsigned char c) {
  return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

constexpr uint8_t byte_class(unsigned char c) {
  return static_cast<uint8_t>((is_space(c) ? kSpace : 0) | (c == '/' ? kSlash : 0) |
                              (c == '>' ? kGt : 0) | (c == '?' ? kQuestion : 0) |
                              (c == '"' || c == '\'' ? kQuote : 0) | (c == '=' ? kEquals : 0));
}

inline constexpr std::array<uint8_t, 256> kByteClasses = [] {
  std::array<uint8_t, 256> table{};
  for (unsigned c = 0; c < 256; ++c) table[c] = byte_class(static_cast<unsigned char>(c));
  return table;
}();

// The stop sets of the scans.
inline constexpr uint8_t kStartNameStop = kSpace | kSlash | kGt;
inline constexpr uint8_t kEndNameStop = kSpace | kGt;
inline constexpr uint8_t kTargetStop = kSpace | kGt | kQuestion;

inline bool in_classes(unsigned char c, uint8_t classes) { return (kByteClasses[c] & classes) != 0; }

// First offset at or after `i` (and before `n`) whose byte is in `classes`, or `n`. Names are short,
// so a plain unrolled loop beats anything with a set-up cost.
inline uint64_t scan_to_class(const unsigned char* p, uint64_t i, uint64_t n, uint8_t classes) {
  while (i + 4 <= n) {
    if (in_classes(p[i], classes)) [[unlikely]] return i;
    if (in_classes(p[i + 1], classes)) [[unlikely]] return i + 1;
    if (in_classes(p[i + 2], classes)) [[unlikely]] return i + 2;
    if (in_classes(p[i + 3], classes)) [[unlikely]] return i + 3;
    i += 4;
  }
  while (i < n && !in_classes(p[i], classes)) ++i;
  return i;
}

// The end of a tag's name: the first offset at or after `i` whose byte is a space, a '>' or (with
// `kSlashEnds`) a '/', or `n`. Past the first four bytes, sixteen are compared at once while they
// lie before `n`: where the names of a document vary in length from tag to tag, a byte loop's
// exit is mispredicted about once a tag (measured 6% of a read of evdev.xml).
template <bool kSlashEnds>
inline uint64_t scan_name_end(const unsigned char* p, uint64_t i, uint64_t n) {
  constexpr uint8_t kStop = kSlashEnds ? kStartNameStop : kEndNameStop;
#if defined(__SSE2__)
  // Names of up to four bytes, common in dense documents, end where the byte loop predicts.
  if (i + 4 + 16 <= n) {
    if (in_classes(p[i], kStop)) return i;
    if (in_classes(p[i + 1], kStop)) return i + 1;
    if (in_classes(p[i + 2], kStop)) return i + 2;
    if (in_classes(p[i + 3], kStop)) return i + 3;
    i += 4;
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    // Tab, line feed, form feed and carriage return are 9, 10, 12 and 13: 9 to 13 but 11.
    const __m128i from_tab = _mm_sub_epi8(v, _mm_set1_epi8(9));
    const __m128i control = _mm_andnot_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(11)),
                                             _mm_cmpeq_epi8(_mm_min_epu8(from_tab, _mm_set1_epi8(4)), from_tab));
    __m128i stop = _mm_or_si128(_mm_or_si128(control, _mm_cmpeq_epi8(v, _mm_set1_epi8(' '))),
                                _mm_cmpeq_epi8(v, _mm_set1_epi8('>')));
    if constexpr (kSlashEnds) stop = _mm_or_si128(stop, _mm_cmpeq_epi8(v, _mm_set1_epi8('/')));
    const auto hits = static_cast<unsigned>(_mm_movemask_epi8(stop));
    if (hits) return i + static_cast<uint64_t>(std::countr_zero(hits));
    i += 16;
  }
#endif
  return scan_to_class(p, i, n, kStop);
}

// Word-at-a-time search (eight bytes per step) for little-endian machines.
namespace swar {

inline constexpr bool kUsable = std::endian::native == std::endian::little;
inline constexpr uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr uint64_t kHighs = 0x8080808080808080ULL;

inline uint64_t load(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// High bit set in each byte equal to `c`. A borrow can set bits above a true match too, never
// below one, so the lowest set bit of this (or of an OR of several) is always exact.
inline uint64_t equal_bytes(uint64_t v, unsigned char c) {
  uint64_t x = v ^ (kOnes * c);
  return (x - kOnes) & ~x & kHighs;
}

inline uint64_t lowest_byte(uint64_t bits) { return static_cast<uint64_t>(std::countr_zero(bits)) >> 3; }

}  // namespace swar

}  // namespace vx::index_detail
