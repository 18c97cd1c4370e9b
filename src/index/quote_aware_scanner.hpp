// quote_aware_scanner.hpp: the scanner of the index builder for attribute-dense input. It steers
// by bitmasks of '<', '>', '"' and '\'' rather than by re-reading bytes, so an attribute value
// costs a few bit operations whatever its length.
//
// PERF NOTES: only the masks of a small window of blocks are kept, recomputed as the cursor moves
// forward. Masks for the whole input would be a second buffer an eighth of its size per class, and
// fresh pages cost more to fault in than the classification itself.
#pragma once
#include <bit>
#include <cstring>

#include "index/block_classifier.hpp"
#include "index/builders.hpp"

namespace vx::index_detail {

// Blocks classified per refill: enough to amortise the indirect call, few enough that a jump
// past a comment or a long text wastes little.
constexpr uint64_t kWindowBlocks = 8;

// Bit i of the result is the XOR of bits 0..i of x: set from each odd set bit up to, not
// including, the following one.
inline uint64_t prefix_xor(uint64_t x) {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  x ^= x << 32;
  return x;
}

class QuoteAwareScanner {
 public:
  QuoteAwareScanner(std::string_view in, ClassifyBlocks classify)
      : p_(reinterpret_cast<const unsigned char*>(in.data())), n_(in.size()), classify_(classify) {}

  // From the masks for up to a window's span; beyond that the character data is long, and memchr
  // outruns classifying it. The next start tag then classifies a window where it lies.
  uint64_t find_lt(uint64_t from) {
    if (from >= n_) return kNotFound;
    uint64_t block = from & ~(kBlockSize - 1);
    const uint64_t limit = block + kWindowBlocks * kBlockSize;
    uint64_t bits = masks_at(block).lt & (~uint64_t{0} << (from % kBlockSize));
    while (bits == 0) {
      block += kBlockSize;
      if (block >= n_) return kNotFound;
      if (block >= limit) {
        const void* hit = std::memchr(p_ + block, '<', n_ - block);
        return hit ? static_cast<uint64_t>(static_cast<const unsigned char*>(hit) - p_) : kNotFound;
      }
      bits = masks_at(block).lt;
    }
    return block + static_cast<uint64_t>(std::countr_zero(bits));
  }

  // The rule of the scalar builder, taken from the masks of one block at a time: the first '>'
  // or quote from `i`; a quote jumps to the next equal one, or is passed over when none follows.
  //
  // Rather than jump quote by quote, a block is resolved a run at a time: from the first quote,
  // a prefix XOR of the quotes of that kind marks every byte inside its values at once, which is
  // exact up to the first quote of the other kind outside them; there the roles swap. A '/' right
  // before the '>' makes the tag empty-element: it cannot be the last byte of a name, nor a quote
  // that closed a value, so it was stepped over.
  StartTagEnd start_tag_end(uint64_t i) {
    uint64_t block = i & ~(kBlockSize - 1);
    uint64_t todo = ~uint64_t{0} << (i % kBlockSize);  // bits not yet passed in this block
    while (block < n_) {
      const BlockMasks& m = masks_at(block);
      const uint64_t gt = m.gt, dq = m.dq, sq = m.sq;
      uint64_t resume = kNotFound;  // set when a value's closing quote lies in a later block
      for (;;) {
        const uint64_t quotes = (dq | sq) & todo;
        const uint64_t first = quotes & (0 - quotes);
        const uint64_t same = ((dq & first) ? dq : sq) & todo;
        const uint64_t inside = prefix_xor(same);  // from each opening quote up to its partner
        const uint64_t stop = (gt | (quotes & ~same)) & todo & ~inside;
        if (stop != 0) {
          const uint64_t bit = stop & (0 - stop);
          if (gt & bit) {
            const uint64_t at = block + static_cast<uint64_t>(std::countr_zero(bit));
            return {at, p_[at - 1] == '/'};
          }
          todo &= 0 - bit;  // a quote of the other kind opens the next run
          continue;
        }
        if ((inside >> 63) == 0) break;  // every value closed inside the block
        // The last opening quote's partner lies beyond the block, or nowhere.
        const uint64_t opener = uint64_t{1} << (63 - std::countl_zero(same));
        resume = (same & dq) ? next(block + kBlockSize, [](const BlockMasks& b) { return b.dq; })
                             : next(block + kBlockSize, [](const BlockMasks& b) { return b.sq; });
        if (resume != kNotFound) break;
        todo &= 0 - (opener << 1);  // no partner anywhere: the quote is passed over
      }
      if (resume == kNotFound) {
        block += kBlockSize;
        todo = ~uint64_t{0};
      } else {
        block = resume & ~(kBlockSize - 1);
        todo = 0 - ((uint64_t{1} << (resume % kBlockSize)) << 1);
      }
    }
    return {kNotFound, false};
  }

 private:
  // The first offset at or after `from` whose bit is set in pick(masks), or kNotFound.
  template <class Pick>
  uint64_t next(uint64_t from, Pick pick) {
    if (from >= n_) return kNotFound;
    uint64_t block = from & ~(kBlockSize - 1);
    uint64_t bits = pick(masks_at(block)) & (~uint64_t{0} << (from % kBlockSize));
    while (bits == 0) {
      block += kBlockSize;
      if (block >= n_) return kNotFound;
      bits = pick(masks_at(block));
    }
    return block + static_cast<uint64_t>(std::countr_zero(bits));
  }

  // The masks of the block starting at `block`, classifying a new window when it lies outside.
  const BlockMasks& masks_at(uint64_t block) {
    if (block - base_ >= blocks_ * kBlockSize) [[unlikely]]
      refill(block);
    return masks_[(block - base_) / kBlockSize];
  }

  // Classifies the window starting at `start` (a block boundary before the end of the input).
  // Whole blocks are read in place; a last partial block is copied into a padded buffer first, so
  // nothing outside the input is ever read. The padding byte belongs to no class.
  void refill(uint64_t start) {
    base_ = start;
    const uint64_t left = n_ - start;
    const uint64_t whole = std::min(left / kBlockSize, kWindowBlocks);
    if (whole > 0) classify_(p_ + start, whole, masks_);
    blocks_ = whole;
    if (whole < kWindowBlocks && left % kBlockSize != 0) {
      unsigned char tail[kBlockSize];
      std::memset(tail, ' ', sizeof tail);
      std::memcpy(tail, p_ + start + whole * kBlockSize, left % kBlockSize);
      classify_(tail, 1, masks_ + whole);
      blocks_ = whole + 1;
    }
  }

  const unsigned char* p_;
  uint64_t n_;
  ClassifyBlocks classify_;
  uint64_t base_ = 0;
  uint64_t blocks_ = 0;  // classified blocks in the window; 0 until the first refill
  BlockMasks masks_[kWindowBlocks];
};

}  // namespace vx::index_detail
