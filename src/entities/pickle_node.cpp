// pickle_node.cpp: Node.__reduce__, __copy__, __deepcopy__ and the private rebuild function
// vantelix._node_from_pickle, over the payload of pickle_codec.
//
// A tree pickles as one call, _node_from_pickle(payload), with one bytes payload: pickle itself
// then handles a single object whatever the tree's size and depth, instead of one per node.
#include <Python.h>

#include <span>
#include <string_view>

#include "boundary.hpp"
#include "args.hpp"
#include "entities/node.hpp"
#include "entities/node_methods.hpp"
#include "entities/pickle_codec.hpp"

namespace vx {
namespace {

// The module's _node_from_pickle, which __reduce__ names; set when the module is executed.
PyObject* rebuild_function = nullptr;

// The Node tree as encode_tree reads it. Runs with the GIL held: reference counts are exact.
struct NodeTree {
  using Node = const NodeObject*;
  static std::string_view name(Node n) { return n->name.view(); }
  static bool has_text(Node n) { return n->text.present(); }
  static std::string_view text(Node n) { return n->text.view(); }
  static size_t attr_count(Node n) { return n->attrs.size(); }
  template <class F>
  static void for_each_attr(Node n, F&& f) {
    for (const AttrEntry& e : n->attrs) f(e.key.view(), e.value.view());
  }
  static std::span<PyObject* const> children(Node n) { return children_of(n); }
  static Node child(PyObject* obj) { return as_node(obj); }
  // A node held by one parent alone has a count of 1; one met twice in a tree has at least 2.
  static bool may_be_shared(Node n) { return Py_REFCNT(n) > 1; }
};

// Nodes made without the GIL, published by the caller before any is released.
struct UnpublishedMaker {
  using Handle = PyObject*;
  UnpublishedNodes& nodes;
  PyObject* make(StoredStr&& name, StoredStr&& text, AttrMap&& attrs, PyObject* const* children,
                 size_t count) noexcept {
    return nodes.make(std::move(name), std::move(text), std::move(attrs), children, count);
  }
  // Nothing else can see an unpublished node yet, so its count needs no GIL.
  void share(PyObject* node) noexcept { Py_SET_REFCNT(node, Py_REFCNT(node) + 1); }
};

// Nodes made with the GIL: for small payloads, and for interpreters that count every reference
// (kNodesWithoutGil false).
struct HeldMaker {
  using Handle = PyObject*;
  PyObject* make(StoredStr&& name, StoredStr&& text, AttrMap&& attrs, PyObject* const* children,
                 size_t count) {
    // make_node takes the references it is given even when it fails; the decoder keeps its own.
    for (size_t i = 0; i < count; ++i) Py_INCREF(children[i]);
    PyObject* node = make_node(std::move(name), std::move(text), std::move(attrs), children, count);
    if (!node) {
      PyErr_Clear();  // reported as the decoder's NoMemory
      return nullptr;
    }
    for (size_t i = 0; i < count; ++i) Py_DECREF(children[i]);
    return node;
  }
  void share(PyObject* node) noexcept { Py_INCREF(node); }
};

// Payloads below this size are decoded without handing the GIL over: the hand-over would cost
// more than the work.
constexpr size_t kReleaseGilFrom = 64 * 1024;

PyObject* raise_pickle_error(const pickle::PickleError& error) {
  if (error.kind == pickle::PickleError::Kind::NoMemory) return PyErr_NoMemory();
  PyRef message = PyRef::steal(new_str(error.text()));
  PyErr_SetObject(PyExc_ValueError, message.get());
  return nullptr;
}

template <class Maker>
PyObject* decode(SourceText* source, Maker& maker, bool release_gil,
                 UnpublishedNodes* unpublished) {
  pickle::PayloadDecoder<Maker> decoder(source, maker, take_thread_keys());
  std::optional<Result<PyObject*, pickle::PickleError>> result;
  if (release_gil) {
    GilRelease unlocked;
    result.emplace(decoder.run());
  } else {
    result.emplace(decoder.run());
  }
  if (unpublished) unpublished->publish();  // before any node of the tree may be released
  if (*result) return result->value();
  for (PyObject* node : decoder.made()) Py_DECREF(node);
  return raise_pickle_error(result->error());
}

PyObject* node_from_pickle_impl(PyObject*, PyObject* arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!PyBytes_Check(arg)) {
      set_not_instance(arg, "bytes");
      return nullptr;
    }
    const char* data = PyBytes_AS_STRING(arg);
    const auto size = static_cast<size_t>(PyBytes_GET_SIZE(arg));
    // The rebuilt tree's strings are ranges of the payload, which they keep alive, as a parsed
    // tree's are ranges of its document; bytes objects never change, so none is copied.
    Py_INCREF(arg);
    SourceRef source(SourceText::borrow(arg, data, size));
    if constexpr (kNodesWithoutGil) {
      // A small tree takes its nodes from the ordinary allocator: leasing arena chunks for a
      // handful of nodes cost about a millisecond a call, and far more once thousands of such
      // trees were alive at once (a list of search results pickles as one payload per node).
      if (size >= kReleaseGilFrom) {
        UnpublishedNodes nodes(size);
        UnpublishedMaker maker{nodes};
        return decode(source.get(), maker, true, &nodes);
      }
    }
    HeldMaker maker;
    return decode(source.get(), maker, false, nullptr);
  });
}

}  // namespace

void set_rebuild_function(PyObject* fn) {
  Py_XINCREF(fn);
  Py_XSETREF(rebuild_function, fn);
}

PyObject* node_reduce(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!rebuild_function) invariant_failed("Node.__reduce__ before the module was set up");
    pickle::PayloadWriter out;
    pickle::encode_tree<NodeTree>(as_node(self), out);
    std::string_view bytes = out.bytes();
    PyRef payload = PyRef::steal(checked_result(
        PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())), "bytes"));
    return checked_result(Py_BuildValue("(O(O))", rebuild_function, payload.get()), "tuple");
  });
}

PyObject* node_copy(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* node_deepcopy(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyMethodDef node_from_pickle_method = {
    "_node_from_pickle", node_from_pickle_impl, METH_O,
    "_node_from_pickle(payload, /)\n--\n\n"
    "Rebuilds a Node tree from the payload of Node.__reduce__; used by pickle. Refuses damaged\n"
    "data with ValueError."};

}  // namespace vx
