// references.cpp: the slow path of reference decoding, taken only when a range holds '&' (or, in
// attribute values, a line break or tab).
#include "read/references.hpp"

#include <array>
#include <bit>
#include <cstdlib>
#include <new>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vx {
namespace {

size_t put_utf8(uint32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

int digit_value(unsigned char c, bool hex) {
  if (c >= '0' && c <= '9') return c - '0';
  if (!hex) return -1;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Each byte's value as a hexadecimal digit; 255 for bytes that are not one.
constexpr auto kDigitValue = [] {
  std::array<uint8_t, 256> t{};
  for (auto& v : t) v = 255;
  for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<uint8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) t[c] = static_cast<uint8_t>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) t[c] = static_cast<uint8_t>(c - 'A' + 10);
  return t;
}();

// The code point of a numeric reference's name (what follows '#'), or -1 when it is not one.
int64_t character_number(std::string_view digits) {
  bool hex = !digits.empty() && digits[0] == 'x';
  if (hex) digits.remove_prefix(1);
  if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
  if (digits.empty()) return -1;
  uint64_t value = 0;
  for (unsigned char c : digits) {
    int d = digit_value(c, hex);
    if (d < 0) return -1;
    value = value * (hex ? 16 : 10) + static_cast<uint64_t>(d);
    if (value > UINT32_MAX) return -1;  // does not fit 32 bits
  }
  if (value == 0 || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) return -1;
  return static_cast<int64_t>(value);
}

// One character for a predefined entity name, or 0.
char predefined(std::string_view name) {
  switch (name.size()) {
    case 2:
      if (name == "lt") return '<';
      if (name == "gt") return '>';
      return 0;
    case 3:
      return name == "amp" ? '&' : 0;
    case 4:
      if (name == "quot") return '"';
      if (name == "apos") return '\'';
      return 0;
    default:
      return 0;
  }
}

}  // namespace

Result<size_t, ReadError> decode_into(std::string_view range, uint64_t base, DecodeMode mode,
                                      char* out) {
  const char* s = range.data();
  const size_t n = range.size();
  const bool attr = mode == DecodeMode::Attribute;
  size_t w = 0;
  size_t i = 0;
  while (i < n) {
    // Copy the run up to the next byte that needs attention. References come every few bytes in
    // text dense with them, so the run is copied and searched 16 bytes at a time inline rather
    // than with a library call per run. Whole blocks are stored even past the special byte: `out`
    // has room for the range and never runs ahead of it (w <= i), and later bytes overwrite them.
    size_t run = i;
#if defined(__SSE2__)
    while (run + 16 <= n) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + run));
      __m128i hit = _mm_cmpeq_epi8(v, _mm_set1_epi8('&'));
      if (attr) {
        hit = _mm_or_si128(_mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))),
                           _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')),
                                        _mm_cmpeq_epi8(v, _mm_set1_epi8('\r'))));
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + w + (run - i)), v);
      const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
      if (mask) {
        run += static_cast<size_t>(std::countr_zero(mask));
        break;
      }
      run += 16;
    }
    if (run + 16 > n)
#endif
    {
      const size_t from = run;
      for (; run < n; ++run) {
        const unsigned char c = static_cast<unsigned char>(s[run]);
        if (attr ? read_detail::attr_special(c) : c == '&') break;
      }
      std::memcpy(out + w + (from - i), s + from, run - from);
    }
    w += run - i;
    i = run;
    if (i >= n) break;

    char c = s[i];
    if (c != '&') {  // attribute mode: tab, line feed, carriage return (CR LF as one)
      out[w++] = ' ';
      i += (c == '\r' && i + 1 < n && s[i + 1] == '\n') ? 2 : 1;
      continue;
    }
    // The usual references first, read in place: the predefined entities, and character
    // references of up to seven digits with no sign, which fit 32 bits. Everything else,
    // faults included, takes the general reading below.
    if (n - i >= 4) {
      const char* r = s + i + 1;
      if (std::memcmp(r, "lt;", 3) == 0 || std::memcmp(r, "gt;", 3) == 0) {
        out[w++] = r[0] == 'l' ? '<' : '>';
        i += 4;
        continue;
      }
      if (n - i >= 5 && std::memcmp(r, "amp;", 4) == 0) {
        out[w++] = '&';
        i += 5;
        continue;
      }
      if (r[0] == '#') {
        const bool hex = r[1] == 'x';
        size_t p = i + (hex ? 3 : 2);
        const size_t digits = p;
        uint32_t cp = 0;
        const uint32_t radix = hex ? 16 : 10;
        for (; p < n && p - digits < 7; ++p) {
          const uint32_t d = kDigitValue[static_cast<unsigned char>(s[p])];
          if (d >= radix) break;
          cp = cp * radix + d;
        }
        if (p < n && s[p] == ';' && p > digits && cp != 0 && (cp < 0xD800 || cp > 0xDFFF) &&
            cp <= 0x10FFFF) {
          w += put_utf8(cp, out + w);
          i = p + 1;
          continue;
        }
      }
    }
    // Reference names are short: a plain loop finds the ';' sooner than a library search.
    size_t end = i + 1;
    while (end < n && s[end] != ';') ++end;
    if (end == n) return ReadError::syntax("unterminated entity reference", base + i);
    std::string_view name(s + i + 1, end - i - 1);
    if (!name.empty() && name[0] == '#') {
      int64_t cp = character_number(name.substr(1));
      if (cp < 0) {
        return ReadError::syntax("invalid character reference '&" + std::string(name) + ";'",
                                 base + i);
      }
      w += put_utf8(static_cast<uint32_t>(cp), out + w);
    } else if (char ch = predefined(name)) {
      out[w++] = ch;
    } else {
      return ReadError::unknown_entity(name, base + i);
    }
    i = end + 1;
  }
  return w;
}

Result<Decoded, ReadError> decode_changed(std::string_view range, uint64_t base, DecodeMode mode) {
  char* buffer = static_cast<char*>(std::malloc(range.size() ? range.size() : 1));
  if (!buffer) throw std::bad_alloc();
  Result<size_t, ReadError> len = decode_into(range, base, mode, buffer);
  if (!len) {
    std::free(buffer);
    return std::move(len.error());
  }
  Decoded d;
  d.unchanged = false;
  d.owned = StoredStr::adopt(buffer, len.value());
  return d;
}

}  // namespace vx
