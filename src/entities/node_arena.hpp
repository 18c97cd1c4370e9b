// node_arena.hpp: memory for Node objects with few children, carved from 2 MiB chunks.
#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>

#if defined(__SANITIZE_ADDRESS__)
#define VX_ARENA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VX_ARENA_ASAN 1
#endif
#endif

namespace vx {

// Blocks of one size class (a child count below kClasses) come from chunks of 2 MiB that hold
// blocks of that class only. Once the process has more than a few chunks, a chunk is asked for as
// one transparent huge page where the kernel allows it, so building a large tree takes one page
// fault per 2 MiB instead of one per 4 KiB, which on virtual machines costs microseconds each. A
// chunk whose blocks are all given back is kept for the next tree, up to a bound, and unmapped
// beyond it. Blocks are handed out from the chunk's unused end in address order, so a tree built
// into fresh chunks lies in memory in the order it is built and walked.
//
// take, give and end_lease must be called with the GIL held (they touch the chunks in use);
// taking a lease and taking blocks from it need no GIL. Empty chunks are kept under a lock of
// their own.
class NodeArena {
 public:
  static constexpr size_t kClasses = 8;  // child counts 0..7
  static constexpr size_t kChunkBytes = size_t{2} << 20;
  static constexpr size_t kMaxCachedChunks = 128;  // empty chunks kept: 256 MiB
  static constexpr size_t kSmallChunks = 8;  // chunks mapped before huge pages are asked for

  // `block_size(children)` must be a multiple of 8 and fit a chunk many times over.
  using BlockSize = size_t (*)(size_t children);
  explicit NodeArena(BlockSize block_size);
  ~NodeArena();
  NodeArena(const NodeArena&) = delete;
  NodeArena& operator=(const NodeArena&) = delete;

  static bool serves(size_t children) { return children < kClasses; }

  struct Chunk;

  // A block for a node of `children` children (< kClasses); null when no memory is left.
  inline void* take(size_t children);
  // Gives back a block that `take(children)` returned.
  inline void give(void* block, size_t children);

  // A fresh chunk handed to one thread, which takes blocks from it without the GIL and without
  // a lock: nothing else touches the chunk until the lease ends. A reader builds a tree's nodes
  // that way while other threads run Python code.
  class Lease {
   public:
    Lease() = default;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease();  // a lease must have been ended
    // A block of the lease's class; null when the lease is used up (or was never taken).
    void* take() noexcept {
      if (static_cast<size_t>(end_ - unused_) < block_bytes_) return nullptr;
      void* block = unused_;
      unused_ += block_bytes_;
      ++taken_;
      return block;
    }
    bool held() const { return chunk_ != nullptr; }

   private:
    friend class NodeArena;
    Chunk* chunk_ = nullptr;
    char* unused_ = nullptr;
    char* end_ = nullptr;
    size_t block_bytes_ = 1;  // so that a lease not held has no room
    size_t taken_ = 0;
  };

  // Gives `lease` a fresh chunk of class `children`, for a lease that is not held or is used up
  // (take returned null). False when there is no memory (the lease is then not held). Any
  // thread, GIL or not.
  bool renew(Lease& lease, size_t children);
  // Hands the lease's chunk back to the arena: its blocks taken count as taken, the rest as room.
  // GIL held.
  void end_lease(Lease& lease);

  // Figures for tests and diagnostics.
  size_t mapped_chunks() const;
  size_t cached_chunks() const;

 private:
  struct SizeClass {
    size_t block_bytes = 0;
    Chunk* current = nullptr;  // where blocks are taken from
    Chunk* with_room = nullptr;  // other chunks holding given-back blocks
  };

  void* take_from_another_chunk(size_t children);
  void settle_given_back(Chunk* chunk);
  void give_checked(void* block, size_t children);
  Chunk* fresh_chunk(size_t size_class);
  void release_chunk(Chunk* chunk);
  void list_with_room(Chunk* chunk);
  void unlist(Chunk* chunk);

  SizeClass classes_[kClasses];
  mutable std::mutex pool_lock_;  // guards the three below
  Chunk* cached_ = nullptr;
  size_t cached_count_ = 0;
  size_t mapped_ = 0;
};

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
  Chunk* prev = nullptr;  // links on the class's list of chunks with room
  Chunk* next = nullptr;
  bool listed = false;

  static constexpr size_t kHeaderBytes = 64;

  static Chunk* of(void* block) {
    return reinterpret_cast<Chunk*>(reinterpret_cast<uintptr_t>(block) & ~(kChunkBytes - 1));
  }
  char* first_block() { return reinterpret_cast<char*>(this) + kHeaderBytes; }
};

// The common cases inline: the current chunk has a block to hand out, and a block goes back to a
// chunk that stays in use. Builds with the address sanitizer take the checked paths.
inline void* NodeArena::take(size_t children) {
#ifndef VX_ARENA_ASAN
  SizeClass& cls = classes_[children];
  if (Chunk* chunk = cls.current) {
    if (Chunk::FreeBlock* block = chunk->given_back) {
      chunk->given_back = block->next;
      ++chunk->live;
      return block;
    }
    if (chunk->unused + cls.block_bytes <= chunk->end) {
      void* block = chunk->unused;
      chunk->unused += cls.block_bytes;
      ++chunk->live;
      return block;
    }
  }
#endif
  return take_from_another_chunk(children);
}

inline void NodeArena::give(void* block, size_t children) {
#ifndef VX_ARENA_ASAN
  Chunk* chunk = Chunk::of(block);
  auto* freed = static_cast<Chunk::FreeBlock*>(block);
  freed->next = chunk->given_back;
  chunk->given_back = freed;
  --chunk->live;
  if (chunk->listed ? chunk->live != 0 : chunk == classes_[children].current) return;
  settle_given_back(chunk);
#else
  give_checked(block, children);
#endif
}

}  // namespace vx
