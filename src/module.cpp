// module.cpp: the vantelix module: definition, multi-phase init and registration of its names.
#include <Python.h>

#include "boundary.hpp"
#include "entities/node.hpp"
#include "entities/node_methods.hpp"
#include "read/read_entry.hpp"
#include "stream/stream_entry.hpp"
#include "write/write_entry.hpp"

namespace vx {
namespace {

// Sets the attribute and appends the name to __all__ (created on the first addition).
// Steals `obj`.
int add_exported(PyObject* module, const char* name, PyObject* obj) {
  PyRef owned = PyRef::steal(obj);
  if (!owned) return -1;
  PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");  // borrowed
  if (!all) {
    PyRef fresh = PyRef::steal(PyList_New(0));
    if (!fresh || PyModule_AddObjectRef(module, "__all__", fresh.get()) < 0) return -1;
    all = fresh.get();
  }
  PyRef name_str = PyRef::steal(PyUnicode_FromString(name));
  if (!name_str || PyList_Append(all, name_str.get()) < 0) return -1;
  return PyModule_AddObjectRef(module, name, owned.get());
}

// Sets the attribute only. Steals `obj`.
int add_function(PyObject* module, const char* name, PyObject* obj) {
  PyRef owned = PyRef::steal(obj);
  if (!owned) return -1;
  return PyModule_AddObjectRef(module, name, owned.get());
}

PyObject* new_function(PyMethodDef* def, PyObject* module) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return nullptr;
  return PyCFunction_NewEx(def, module, module_name.get());
}

PyObject* new_type_ref(PyTypeObject* type) {
  Py_INCREF(type);
  return reinterpret_cast<PyObject*>(type);
}

int exec_module(PyObject* module) {
  return guarded<int>(-1, [&] {
    install_source_release_hook();
    if (add_exported(module, "SearchType", new_type_ref(search_type())) < 0) return -1;
    if (add_exported(module, "Node", new_type_ref(node_type())) < 0) return -1;
    if (add_exported(module, "read_file", new_function(&read_file_method, module)) < 0) return -1;
    if (add_exported(module, "read_string", new_function(&read_string_method, module)) < 0) return -1;
    // Reachable as an attribute, outside __all__: the star-import surface stays as it was.
    if (add_function(module, "read_bytes", new_function(&read_bytes_method, module)) < 0) return -1;
    if (add_function(module, "iter_elements", new_function(&iter_elements_method, module)) < 0) {
      return -1;
    }
    if (add_exported(module, "write_file", new_function(&write_file_method, module)) < 0) return -1;
    if (add_exported(module, "write_string", new_function(&write_string_method, module)) < 0) {
      return -1;
    }
    // Private: pickle finds it by name, so it is a module attribute, but not in __all__.
    PyRef rebuild = PyRef::steal(new_function(&node_from_pickle_method, module));
    if (!rebuild || PyModule_AddObjectRef(module, "_node_from_pickle", rebuild.get()) < 0) return -1;
    set_rebuild_function(rebuild.get());
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vantelix",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vx

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_vantelix() {
  return PyModuleDef_Init(&vx::module_def);
}
