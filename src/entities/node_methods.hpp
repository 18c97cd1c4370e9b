// node_methods.hpp: the Node methods and slots implemented beside the class, and SearchType.
#pragma once
#include <Python.h>

namespace vx {

// Renderings.
PyObject* node_repr(PyObject* self);
PyObject* node_str(PyObject* self);
PyObject* node_to_string(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Searches.
PyObject* node_search_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);
PyObject* node_search_by_attr(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);
PyObject* node_search_by_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);
PyObject* node_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The SearchType class object with its three members, created on first need.
PyTypeObject* search_type();

// Dictionary conversion.
PyObject* node_to_dict(PyObject* self, PyObject* unused);
PyObject* node_from_dict(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Pickling and copying: __reduce__ hands pickle the module's private _node_from_pickle, which
// the module registers (set_rebuild_function) once it exists. Nodes are immutable, so a copy,
// deep or not, is the node itself.
PyObject* node_reduce(PyObject* self, PyObject* unused);
PyObject* node_copy(PyObject* self, PyObject* unused);
PyObject* node_deepcopy(PyObject* self, PyObject* memo);
extern PyMethodDef node_from_pickle_method;
void set_rebuild_function(PyObject* fn);

}  // namespace vx
