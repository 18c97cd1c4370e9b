// tree_builder.hpp: a document becomes the records of its root element. Runs without the GIL.
#pragma once
#include <string_view>

#include "read/read_error.hpp"
#include "read/record_buffer.hpp"
#include "result.hpp"
#include "storage/source_text.hpp"

namespace vx {

// The root element and its subtree in post-order: the root is the last record.
struct RecordTree {
  RecordBuffer records;
};

// Builds the tree of the first element named `root_tag`. Every shared range it stores holds a
// count of `source`, taken in bulk before this returns; the caller keeps its own count.
Result<RecordTree, ReadError> read_tree(SourceText* source, std::string_view root_tag);

// Bytes of record storage a thread keeps backed by pages between reads.
inline constexpr size_t kRetainedRecordBytes = 16 * 1024 * 1024;

// Hands a tree's emptied storage back for the next read on this thread.
void recycle_tree(RecordTree&& tree) noexcept;

// Tags taken from the index per step; the window of the index is reused between steps.
inline constexpr size_t kIndexWindow = 4096;

}  // namespace vx
