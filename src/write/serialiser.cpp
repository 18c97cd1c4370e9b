// serialiser.cpp: escaping and its size, and indentation.
#include "write/serialiser.hpp"

#include <emmintrin.h>

#include <array>
#include <string>

namespace vx {
namespace {

// Byte classes for escaping: which set a byte belongs to.
constexpr uint8_t kInText = 1;  // replaced in text and in attribute values
constexpr uint8_t kInAttr = 2;  // replaced in attribute values only

constexpr std::array<uint8_t, 256> make_classes() {
  std::array<uint8_t, 256> classes{};
  for (unsigned char c : {'&', '<', '>', '"', '\''}) classes[c] = kInText | kInAttr;
  for (unsigned char c : {'\t', '\n', '\r'}) classes[c] = kInAttr;
  return classes;
}
constexpr std::array<uint8_t, 256> kClasses = make_classes();

constexpr std::string_view replacement(unsigned char c) {
  switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\'': return "&apos;";
    case '\t': return "&#9;";
    case '\n': return "&#10;";
    case '\r': return "&#13;";
    default: return {};
  }
}

constexpr std::array<uint8_t, 256> make_growth() {
  std::array<uint8_t, 256> growth{};
  for (int c = 0; c < 256; ++c) {
    auto r = replacement(static_cast<unsigned char>(c));
    growth[c] = r.empty() ? 0 : static_cast<uint8_t>(r.size() - 1);
  }
  return growth;
}
constexpr std::array<uint8_t, 256> kGrowth = make_growth();

template <bool Attr>
constexpr bool is_special(unsigned char c) {
  return (kClasses[c] & (Attr ? kInAttr : kInText)) != 0;
}

// Bit i set when byte i of the 16 may need a replacement. A few other bytes ('#' for one) come
// along with the set; callers confirm each hit against the table.
template <bool Attr>
inline unsigned candidates(__m128i v) {
  // '"' 0x22, '&' 0x26 and '\'' 0x27 all become 0x27 once 0x05 is or-ed in ('#' 0x23 too);
  // '<' 0x3C and '>' 0x3E both become 0x3E with 0x02.
  __m128i m = _mm_or_si128(_mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x05)), _mm_set1_epi8(0x27)),
                           _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x02)), _mm_set1_epi8(0x3E)));
  if constexpr (Attr) {
    // Tab 0x09 and carriage return 0x0D both become 0x0D with 0x04; line feed on its own.
    m = _mm_or_si128(m, _mm_or_si128(_mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x04)),
                                                    _mm_set1_epi8(0x0D)),
                                     _mm_cmpeq_epi8(v, _mm_set1_epi8(0x0A))));
  }
  return static_cast<unsigned>(_mm_movemask_epi8(m));
}

// The first byte of [p, end) that needs a replacement, or end.
template <bool Attr>
const char* find_special(const char* p, const char* end) noexcept {
  while (end - p >= 16) {
    unsigned bits = candidates<Attr>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    while (bits) {
      const char* at = p + __builtin_ctz(bits);
      if (is_special<Attr>(static_cast<unsigned char>(*at))) return at;
      bits &= bits - 1;
    }
    p += 16;
  }
  for (; p != end; ++p) {
    if (is_special<Attr>(static_cast<unsigned char>(*p))) return p;
  }
  return end;
}

template <bool Attr>
bool escape_into(OutputSink& sink, const char* p, const char* end) {
  for (;;) {
    const char* at = find_special<Attr>(p, end);
    if (at == end) return sink.append(p, static_cast<size_t>(end - p));
    if (at != p && !sink.append(p, static_cast<size_t>(at - p))) return false;
    if (!sink.append(replacement(static_cast<unsigned char>(*at)))) return false;
    p = at + 1;
  }
}

template <bool Attr>
size_t growth_of(const char* p, const char* end, bool* non_ascii) noexcept {
  size_t growth = 0;
  __m128i high = _mm_setzero_si128();
  while (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    high = _mm_or_si128(high, v);
    for (unsigned bits = candidates<Attr>(v); bits; bits &= bits - 1) {
      unsigned char c = static_cast<unsigned char>(p[__builtin_ctz(bits)]);
      if (is_special<Attr>(c)) growth += kGrowth[c];
    }
    p += 16;
  }
  unsigned char tail_high = 0;
  for (; p != end; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    tail_high |= c;
    if (is_special<Attr>(c)) growth += kGrowth[c];
  }
  if (_mm_movemask_epi8(high) != 0 || (tail_high & 0x80) != 0) *non_ascii = true;
  return growth;
}

}  // namespace

bool has_non_ascii(std::string_view text) noexcept {
  const char* p = text.data();
  const char* end = p + text.size();
  while (end - p >= 16) {
    if (_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))) != 0) return true;
    p += 16;
  }
  unsigned char any = 0;
  for (; p != end; ++p) any |= static_cast<unsigned char>(*p);
  return (any & 0x80) != 0;
}

bool append_escaped(OutputSink& sink, std::string_view text, bool attribute) {
  const char* p = text.data();
  return attribute ? escape_into<true>(sink, p, p + text.size())
                   : escape_into<false>(sink, p, p + text.size());
}

Status<OsError> write_escaped(OutputSink& sink, std::string_view text, bool attribute) {
  if (!append_escaped(sink, text, attribute)) return sink.error();
  return {};
}

size_t escaped_growth(std::string_view text, bool attribute, bool* non_ascii) noexcept {
  const char* p = text.data();
  return attribute ? growth_of<true>(p, p + text.size(), non_ascii)
                   : growth_of<false>(p, p + text.size(), non_ascii);
}

bool write_line_break(XmlWriter& w) {
  size_t spaces;
  if (__builtin_mul_overflow(w.indent, w.depth, &spaces)) {
    invariant_failed("indentation of " + std::to_string(w.indent) + " x " + std::to_string(w.depth) +
                     " spaces was not checked before writing");
  }
  return w.sink.put('\n') && w.sink.fill(' ', spaces);
}

}  // namespace vx
