// serialiser.cpp: escaping and its size, and indentation.
#include "write/serialiser.hpp"

#include <emmintrin.h>

#include <array>
#include <cstring>
#include <string>

#include "sanitizers.hpp"

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

// The 1 to 16 bytes at p in the low lanes, zeros above. Reads only [p, p+len): overlapping
// word loads instead of a 16-byte load that could run off the end of the text.
inline __m128i load_short(const char* p, size_t len) {
  uint64_t lo = 0, hi = 0;
  if (len >= 8) {
    std::memcpy(&lo, p, 8);
    std::memcpy(&hi, p + len - 8, 8);
    hi = len == 8 ? 0 : hi >> ((16 - len) * 8);  // drop the bytes already in `lo`
  } else if (len >= 4) {
    uint32_t head, tail;
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, p + len - 4, 4);
    lo = head | (static_cast<uint64_t>(tail) >> ((8 - len) * 8) << 32);
  } else {
    for (size_t i = 0; i < len; ++i) lo |= static_cast<uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
  }
  return _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
}

#ifdef VX_ADDRESS_SANITIZER
#define VX_PAGE_LOCAL_READ __attribute__((no_sanitize_address))
#else
#define VX_PAGE_LOCAL_READ
#endif

// Bytes 0 to 15 set, 16 to 31 clear: 16 bytes from offset 16 - n keep the low n lanes.
alignas(16) constexpr uint8_t kLaneMasks[32] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// The last 1 to 16 bytes of a text, zeros above. Most texts here are short (names, attribute
// values), and for them a full 16-byte load is the cheap way: it cannot fault while it stays in
// the page where the text starts, and the lanes past the end are cleared before any use. It
// reads beyond the text's allocation on purpose, hence no address sanitising for it.
VX_PAGE_LOCAL_READ inline __m128i load_tail(const char* p, size_t len) {
  if ((reinterpret_cast<uintptr_t>(p) & 4095) <= 4096 - 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i keep = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kLaneMasks + 16 - len));
    return _mm_and_si128(v, keep);
  }
  return load_short(p, len);
}

// Calls block(v, base) for every 16 bytes of [p, end), the last block padded with zeros, which
// are neither markup nor non-ASCII.
template <class Block>
inline void for_each_block(const char* p, const char* end, Block&& block) {
  while (end - p >= 16) {
    if (!block(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), p)) return;
    p += 16;
  }
  if (p != end) block(load_tail(p, static_cast<size_t>(end - p)), p);
}

// The first byte of [p, end) that needs a replacement, or end.
template <bool Attr>
const char* find_special(const char* p, const char* end) noexcept {
  const char* found = end;
  for_each_block(p, end, [&](__m128i v, const char* base) {
    for (unsigned bits = candidates<Attr>(v); bits; bits &= bits - 1) {
      const char* at = base + __builtin_ctz(bits);
      if (is_special<Attr>(static_cast<unsigned char>(*at))) {
        found = at;
        return false;
      }
    }
    return true;
  });
  return found;
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

// Counts continuation bytes (0x80 to 0xBF, below -64 as signed bytes) and the largest byte.
inline void tally(__m128i v, __m128i& max, uint64_t& continuation) {
  max = _mm_max_epu8(max, v);
  continuation += static_cast<unsigned>(
      __builtin_popcount(_mm_movemask_epi8(_mm_cmplt_epi8(v, _mm_set1_epi8(-64)))));
}

inline uint8_t max_lane(__m128i max) {
  alignas(16) uint8_t lanes[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), max);
  uint8_t m = 0;
  for (uint8_t lane : lanes) m = lane > m ? lane : m;
  return m;
}

template <bool Attr>
size_t growth_of(const char* p, const char* end, TextStats* stats) noexcept {
  size_t growth = 0;
  __m128i max = _mm_setzero_si128();
  for_each_block(p, end, [&](__m128i v, const char* base) {
    if (_mm_movemask_epi8(v) != 0) tally(v, max, stats->continuation);
    for (unsigned bits = candidates<Attr>(v); bits; bits &= bits - 1) {
      unsigned char c = static_cast<unsigned char>(base[__builtin_ctz(bits)]);
      if (is_special<Attr>(c)) growth += kGrowth[c];
    }
    return true;
  });
  uint8_t m = max_lane(max);
  if (m > stats->max_byte) stats->max_byte = m;
  return growth;
}

}  // namespace

void scan_verbatim(std::string_view text, TextStats* stats) noexcept {
  __m128i max = _mm_setzero_si128();
  for_each_block(text.data(), text.data() + text.size(), [&](__m128i v, const char*) {
    if (_mm_movemask_epi8(v) != 0) tally(v, max, stats->continuation);
    return true;
  });
  uint8_t m = max_lane(max);
  if (m > stats->max_byte) stats->max_byte = m;
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

size_t escaped_growth(std::string_view text, bool attribute, TextStats* stats) noexcept {
  const char* p = text.data();
  return attribute ? growth_of<true>(p, p + text.size(), stats)
                   : growth_of<false>(p, p + text.size(), stats);
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
