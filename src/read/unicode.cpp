// unicode.cpp: UTF-8 validation, ASCII runs a word at a time.
#include "read/unicode.hpp"

#include <cstring>

namespace vx {

size_t first_invalid_utf8(std::string_view bytes) noexcept {
  auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    // Documents are mostly ASCII: skip it 16 bytes at a time.
    while (i + 16 <= n) {
      uint64_t a, b;
      std::memcpy(&a, s + i, 8);
      std::memcpy(&b, s + i + 8, 8);
      if ((a | b) & 0x8080808080808080ULL) break;
      i += 16;
    }
    if (i >= n) break;
    unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;        // overlong
      if (c == 0xED) hi = 0x9F;        // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;        // overlong
      if (c == 0xF4) hi = 0x8F;        // above U+10FFFF
    } else {
      return i;
    }
    if (i + 1 >= n || s[i + 1] < lo || s[i + 1] > hi) return i;
    for (size_t k = 2; k < len; ++k) {
      if (i + k >= n || (s[i + k] & 0xC0) != 0x80) return i;
    }
    i += len;
  }
  return n;
}

}  // namespace vx
