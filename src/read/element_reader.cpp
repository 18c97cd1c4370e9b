// element_reader.cpp: one reader context moved from source to source.
#include "read/element_reader.hpp"

#include "read/read_context.hpp"

namespace vx {

ElementReader::ElementReader() = default;

ElementReader::~ElementReader() { delete ctx_; }

Result<RecordTree, ReadError> ElementReader::read(SourceText* source, std::string_view root_tag,
                                                  IndexBuilder builder) {
  if (!ctx_) {
    ctx_ = new ReadContext(source, take_thread_keys());
  } else {
    ctx_->rebind(source);
  }
  TreeReader reader(*ctx_, root_tag, builder);
  ReadProgress progress = reader.run(SIZE_MAX);
  if (progress == ReadProgress::Failed) return reader.take_error();
  RecordTree tree;
  tree.records.swap(reader.records());
  return tree;
}

}  // namespace vx
