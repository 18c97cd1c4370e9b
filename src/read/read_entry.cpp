// read_entry.cpp: read_string and read_file (placeholder until the reader lands).
#include "read/read_entry.hpp"

namespace vx {
namespace {
PyObject* not_yet(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "reading is not implemented yet");
  return nullptr;
}
}  // namespace

PyMethodDef read_file_method = {"read_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(not_yet)),
                                METH_FASTCALL | METH_KEYWORDS, "read_file(file_path, root_tag)\n--\n\n"};
PyMethodDef read_string_method = {"read_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(not_yet)),
                                  METH_FASTCALL | METH_KEYWORDS, "read_string(xml_string, root_tag)\n--\n\n"};
}  // namespace vx
