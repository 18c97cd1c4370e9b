// attr_map.cpp: attribute map storage, lookup and per-thread hash keys.
#include "entities/attr_map.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "entities/node_arena.hpp"
#include "entities/siphash.hpp"
#include "per_thread.hpp"
#include "result.hpp"

namespace vx {

struct AttrMap::Block {
  uint32_t count : 31;
  // Every key and value is a shared range of the first key's source: the map's counts on it go
  // back in one step, without reading the entries.
  uint32_t one_source : 1;
  uint32_t slot_mask;  // 0 when the map has no index
  HashKeys keys;
  AttrEntry* entries() { return reinterpret_cast<AttrEntry*>(this + 1); }
  uint32_t* slots() { return reinterpret_cast<uint32_t*>(entries() + count); }
};
static_assert(sizeof(AttrEntry) % alignof(uint32_t) == 0);

// Each thread takes small blocks from chunks leased to it, with no lock, while it reads.
struct SmallBlockLeases {
  NodeArena::Lease by_count[NodeArena::kClasses];
  size_t scopes = 0;
  ~SmallBlockLeases() {
    for (NodeArena::Lease& lease : by_count) attr_block_arena().end_lease(lease);
  }
};

namespace {

size_t block_bytes(size_t count, size_t slots) {
  return sizeof(AttrMap::Block) + count * sizeof(AttrEntry) + slots * sizeof(uint32_t);
}

// Blocks of maps without an index (up to kLinearMax entries, nearly every element's) come from
// size-class chunks like the nodes, for the same reason: a read of an attribute-heavy document
// takes tens of MB of them, which malloc would give back on the tree's drop and fault in afresh
// for the next read. Never destroyed: blocks may be given back during the process's exit.
NodeArena& small_blocks = *new NodeArena([](size_t count) { return block_bytes(count, 0); });

bool from_small_blocks(size_t count, size_t slots) {
  return slots == 0 && NodeArena::serves(count);
}

AttrMap::Block* allocate_block(size_t count, size_t slots, SmallBlockLeases*& leases) {
  void* memory;
  if (from_small_blocks(count, slots)) {
    if (!leases) leases = &per_thread<SmallBlockLeases>();
    memory = leases->scopes ? small_blocks.take(leases->by_count[count], count)
                            : small_blocks.take(count);
  } else {
    memory = std::malloc(block_bytes(count, slots));
  }
  if (!memory) throw std::bad_alloc();
  return static_cast<AttrMap::Block*>(memory);
}

// The blocks allocate_block took from small_blocks.
bool in_small_blocks(const AttrMap::Block* block) {
  return block->slot_mask == 0 && NodeArena::serves(block->count);
}

// Whether every key and value is a shared range of one source (checked while they are in cache).
bool from_one_source(const AttrEntry* entries, size_t count) {
  const SourceText* source = entries[0].key.shared_source();
  if (!source) return false;
  for (size_t i = 0; i < count; ++i) {
    if (entries[i].key.shared_source() != source || entries[i].value.shared_source() != source) {
      return false;
    }
  }
  return true;
}

}  // namespace


NodeArena& attr_block_arena() { return small_blocks; }

AttrLeaseScope::AttrLeaseScope(size_t document_bytes) : leases_(per_thread<SmallBlockLeases>()) {
  if (leases_.scopes++ != 0) return;
  for (NodeArena::Lease& lease : leases_.by_count) {
    lease.begin_read(document_bytes >= NodeArena::kLargeReadBytes);
  }
}

AttrLeaseScope::~AttrLeaseScope() {
  if (--leases_.scopes != 0) return;
  for (NodeArena::Lease& lease : leases_.by_count) small_blocks.end_lease(lease);
}

namespace {

struct ThreadKeys {
  bool seeded = false;
  HashKeys keys;
};
thread_local ThreadKeys thread_keys;

void seed_from_os(HashKeys& keys) {
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      invariant_failed("getrandom failed while seeding attribute map keys");
    }
    got += static_cast<size_t>(n);
  }
  std::memcpy(&keys.k0, bytes, 8);
  std::memcpy(&keys.k1, bytes + 8, 8);
}

