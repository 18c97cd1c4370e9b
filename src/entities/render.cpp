// render.cpp: the text renderings of a Node: repr, str and __to_string.
#include <Python.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "args.hpp"
#include "boundary.hpp"
#include "entities/expansion.hpp"
#include "entities/node.hpp"
#include "entities/node_methods.hpp"

namespace vx {
namespace {

// First pass of a rendering: counts the bytes, so the text is allocated once. The outline of a
// deep tree grows with the square of its depth; counting first turns a size that cannot be
// allocated into a MemoryError before any memory is touched. Shared subtrees can make the count
// itself endless, so the guard stops it once the elements alone could not be held.
class CountingSink {
 public:
  // Every element's block holds "Name: " at the least.
  explicit CountingSink(const NodeObject* root) : guard_(root, 6, PY_SSIZE_T_MAX, true) {}
  void visit() {
    if (!guard_.visit()) throw std::bad_alloc();
  }
  void put(std::string_view text) { add(text.size()); }
  void put(char) { add(1); }
  void spaces(size_t n) { add(n); }
  size_t size() const noexcept { return size_; }

 private:
  void add(size_t n) {
    if (__builtin_add_overflow(size_, n, &size_)) throw std::bad_alloc();
  }
  size_t size_ = 0;
  ExpansionGuard guard_;
};

// Second pass: writes into a buffer sized by the first.
class WritingSink {
 public:
  explicit WritingSink(char* out) : out_(out) {}
  void visit() {}
  void put(std::string_view text) {
    std::memcpy(out_, text.data(), text.size());
    out_ += text.size();
  }
  void put(char c) { *out_++ = c; }
  void spaces(size_t n) {
    std::memset(out_, ' ', n);
    out_ += n;
  }
  char* end() const noexcept { return out_; }

 private:
  char* out_;
};

// Writes the lines of one node that precede its children: name, attributes, text and the
// "Children:" heading. Returns whether the node has children.
template <class Sink>
bool render_head(const NodeObject* node, size_t pad, Sink& out) {
  out.spaces(pad);
  out.put("Name: ");
  out.put(node->name.view());
  if (!node->attrs.empty()) {
    out.put('\n');
    out.spaces(pad);
    out.put("Attributes:");
    for (const AttrEntry& entry : node->attrs) {
      out.put('\n');
      out.spaces(pad);
      out.put(entry.key.view());
      out.put(": ");
      out.put(entry.value.view());
    }
  }
  if (node->text.present()) {
    out.put('\n');
    out.spaces(pad);
    out.put("Text: ");
    out.put(node->text.view());
  }
  if (Py_SIZE(node) == 0) return false;
  out.put('\n');
  out.spaces(pad);
  out.put("Children:");
  return true;
}

// The outline: each child's block goes behind its parent's padding and is followed by a line
// feed. Frames replace the recursion over children so depth costs heap, not native stack. The
// padding keeps growing by two per level with no upper bound; only the caller's starting value is
// limited to 255.
template <class Sink>
void render_tree(const NodeObject* root, size_t pad, Sink& out) {
  struct Frame {
    const NodeObject* node;
    size_t next;
    size_t pad;
  };
  if (!render_head(root, pad, out)) return;
  std::vector<Frame> stack;
  stack.push_back({root, 0, pad});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == static_cast<size_t>(Py_SIZE(top.node))) {
      stack.pop_back();
      if (!stack.empty()) out.put('\n');  // closes the block of the node just finished
      continue;
    }
    out.visit();
    const NodeObject* child = as_node(top.node->children[top.next++]);
    size_t child_pad = top.pad + 2;
    out.put('\n');
    out.spaces(top.pad);
    if (render_head(child, child_pad, out)) {
      stack.push_back({child, 0, child_pad});  // invalidates `top`
    } else {
      out.put('\n');
    }
  }
}

PyObject* render_node(PyObject* self, size_t pad) {
  const NodeObject* root = as_node(self);
  CountingSink counter(root);
  render_tree(root, pad, counter);
  size_t size = counter.size();
  if (size > static_cast<size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
  // One block of the final size; 1 byte at least so that malloc never returns null for success.
  char* buffer = static_cast<char*>(std::malloc(size ? size : 1));
  if (!buffer) throw std::bad_alloc();
  struct Free {
    char* p;
    ~Free() { std::free(p); }
  } release{buffer};
  WritingSink writer(buffer);
  render_tree(root, pad, writer);
  if (static_cast<size_t>(writer.end() - buffer) != size) {
    invariant_failed("rendering wrote a different length than it counted");
  }
  return new_str({buffer, size});
}

const char* const to_string_params[] = {"spacing"};
const Signature to_string_signature{"Node.__to_string()", to_string_params, 1, 0};

// spacing: None, or an integer from 0 to 255.
bool spacing_arg(PyObject* obj, size_t* out) {
  if (!obj || obj == Py_None) {
    *out = 0;
    return true;
  }
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) {
    add_param_note("spacing");
    return false;
  }
  long value = PyLong_AsLong(index.get());
  if (value == -1 && PyErr_Occurred()) {
    add_param_note("spacing");
    return false;
  }
  if (value < 0 || value > 255) {
    PyErr_SetString(PyExc_OverflowError, value < 0 ? "number too small to fit in target type"
                                                   : "number too large to fit in target type");
    add_param_note("spacing");
    return false;
  }
  *out = static_cast<size_t>(value);
  return true;
}

}  // namespace

PyObject* node_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] {
    std::string_view name = as_node(self)->name.view();
    std::string text;
    text.reserve(name.size() + 6);
    text.append("Node(").append(name).append(")");
    return new_str(text);
  });
}

PyObject* node_str(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] { return render_node(self, 0); });
}

PyObject* node_to_string(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* arg[1];
    if (!extract_args(to_string_signature, args, nargs, kwnames, arg)) return nullptr;
    size_t spacing = 0;
    if (!spacing_arg(arg[0], &spacing)) return nullptr;
    return render_node(self, spacing);
  });
}

}  // namespace vx
