// tree_builder.hpp: a document becomes the records of its root element. Runs without the GIL.
#pragma once
#include <cstdint>
#include <string_view>

#include "read/read_error.hpp"
#include "read/record_buffer.hpp"
#include "result.hpp"
#include "storage/source_text.hpp"

namespace vx {

class ReadContext;

// The root element and its subtree in post-order: the root is the last record.
struct RecordTree {
  RecordBuffer records;
};

// Builds the tree of the first element named `root_tag`. Every shared range it stores holds a
// count of `source`, taken in bulk before this returns; the caller keeps its own count.
Result<RecordTree, ReadError> read_tree(SourceText* source, std::string_view root_tag);
// The same with the index built by the given builder rather than the one a sample chooses.
Result<RecordTree, ReadError> read_tree(SourceText* source, std::string_view root_tag,
                                        IndexBuilder builder);

enum class ReadProgress : uint8_t { More, Done, Failed };

// The same walk, handing out finished records in batches so a caller can turn them into nodes
// while the walk goes on: the record storage then stays the size of one batch, however large
// the document. Every record handed out has its counts on the source already taken.
class TreeReader {
 public:
  // With `check_utf8` the source's bytes are checked as they are reached, a stretch ahead of the
  // tag being taken, before anything is cut from them and while they are in cache. Any
  // ill-formed UTF-8 in the whole input fails the read as "invalid UTF-8", before every other
  // error, exactly as a check of the whole input beforehand would.
  TreeReader(SourceText* source, std::string_view root_tag, bool check_utf8 = false);
  // Bytes known to be UTF-8, indexed by the given builder.
  TreeReader(SourceText* source, std::string_view root_tag, IndexBuilder builder);
  // The same through a context bound to the source, which outlives the reader.
  TreeReader(ReadContext& ctx, std::string_view root_tag, IndexBuilder builder);
  ~TreeReader();
  TreeReader(const TreeReader&) = delete;
  TreeReader& operator=(const TreeReader&) = delete;

  // Walks on until at least `batch` records are finished or the read ends. More: `records()`
  // holds finished records and the walk is not over. Done: `records()` holds the rest, the root
  // last. Failed: `take_error()` tells why. The caller empties `records()` between calls.
  ReadProgress run(size_t batch);
  RecordBuffer& records() noexcept;
  ReadError take_error();

 private:
  struct State;
  State* state_;
};

// Bytes of record storage a thread keeps backed by pages between reads.
inline constexpr size_t kRetainedRecordBytes = 16 * 1024 * 1024;

// Hands a tree's emptied storage back for the next read on this thread.
void recycle_tree(RecordTree&& tree) noexcept;

}  // namespace vx
