// scalar_builder.cpp: the index builder that searches forward from each '<' to its '>'.
#include "index/scalar_scanner.hpp"

namespace vx::index_detail {

Status<IndexBuildError> fill_scalar(BuildState& st, StructuralIndex& out, size_t max_tags) {
  ScalarScanner scan{st.input};
  return fill(st, out, max_tags, scan);
}

}  // namespace vx::index_detail
