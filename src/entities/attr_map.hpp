// attr_map.hpp: the attribute map of a node: text to text, insertion-ordered, SipHash-1-3 index.
#pragma once
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "entities/node_arena.hpp"
#include "storage/stored_str.hpp"

namespace vx {

struct HashKeys {
  uint64_t k0 = 0, k1 = 0;
};

// Copies the calling thread's key pair (seeded once from getrandom) and then adds 1 to its k0.
HashKeys take_thread_keys();

// The map's hash of a key: SipHash-1-3 over the key bytes followed by one 0xFF byte.
uint64_t attr_key_hash(const HashKeys& keys, std::string_view key) noexcept;

struct AttrEntry {
  StoredStr key;
  StoredStr value;
};

// Immutable once built. Entries are kept in insertion order in one heap block; maps above
// kLinearMax entries carry an open-addressing index keyed with the map's hash keys.
class AttrMap {
 public:
  static constexpr size_t kLinearMax = 8;

  AttrMap() noexcept = default;
  AttrMap(AttrMap&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
  AttrMap& operator=(AttrMap&& other) noexcept {
    if (this != &other) {
      reset();
      block_ = other.block_;
      other.block_ = nullptr;
    }
    return *this;
  }
  AttrMap(const AttrMap&) = delete;
  AttrMap& operator=(const AttrMap&) = delete;
  ~AttrMap() {
    if (block_) reset();
  }

  size_t size() const noexcept;
  bool empty() const noexcept { return block_ == nullptr; }
  const AttrEntry* begin() const noexcept;
  const AttrEntry* end() const noexcept { return begin() + size(); }
  HashKeys keys() const noexcept;

  // The value stored under `key`, or null.
  const StoredStr* find(std::string_view key) const;

  // Same keys, same pairs in the same order; shared ranges take counts, owned texts are copied.
  AttrMap clone() const;

  // Most maps are empty: that test stays inline, the release of a block does not.
  void reset() noexcept {
    if (block_) release_block();
  }
  // Like reset, handing the counts of shared ranges to `batch` and a block of attr_block_arena()
  // to `blocks`, which must be a batch of that arena.
  void reset_into(SourceReleaseBatch& batch, NodeArena::GiveBatch& blocks) noexcept {
    if (block_) release_block_into(batch, blocks);
  }

  struct Block;

 private:
  void release_block() noexcept;
  void release_block_into(SourceReleaseBatch& batch, NodeArena::GiveBatch& blocks) noexcept;
  friend class AttrMapBuilder;
  Block* block_ = nullptr;
};

// The arena of the blocks of small attribute maps (see AttrMap::reset_into).
NodeArena& attr_block_arena();

struct SmallBlockLeases;

// While one is alive, the thread takes the blocks of small maps from chunks leased to it, with
// no lock; a read holds one. The leases end with the last scope, so a thread that has read holds
// no chunk once its trees are gone. Outside any scope (maps made one at a time from Python) each
// block is taken under the arena's lock.
class AttrLeaseScope {
 public:
  explicit AttrLeaseScope(size_t document_bytes);
  ~AttrLeaseScope();
  AttrLeaseScope(const AttrLeaseScope&) = delete;
  AttrLeaseScope& operator=(const AttrLeaseScope&) = delete;

 private:
  SmallBlockLeases& leases_;
};

// Collects pairs and produces an AttrMap; reusable across many maps (keeps its capacity).
// Entries are relocated bytewise (a StoredStr never points into itself), so growing the storage
// and handing it to the finished map are copies, with no destructor run on moved-from values.
class AttrMapBuilder {
 public:
  explicit AttrMapBuilder(HashKeys keys = {}) : keys_(keys) {}
  ~AttrMapBuilder();
  AttrMapBuilder(const AttrMapBuilder&) = delete;
  AttrMapBuilder& operator=(const AttrMapBuilder&) = delete;
  void reset(HashKeys keys);
  size_t size() const noexcept { return count_; }
  // The key of the i-th pair added, i < size().
  const StoredStr& key(size_t i) const noexcept { return entries_[i].key; }
  bool contains(std::string_view key) const;
  // Adds the pair unless an equal key is present; returns false (pair not consumed) then.
  // Maps of a few entries, nearly every element's, take the inline path.
  bool insert_new(StoredStr& key, StoredStr& value) {
    if (count_ < AttrMap::kLinearMax && count_ < capacity_) [[likely]] {
      if (find_linear(key.raw_view()) >= 0) return false;
      append_new(key, value);
      return true;
    }
    return insert_new_slow(key, value);
  }
  // Adds a pair whose key the caller knows to differ from every key added so far.
  void append_new(StoredStr& key, StoredStr& value) {
    if (count_ < AttrMap::kLinearMax && count_ < capacity_) [[likely]] {
      new (&entries_[count_++]) AttrEntry{std::move(key), std::move(value)};
      return;
    }
    append_distinct(std::move(key), std::move(value));
  }
  // Adds the pair, or replaces the value stored under an equal key (the first key stays).
  void insert_or_replace(StoredStr key, StoredStr value);
  // Adds a pair whose key the caller knows to differ from every key added so far.
  void append_distinct(StoredStr key, StoredStr value);
  AttrMap finish();

 private:
  bool insert_new_slow(StoredStr& key, StoredStr& value);
  ptrdiff_t find_index(std::string_view key) const;
  // The entry whose key is `key`, by comparing every key; -1 when none. The builder's keys were
  // made by the caller moments ago, so their ranges need no check.
  ptrdiff_t find_linear(std::string_view key) const {
    for (size_t i = 0; i < count_; ++i) {
      const StoredStr& k = entries_[i].key;
      if (k.size() == key.size() && std::memcmp(k.raw_view().data(), key.data(), key.size()) == 0) {
        return static_cast<ptrdiff_t>(i);
      }
    }
    return -1;
  }
  void add_to_index(size_t entry);
  void rebuild_index(size_t slot_count);
  void grow();
  void drop_entries() noexcept;

  AttrEntry* entries_ = nullptr;
  size_t count_ = 0;
  size_t capacity_ = 0;
  std::vector<uint32_t> slots_;  // entry index + 1, or 0; empty while the entries are few
  HashKeys keys_;
  SmallBlockLeases* leases_ = nullptr;  // the building thread's, fetched on first need
};

}  // namespace vx
