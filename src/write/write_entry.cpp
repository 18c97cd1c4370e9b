// write_entry.cpp: write_string and write_file: argument rules, the GIL hand-off around the
// emission, and turning the outcome into a str, None or an exception.
#include "write/write_entry.hpp"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "args.hpp"
#include "boundary.hpp"
#include "entities/node.hpp"
#include "pyref.hpp"
#include "write/serialiser.hpp"
#include "write/sink.hpp"
#include "write/snapshot_node.hpp"

namespace vx {
namespace {

static_assert(sizeof(size_t) == sizeof(unsigned long long), "indent is read as a machine word");

constexpr size_t kDefaultIndent = 4;

const char* const write_string_params[] = {"node", "indent", "default_xml_def"};
const Signature write_string_signature{"write_string()", write_string_params, 3, 1};
const char* const write_file_params[] = {"node", "file_path", "indent", "default_xml_def"};
const Signature write_file_signature{"write_file()", write_file_params, 4, 2};

bool arg_node(PyObject* obj) {
  if (is_node(obj)) return true;
  set_not_instance(obj, "Node");
  add_param_note("node");
  return false;
}

// None means 4; otherwise any index from 0 to SIZE_MAX.
bool arg_indent(PyObject* obj, size_t* out) {
  if (!obj || obj == Py_None) {
    *out = kDefaultIndent;
    return true;
  }
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) {
    add_param_note("indent");
    return false;
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    // A negative value keeps the interpreter's own wording; one above the word gets ours.
    if (PyErr_ExceptionMatches(PyExc_OverflowError) && _PyLong_Sign(index.get()) > 0) {
      PyErr_SetString(PyExc_OverflowError, "number too large to fit in target type");
    }
    add_param_note("indent");
    return false;
  }
  *out = static_cast<size_t>(value);
  return true;
}

// NumPy's boolean scalar, recognised by its type's module and name so NumPy is never imported.
bool is_numpy_bool(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  const char* name = _PyType_Name(type);
  if (std::strcmp(name, "bool_") != 0 && std::strcmp(name, "bool") != 0) return false;
  PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) &&
         PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

// None means True; True, False or a NumPy boolean; nothing else, not even integers.
bool arg_xml_def(PyObject* obj, bool* out) {
  if (!obj || obj == Py_None || obj == Py_True) {
    *out = true;
    return true;
  }
  if (obj == Py_False) {
    *out = false;
    return true;
  }
  if (is_numpy_bool(obj)) {
    int truth = PyObject_IsTrue(obj);
    if (truth >= 0) {
      *out = truth != 0;
      return true;
    }
  } else {
    set_not_instance(obj, "bool");
  }
  add_param_note("default_xml_def");
  return false;
}

// The formatting arguments shared by both functions, converted.
struct Format {
  size_t indent;
  bool declaration;
};

// Emits the declaration (when asked for) and the snapshot into `sink`.
Status<OsError> emit(OutputSink& sink, const Format& format, NodeSnapshot snapshot) {
  if (format.declaration && !sink.append(XML_DECLARATION)) return sink.error();
  XmlWriter writer{sink, format.indent};
  return write_element(writer, std::move(snapshot));
}

[[noreturn]] void invalid_utf8() { invariant_failed("invariant: the XML writer only emits valid UTF-8"); }

PyObject* write_string_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[3];
  if (!extract_args(write_string_signature, args, nargs, kwnames, arg)) return nullptr;
  if (!arg_node(arg[0])) return nullptr;
  Format format;
  if (!arg_indent(arg[1], &format.indent) || !arg_xml_def(arg[2], &format.declaration)) {
    return nullptr;
  }
  PyRef node = PyRef::borrow(arg[0]);

  NodeSnapshot snapshot = snapshot_node(node.get());
  // Sized before anything is written: a result too large for a str fails here, whole, and a
  // result that fits is built in one allocation.
  OutputSize size = measure_element(snapshot, format.indent, true);
  uint64_t total = size.bytes + (format.declaration ? XML_DECLARATION.size() : 0);
  if (!size.fits || total < size.bytes || total > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_MemoryError, "the XML text would be too large for a str");
    return nullptr;
  }
  auto length = static_cast<size_t>(total);

  if (size.ascii) {
    // Pure ASCII: write straight into the characters of the result.
    PyRef result = PyRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(length), 127));
    if (!result) return nullptr;
    FixedSink sink(static_cast<char*>(PyUnicode_DATA(result.get())), length);
    {
      GilRelease release;
      (void)emit(sink, format, std::move(snapshot));  // writing to memory cannot fail
    }
    if (!sink.full()) {
      invariant_failed("the XML writer produced " + std::to_string(sink.size()) + " of the " +
                       std::to_string(length) + " bytes it measured");
    }
    return result.release();
  }

  MemorySink sink;
  {
    GilRelease release;
    sink.reserve(length);
    (void)emit(sink, format, std::move(snapshot));
  }
  if (sink.size() != length) {
    invariant_failed("the XML writer produced " + std::to_string(sink.size()) + " of the " +
                     std::to_string(length) + " bytes it measured");
  }
  std::string_view bytes = sink.bytes();
  PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict");
  if (!text) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return nullptr;  // out of memory
    PyErr_Clear();
    invalid_utf8();
  }
  return text;
}

PyObject* write_file_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[4];
  if (!extract_args(write_file_signature, args, nargs, kwnames, arg)) return nullptr;
  if (!arg_node(arg[0])) return nullptr;
  auto path = arg_str(arg[1], "file_path");
  if (!path) return nullptr;
  Format format;
  if (!arg_indent(arg[2], &format.indent) || !arg_xml_def(arg[3], &format.declaration)) {
    return nullptr;
  }
  PyRef node = PyRef::borrow(arg[0]);
  PyRef path_owner = PyRef::borrow(arg[1]);  // keeps `path`'s bytes alive without the GIL

  NodeSnapshot snapshot = snapshot_node(node.get());
  // Refused before the file is touched: more spaces than any file can hold.
  OutputSize size = measure_element(snapshot, format.indent, false);
  if (!size.fits || size.bytes > static_cast<uint64_t>(INT64_MAX) - XML_DECLARATION.size()) {
    PyErr_SetString(PyExc_OverflowError, "the XML text would be too large for a file");
    return nullptr;
  }

  Status<OsError> outcome;
  {
    GilRelease release;
    Result<int, OsError> opened = open_for_writing(*path);
    if (!opened) {
      outcome = std::move(opened.error());
      snapshot.clear();
    } else {
      int fd = opened.value();
      FileSink sink(fd);
      outcome = emit(sink, format, std::move(snapshot));
      if (outcome.ok() && !sink.flush()) outcome = sink.error();
      if (!outcome.ok()) sink.flush_ignoring_errors();
      close_quietly(fd);
    }
  }
  if (!outcome.ok()) {
    raise_os_error(outcome.error());
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* write_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] { return write_string_body(args, nargs, kwnames); });
}

PyObject* write_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] { return write_file_body(args, nargs, kwnames); });
}

}  // namespace

PyMethodDef write_file_method = {"write_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_file)),
                                 METH_FASTCALL | METH_KEYWORDS,
                                 "write_file(node, file_path, indent=None, default_xml_def=None)\n--\n\n"};
PyMethodDef write_string_method = {"write_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_string)),
                                   METH_FASTCALL | METH_KEYWORDS,
                                   "write_string(node, indent=None, default_xml_def=None)\n--\n\n"};
}  // namespace vx
