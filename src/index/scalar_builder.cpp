// scalar_builder.cpp: the index builder that searches forward from each '<' to its '>'.
#include "index/builders.hpp"

namespace vx::index_detail {
namespace {

struct ScalarScanner {
  std::string_view in;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(in.data());
  uint64_t n = in.size();

  // memchr wins here: the distance to the next '<' is the length of the character data.
  uint64_t find_lt(uint64_t from) const { return find_byte(in, from, '<'); }

  // First '"', '\'', '/' or '>' at or after `i`, or n.
  uint64_t next_stop(uint64_t i) const {
    if constexpr (swar::kUsable) {
      while (i + 8 <= n) {
        const uint64_t v = swar::load(p + i);
        const uint64_t hits = swar::equal_bytes(v, '"') | swar::equal_bytes(v, '\'') |
                              swar::equal_bytes(v, '/') | swar::equal_bytes(v, '>');
        if (hits) return i + swar::lowest_byte(hits);
        i += 8;
      }
    }
    return scan_to_class(p, i, n, kStartTagStop);
  }

  // The next `quote` at or after `i`. Attribute values are mostly short, so a few words are tried
  // inline before paying for a memchr call.
  uint64_t closing_quote(uint64_t i, unsigned char quote) const {
    if constexpr (swar::kUsable) {
      for (int step = 0; step < 3 && i + 8 <= n; ++step, i += 8) {
        const uint64_t hits = swar::equal_bytes(swar::load(p + i), quote);
        if (hits) return i + swar::lowest_byte(hits);
      }
    }
    return find_byte(in, i, static_cast<char>(quote));
  }

  StartTagEnd start_tag_end(uint64_t i) const {
    for (;;) {
      i = next_stop(i);
      if (i >= n) return {kNotFound, false};
      const unsigned char c = p[i];
      if (c == '>') return {i, false};
      if (c == '/') {
        if (i + 1 < n && p[i + 1] == '>') return {i + 1, true};
        ++i;
        continue;
      }
      const uint64_t close = closing_quote(i + 1, c);
      i = close == kNotFound ? i + 1 : close + 1;
    }
  }
};

}  // namespace

Status<IndexBuildError> fill_scalar(BuildState& st, StructuralIndex& out, size_t max_tags) {
  ScalarScanner scan{st.input};
  return fill(st, out, max_tags, scan);
}

}  // namespace vx::index_detail
