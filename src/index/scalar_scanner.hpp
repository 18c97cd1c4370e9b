// scalar_scanner.hpp: the scanner of the index builder that searches forward from each '<' to its
// '>' byte by byte.
#pragma once
#include <bit>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "index/builders.hpp"

namespace vx::index_detail {

struct ScalarScanner {
  std::string_view in;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(in.data());
  uint64_t n = in.size();

  // Character data between tags is often a line break and some indentation: one block is tried
  // inline (16 bytes where SSE2 compares them at once, which covers the usual indentation where
  // one word did not); longer runs go to memchr.
  uint64_t find_lt(uint64_t from) const {
#if defined(__SSE2__)
    if (from + 16 <= n) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + from));
      const auto hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_set1_epi8('<'))));
      if (hits) return from + static_cast<uint64_t>(std::countr_zero(hits));
      from += 16;
    }
#else
    if constexpr (swar::kUsable) {
      if (from + 8 <= n) {
        const uint64_t hits = swar::equal_bytes(swar::load(p + from), '<');
        if (hits) return from + swar::lowest_byte(hits);
        from += 8;
      }
    }
#endif
    return find_byte(in, from, '<');
  }

  // First '"', '\'' or '>' at or after `i`, or n. The stretches between attribute values are short,
  // so a table loop beats word-at-a-time search here (measured).
  uint64_t next_stop(uint64_t i) const { return scan_to_class(p, i, n, kQuote | kGt); }

  // Only quotes and '>' stop the scan: a '/' matters only right before the '>', and there it was
  // stepped over (the last byte of a name is never '/', and a value ends with its quote).
  StartTagEnd start_tag_end(uint64_t i) const {
    for (;;) {
      i = next_stop(i);
      if (i >= n) return {kNotFound, false};
      const unsigned char c = p[i];
      if (c == '>') return {i, p[i - 1] == '/'};
      // memchr for the partner: measured faster than inline word-at-a-time probes even for the
      // short values of attribute-dense documents.
      const uint64_t close = find_byte(in, i + 1, static_cast<char>(c));
      i = close == kNotFound ? i + 1 : close + 1;
    }
  }
};

}  // namespace vx::index_detail
