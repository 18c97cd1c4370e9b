// quote_aware_builder.cpp: the index builder for attribute-dense input (currently the scalar walk).
#include "index/builders.hpp"

namespace vx::index_detail {

Status<IndexBuildError> fill_quote_aware(BuildState& st, StructuralIndex& out, size_t max_tags) {
  return fill_scalar(st, out, max_tags);
}

}  // namespace vx::index_detail
