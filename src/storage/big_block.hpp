// big_block.hpp: large buffers mapped straight from the kernel, backed by huge pages if allowed.
#pragma once
#include <cstddef>
#include <new>

namespace vx {

// Blocks of this size or more come from their own mapping rather than malloc. malloc maps them
// too, but gives them back on free and maps them afresh for the next read, one page fault per
// 4 KiB; a mapping advised as huge pages takes one fault per 2 MiB. Builds with the address
// sanitizer keep to malloc, which checks every byte of a block.
inline constexpr size_t kBigBlockBytes = size_t{1} << 20;

// `bytes` of memory (malloc'd below kBigBlockBytes); null when there is none.
void* big_alloc(size_t bytes) noexcept;
// Frees a block of big_alloc or big_realloc; `bytes` is the size it was asked for with.
void big_free(void* block, size_t bytes) noexcept;
// Moves a block to a larger or smaller size, keeping the first min(old, new) bytes; null (the old
// block still valid) when there is no memory.
void* big_realloc(void* block, size_t old_bytes, size_t new_bytes) noexcept;

// A mapping of `bytes` (a multiple of 4 KiB) that starts on a 2 MiB boundary; with `huge`, the
// kernel is asked to back it with huge pages. Null on failure. Freed with munmap.
void* map_aligned(size_t bytes, bool huge) noexcept;

// A standard allocator over a pair of block functions: `take(bytes)` gives a block or null,
// `give(block, bytes)` takes it back.
template <class T, void* (*take)(size_t) noexcept, void (*give)(void*, size_t) noexcept>
struct BlockAllocator {
  using value_type = T;
  template <class U>
  struct rebind {
    using other = BlockAllocator<U, take, give>;
  };
  BlockAllocator() = default;
  template <class U>
  BlockAllocator(const BlockAllocator<U, take, give>&) noexcept {}
  T* allocate(size_t n) {
    void* block = take(n * sizeof(T));
    if (!block) throw std::bad_alloc();
    return static_cast<T*>(block);
  }
  void deallocate(T* block, size_t n) noexcept { give(block, n * sizeof(T)); }
  template <class U>
  bool operator==(const BlockAllocator<U, take, give>&) const noexcept {
    return true;
  }
};

// For containers that may grow to many MB, such as the stack of nodes made during a read.
template <class T>
using BigBlockAllocator = BlockAllocator<T, big_alloc, big_free>;

}  // namespace vx
