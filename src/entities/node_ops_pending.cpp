// node_ops_pending.cpp: placeholders for the Node operations still being built.
#include <Python.h>

#include "boundary.hpp"
#include "entities/node.hpp"
#include "entities/node_methods.hpp"

namespace vx {
namespace {
PyObject* not_yet() {
  PyErr_SetString(PyExc_NotImplementedError, "not implemented yet");
  return nullptr;
}
PyType_Slot search_type_slots[] = {{0, nullptr}};
PyType_Spec search_type_spec = {"vantelix.SearchType", sizeof(PyObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                                    Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                search_type_slots};
}  // namespace

PyObject* node_repr(PyObject* self) {
  return PyUnicode_FromFormat("Node(%U)", PyObject_GetAttrString(self, "name"));
}
PyObject* node_str(PyObject* self) { return node_repr(self); }
PyObject* node_to_string(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet(); }
PyObject* node_search_by_name(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet(); }
PyObject* node_search_by_attr(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet(); }
PyObject* node_search_by_text(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet(); }
PyObject* node_search(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet(); }
PyTypeObject* search_type() {
  static PyTypeObject* type = create_bare_named_type(&search_type_spec, "SearchType");
  return type;
}
PyObject* node_to_dict(PyObject*, PyObject*) { return not_yet(); }
PyObject* node_from_dict(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet(); }

}  // namespace vx
