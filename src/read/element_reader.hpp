// element_reader.hpp: the tree builder for a stream's elements, one small source after another.
// Runs without the GIL.
#pragma once
#include <string_view>

#include "read/read_error.hpp"
#include "read/tree_builder.hpp"
#include "result.hpp"
#include "storage/source_text.hpp"

namespace vx {

// Reads the trees of many small sources one after another (the elements of a stream), keeping
// what every read would otherwise set up afresh: the context with its hash keys, name slots and
// attribute-map builder. Used by one thread at a time. The last source read keeps a count from
// the reader until the next read or the reader's end.
class ElementReader {
 public:
  ElementReader();
  ~ElementReader();
  ElementReader(const ElementReader&) = delete;
  ElementReader& operator=(const ElementReader&) = delete;

  // What read_tree(source, root_tag, builder) gives.
  Result<RecordTree, ReadError> read(SourceText* source, std::string_view root_tag,
                                     IndexBuilder builder);

 private:
  ReadContext* ctx_ = nullptr;
};

}  // namespace vx
