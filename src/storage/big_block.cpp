// big_block.cpp: mapped large blocks.
#include "storage/big_block.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "sanitizers.hpp"

namespace vx {
namespace {

constexpr size_t kPage = 4096;
constexpr size_t kHugePage = size_t{2} << 20;

size_t page_round(size_t bytes) { return (bytes + kPage - 1) & ~(kPage - 1); }

bool mapped(size_t bytes) {
#ifdef VX_ADDRESS_SANITIZER
  (void)bytes;
  return false;
#else
  return bytes >= kBigBlockBytes;
#endif
}

}  // namespace

void* map_aligned(size_t bytes, bool huge) noexcept {
  size_t span = bytes + kHugePage;
  void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
  if (aligned > start) munmap(raw, aligned - start);
  uintptr_t tail = aligned + bytes;
  if (start + span > tail) munmap(reinterpret_cast<void*>(tail), start + span - tail);
  void* block = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  if (huge) madvise(block, bytes, MADV_HUGEPAGE);  // a hint: without it, ordinary pages
#else
  (void)huge;
#endif
  return block;
}

namespace {

// A mapped block starts with this header; the caller's bytes follow it.
struct MappingHeader {
  size_t mapped_bytes;
};
constexpr size_t kHeaderBytes = 64;

// Freed mappings kept for the next blocks, so that the buffers a read grows and drops (a stack
// doubling its size, a table) are not mapped afresh each time. Kept small: what is kept counts
// as the process's memory after it has dropped every tree, and a large document's buffers
// cost a page fault per 2 MiB when mapped again, little beside reading them. Blocks are taken
// and freed with or without the GIL, hence the lock; it is taken once per block of a MiB or more.
class MappingCache {
 public:
  static constexpr size_t kMaxBytes = size_t{4} << 20;
  static constexpr size_t kMaxEntries = 4;

  // A kept mapping of at least `bytes` and at most twice that, or null.
  MappingHeader* take(size_t bytes) {
    std::lock_guard<std::mutex> hold(lock_);
    size_t best = kMaxEntries;
    for (size_t i = 0; i < count_; ++i) {
      size_t have = kept_[i]->mapped_bytes;
      if (have >= bytes && have / 2 <= bytes &&
          (best == kMaxEntries || have < kept_[best]->mapped_bytes)) {
        best = i;
      }
    }
    if (best == kMaxEntries) return nullptr;
    MappingHeader* found = kept_[best];
    kept_[best] = kept_[--count_];
    total_ -= found->mapped_bytes;
    return found;
  }

  // Keeps the mapping, or returns false when the cache is full.
  bool keep(MappingHeader* mapping) {
    std::lock_guard<std::mutex> hold(lock_);
    if (count_ == kMaxEntries || total_ + mapping->mapped_bytes > kMaxBytes) return false;
    kept_[count_++] = mapping;
    total_ += mapping->mapped_bytes;
    return true;
  }

 private:
  std::mutex lock_;
  MappingHeader* kept_[kMaxEntries] = {};
  size_t count_ = 0;
  size_t total_ = 0;
};

MappingCache mapping_cache;

MappingHeader* header_of(void* block) {
  return reinterpret_cast<MappingHeader*>(static_cast<char*>(block) - kHeaderBytes);
}

}  // namespace

void* big_alloc(size_t bytes) noexcept {
  if (!mapped(bytes)) return std::malloc(bytes ? bytes : 1);
  size_t need = page_round(bytes + kHeaderBytes);
  // Large blocks end on a huge page boundary too: their last part would take 4 KiB faults.
  if (need >= 2 * kHugePage) need = (need + kHugePage - 1) & ~(kHugePage - 1);
  MappingHeader* mapping = mapping_cache.take(need);
  if (!mapping) {
    mapping = static_cast<MappingHeader*>(map_aligned(need, true));
    if (!mapping) return nullptr;
    mapping->mapped_bytes = need;
  }
  return reinterpret_cast<char*>(mapping) + kHeaderBytes;
}

void big_free(void* block, size_t bytes) noexcept {
  if (!block) return;
  if (!mapped(bytes)) {
    std::free(block);
    return;
  }
  MappingHeader* mapping = header_of(block);
  if (!mapping_cache.keep(mapping)) munmap(mapping, mapping->mapped_bytes);
}

void* big_realloc(void* block, size_t old_bytes, size_t new_bytes) noexcept {
  if (!mapped(old_bytes) && !mapped(new_bytes))
    return std::realloc(block, new_bytes ? new_bytes : 1);
  void* fresh = big_alloc(new_bytes);
  if (!fresh) return nullptr;
  std::memcpy(fresh, block, old_bytes < new_bytes ? old_bytes : new_bytes);
  big_free(block, old_bytes);
  return fresh;
}

}  // namespace vx
