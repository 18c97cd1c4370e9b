// spare_blocks.hpp: scratch blocks kept by each thread from one call to the next.
#pragma once
#include <cstddef>

#include "storage/big_block.hpp"

namespace vx {

// malloc serves blocks below kBigBlockBytes from the top of its heap, and when a call frees its
// scratch storage at the end, that top goes back to the kernel: the next call faults the same
// pages in again, one fault per 4 KiB. A thread keeps up to kMaxBytes of such blocks instead.
// What is kept counts as the process's memory while the thread lives. Blocks of kBigBlockBytes
// or more are big blocks, whose mappings big_alloc keeps.
namespace spare_blocks {

inline constexpr size_t kMaxBytes = size_t{4} << 20;

// A block of `bytes`: a kept one of exactly that size, else a new one; null when there is no
// memory.
void* take(size_t bytes) noexcept;
// Takes back a block of take(bytes).
void give(void* block, size_t bytes) noexcept;

}  // namespace spare_blocks

// For scratch containers of a call, such as a table that grows during it.
template <class T>
using SpareBlockAllocator = BlockAllocator<T, spare_blocks::take, spare_blocks::give>;

}  // namespace vx
