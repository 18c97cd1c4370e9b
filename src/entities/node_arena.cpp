// node_arena.cpp: size-class chunks for Node blocks.
#include "entities/node_arena.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <exception>
#include <new>
#include <utility>

#include "storage/big_block.hpp"

#ifdef VX_ADDRESS_SANITIZER
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
  FreeBlock* given_back_last = nullptr;  // so that a lease hands back what it did not use at once
  char* unused = nullptr;  // blocks from here to `end` were never handed out
  char* end = nullptr;
  Chunk* prev = nullptr;  // links on the class's list of chunks with room, or of empty chunks
  Chunk* next = nullptr;
  uint32_t live = 0;
  uint32_t given_back_count = 0;
  // Pages from the chunk's start that earlier uses touched, which stay resident while it is
  // mapped whatever use it is put to next.
  uint32_t touched_pages = 0;
  uint8_t size_class = 0;
  bool listed = false;
  bool huge = false;  // asked for as huge pages, so resident in full once touched

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

// The chunk's header is at most 64 bytes: live and the counts need no more than 32 bits each,
// a chunk holding at most 2 MiB / 8 blocks.
static_assert(NodeArena::kChunkBytes / 8 < (size_t{1} << 32));

NodeArena::~NodeArena() {
  while (cached_) {
    Chunk* next = cached_->next;
    munmap(cached_, kChunkBytes);
    cached_ = next;
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
#ifdef VX_ADDRESS_SANITIZER
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
    // The chunk given up is full; it is listed again once enough of its blocks come back.
    if (cls.with_room) {
      chunk = cls.with_room;
      unlist(chunk);
    } else {
      // Ordinary pages for the first chunk of a class, huge ones once a chunk was filled.
      chunk = fresh_chunk(children, chunk != nullptr);
      if (!chunk) return nullptr;
    }
    cls.current = chunk;
  }
  void* block;
  if (chunk->given_back) {
    VX_UNPOISON(chunk->given_back, cls.block_bytes);
    block = chunk->given_back;
    chunk->given_back = chunk->given_back->next;
    if (!chunk->given_back) chunk->given_back_last = nullptr;
    --chunk->given_back_count;
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
  chunk->live -= static_cast<uint32_t>(count);
  static_cast<Chunk::FreeBlock*>(last)->next = chunk->given_back;
  if (!chunk->given_back) chunk->given_back_last = static_cast<Chunk::FreeBlock*>(last);
  chunk->given_back = static_cast<Chunk::FreeBlock*>(first);
  chunk->given_back_count += static_cast<uint32_t>(count);
  return settle_locked(chunk);
}

// After blocks came back to `chunk` or its lease ended: an emptied chunk goes back to the kept
// chunks as a whole (false), and one with room enough for a lease is listed. The class's current
// chunk stays where it is.
bool NodeArena::settle_locked(Chunk* chunk) {
  const SizeClass& cls = classes_[chunk->size_class];
  if (chunk == cls.current) return true;
  if (chunk->live == 0) {
    if (chunk->listed) unlist(chunk);
    release_chunk_locked(chunk);
    return false;
  }
  if (!chunk->listed && room_for_lease(chunk)) list_with_room(chunk);
  return true;
}

// A chunk is listed (and so leased again) only with a fair share of it free, so that a lease
// is not renewed once per block; a nearly full chunk waits for more of its blocks to come back.
bool NodeArena::room_for_lease(const Chunk* chunk) const {
  size_t free_bytes = size_t{chunk->given_back_count} * classes_[chunk->size_class].block_bytes +
                      static_cast<size_t>(chunk->end - chunk->unused);
  return free_bytes >= kChunkBytes / kLeaseRoomShare;
}

// Called with the lock held; maps a new chunk when none is kept.
NodeArena::Chunk* NodeArena::fresh_chunk(size_t size_class, bool huge) {
  void* memory;
  uint32_t touched_pages = 0;
  bool mapped_huge = huge;
  Chunk** link = best_cached_locked(size_class, huge);
  if (link) {
    Chunk* kept = *link;
    memory = kept;
    touched_pages = kept->touched_pages;
    mapped_huge = kept->huge;
    cached_bytes_ -= resident_bytes(kept);
    *link = kept->next;
    --cached_count_;
  } else {
    // Small trees keep to ordinary pages: a huge page would make the chunk resident in full,
    // 2 MiB for a handful of nodes.
    memory = map_aligned(kChunkBytes, huge);
    if (!memory) return nullptr;
    ++mapped_;
  }
  VX_UNPOISON(memory, Chunk::kHeaderBytes);
  Chunk* chunk = new (memory) Chunk;
  chunk->touched_pages = touched_pages;
  chunk->huge = mapped_huge;
  chunk->unused = chunk->first_block();
  chunk->end = reinterpret_cast<char*>(memory) + kChunkBytes;
  chunk->size_class = static_cast<uint8_t>(size_class);
  VX_POISON(chunk->unused, static_cast<size_t>(chunk->end - chunk->unused));
  return chunk;
}

// Past the bound the chunk is unmapped rather than advised free: pages the kernel may take back
// still count as the process's until it does, which on a machine with memory to spare is never.
// The kept chunk whose resident pages best fit the class: one it served last (a read of the same
// document again needs the same pages), else the one with the most pages. Taking the first one
// kept instead would have the next read of a mid-sized document fault in the pages that one
// class needs beyond what another class left. A large read, which will fill the chunk, takes
// only a huge one: a chunk of ordinary pages would fault in 4 KiB at a time. Null when none fits.
NodeArena::Chunk** NodeArena::best_cached_locked(size_t size_class, bool huge) {
  Chunk** best = nullptr;
  for (Chunk** link = &cached_; *link; link = &(*link)->next) {
    const Chunk* chunk = *link;
    if (huge) {
      if (chunk->huge) return link;
      continue;
    }
    if (chunk->size_class == size_class) return link;
    if (!best || resident_bytes(chunk) > resident_bytes(*best)) best = link;
  }
  return best;
}

size_t NodeArena::resident_bytes(const Chunk* chunk) {
  if (chunk->huge) return kChunkBytes;
  return size_t{chunk->touched_pages} * 4096;
}

void NodeArena::release_chunk_locked(Chunk* chunk) {
  VX_UNPOISON(chunk, kChunkBytes);
  size_t used = static_cast<size_t>(chunk->unused - reinterpret_cast<char*>(chunk));
  auto pages = static_cast<uint32_t>((used + 4095) / 4096);
  if (pages > chunk->touched_pages) chunk->touched_pages = pages;
  size_t resident = resident_bytes(chunk);
  // Chunks of ordinary pages are kept before huge ones: a read of a few hundred KB spreads over
  // many chunks of a few pages each, and one huge chunk kept would crowd them all out.
  if (!chunk->huge && cached_bytes_ + resident > kCachedBytes) unmap_cached_huge_locked(resident);
  if (cached_bytes_ + resident <= kCachedBytes && cached_count_ < kMaxCachedChunks) {
    chunk->next = cached_;
    cached_ = chunk;
    ++cached_count_;
    cached_bytes_ += resident;
    return;
  }
  --mapped_;
  munmap(chunk, kChunkBytes);
}

// Unmaps kept huge chunks until `wanted` bytes fit in the budget or none is left.
void NodeArena::unmap_cached_huge_locked(size_t wanted) {
  Chunk** link = &cached_;
  while (*link && cached_bytes_ + wanted > kCachedBytes) {
    Chunk* chunk = *link;
    if (!chunk->huge) {
      link = &chunk->next;
      continue;
    }
    *link = chunk->next;
    cached_bytes_ -= resident_bytes(chunk);
    --cached_count_;
    --mapped_;
    munmap(chunk, kChunkBytes);
  }
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

// While a chunk is leased, its free part belongs to the lease: the chunk shows no given-back
// blocks and no unused end (so a take under the lock, or another lease, can only use blocks given
// back since), and its live count holds every block the lease could still hand out plus one, so
// no give empties it before the lease ends.
bool NodeArena::renew(Lease& lease, size_t children) {
  std::lock_guard<std::mutex> hold(lock_);
  if (lease.chunk_) finish_lease_locked(lease);
  SizeClass& cls = classes_[children];
  Chunk* chunk = cls.with_room;
  if (chunk) {
    unlist(chunk);
  } else {
    chunk = fresh_chunk(children, lease.large_ || lease.filled_one_);
    if (!chunk) return false;
  }
  size_t block_bytes = cls.block_bytes;
  size_t bump = static_cast<size_t>(chunk->end - chunk->unused) / block_bytes;
  lease.chunk_ = chunk;
  lease.reused_ = chunk->given_back;
  lease.reused_last_ = chunk->given_back_last;
  lease.reused_count_ = chunk->given_back_count;
#ifdef VX_ADDRESS_SANITIZER
  for (auto* b = chunk->given_back; b; b = b->next) VX_UNPOISON(b, block_bytes);
#endif
  chunk->given_back = chunk->given_back_last = nullptr;
  chunk->given_back_count = 0;
  lease.bump_start_ = lease.unused_ = chunk->unused;
  lease.end_ = chunk->unused + bump * block_bytes;
  lease.block_bytes_ = block_bytes;
  lease.taken_ = 0;
  lease.capacity_ = lease.reused_count_ + bump;
  VX_UNPOISON(lease.unused_, static_cast<size_t>(lease.end_ - lease.unused_));
  chunk->unused = chunk->end;
  chunk->live += static_cast<uint32_t>(lease.capacity_ + 1);
  return true;
}

void NodeArena::end_lease(Lease& lease) {
  if (!lease.chunk_) return;
  std::lock_guard<std::mutex> hold(lock_);
  finish_lease_locked(lease);
}

void NodeArena::finish_lease_locked(Lease& lease) {
  Chunk* chunk = lease.chunk_;
  if (lease.taken_ == lease.capacity_ && lease.capacity_ * lease.block_bytes_ >= kChunkBytes / 2) {
    lease.filled_one_ = true;  // the read is large: its next chunks may as well be huge pages
  }
  // Another lease may hold the chunk's unused end; only the one that took it puts it back.
  if (lease.bump_start_ != chunk->end) {
    chunk->unused = lease.unused_;
    VX_POISON(chunk->unused, static_cast<size_t>(chunk->end - chunk->unused));
  }
  if (lease.reused_) {
    size_t left = lease.reused_count_ - (lease.taken_ < lease.reused_count_ ? lease.taken_
                                                                            : lease.reused_count_);
    auto* first = static_cast<Chunk::FreeBlock*>(lease.reused_);
    auto* last = static_cast<Chunk::FreeBlock*>(lease.reused_last_);
    last->next = chunk->given_back;
    if (!chunk->given_back) chunk->given_back_last = last;
    chunk->given_back = first;
    chunk->given_back_count += static_cast<uint32_t>(left);
#ifdef VX_ADDRESS_SANITIZER
    for (Chunk::FreeBlock* b = first;;) {
      Chunk::FreeBlock* next = b->next;
      VX_POISON(b, lease.block_bytes_);
      if (b == last) break;
      b = next;
    }
#endif
  }
  chunk->live -= static_cast<uint32_t>(lease.capacity_ - lease.taken_ + 1);
  lease.chunk_ = nullptr;
  lease.reused_ = lease.reused_last_ = nullptr;
  lease.unused_ = lease.end_ = lease.bump_start_ = nullptr;
  lease.capacity_ = lease.taken_ = 0;
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
