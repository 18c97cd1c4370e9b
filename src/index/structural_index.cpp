// structural_index.cpp: choosing a builder, and building whole or piece by piece.
#include "index/structural_index.hpp"

#include <algorithm>

#include "index/builders.hpp"

namespace vx {

IndexBuilder choose_builder(std::string_view input) noexcept {
  if (input.empty()) return IndexBuilder::Scalar;
  std::string_view sample = input.substr(0, std::min<size_t>(input.size(), 4096));
  size_t lt = 0, quot = 0;
  for (char c : sample) {
    lt += c == '<';
    quot += c == '"';
  }
  double ratio = static_cast<double>(quot) / static_cast<double>(std::max<size_t>(lt, 1));
  return ratio > 5.0 ? IndexBuilder::QuoteAware : IndexBuilder::Scalar;
}

IndexCursor::IndexCursor(std::string_view input, IndexBuilder builder)
    : input_(input), builder_(builder) {}

Status<IndexBuildError> IndexCursor::next(StructuralIndex& out, size_t max_tags) {
  out.input = input_;
  out.tags.clear();
  out.text_ranges.clear();
  if (done_) return {};
  // A piece of no tags would never move the cursor on.
  max_tags = std::max<size_t>(max_tags, 1);
  index_detail::BuildState st{input_, pos_, text_start_, false};
  Status<IndexBuildError> status = builder_ == IndexBuilder::Scalar
                                       ? index_detail::fill_scalar(st, out, max_tags)
                                       : index_detail::fill_quote_aware(st, out, max_tags);
  pos_ = st.pos;
  text_start_ = st.text_start;
  done_ = st.done;
  if (!status.ok()) {
    out.tags.clear();
    out.text_ranges.clear();
  }
  return status;
}

Result<StructuralIndex, IndexBuildError> build_index(std::string_view input, IndexBuilder builder) {
  StructuralIndex index;
  index.input = input;
  index.tags.reserve(input.size() / 128);
  index.text_ranges.reserve(input.size() / 256);
  index_detail::BuildState st{input, 0, 0, false};
  Status<IndexBuildError> status = builder == IndexBuilder::Scalar
                                       ? index_detail::fill_scalar(st, index, SIZE_MAX)
                                       : index_detail::fill_quote_aware(st, index, SIZE_MAX);
  if (!status.ok()) return status.error();
  return index;
}

Result<StructuralIndex, IndexBuildError> build_index(std::string_view input) {
  return build_index(input, choose_builder(input));
}

}  // namespace vx
