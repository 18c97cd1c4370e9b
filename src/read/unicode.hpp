// unicode.hpp: the Unicode facts the reader needs from UTF-8 bytes: White_Space for stripping
// text and checking end tags, and validation of files that claim to be UTF-8.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vx {

namespace unicode_detail {

// Whether a byte can be the first (or the last) byte of a White_Space character in UTF-8. Text
// seldom starts or ends with one, and one table look-up settles that for any script, where a
// chain of tests on the lead byte went a different way for each script and was mispredicted.
constexpr std::array<bool, 256> white_space_bytes(bool last) {
  std::array<bool, 256> table{};
  for (int c : {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20}) table[c] = true;
  if (!last) {
    for (int c : {0xC2, 0xE1, 0xE2, 0xE3}) table[c] = true;  // U+0085, U+00A0; U+1680; U+2000..; U+3000
  } else {
    for (int c = 0x80; c <= 0x8A; ++c) table[c] = true;  // U+1680, U+2000..200A, U+3000
    // U+0085, U+00A0; U+2028, U+2029, U+202F; U+205F
    for (int c : {0x85, 0xA0, 0xA8, 0xA9, 0xAF, 0x9F}) table[c] = true;
  }
  return table;
}
inline constexpr std::array<bool, 256> kMayBeginWhiteSpace = white_space_bytes(false);
inline constexpr std::array<bool, 256> kMayEndWhiteSpace = white_space_bytes(true);

}  // namespace unicode_detail

// Length in bytes of the White_Space character starting at `p` (0 when there is none). Reads at
// most `end - p` bytes.
inline size_t white_space_at(const unsigned char* p, const unsigned char* end) noexcept {
  unsigned char c = *p;
  if (!unicode_detail::kMayBeginWhiteSpace[c]) return 0;
  if (c < 0x80) return 1;
  size_t left = static_cast<size_t>(end - p);
  if (c == 0xC2) return left >= 2 && (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;
  if (left < 3) return 0;
  if (c == 0xE1) return p[1] == 0x9A && p[2] == 0x80 ? 3 : 0;  // U+1680
  if (c == 0xE2) {
    if (p[1] == 0x80) {
      unsigned char d = p[2];
      // U+2000..200A, U+2028, U+2029, U+202F
      return (d >= 0x80 && d <= 0x8A) || d == 0xA8 || d == 0xA9 || d == 0xAF ? 3 : 0;
    }
    return p[1] == 0x81 && p[2] == 0x9F ? 3 : 0;  // U+205F
  }
  if (c == 0xE3) return p[1] == 0x80 && p[2] == 0x80 ? 3 : 0;  // U+3000
  return 0;
}

// Length of the White_Space character that ends just before `end` (0 when there is none).
inline size_t white_space_before(const unsigned char* begin, const unsigned char* end) noexcept {
  if (end == begin) return 0;
  unsigned char c = end[-1];
  if (!unicode_detail::kMayEndWhiteSpace[c]) return 0;
  if (c < 0x80) return 1;
  size_t left = static_cast<size_t>(end - begin);
  if (left >= 2 && end[-2] == 0xC2) return c == 0x85 || c == 0xA0 ? 2 : 0;
  if (left >= 3 && (end[-3] == 0xE1 || end[-3] == 0xE2 || end[-3] == 0xE3)) {
    return white_space_at(end - 3, end) == 3 ? 3 : 0;
  }
  return 0;
}

// The range without leading and trailing White_Space, as offsets relative to `text`.
struct Trimmed {
  size_t start;
  size_t end;
};
inline Trimmed trim_white_space(std::string_view text) noexcept {
  auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  auto* end = begin + text.size();
  auto* b = begin;
  while (b < end) {
    size_t n = white_space_at(b, end);
    if (!n) break;
    b += n;
  }
  auto* e = end;
  while (e > b) {
    size_t n = white_space_before(b, e);
    if (!n) break;
    e -= n;
  }
  return {static_cast<size_t>(b - begin), static_cast<size_t>(e - begin)};
}

inline bool all_white_space(std::string_view text) noexcept {
  Trimmed t = trim_white_space(text);
  return t.start == t.end;
}

// Offset of the first byte of the first ill-formed UTF-8 sequence (as Python's strict decoder
// reports it), or the length when all of `bytes` is well formed.
size_t first_invalid_utf8(std::string_view bytes) noexcept;

}  // namespace vx
