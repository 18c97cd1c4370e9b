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
// chunk whose blocks are all given back is kept for the next tree, up to a bound; past it, up to
// a second bound, it is kept too but the kernel may take back its pages (MADV_FREE), and past
// that it is unmapped. Blocks are handed out from the chunk's unused end in address order, so a
// tree built into fresh chunks lies in memory in the order it is built and walked.
//
// Thread-safe: one lock guards the arena, taken once per call, once per GiveBatch of blocks and
// once per chunk leased. A lease lets one thread take blocks with no lock at all.
class NodeArena {
 public:
  static constexpr size_t kClasses = 8;  // child counts 0..7
  static constexpr size_t kChunkBytes = size_t{2} << 20;
  static constexpr size_t kMaxCachedChunks = 256;       // empty chunks kept: 512 MiB
  static constexpr size_t kMaxLazilyFreedChunks = 256;  // then left to the kernel: 512 MiB
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
  void* take(size_t children);
  // Gives back a block that this arena handed out for `children` children.
  void give(void* block, size_t children);

  // Blocks given back in groups: a release links them per chunk without the lock, then settles
  // each chunk under one lock per group, so two threads releasing trees at once seldom wait for
  // each other. Flushed when it meets more chunks than it has room for, and when destroyed.
  class GiveBatch {
   public:
    explicit GiveBatch(NodeArena& arena) : arena_(arena) {}
    ~GiveBatch() { flush(); }
    GiveBatch(const GiveBatch&) = delete;
    GiveBatch& operator=(const GiveBatch&) = delete;
    void add(void* block, size_t children);
    void flush();

   private:
    static constexpr size_t kChunks = 8;
    struct Pending {
      Chunk* chunk;
      void* first;  // blocks linked through their first word, newest first
      void* last;
      size_t count;
    };
    NodeArena& arena_;
    size_t used_ = 0;
    Pending pending_[kChunks];
  };

  // A fresh chunk handed to one thread, which takes blocks from its unused end without any lock.
  // A reader builds a tree's nodes that way while other threads run. Blocks taken from a lease
  // may be given back at any time, like any other.
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

   private:
    friend class NodeArena;
    Chunk* chunk_ = nullptr;
    char* unused_ = nullptr;
    char* end_ = nullptr;
    size_t block_bytes_ = 1;  // so that a lease not held has no room
    size_t taken_ = 0;
    size_t capacity_ = 0;
  };

  // Gives `lease` a fresh chunk of class `children`, ending the one it held. False when there is
  // no memory (the lease is then not held).
  bool renew(Lease& lease, size_t children);
  // A block from `lease`, renewed with a fresh chunk when it is used up; null when no memory.
  void* take(Lease& lease, size_t children) {
    void* block = lease.take();
    if (!block && renew(lease, children)) block = lease.take();
    return block;
  }
  // Hands the lease's chunk back: the blocks taken count as handed out, the rest as room.
  void end_lease(Lease& lease);

  // Figures for tests and diagnostics.
  size_t mapped_chunks() const;
  size_t cached_chunks() const;

 private:
  struct SizeClass {
    size_t block_bytes = 0;
    Chunk* current = nullptr;    // where blocks are taken from
    Chunk* with_room = nullptr;  // other chunks holding given-back or unused blocks
  };

  void* take_locked(size_t children);
  void finish_lease_locked(Lease& lease);
  void give_locked(void* block, size_t children);
  bool give_linked_locked(Chunk* chunk, void* first, void* last, size_t count);
  bool settle_locked(Chunk* chunk);
  Chunk* fresh_chunk(size_t size_class);
  void release_chunk_locked(Chunk* chunk);
  void list_with_room(Chunk* chunk);
  void unlist(Chunk* chunk);

  mutable std::mutex lock_;
  SizeClass classes_[kClasses];
  Chunk* cached_ = nullptr;
  size_t cached_count_ = 0;
  Chunk* lazily_freed_ = nullptr;
  size_t lazily_freed_count_ = 0;
  size_t mapped_ = 0;
};

}  // namespace vx
