// scalar_builder.cpp: the index builder that searches forward from each '<' to its '>'.
#include "index/builders.hpp"

namespace vx::index_detail {
namespace {

struct ScalarScanner {
  std::string_view in;

  uint64_t find_lt(uint64_t from) const { return find_byte(in, from, '<'); }

  // From the end of the name: a quote jumps to the next equal quote (or is passed over when none
  // follows); "/>" ends an empty-element tag and '>' a start tag.
  StartTagEnd start_tag_end(uint64_t i) const {
    const uint64_t n = in.size();
    while (i < n) {
      char c = in[i];
      if (c == '"' || c == '\'') {
        uint64_t close = find_byte(in, i + 1, c);
        i = close == kNotFound ? i + 1 : close + 1;
        continue;
      }
      if (c == '>') return {i, false};
      if (c == '/' && i + 1 < n && in[i + 1] == '>') return {i + 1, true};
      ++i;
    }
    return {kNotFound, false};
  }
};

}  // namespace

Status<IndexBuildError> fill_scalar(BuildState& st, StructuralIndex& out, size_t max_tags) {
  ScalarScanner scan{st.input};
  return fill(st, out, max_tags, scan);
}

}  // namespace vx::index_detail
