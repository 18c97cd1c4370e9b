// quote_aware_builder.cpp: the index builder for attribute-dense input (see quote_aware_scanner.hpp).
#include "index/quote_aware_scanner.hpp"

namespace vx::index_detail {

Status<IndexBuildError> fill_quote_aware(BuildState& st, StructuralIndex& out, size_t max_tags,
                                         ClassifyBlocks classify) {
  QuoteAwareScanner scan(st.input, classify);
  return fill(st, out, max_tags, scan);
}

Status<IndexBuildError> fill_quote_aware(BuildState& st, StructuralIndex& out, size_t max_tags) {
  return fill_quote_aware(st, out, max_tags, best_classifier());
}

}  // namespace vx::index_detail
