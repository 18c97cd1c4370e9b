// expansion.cpp: counting the elements of trees that share subtrees.
#include "entities/expansion.hpp"

#include <cstdlib>
#include <unordered_map>
#include <vector>

namespace vx {
namespace {

inline uint64_t saturating_add(uint64_t a, uint64_t b) {
  uint64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

}  // namespace

uint64_t expanded_element_count(const NodeObject* root) {
  // Post-order with an explicit stack. Records cannot form cycles, so a child is never on the
  // stack already, and once its subtree is counted every later path to it reuses the count.
  struct Frame {
    const NodeObject* node;
    size_t next;
    uint64_t elements;  // the node itself and the children counted so far
  };
  std::unordered_map<const NodeObject*, uint64_t> counted;  // nodes with children only
  std::vector<Frame> stack{{root, 0, 1}};
  while (true) {
    Frame& top = stack.back();
    if (top.next == static_cast<size_t>(Py_SIZE(top.node))) {
      const uint64_t total = top.elements;
      const NodeObject* node = top.node;
      stack.pop_back();
      if (stack.empty()) return total;
      counted.emplace(node, total);
      stack.back().elements = saturating_add(stack.back().elements, total);
      continue;
    }
    const NodeObject* child = as_node(top.node->children[top.next++]);
    if (Py_SIZE(child) == 0) {
      top.elements = saturating_add(top.elements, 1);
    } else if (auto found = counted.find(child); found != counted.end()) {
      top.elements = saturating_add(top.elements, found->second);
    } else {
      stack.push_back({child, 0, 1});  // invalidates `top`
    }
  }
}

bool ExpansionGuard::refuse() {
  too_large_ = true;
  check_at_ = 0;  // every later visit comes back here and is refused too
  return false;
}

bool ExpansionGuard::check() {
  if (too_large_) return false;
  check_at_ = UINT64_MAX;  // one count per walk
  const uint64_t elements = expanded_element_count(root_);
  if (elements > limit_ / min_bytes_) return refuse();
  if (probe_memory_) {
    // Untouched, so it costs an address range and no pages; refusal means the result could not
    // be held either, and finding that out now spares a walk over all of its elements.
    void* probe = std::malloc(elements * min_bytes_);
    if (!probe) return refuse();
    std::free(probe);
  }
  return true;
}

}  // namespace vx
