// read_context.hpp: what one read carries from tag to tag: the source, the counts owed to it,
// and the attribute-map builder reused for every start tag.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "entities/attr_map.hpp"
#include "storage/short_name.hpp"
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

  // Moves the context to another source, keeping its hash keys, its attribute-map builder and
  // its name slots, which are left to go stale rather than cleared: a slot serves only the
  // source it was filled from.
  void rebind(SourceText* source) {
    settle();
    last_keys.count = 0;
    source->retain(kCredit);
    source_->release(kCredit);
    source_ = source;
    if (++epoch_ == 0) {  // after 2^32 sources: no stale slot may look current again
      for (NameSlot& slot : names_) slot = NameSlot{};
      epoch_ = 1;
    }
  }

  std::string_view input() const noexcept { return source_->view(); }
  SourceText* source() const noexcept { return source_; }
  HashKeys keys() const noexcept { return keys_; }

  // The bytes [start, start + len) of the input as a stored string: a shared range when it fits
  // one, otherwise a copy.
  [[gnu::always_inline]] StoredStr share(uint64_t start, uint64_t len) {
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
  [[gnu::always_inline]] StoredStr share_name(uint64_t start, uint64_t len) {
    return share(name_occurrence(start, len), len);
  }
  // The same for a name of 1 to kNameCacheMaxLen bytes whose key (the words made above) the
  // caller has at hand.
  [[gnu::always_inline]] StoredStr share_name(uint64_t start, uint64_t len, const ShortName& key) {
    return share(name_occurrence(start, len, key), len);
  }

  // Where the range that share_name(start, len) stores begins: the first occurrence of the same
  // bytes, or `start` itself.
  [[gnu::always_inline]] uint64_t name_occurrence(uint64_t start, uint64_t len) {
    if (len == 0 || len > kNameCacheMaxLen) return start;
    const char* bytes = input().data() + start;
    const char* limit = input().data() + input().size();
    // Up to 16 bytes the words are the whole name; longer names are told apart by their first
    // and last eight bytes, then compared in full.
    return name_occurrence(start, len, len <= ShortName::kMaxLen ? ShortName::of(bytes, len, limit)
                                                                 : ShortName::of_ends(bytes, len));
  }
  [[gnu::always_inline]] uint64_t name_occurrence(uint64_t start, uint64_t len, const ShortName& key) {
    NameSlot& slot = names_[name_slot(key, len)];
    if (slot.len == len && slot.key == key && slot.epoch == epoch_ &&
        (len <= ShortName::kMaxLen ||
         std::memcmp(input().data() + slot.start, input().data() + start, len) == 0)) {
      return slot.start;
    }
    slot = {start, static_cast<uint32_t>(len), epoch_, key};
    return start;
  }

  // The attribute keys of a recent start tag, in order: elements of one kind repeat one sequence
  // of keys, or leave out some of them, and a key found in that sequence after the ones this tag
  // has matched needs neither the name slots nor a search for a duplicate (see read_attributes).
  // Holds only keys of up to ShortName::kMaxLen bytes, all distinct, ranges of the current source.
  struct KeySequence {
    static constexpr size_t kMax = 16;
    struct Key {
      ShortName words;
      uint64_t start;
      uint64_t len;
    };
    Key keys[kMax];
    size_t count = 0;
  };
  KeySequence last_keys;

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
    uint32_t epoch = 0;  // the source it was filled from: the context's epoch then
    ShortName key;
  };
  static size_t name_slot(const ShortName& key, uint64_t len) noexcept {
    return static_cast<size_t>(key.hash(len) >> 56);
  }

  NameSlot names_[kNameSlots];
  uint32_t epoch_ = 0;
  SourceText* source_;
  size_t owed_ = 0;
  HashKeys keys_;

 public:
  AttrMapBuilder attrs;  // reused for every start tag of the read
};

}  // namespace vx
