// snapshot_node.cpp: the one part of the writer that walks Node objects, with the GIL held.
#include "write/snapshot_node.hpp"

#include <vector>

#include "entities/node.hpp"
#include "pyref.hpp"

namespace vx {
namespace {

void copy_record(const NodeObject* node, NodeSnapshot& out) {
  out.name = node->name.clone();
  if (node->text.present()) out.text = node->text.clone();
  out.attrs = node->attrs.clone();
  out.children.resize(static_cast<size_t>(Py_SIZE(node)));
}

}  // namespace

NodeSnapshot snapshot_node(PyObject* node) {
  struct Frame {
    PyRef node;  // a temporary strong reference while the node's children are copied
    NodeSnapshot* out;
    Py_ssize_t next_child;
  };
  NodeSnapshot root;
  copy_record(as_node(node), root);
  std::vector<Frame> stack;
  if (Py_SIZE(node) > 0) stack.push_back({PyRef::borrow(node), &root, 0});
  while (!stack.empty()) {
    Frame& top = stack.back();
    const NodeObject* parent = as_node(top.node.get());
    if (top.next_child == Py_SIZE(parent)) {
      stack.pop_back();
      continue;
    }
    Py_ssize_t i = top.next_child++;
    PyObject* child = parent->children[i];
    NodeSnapshot& out = top.out->children[static_cast<size_t>(i)];
    copy_record(as_node(child), out);
    if (Py_SIZE(child) > 0) stack.push_back({PyRef::borrow(child), &out, 0});
  }
  return root;
}

}  // namespace vx
