// expansion.hpp: how many elements a walk over a tree visits, when subtrees are shared.
//
// A Node may be the child of several parents, so a few dozen distinct nodes can stand for 2^64
// elements (n = Node("a", children=[n, n]), 64 times over). Walks that only measure, such as
// the writer's size pass and the outline's length pass, allocate nothing as they go: without a
// bound they would run for ages before finding that their result cannot exist.
#pragma once
#include <cstdint>

#include "entities/node.hpp"

namespace vx {

// The number of elements a full walk from `root` visits, a node reached along k paths counted k
// times; saturates at UINT64_MAX. Each node with children is counted once and remembered, so
// the time is linear in the distinct nodes, however often they are shared. Reads records only,
// so it runs with or without the GIL.
uint64_t expanded_element_count(const NodeObject* root);

// Watches a walk whose result takes at least `min_bytes` per element visited. Walks below
// `check_after` elements only count; at that point the tree's expansion is counted once, and the
// walk is told to stop when that many elements would take more than `limit` bytes or, with
// `probe_memory`, more than can be allocated now. Trees without sharing, which are never that
// large, pay one increment per element.
class ExpansionGuard {
 public:
  static constexpr uint64_t kDefaultCheckAfter = uint64_t{1} << 24;

  ExpansionGuard(const NodeObject* root, uint64_t min_bytes, uint64_t limit, bool probe_memory,
                 uint64_t check_after = kDefaultCheckAfter)
      : root_(root), min_bytes_(min_bytes ? min_bytes : 1), limit_(limit),
        probe_memory_(probe_memory), check_at_(check_after) {}

  // Call once per element visited; false means stop: the result would be too large.
  bool visit() { return ++visits_ < check_at_ || check(); }

 private:
  bool check();
  bool refuse();

  const NodeObject* root_;
  uint64_t min_bytes_;
  uint64_t limit_;
  bool probe_memory_;
  uint64_t check_at_;
  uint64_t visits_ = 0;
  bool too_large_ = false;
};

}  // namespace vx