size_t slot_count_for(size_t entries) {
  size_t n = 16;
  while (n < entries * 2) n <<= 1;
  return n;
}

// Probes `slots` (power-of-two size) for `key`; returns the entry index or -1.
ptrdiff_t probe(const uint32_t* slots, size_t mask, const AttrEntry* entries, const HashKeys& keys,
                std::string_view key) {
  for (size_t i = attr_key_hash(keys, key) & mask;; i = (i + 1) & mask) {
    uint32_t slot = slots[i];
    if (slot == 0) return -1;
    if (entries[slot - 1].key.view() == key) return slot - 1;
  }
}

}  // namespace

HashKeys take_thread_keys() {
  ThreadKeys& t = thread_keys;
  if (!t.seeded) {
    seed_from_os(t.keys);
    t.seeded = true;
  }
  HashKeys taken = t.keys;
  t.keys.k0 += 1;
  return taken;
}

uint64_t attr_key_hash(const HashKeys& keys, std::string_view key) noexcept {
  return siphash13(keys.k0, keys.k1, key.data(), key.size(), 0xFF);
}

size_t AttrMap::size() const noexcept { return block_ ? block_->count : 0; }
const AttrEntry* AttrMap::begin() const noexcept { return block_ ? block_->entries() : nullptr; }
HashKeys AttrMap::keys() const noexcept { return block_ ? block_->keys : HashKeys{}; }

const StoredStr* AttrMap::find(std::string_view key) const {
  if (!block_) return nullptr;
  AttrEntry* entries = block_->entries();
  if (block_->slot_mask == 0) {
    for (uint32_t i = 0; i < block_->count; ++i) {
      const StoredStr& k = entries[i].key;
      if (k.size() == key.size() && k.view() == key) return &entries[i].value;
    }
    return nullptr;
  }
  ptrdiff_t at = probe(block_->slots(), block_->slot_mask, entries, block_->keys, key);
  return at < 0 ? nullptr : &entries[at].value;
}

AttrMap AttrMap::clone() const {
  AttrMap copy;
  if (!block_) return copy;
  size_t count = block_->count;
  size_t slots = block_->slot_mask ? block_->slot_mask + 1 : 0;
  SmallBlockLeases* leases = nullptr;
  Block* b = allocate_block(count, slots, leases);
  b->count = 0;
  b->one_source = 0;
  b->slot_mask = block_->slot_mask;
  b->keys = block_->keys;
  copy.block_ = b;
  // Count only what was constructed, so a failure part-way releases exactly those entries.
  AttrEntry* src = block_->entries();
  AttrEntry* dst = reinterpret_cast<AttrEntry*>(b + 1);
  for (size_t i = 0; i < count; ++i) {
    new (&dst[i]) AttrEntry{src[i].key.clone(), src[i].value.clone()};
    b->count = static_cast<uint32_t>(i + 1);
  }
  if (slots) std::memcpy(b->slots(), block_->slots(), slots * sizeof(uint32_t));
  b->one_source = block_->one_source;
  return copy;
}

void AttrMap::release_block() noexcept {
  AttrEntry* entries = block_->entries();
  size_t count = block_->count;
  if (block_->one_source) {
    entries[0].key.shared_source()->release(2 * count);
  } else {
    for (size_t i = 0; i < count; ++i) entries[i].~AttrEntry();
  }
  if (in_small_blocks(block_)) {
    small_blocks.give(block_, count);
  } else {
    std::free(block_);
  }
  block_ = nullptr;
}

void AttrMap::release_block_into(SourceReleaseBatch& batch, NodeArena::GiveBatch& blocks) noexcept {
  AttrEntry* entries = block_->entries();
  size_t count = block_->count;
  if (block_->one_source) {
    batch.add(entries[0].key.shared_source(), 2 * count);
  } else {
    for (size_t i = 0; i < count; ++i) {
      entries[i].key.reset_into(batch);
      entries[i].value.reset_into(batch);
    }
  }
  if (in_small_blocks(block_)) {
    blocks.add(block_, count);
  } else {
    batch.free_later(block_);
  }
  block_ = nullptr;
}

