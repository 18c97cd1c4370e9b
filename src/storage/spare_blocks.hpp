// spare_blocks.hpp: scratch blocks under big_alloc's mapping size, kept by each thread from one
// call to the next.
#pragma once
#include <cstddef>
#include <new>

#include "storage/big_block.hpp"

namespace vx {

// malloc serves blocks below kBigBlockBytes from the top of its heap, and when a call frees its
// scratch storage at the end, that top goes back to the kernel: the next call faults the same
// pages in again, one fault per 4 KiB. A thread keeps up to kMaxBytes of such blocks instead.
// What is kept counts as the process's memory while the thread lives.
namespace spare_blocks {

inline constexpr size_t kMaxBytes = size_t{4} << 20;

// A block of `bytes` (below kBigBlockBytes): a kept one of exactly that size, else a new one;
// null when there is no memory.
void* take(size_t bytes) noexcept;
// Takes back a block of take(bytes).
void give(void* block, size_t bytes) noexcept;

}  // namespace spare_blocks

// For scratch containers of a call: blocks of a MiB or more are big blocks (whose mappings are
// kept too), smaller ones spare blocks.
template <class T>
struct SpareBlockAllocator {
  using value_type = T;
  SpareBlockAllocator() = default;
  template <class U>
  SpareBlockAllocator(const SpareBlockAllocator<U>&) noexcept {}
  T* allocate(size_t n) {
    const size_t bytes = n * sizeof(T);
    void* block = bytes >= kBigBlockBytes ? big_alloc(bytes) : spare_blocks::take(bytes);
    if (!block) throw std::bad_alloc();
    return static_cast<T*>(block);
  }
  void deallocate(T* block, size_t n) noexcept {
    const size_t bytes = n * sizeof(T);
    if (bytes >= kBigBlockBytes) {
      big_free(block, bytes);
    } else {
      spare_blocks::give(block, bytes);
    }
  }
  template <class U>
  bool operator==(const SpareBlockAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace vx
