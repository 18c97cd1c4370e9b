// node_arena.cpp: size-class chunks for Node blocks.
#include "entities/node_arena.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <exception>
#include <new>
#include <utility>

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

// A chunk's header sits at its start; its blocks follow.
struct NodeArena::Chunk {
  struct FreeBlock {
    FreeBlock* next;
  };
  FreeBlock* given_back = nullptr;
  char* unused = nullptr;  // blocks from here to `end` were never handed out
  char* end = nullptr;
  size_t live = 0;
  size_t size_class = 0;
  Chunk* prev = nullptr;  // links on the class's list of chunks with room, or of empty chunks
  Chunk* next = nullptr;
  bool listed = false;

  static constexpr size_t kHeaderBytes = 64;

  static Chunk* of(void* block) {
    return reinterpret_cast<Chunk*>(reinterpret_cast<uintptr_t>(block) & ~(kChunkBytes - 1));
  }
  char* first_block() { return reinterpret_cast<char*>(this) + kHeaderBytes; }
  bool has_room(size_t block_bytes) const {
    return given_back || static_cast<size_t>(end - unused) >= block_bytes;
  }
};

NodeArena::NodeArena(BlockSize block_size) {
  static_assert(sizeof(Chunk) <= Chunk::kHeaderBytes);
  for (size_t k = 0; k < kClasses; ++k) classes_[k].block_bytes = block_size(k);
}

NodeArena::~NodeArena() {
  for (Chunk* list : {cached_, lazily_freed_}) {
    while (list) {
      Chunk* next = list->next;
      munmap(list, kChunkBytes);
      list = next;
    }
  }
}

void* NodeArena::take(size_t children) {
  std::lock_guard<std::mutex> hold(lock_);
  return take_locked(children);
}

void NodeArena::give(void* block, size_t children) {
  std::lock_guard<std::mutex> hold(lock_);
  give_locked(block, children);
}

void NodeArena::GiveBatch::add(void* block, size_t children) {
#ifdef VX_ARENA_ASAN
  arena_.give(block, children);  // one at a time, each poisoned as it goes
#else
  (void)children;
  Chunk* chunk = Chunk::of(block);
  size_t i = 0;
  while (i < used_ && pending_[i].chunk != chunk) ++i;
  if (i == used_) {
    if (used_ == kChunks) {
      flush();
      i = 0;
    }
    pending_[i] = {chunk, nullptr, block, 0};
    used_ = i + 1;
  } else if (i != 0) {
    std::swap(pending_[0], pending_[i]);  // the chunk met last is looked at first
    i = 0;
  }
  Pending& p = pending_[i];
  static_cast<Chunk::FreeBlock*>(block)->next = static_cast<Chunk::FreeBlock*>(p.first);
  p.first = block;
  ++p.count;
#endif
}

void NodeArena::GiveBatch::flush() {
  if (used_ == 0) return;
  std::lock_guard<std::mutex> hold(arena_.lock_);
  for (size_t i = 0; i < used_; ++i) {
    arena_.give_linked_locked(pending_[i].chunk, pending_[i].first, pending_[i].last,
                              pending_[i].count);
  }
  used_ = 0;
}