AttrMapBuilder::~AttrMapBuilder() {
  drop_entries();
  std::free(entries_);
}

void AttrMapBuilder::drop_entries() noexcept {
  for (size_t i = 0; i < count_; ++i) entries_[i].~AttrEntry();
  count_ = 0;
}

void AttrMapBuilder::reset(HashKeys keys) {
  drop_entries();
  slots_.clear();
  keys_ = keys;
}

void AttrMapBuilder::grow() {
  size_t capacity = capacity_ < 16 ? 16 : capacity_ * 2;
  void* fresh = std::malloc(capacity * sizeof(AttrEntry));
  if (!fresh) throw std::bad_alloc();
  if (count_) std::memcpy(fresh, static_cast<void*>(entries_), count_ * sizeof(AttrEntry));
  std::free(entries_);
  entries_ = static_cast<AttrEntry*>(fresh);
  capacity_ = capacity;
}

ptrdiff_t AttrMapBuilder::find_index(std::string_view key) const {
  if (slots_.empty()) return find_linear(key);
  size_t mask = slots_.size() - 1;
  for (size_t i = attr_key_hash(keys_, key) & mask;; i = (i + 1) & mask) {
    uint32_t slot = slots_[i];
    if (slot == 0) return -1;
    if (entries_[slot - 1].key.raw_view() == key) return slot - 1;
  }
}

bool AttrMapBuilder::contains(std::string_view key) const { return find_index(key) >= 0; }

void AttrMapBuilder::rebuild_index(size_t slot_count) {
  slots_.assign(slot_count, 0);
  for (size_t i = 0; i < count_; ++i) add_to_index(i);
}

void AttrMapBuilder::add_to_index(size_t entry) {
  size_t mask = slots_.size() - 1;
  size_t i = attr_key_hash(keys_, entries_[entry].key.raw_view()) & mask;
  while (slots_[i] != 0) i = (i + 1) & mask;
  slots_[i] = static_cast<uint32_t>(entry + 1);
}

bool AttrMapBuilder::insert_new_slow(StoredStr& key, StoredStr& value) {
  if (find_index(key.raw_view()) >= 0) return false;
  append_distinct(std::move(key), std::move(value));
  return true;
}

void AttrMapBuilder::append_distinct(StoredStr key, StoredStr value) {
  if (count_ >= (uint32_t{1} << 31) - 1) invariant_failed("attribute map exceeds 2**31 entries");
  if (count_ == capacity_) grow();
  new (&entries_[count_++]) AttrEntry{std::move(key), std::move(value)};
  size_t n = count_;
  if (n > AttrMap::kLinearMax) {
    if (slots_.size() < n * 2) {
      rebuild_index(slot_count_for(n));
    } else {
      add_to_index(n - 1);
    }
  }
}

void AttrMapBuilder::insert_or_replace(StoredStr key, StoredStr value) {
  ptrdiff_t at = find_index(key.raw_view());
  if (at >= 0) {
    entries_[at].value = std::move(value);
    return;
  }
  insert_new_slow(key, value);
}

AttrMap AttrMapBuilder::finish() {
  AttrMap map;
  size_t count = count_;
  if (count == 0) {
    slots_.clear();
    return map;
  }
  size_t slots = count > AttrMap::kLinearMax ? slots_.size() : 0;
  AttrMap::Block* b = allocate_block(count, slots, leases_);
  b->count = static_cast<uint32_t>(count);
  b->one_source = from_one_source(entries_, count);
  b->slot_mask = slots ? static_cast<uint32_t>(slots - 1) : 0;
  b->keys = keys_;
  // The entries move to the block bytewise; the builder forgets them without destroying them.
  std::memcpy(static_cast<void*>(b->entries()), static_cast<const void*>(entries_), count * sizeof(AttrEntry));
  count_ = 0;
  if (slots) std::memcpy(b->slots(), slots_.data(), slots * sizeof(uint32_t));
  slots_.clear();
  map.block_ = b;
  return map;
}

}  // namespace vx
