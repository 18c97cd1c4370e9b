// node_arena.cpp: size-class chunks for Node blocks.
#include "entities/node_arena.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <exception>
#include <new>

#include "storage/big_block.hpp"

#ifdef VX_ARENA_ASAN
#include <sanitizer/asan_interface.h>
// Blocks not handed out are poisoned, so a use after release is still reported.
#define VX_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define VX_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define VX_POISON(p, n) ((void)(p), (void)(n))
#define VX_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace vx {

static_assert(NodeArena::kChunkBytes % 4096 == 0);

NodeArena::NodeArena(BlockSize block_size) {
  static_assert(sizeof(Chunk) <= Chunk::kHeaderBytes);
  for (size_t k = 0; k < kClasses; ++k) classes_[k].block_bytes = block_size(k);
}

NodeArena::~NodeArena() {
  while (cached_) {
    Chunk* next = cached_->next;
    munmap(cached_, kChunkBytes);
    cached_ = next;
  }
}

void* NodeArena::take_from_another_chunk(size_t children) {
  SizeClass& cls = classes_[children];
  Chunk* chunk = cls.current;
  if (!chunk || (!chunk->given_back && chunk->unused + cls.block_bytes > chunk->end)) {
    if (cls.with_room) {
      chunk = cls.with_room;
      unlist(chunk);
    } else {
      chunk = fresh_chunk(children);
      if (!chunk) return nullptr;
    }
    // The chunk given up is full; its first block given back lists it again.
    cls.current = chunk;
  }
  void* block;
  if (chunk->given_back) {
    VX_UNPOISON(chunk->given_back, cls.block_bytes);
    block = chunk->given_back;
    chunk->given_back = chunk->given_back->next;
  } else {
    block = chunk->unused;
    chunk->unused += cls.block_bytes;
    VX_UNPOISON(block, cls.block_bytes);
  }
  ++chunk->live;
  return block;
}

void NodeArena::give_checked(void* block, size_t children) {
  Chunk* chunk = Chunk::of(block);
  auto* freed = static_cast<Chunk::FreeBlock*>(block);
  freed->next = chunk->given_back;
  chunk->given_back = freed;
  VX_POISON(block, classes_[children].block_bytes);
  --chunk->live;
  if (chunk->listed ? chunk->live != 0 : chunk == classes_[children].current) return;
  settle_given_back(chunk);
}

// A block went back to a chunk that is not the current one: the chunk now has room, or holds no
// block at all any more.
void NodeArena::settle_given_back(Chunk* chunk) {
  if (chunk->live == 0) {
    if (chunk->listed) unlist(chunk);
    release_chunk(chunk);
  } else {
    list_with_room(chunk);
  }
}

NodeArena::Chunk* NodeArena::fresh_chunk(size_t size_class) {
  void* memory = nullptr;
  {
    std::lock_guard<std::mutex> hold(pool_lock_);
    if (cached_) {
      memory = cached_;
      cached_ = cached_->next;
      --cached_count_;
    } else {
      ++mapped_;  // taken back below if the mapping fails
    }
  }
  if (!memory) {
    // A process with small trees keeps to ordinary pages: a huge page would make every chunk
    // resident in full, 2 MiB for a handful of nodes.
    memory = map_aligned(kChunkBytes, mapped_chunks() > kSmallChunks);
    if (!memory) {
      std::lock_guard<std::mutex> hold(pool_lock_);
      --mapped_;
      return nullptr;
    }
  }
  VX_UNPOISON(memory, Chunk::kHeaderBytes);
  Chunk* chunk = new (memory) Chunk;
  chunk->unused = chunk->first_block();
  chunk->end = reinterpret_cast<char*>(memory) + kChunkBytes;
  chunk->size_class = size_class;
  VX_POISON(chunk->unused, static_cast<size_t>(chunk->end - chunk->unused));
  return chunk;
}

void NodeArena::release_chunk(Chunk* chunk) {
  {
    std::lock_guard<std::mutex> hold(pool_lock_);
    if (cached_count_ < kMaxCachedChunks) {
      VX_UNPOISON(chunk, kChunkBytes);
      chunk->next = cached_;
      cached_ = chunk;
      ++cached_count_;
      return;
    }
    --mapped_;
  }
  munmap(chunk, kChunkBytes);
}

size_t NodeArena::mapped_chunks() const {
  std::lock_guard<std::mutex> hold(pool_lock_);
  return mapped_;
}

size_t NodeArena::cached_chunks() const {
  std::lock_guard<std::mutex> hold(pool_lock_);
  return cached_count_;
}

NodeArena::Lease::~Lease() {
  if (chunk_) std::terminate();  // its chunk would be lost to the arena
}

bool NodeArena::renew(Lease& lease, size_t children) {
  if (Chunk* used_up = lease.chunk_) {
    // Full, so it joins no list; the first block given back to it lists it. Nothing else can
    // know the chunk before the nodes made from it are published, with the GIL.
    lease.chunk_ = nullptr;
    used_up->unused = lease.unused_;
    used_up->live += lease.taken_;
  }
  Chunk* chunk = fresh_chunk(children);
  if (!chunk) return false;
  lease.chunk_ = chunk;
  lease.unused_ = chunk->unused;
  lease.end_ = chunk->end;
  lease.block_bytes_ = classes_[children].block_bytes;
  lease.taken_ = 0;
  VX_UNPOISON(chunk->unused, static_cast<size_t>(chunk->end - chunk->unused));
  return true;
}

void NodeArena::end_lease(Lease& lease) {
  Chunk* chunk = lease.chunk_;
  if (!chunk) return;
  lease.chunk_ = nullptr;
  chunk->unused = lease.unused_;
  chunk->live += lease.taken_;
  VX_POISON(chunk->unused, static_cast<size_t>(chunk->end - chunk->unused));
  if (chunk->live == 0) {
    release_chunk(chunk);
  } else if (chunk->unused + lease.block_bytes_ <= chunk->end) {
    list_with_room(chunk);
  }
}

void NodeArena::list_with_room(Chunk* chunk) {
  SizeClass& cls = classes_[chunk->size_class];
  chunk->prev = nullptr;
  chunk->next = cls.with_room;
  if (cls.with_room) cls.with_room->prev = chunk;
  cls.with_room = chunk;
  chunk->listed = true;
}

void NodeArena::unlist(Chunk* chunk) {
  SizeClass& cls = classes_[chunk->size_class];
  if (chunk->prev) {
    chunk->prev->next = chunk->next;
  } else {
    cls.with_room = chunk->next;
  }
  if (chunk->next) chunk->next->prev = chunk->prev;
  chunk->prev = chunk->next = nullptr;
  chunk->listed = false;
}

}  // namespace vx
