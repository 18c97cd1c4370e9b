// read_context.hpp: what one read carries from tag to tag: the source, the counts owed to it,
// and the attribute-map builder reused for every start tag.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "entities/attr_map.hpp"
#include "storage/source_text.hpp"
#include "storage/stored_str.hpp"

namespace vx {

// Shared ranges cut during a read take their SourceText counts in bulk: `share` only counts, and
// `settle` adds the total with one atomic operation. A string cut and dropped before the next
// settle (an exception unwinding through the walk, records dropped on a failed read) releases a
// count the source was not yet given; the context holds a large credit of counts for its whole
// life, so such a release can never take the source to zero and free it early.
class ReadContext {
 public:
  // More than the strings of any read that fits in memory, far from overflowing the count.
  static constexpr size_t kCredit = size_t{1} << 48;

  ReadContext(SourceText* source, HashKeys keys) : source_(source), keys_(keys), attrs(keys) {
    source_->retain(kCredit);
  }
  ReadContext(const ReadContext&) = delete;
  ReadContext& operator=(const ReadContext&) = delete;
  ~ReadContext() {
    settle();
    source_->release(kCredit);
  }

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

  // Like `share`, for names and attribute keys, which repeat throughout a document: every
  // occurrence is stored as a range of the first occurrence of the same bytes, so the trees'
  // names point into a few hot bytes instead of all over the document (searches and every
  // other consumer compare them from cache).
  StoredStr share_name(uint64_t start, uint64_t len) {
    if (len == 0 || len > kNameCacheMaxLen) return share(start, len);
    const char* bytes = input().data() + start;
    NameSlot& slot = names_[name_slot(bytes, len)];
    if (slot.len == len && std::memcmp(input().data() + slot.start, bytes, len) == 0) {
      return share(slot.start, len);
    }
    slot = {start, static_cast<uint32_t>(len)};
    return share(start, len);
  }

  void settle() noexcept {
    if (owed_) source_->retain(owed_);
    owed_ = 0;
  }

 private:
  static constexpr size_t kNameCacheMaxLen = 64;
  static constexpr size_t kNameSlots = 256;
  struct NameSlot {
    uint64_t start = 0;
    uint32_t len = 0;
  };
  static size_t name_slot(const char* bytes, uint64_t len) noexcept {
    uint64_t head = 0, tail = 0;
    std::memcpy(&head, bytes, len < 8 ? len : 8);
    if (len > 8) std::memcpy(&tail, bytes + len - 8, 8);
    uint64_t h = (head ^ (tail * 0x9E3779B97F4A7C15ULL) ^ len) * 0xFF51AFD7ED558CCDULL;
    return static_cast<size_t>(h >> 56);
  }

  NameSlot names_[kNameSlots];
  SourceText* source_;
  size_t owed_ = 0;
  HashKeys keys_;

 public:
  AttrMapBuilder attrs;  // reused for every start tag of the read
};

}  // namespace vx
