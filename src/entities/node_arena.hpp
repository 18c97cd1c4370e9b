// node_arena.hpp: memory for Node objects with few children, carved from 2 MiB chunks.
#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "sanitizers.hpp"

namespace vx {

// Blocks of one size class (a child count below kClasses) come from chunks of 2 MiB that hold
// blocks of that class only. A chunk's memory is only resident where blocks were handed out, so
// a small tree costs the pages it lies on, not its chunk; the trees of later reads fill the rest
// of a chunk that still holds kept nodes before any other chunk is mapped. Only a read that has
// filled a whole chunk of a class (or is told it will) asks for transparent huge pages for the
// next, so building a large tree takes one page fault per 2 MiB instead of one per 4 KiB, which
// on virtual machines costs microseconds each, while small reads never pin a 2 MiB page.
//
// Emptied chunks are kept for the next tree while the pages they hold come to no more than
// kCachedBytes, and unmapped past it: a process that drops its trees gets its memory back
// without asking, at the price of faulting pages in again when it next builds a tree larger
// than what is kept. Chunks of small reads hold few pages, so the many of a read of a few
// hundred KB are all kept for the next such read.
//
// Thread-safe: one lock guards the arena, taken once per call, once per GiveBatch of blocks and
// once per chunk leased. A lease lets one thread take blocks with no lock at all.
class NodeArena {
 public:
  static constexpr size_t kClasses = 8;  // child counts 0..7
  static constexpr size_t kChunkBytes = size_t{2} << 20;
  static constexpr size_t kCachedBytes = size_t{3} << 20;  // pages of empty chunks kept
  static constexpr size_t kMaxCachedChunks = 64;
  // A lease only takes a chunk with at least 1/kLeaseRoomShare of it free, so a read does not
  // renew its lease once per block among nearly full chunks; the rest is left to single takes.
  static constexpr size_t kLeaseRoomShare = 32;
  // Documents from this size on are read into huge pages from their first chunk on; smaller
  // ones once a class has filled a chunk, so that its rarer classes keep to ordinary pages.
  static constexpr size_t kLargeReadBytes = size_t{8} << 20;

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

  // The free part of a chunk handed to one thread, which takes blocks from it without any lock:
  // first the blocks given back to the chunk before the lease, then its never used end. A reader
  // builds a tree's nodes that way while other threads run. Blocks taken from a lease may be
  // given back at any time, like any other.
  class Lease {
   public:
    Lease() = default;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease();  // a lease must have been ended
    // A block of the lease's class; null when the lease is used up (or was never taken).
    void* take() noexcept {
      if (reused_) {
        void* block = reused_;
        reused_ = *static_cast<void**>(block);
        ++taken_;
        return block;
      }
      if (static_cast<size_t>(end_ - unused_) < block_bytes_) return nullptr;
      void* block = unused_;
      unused_ += block_bytes_;
      ++taken_;
      return block;
    }
    // Starts the lease's use by one read. A read known to be large asks for huge pages from its
    // first mapped chunk on; any other once it has used up a whole chunk.
    void begin_read(bool large) noexcept {
      large_ = large;
      filled_one_ = false;
    }

   private:
    friend class NodeArena;
    Chunk* chunk_ = nullptr;
    void* reused_ = nullptr;       // blocks given back before the lease, linked by first word
    void* reused_last_ = nullptr;  // the last of them as taken over
    size_t reused_count_ = 0;      // how many were taken over
    char* bump_start_ = nullptr;   // the chunk's unused end as taken over
    char* unused_ = nullptr;
    char* end_ = nullptr;
    size_t block_bytes_ = 1;  // so that a lease not held has no room
    size_t taken_ = 0;
    size_t capacity_ = 0;
    bool large_ = false;
    bool filled_one_ = false;  // a chunk was used up by this lease
  };

  // Gives `lease` the free part of a chunk of class `children` (one with kept blocks and room
  // first, then an empty one), ending the one it held. False when there is no memory (the lease
  // is then not held).
  bool renew(Lease& lease, size_t children);
  // A block from `lease`, renewed when it is used up; null when no memory.
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
  static size_t resident_bytes(const Chunk* chunk);
  void unmap_cached_huge_locked(size_t wanted);
  Chunk** best_cached_locked(size_t size_class, bool huge);
  bool room_for_lease(const Chunk* chunk) const;
  Chunk* fresh_chunk(size_t size_class, bool huge);
  void release_chunk_locked(Chunk* chunk);
  void list_with_room(Chunk* chunk);
  void unlist(Chunk* chunk);

  mutable std::mutex lock_;
  SizeClass classes_[kClasses];
  Chunk* cached_ = nullptr;
  size_t cached_count_ = 0;
  size_t cached_bytes_ = 0;
  size_t mapped_ = 0;
};

}  // namespace vx
