// node.hpp: the Node class: its object layout, creation and access for the other operations.
#pragma once
#include <Python.h>

#include <span>

#include "entities/attr_map.hpp"
#include "storage/stored_str.hpp"

namespace vx {

// One element. Immutable once created. The children are held inline after the record
// (ob_size of them), each a strong reference to a Node.
struct NodeObject {
  PyObject_VAR_HEAD
  StoredStr name;
  StoredStr text;  // absent when the node has no text
  AttrMap attrs;
  PyObject* children[1];
};

// The Node type object, created on first need and kept for the life of the process.
PyTypeObject* node_type();

inline bool is_node(PyObject* obj) { return Py_IS_TYPE(obj, node_type()); }
inline NodeObject* as_node(PyObject* obj) { return reinterpret_cast<NodeObject*>(obj); }
inline std::span<PyObject* const> children_of(const NodeObject* node) {
  return {node->children, static_cast<size_t>(Py_SIZE(node))};
}

// Creates a Node that takes over the given parts (moved from) and `count` child references, which
// it steals. On failure (the interpreter could not allocate the object) the child references are
// released, the parts stay with the caller, and null is returned with the exception set.
PyObject* make_node(StoredStr&& name, StoredStr&& text, AttrMap&& attrs, PyObject* const* children,
                    size_t count);

// Interpreters whose reference counts are plain integers let a reader make its nodes without the
// GIL; debug interpreters count every reference in process-wide totals, and builds without a GIL
// need atomic counts, so there nodes are made with the GIL (make_node).
#if !defined(Py_REF_DEBUG) && !defined(Py_TRACE_REFS) && !defined(Py_GIL_DISABLED)
inline constexpr bool kNodesWithoutGil = true;
#else
inline constexpr bool kNodesWithoutGil = false;
#endif

// Gives a block that has just become an object its first reference. From 3.12 on Py_SET_REFCNT
// leaves alone an object whose count looks immortal (low 32 bits negative), and a recycled block
// holds whatever its last use left there, such as a free-list link: through Py_SET_REFCNT a
// stale word would stay as the count and make the node immortal, never freed, or freed while
// still referenced once that word changed. The word is stored whole instead.
inline void init_refcount(PyObject* obj) { obj->ob_refcnt = 1; }

// Makes the nodes of one tree that nothing else can see yet, without the GIL: their memory comes
// from chunks leased to this thread, and the type's references for them are added at once, by
// publish(), with the GIL. Create, publish and destroy with the GIL held; make() runs with or
// without it. Only for kNodesWithoutGil.
class UnpublishedNodes {
 public:
  // `document_bytes`: the size of what the nodes are read from, which sizes the memory leased.
  explicit UnpublishedNodes(size_t document_bytes);
  ~UnpublishedNodes();  // publishes what is left and ends the leases
  UnpublishedNodes(const UnpublishedNodes&) = delete;
  UnpublishedNodes& operator=(const UnpublishedNodes&) = delete;

  // As make_node, except that on failure (no memory, null returned, no exception set) the child
  // references stay with the caller. The node must not be released before publish().
  PyObject* make(StoredStr&& name, StoredStr&& text, AttrMap&& attrs, PyObject* const* children,
                 size_t count) noexcept;
  // Adds the type's references for the nodes made so far. GIL held.
  void publish();

 private:
  struct Leases;
  PyTypeObject* type_;
  Leases* leases_;
  size_t unpublished_ = 0;
};

// Copies a dict of str to str into a new attribute map with fresh keys. On failure the exception
// is set (the not-an-instance message names `str`) and false is returned.
bool attrs_from_dict(PyObject* dict, AttrMap* out);

// The node's attributes as a new dict, in the map's order.
PyObject* attrs_to_dict(const AttrMap& attrs);

}  // namespace vx
