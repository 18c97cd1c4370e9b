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

// Copies a dict of str to str into a new attribute map with fresh keys. On failure the exception
// is set (the not-an-instance message names `str`) and false is returned.
bool attrs_from_dict(PyObject* dict, AttrMap* out);

// The node's attributes as a new dict, in the map's order.
PyObject* attrs_to_dict(const AttrMap& attrs);

}  // namespace vx