void* NodeArena::take_locked(size_t children) {
  SizeClass& cls = classes_[children];
  Chunk* chunk = cls.current;
  if (!chunk || !chunk->has_room(cls.block_bytes)) {
    // The chunk given up is full; the first block given back to it lists it again.
    if (cls.with_room) {
      chunk = cls.with_room;
      unlist(chunk);
    } else {
      chunk = fresh_chunk(children);
      if (!chunk) return nullptr;
    }
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

void NodeArena::give_locked(void* block, size_t children) {
  if (give_linked_locked(Chunk::of(block), block, block, 1)) {
    VX_POISON(block, classes_[children].block_bytes);
  }
}

// Puts `count` blocks of `chunk`, linked from `first` to `last`, on its list of given-back blocks;
// false when that emptied the chunk, which then went back to the kept chunks as a whole.
bool NodeArena::give_linked_locked(Chunk* chunk, void* first, void* last, size_t count) {
  chunk->live -= count;
  static_cast<Chunk::FreeBlock*>(last)->next = chunk->given_back;
  chunk->given_back = static_cast<Chunk::FreeBlock*>(first);
  return settle_locked(chunk);
}

// After blocks came back to `chunk` or its lease ended: an emptied chunk goes back to the kept
// chunks as a whole (false), and a full one that has room again is listed. The class's current
// chunk stays where it is.
bool NodeArena::settle_locked(Chunk* chunk) {
  const SizeClass& cls = classes_[chunk->size_class];
  if (chunk == cls.current) return true;
  if (chunk->live == 0) {
    if (chunk->listed) unlist(chunk);
    release_chunk_locked(chunk);
    return false;
  }
  if (!chunk->listed && chunk->has_room(cls.block_bytes)) list_with_room(chunk);
  return true;
}

// Called with the lock held; maps a new chunk when none is kept.
NodeArena::Chunk* NodeArena::fresh_chunk(size_t size_class) {
  void* memory;
  if (cached_) {
    memory = cached_;
    cached_ = cached_->next;
    --cached_count_;
  } else if (lazily_freed_) {
    memory = lazily_freed_;
    lazily_freed_ = lazily_freed_->next;
    --lazily_freed_count_;
  } else {
    // A process with small trees keeps to ordinary pages: a huge page would make every chunk
    // resident in full, 2 MiB for a handful of nodes.
    memory = map_aligned(kChunkBytes, mapped_ >= kSmallChunks);
    if (!memory) return nullptr;
    ++mapped_;
  }
  VX_UNPOISON(memory, Chunk::kHeaderBytes);
  Chunk* chunk = new (memory) Chunk;
  chunk->unused = chunk->first_block();
  chunk->end = reinterpret_cast<char*>(memory) + kChunkBytes;
  chunk->size_class = size_class;
  VX_POISON(chunk->unused, static_cast<size_t>(chunk->end - chunk->unused));
  return chunk;
}

void NodeArena::release_chunk_locked(Chunk* chunk) {
  VX_UNPOISON(chunk, kChunkBytes);
  if (cached_count_ < kMaxCachedChunks) {
    chunk->next = cached_;
    cached_ = chunk;
    ++cached_count_;
    return;
  }
#ifdef MADV_FREE
  // Past the bound the kernel may take the pages back whenever it needs memory; until it does,
  // the chunk serves again without a fault or a cleared page.
  if (lazily_freed_count_ < kMaxLazilyFreedChunks && madvise(chunk, kChunkBytes, MADV_FREE) == 0) {
    chunk->next = lazily_freed_;  // in the header's first page, written after the advice
    lazily_freed_ = chunk;
    ++lazily_freed_count_;
    return;
  }
#endif
  --mapped_;
  munmap(chunk, kChunkBytes);
}

size_t NodeArena::mapped_chunks() const {
  std::lock_guard<std::mutex> hold(lock_);
  return mapped_;
}

size_t NodeArena::cached_chunks() const {
  std::lock_guard<std::mutex> hold(lock_);
  return cached_count_;
}

NodeArena::Lease::~Lease() {
  if (chunk_) std::terminate();  // its chunk would be lost to the arena
}

// While a chunk is leased, its unused end belongs to the lease: the chunk shows none (so a take
// under the lock can only reuse blocks given back to it), and its live count holds every block
// the lease could still hand out plus one, so no give empties it before the lease ends.
bool NodeArena::renew(Lease& lease, size_t children) {
  std::lock_guard<std::mutex> hold(lock_);
  if (lease.chunk_) finish_lease_locked(lease);
  Chunk* chunk = fresh_chunk(children);
  if (!chunk) return false;
  size_t block_bytes = classes_[children].block_bytes;
  size_t capacity = static_cast<size_t>(chunk->end - chunk->unused) / block_bytes;
  lease.chunk_ = chunk;
  lease.unused_ = chunk->unused;
  lease.end_ = chunk->unused + capacity * block_bytes;
  lease.block_bytes_ = block_bytes;
  lease.taken_ = 0;
  lease.capacity_ = capacity;
  VX_UNPOISON(lease.unused_, static_cast<size_t>(lease.end_ - lease.unused_));
  chunk->unused = chunk->end;
  chunk->live += capacity + 1;
  return true;
}

void NodeArena::end_lease(Lease& lease) {
  if (!lease.chunk_) return;
  std::lock_guard<std::mutex> hold(lock_);
  finish_lease_locked(lease);
}

void NodeArena::finish_lease_locked(Lease& lease) {
  Chunk* chunk = lease.chunk_;
  chunk->unused = lease.unused_;
  chunk->live -= lease.capacity_ - lease.taken_ + 1;
  VX_POISON(chunk->unused, static_cast<size_t>(chunk->end - chunk->unused));
  lease.chunk_ = nullptr;
  lease.unused_ = lease.end_ = nullptr;
  settle_locked(chunk);
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
