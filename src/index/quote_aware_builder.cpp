// quote_aware_builder.cpp: the index builder for attribute-dense input. It steers by bitmasks of
// '<', '>', '"' and '\'' rather than by re-reading bytes, so an attribute value costs a few bit
// operations whatever its length.
//
// PERF NOTES: only the masks of a small window of blocks are kept, recomputed as the cursor moves
// forward. Masks for the whole input would be a second buffer an eighth of its size per class, and
// fresh pages cost more to fault in than the classification itself.
#include <bit>

#include "index/block_classifier.hpp"
#include "index/builders.hpp"

namespace vx::index_detail {
namespace {

// Blocks classified per refill: enough to amortise the indirect call, few enough that a jump
// past a comment or a long text wastes little.
constexpr uint64_t kWindowBlocks = 4;

class QuoteAwareScanner {
 public:
  QuoteAwareScanner(std::string_view in, ClassifyBlocks classify)
      : p_(reinterpret_cast<const unsigned char*>(in.data())), n_(in.size()), classify_(classify) {}

  uint64_t find_lt(uint64_t from) {
    return next(from, [](const BlockMasks& m) { return m.lt; });
  }

  // The rule of the scalar builder, taken from the masks: the first '>' or quote from `i`; a
  // quote jumps to the next equal one. A '/' right before the '>' makes the tag empty-element: the
  // '/' cannot be the last byte of a name, nor a quote that closed a value.
  StartTagEnd start_tag_end(uint64_t i) {
    for (;;) {
      const uint64_t at = next(i, [](const BlockMasks& m) { return m.gt | m.dq | m.sq; });
      if (at == kNotFound) return {kNotFound, false};
      const unsigned char c = p_[at];
      if (c == '>') return {at, p_[at - 1] == '/'};
      const uint64_t close = c == '"' ? next(at + 1, [](const BlockMasks& m) { return m.dq; })
                                      : next(at + 1, [](const BlockMasks& m) { return m.sq; });
      i = close == kNotFound ? at + 1 : close + 1;
    }
  }

 private:
  // The first offset at or after `from` whose bit is set in pick(masks), or kNotFound.
  template <class Pick>
  uint64_t next(uint64_t from, Pick pick) {
    if (from >= n_) return kNotFound;
    if (from < base_ || from - base_ >= blocks_ * kBlockSize) [[unlikely]]
      refill(from & ~(kBlockSize - 1));
    uint64_t block = (from - base_) / kBlockSize;
    uint64_t bits = pick(masks_[block]) & (~uint64_t{0} << (from % kBlockSize));
    while (bits == 0) {
      if (++block == blocks_) {
        const uint64_t following = base_ + blocks_ * kBlockSize;
        if (following >= n_) return kNotFound;
        refill(following);
        block = 0;
      }
      bits = pick(masks_[block]);
    }
    return base_ + block * kBlockSize + static_cast<uint64_t>(std::countr_zero(bits));
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

}  // namespace

Status<IndexBuildError> fill_quote_aware(BuildState& st, StructuralIndex& out, size_t max_tags,
                                         ClassifyBlocks classify) {
  QuoteAwareScanner scan(st.input, classify);
  return fill(st, out, max_tags, scan);
}

Status<IndexBuildError> fill_quote_aware(BuildState& st, StructuralIndex& out, size_t max_tags) {
  return fill_quote_aware(st, out, max_tags, best_classifier());
}

}  // namespace vx::index_detail
