// Node arena and big blocks: blocks are distinct and reused, chunks go back when emptied, leases
// and batched gives keep the accounting right.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "entities/node_arena.hpp"
#include "storage/big_block.hpp"
#include "storage/spare_blocks.hpp"

namespace vx {
namespace {

size_t test_block_size(size_t children) { return 56 + 8 * children; }

constexpr size_t kPerChunk = (NodeArena::kChunkBytes - 64) / 56;  // leaf blocks in one chunk
// Chunks kept once emptied, when every page of them was used.
constexpr size_t kKeptFull = NodeArena::kCachedBytes / NodeArena::kChunkBytes;

struct Taken {
  void* block;
  size_t children;
};

// Fills each block with a pattern of its own and checks that no other block overwrote it.
void stamp(const Taken& t) {
  std::memset(t.block, static_cast<int>(reinterpret_cast<uintptr_t>(t.block) >> 3),
              test_block_size(t.children));
}
bool stamp_intact(const Taken& t) {
  auto* bytes = static_cast<unsigned char*>(t.block);
  auto expect = static_cast<unsigned char>(reinterpret_cast<uintptr_t>(t.block) >> 3);
  for (size_t i = 0; i < test_block_size(t.children); ++i) {
    if (bytes[i] != expect) return false;
  }
  return true;
}

uintptr_t chunk_of(const void* block) {
  return reinterpret_cast<uintptr_t>(block) & ~(NodeArena::kChunkBytes - 1);
}

TEST(NodeArena, BlocksOfEveryClassAreDistinctAlignedAndKeepTheirBytes) {
  NodeArena arena(test_block_size);
  std::vector<Taken> taken;
  for (size_t i = 0; i < 3 * kPerChunk; ++i) {
    size_t children = i % NodeArena::kClasses;
    void* block = arena.take(children);
    ASSERT_NE(block, nullptr);
    ASSERT_EQ(reinterpret_cast<uintptr_t>(block) % 8, 0u);
    taken.push_back({block, children});
    stamp(taken.back());
  }
  std::set<void*> distinct;
  for (const Taken& t : taken) {
    distinct.insert(t.block);
    EXPECT_TRUE(stamp_intact(t));
  }
  EXPECT_EQ(distinct.size(), taken.size());
  for (const Taken& t : taken) arena.give(t.block, t.children);
}

TEST(NodeArena, EmptiedChunksPastTheBoundAreUnmapped) {
  NodeArena arena(test_block_size);
  for (int round = 0; round < 4; ++round) {
    std::vector<void*> tree;
    for (size_t i = 0; i < 5 * kPerChunk; ++i) tree.push_back(arena.take(0));
    for (void* block : tree) arena.give(block, 0);
  }
  // What a dropped tree leaves mapped: the kept chunks and the class's current one.
  EXPECT_EQ(arena.cached_chunks(), kKeptFull);
  EXPECT_LE(arena.mapped_chunks(), kKeptFull + 1);
}

TEST(NodeArena, BlocksGivenBackToFullChunksAreTakenAgain) {
  NodeArena arena(test_block_size);
  const size_t per_chunk = (NodeArena::kChunkBytes - 64) / test_block_size(1);
  std::vector<void*> full;
  for (size_t i = 0; i < 3 * per_chunk; ++i) full.push_back(arena.take(1));
  // Every other block comes back; no chunk has unused space left, so the next takes must be
  // exactly those blocks, from the chunks they went back to.
  std::set<void*> returned;
  for (size_t i = 0; i < full.size(); i += 2) {
    arena.give(full[i], 1);
    returned.insert(full[i]);
  }
  size_t mapped = arena.mapped_chunks();
  std::vector<void*> again;
  size_t reused = 0;
  for (size_t i = 0; i < returned.size(); ++i) {
    again.push_back(arena.take(1));
    reused += returned.count(again.back());
  }
  EXPECT_EQ(reused, returned.size());
  EXPECT_EQ(arena.mapped_chunks(), mapped);
  for (size_t i = 1; i < full.size(); i += 2) arena.give(full[i], 1);
  for (void* block : again) arena.give(block, 1);
}

TEST(NodeArena, LeasedBlocksCountOnceTheLeaseEnds) {
  NodeArena arena(test_block_size);
  NodeArena::Lease lease;
  EXPECT_EQ(lease.take(), nullptr);  // not held yet
  std::vector<void*> blocks;
  for (size_t i = 0; i < 2 * kPerChunk + 10; ++i) {
    void* block = lease.take();
    if (!block) {
      ASSERT_TRUE(arena.renew(lease, 0));
      block = lease.take();
    }
    ASSERT_NE(block, nullptr);
    blocks.push_back(block);
  }
  arena.end_lease(lease);
  EXPECT_EQ(lease.take(), nullptr);
  size_t kept_before = arena.cached_chunks();
  // Given back through batches, spread over more chunks than a batch holds at once.
  {
    NodeArena::GiveBatch batch(arena);
    for (void* block : blocks) batch.add(block, 0);
  }
  EXPECT_EQ(kept_before, 0u);
  EXPECT_EQ(arena.cached_chunks(), kKeptFull);
  EXPECT_EQ(arena.mapped_chunks(), kKeptFull);
  // A take serves from the kept chunk rather than mapping another.
  size_t mapped = arena.mapped_chunks();
  void* again = arena.take(0);
  EXPECT_EQ(arena.mapped_chunks(), mapped);
  arena.give(again, 0);
}

TEST(NodeArena, LeasedBlocksMayGoBackWhileTheLeaseIsHeld) {
  NodeArena arena(test_block_size);
  NodeArena::Lease lease;
  ASSERT_TRUE(arena.renew(lease, 2));
  // Enough blocks come back for the chunk to be listed as having room.
  const size_t early_count = 2 * NodeArena::kChunkBytes / NodeArena::kLeaseRoomShare / test_block_size(2);
  std::vector<void*> early;
  for (size_t i = 0; i < early_count; ++i) early.push_back(lease.take());
  for (void* block : early) arena.give(block, 2);  // the chunk must not go while leased
  std::vector<Taken> later;
  for (int i = 0; i < 100; ++i) {
    later.push_back({lease.take(), 2});
    ASSERT_NE(later.back().block, nullptr);
    stamp(later.back());
  }
  // Taken under the lock meanwhile: only the blocks given back, never the lease's unused end.
  std::vector<Taken> locked;
  for (int i = 0; i < 100; ++i) {
    locked.push_back({arena.take(2), 2});
    stamp(locked.back());
  }
  for (const Taken& t : later) EXPECT_TRUE(stamp_intact(t));
  EXPECT_EQ(arena.mapped_chunks(), 1u);
  arena.end_lease(lease);
  for (const Taken& t : later) arena.give(t.block, 2);
  for (const Taken& t : locked) arena.give(t.block, 2);
  // The chunk went on serving takes under the lock; emptied, it stays their current chunk.
  void* again = arena.take(2);
  EXPECT_EQ(chunk_of(again), chunk_of(later[0].block));
  EXPECT_EQ(arena.mapped_chunks(), 1u);
  arena.give(again, 2);
}

TEST(NodeArena, BatchedGivesFromInterleavedChunksSettleEveryChunk) {
  NodeArena arena(test_block_size);
  std::vector<Taken> taken;
  for (size_t i = 0; i < 20 * kPerChunk / NodeArena::kClasses; ++i) {
    for (size_t c = 0; c < NodeArena::kClasses; ++c) taken.push_back({arena.take(c), c});
  }
  size_t mapped = arena.mapped_chunks();
  {
    NodeArena::GiveBatch batch(arena);
    for (size_t i = 0; i < taken.size(); i += 3) batch.add(taken[i].block, taken[i].children);
    for (size_t i = 1; i < taken.size(); i += 3) batch.add(taken[i].block, taken[i].children);
    for (size_t i = 2; i < taken.size(); i += 3) batch.add(taken[i].block, taken[i].children);
  }
  // Every chunk but the current one of each class is empty again: kept or unmapped.
  EXPECT_GT(mapped, 3 * NodeArena::kClasses);
  EXPECT_LE(arena.mapped_chunks(), kKeptFull + NodeArena::kClasses);
}

TEST(NodeArena, EachReadsLeaseContinuesTheChunkAnEarlierReadLeftKeptBlocksIn) {
  NodeArena arena(test_block_size);
  std::vector<Taken> kept;
  // A thousand small reads, each keeping its few blocks: one chunk holds them all.
  for (int read = 0; read < 1000; ++read) {
    NodeArena::Lease lease;
    lease.begin_read(false);
    for (int i = 0; i < 3; ++i) {
      kept.push_back({arena.take(lease, 1), 1});
      ASSERT_NE(kept.back().block, nullptr);
      stamp(kept.back());
    }
    arena.end_lease(lease);
  }
  EXPECT_EQ(arena.mapped_chunks(), 1u);
  std::set<void*> distinct;
  for (const Taken& t : kept) {
    EXPECT_TRUE(stamp_intact(t));
    distinct.insert(t.block);
  }
  EXPECT_EQ(distinct.size(), kept.size());
  for (const Taken& t : kept) arena.give(t.block, t.children);
  EXPECT_EQ(arena.mapped_chunks(), kKeptFull);
}

TEST(NodeArena, ALeaseTakesTheBlocksGivenBackBeforeTheUnusedEnd) {
  NodeArena arena(test_block_size);
  const size_t room = NodeArena::kChunkBytes / NodeArena::kLeaseRoomShare / test_block_size(0);
  NodeArena::Lease first;
  std::vector<void*> blocks;
  for (size_t i = 0; i < 4 * room; ++i) blocks.push_back(arena.take(first, 0));
  arena.end_lease(first);
  // A kept tree with holes: every other block comes back.
  std::set<void*> returned;
  for (size_t i = 0; i < blocks.size(); i += 2) {
    arena.give(blocks[i], 0);
    returned.insert(blocks[i]);
  }
  NodeArena::Lease second;
  std::vector<Taken> again;
  for (size_t i = 0; i < returned.size(); ++i) {
    again.push_back({arena.take(second, 0), 0});
    EXPECT_EQ(returned.count(again.back().block), 1u);
    stamp(again.back());
  }
  // Then the never used end of the same chunk.
  again.push_back({arena.take(second, 0), 0});
  stamp(again.back());
  EXPECT_EQ(chunk_of(again.back().block), chunk_of(blocks[0]));
  EXPECT_GT(again.back().block, blocks.back());
  arena.end_lease(second);
  EXPECT_EQ(arena.mapped_chunks(), 1u);
  for (const Taken& t : again) EXPECT_TRUE(stamp_intact(t));
  for (size_t i = 1; i < blocks.size(); i += 2) arena.give(blocks[i], 0);
  for (const Taken& t : again) arena.give(t.block, 0);
  EXPECT_EQ(arena.cached_chunks(), 1u);  // emptied: the blocks were all counted back
}

TEST(NodeArena, TwoLeasesOfOneChunkEndingInEitherOrderLoseNoBlock) {
  for (bool older_ends_first : {true, false}) {
    NodeArena arena(test_block_size);
    const size_t room = NodeArena::kChunkBytes / NodeArena::kLeaseRoomShare / test_block_size(0);
    NodeArena::Lease older;
    std::vector<Taken> taken;
    for (size_t i = 0; i < 2 * room; ++i) taken.push_back({arena.take(older, 0), 0});
    // Given back while the older lease still holds the chunk's unused end.
    for (const Taken& t : taken) arena.give(t.block, 0);
    taken.clear();
    NodeArena::Lease newer;
    for (size_t i = 0; i < room; ++i) {
      taken.push_back({arena.take(newer, 0), 0});
      taken.push_back({arena.take(older, 0), 0});
    }
    EXPECT_EQ(arena.mapped_chunks(), 1u);
    for (const Taken& t : taken) stamp(t);
    if (older_ends_first) {
      arena.end_lease(older);
      arena.end_lease(newer);
    } else {
      arena.end_lease(newer);
      arena.end_lease(older);
    }
    std::set<void*> distinct;
    for (const Taken& t : taken) {
      EXPECT_TRUE(stamp_intact(t));
      distinct.insert(t.block);
    }
    EXPECT_EQ(distinct.size(), taken.size());
    for (const Taken& t : taken) arena.give(t.block, 0);
    // Every block of the chunk is to be had again, the unused end included, before a second
    // chunk is mapped.
    std::vector<void*> all;
    while (arena.mapped_chunks() == 1) all.push_back(arena.take(0));
    EXPECT_EQ(all.size() - 1, kPerChunk);
    for (void* block : all) arena.give(block, 0);
  }
}

TEST(NodeArena, ThreadsTakingLeasesAndGivingBatchesKeepBlocksApart) {
  NodeArena arena(test_block_size);
  auto work = [&arena](size_t children) {
    for (int round = 0; round < 3; ++round) {
      NodeArena::Lease lease;
      std::vector<Taken> taken;
      for (size_t i = 0; i < 3 * kPerChunk; ++i) {
        void* block = lease.take();
        if (!block && arena.renew(lease, children)) block = lease.take();
        ASSERT_NE(block, nullptr);
        taken.push_back({block, children});
        stamp(taken.back());
      }
      arena.end_lease(lease);
      NodeArena::GiveBatch batch(arena);
      for (const Taken& t : taken) {
        ASSERT_TRUE(stamp_intact(t));
        batch.add(t.block, t.children);
      }
    }
  };
  std::thread a(work, 0), b(work, 0), c(work, 3);
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(arena.cached_chunks(), arena.mapped_chunks());
}

TEST(BigBlock, SizesAroundTheThresholdKeepTheirBytesThroughReallocation) {
  for (size_t bytes : {size_t{1}, kBigBlockBytes - 1, kBigBlockBytes, 3 * kBigBlockBytes + 5}) {
    auto* block = static_cast<unsigned char*>(big_alloc(bytes));
    ASSERT_NE(block, nullptr);
    for (size_t i = 0; i < bytes; i += 4093) block[i] = static_cast<unsigned char>(i * 7);
    block[bytes - 1] = 0xA5;
    size_t grown = bytes * 2 + kBigBlockBytes;
    auto* moved = static_cast<unsigned char*>(big_realloc(block, bytes, grown));
    ASSERT_NE(moved, nullptr);
    for (size_t i = 0; i + 1 < bytes; i += 4093)
      ASSERT_EQ(moved[i], static_cast<unsigned char>(i * 7));
    EXPECT_EQ(moved[bytes - 1], 0xA5);
    moved[grown - 1] = 1;
    big_free(moved, grown);
  }
}

TEST(BigBlock, AFreedBlockServesTheNextOfASimilarSize) {
  const size_t bytes = 13 * kBigBlockBytes;  // larger than anything else these tests keep
  void* first = big_alloc(bytes);
  ASSERT_NE(first, nullptr);
  big_free(first, bytes);
  void* second = big_alloc(bytes - 4096);
  ASSERT_NE(second, nullptr);
#ifndef VX_ADDRESS_SANITIZER
  EXPECT_EQ(second, first);
#endif
  big_free(second, bytes - 4096);
}

#ifndef VX_ADDRESS_SANITIZER
// A block comes back only for its exact size, and a thread keeps as many as fit in the bound.
TEST(SpareBlocks, AThreadKeepsBlocksOfEachSizeUpToTheBound) {
  std::thread([] {
    constexpr size_t kSize = 48 * 1024;
    void* a = spare_blocks::take(kSize);
    void* b = spare_blocks::take(kSize + 64);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    spare_blocks::give(a, kSize);
    spare_blocks::give(b, kSize + 64);
    ASSERT_EQ(spare_blocks::take(kSize + 64), b);
    ASSERT_EQ(spare_blocks::take(kSize), a);
    spare_blocks::give(b, kSize + 64);

    // Past the bound blocks are freed: their addresses may come back from malloc later, so only
    // the first `fits` takes are checked.
    const size_t fits = std::min<size_t>((spare_blocks::kMaxBytes - kSize - 64) / kSize, 64);
    std::vector<void*> blocks{a};
    while (blocks.size() < fits + 8) blocks.push_back(spare_blocks::take(kSize));
    for (void* block : blocks) spare_blocks::give(block, kSize);
    std::set<void*> given(blocks.begin(), blocks.end());
    std::vector<void*> again;
    for (size_t i = 0; i < fits; ++i) again.push_back(spare_blocks::take(kSize));
    for (void* block : again) EXPECT_EQ(given.count(block), 1u);
    for (void* block : again) spare_blocks::give(block, kSize);
  }).join();
}
#endif

}  // namespace
}  // namespace vx
