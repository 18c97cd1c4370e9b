// piece_log.hpp: the input pieces a decoding stage keeps so that the walk's error offsets, counted
// in the UTF-8 it made, can be moved back to the input; each only while the walk may still report
// an offset inside its text.
#pragma once
#include <algorithm>
#include <cstdint>
#include <deque>
#include <utility>

namespace vx {

// `Piece` has `utf8_at`, where its text starts in the UTF-8; pieces are added in that order.
template <class Piece>
class PieceLog {
 public:
  using const_iterator = typename std::deque<Piece>::const_iterator;

  void add(Piece piece) { pieces_.push_back(std::move(piece)); }

  // Forgets the pieces whose text lies wholly before `held_from`, the first byte the walk holds:
  // the walk reports no offset before it.
  void forget_before(uint64_t held_from) {
    while (pieces_.size() > 1 && pieces_[1].utf8_at <= held_from) pieces_.pop_front();
  }

  bool empty() const noexcept { return pieces_.empty(); }
  const Piece& front() const { return pieces_.front(); }
  const_iterator end() const noexcept { return pieces_.end(); }

  // The piece whose text holds UTF-8 offset `at`; end() when `at` lies before every piece kept.
  const_iterator holding(uint64_t at) const {
    auto after = std::upper_bound(pieces_.begin(), pieces_.end(), at,
                                  [](uint64_t v, const Piece& p) { return v < p.utf8_at; });
    return after == pieces_.begin() ? pieces_.end() : after - 1;
  }

 private:
  std::deque<Piece> pieces_;
};

}  // namespace vx
