// write_entry.cpp: write_string and write_file (placeholder until the writer lands).
#include "write/write_entry.hpp"

namespace vx {
namespace {
PyObject* not_yet(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "writing is not implemented yet");
  return nullptr;
}
}  // namespace

PyMethodDef write_file_method = {"write_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(not_yet)),
                                 METH_FASTCALL | METH_KEYWORDS,
                                 "write_file(node, file_path, indent=None, default_xml_def=None)\n--\n\n"};
PyMethodDef write_string_method = {"write_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(not_yet)),
                                   METH_FASTCALL | METH_KEYWORDS,
                                   "write_string(node, indent=None, default_xml_def=None)\n--\n\n"};
}  // namespace vx
