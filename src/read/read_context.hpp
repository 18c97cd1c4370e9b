// read_context.hpp: what one read carries from tag to tag: the source, the counts owed to it,
// and the attribute-map builder reused for every start tag.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "entities/attr_map.hpp"
#include "storage/source_text.hpp"
#include "storage/stored_str.hpp"

namespace vx {

// Shared ranges cut during a read take their SourceText counts in bulk: `share` only counts, and
// `settle` adds the total with one atomic operation. Every exit of a read settles before any
// string it cut can be dropped, so the source never sees a release it was not given a count for.
class ReadContext {
 public:
  ReadContext(SourceText* source, HashKeys keys) : source_(source), keys_(keys), attrs(keys) {}
  ReadContext(const ReadContext&) = delete;
  ReadContext& operator=(const ReadContext&) = delete;
  ~ReadContext() { settle(); }

  std::string_view input() const noexcept { return source_->view(); }
  SourceText* source() const noexcept { return source_; }
  HashKeys keys() const noexcept { return keys_; }

  // The bytes [start, start + len) of the input as a stored string: a shared range when it fits
  // one, otherwise a copy.
  StoredStr share(uint64_t start, uint64_t len) {
    if (StoredStr::fits_shared(start, len)) [[likely]] {
      ++owed_;
      return StoredStr::shared_counted(source_, start, len);
    }
    return StoredStr::copy_of(input().substr(start, len));
  }

  void settle() noexcept {
    if (owed_) source_->retain(owed_);
    owed_ = 0;
  }

 private:
  SourceText* source_;
  size_t owed_ = 0;
  HashKeys keys_;

 public:
  AttrMapBuilder attrs;  // reused for every start tag of the read
};

}  // namespace vx
