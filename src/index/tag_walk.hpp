// tag_walk.hpp: the builders' walk over the input handed to a sink of the caller's, tag by tag,
// for readers that act on each tag as it is found instead of reading an index built first.
#pragma once
#include "index/builders.hpp"
#include "index/quote_aware_scanner.hpp"
#include "index/scalar_scanner.hpp"
#include "index/structural_index.hpp"

namespace vx {

// Where a walk stands between calls: the input, the next offset to search from, and whether
// the input is done.
using TagWalkState = index_detail::BuildState;

inline TagWalkState start_tag_walk(std::string_view input) { return TagWalkState{input}; }

// Hands the tags and character data after `st` to `sink` (see index_detail::walk_input for what
// a sink provides) until the sink asks no more, the input ends (st.done) or a tag has no end.
// Builds exactly what build_index builds with the same builder.
template <class Sink>
Status<IndexBuildError> walk_tags(TagWalkState& st, IndexBuilder builder, Sink& sink) {
  if (st.done) return {};
  if (builder == IndexBuilder::Scalar) {
    index_detail::ScalarScanner scan{st.input};
    return index_detail::walk_input(st, scan, sink);
  }
  index_detail::QuoteAwareScanner scan(st.input, index_detail::best_classifier());
  return index_detail::walk_input(st, scan, sink);
}

}  // namespace vx
