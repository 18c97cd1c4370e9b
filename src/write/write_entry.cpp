// write_entry.cpp: write_string and write_file: argument rules, the GIL hand-off around the
// emission, and turning the outcome into a str, None or an exception.
//
// The tree is written straight from its Node records, with the GIL released. That is safe
// without copying anything: records never change once their Node exists, every child is held
// by a strong reference of its parent, and the call holds the root for its whole duration, so
// every record, string and source text reached stays alive and unchanged while other threads
// run. The GIL-free part reads record memory only: no reference count, no interpreter call.
#include "write/write_entry.hpp"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "args.hpp"
#include "boundary.hpp"
#include "entities/expansion.hpp"
#include "entities/node.hpp"
#include "pyref.hpp"
#include "write/serialiser.hpp"
#include "write/sink.hpp"

namespace vx {

// How the writer reads a Node record (see serialiser.hpp).
inline std::string_view tree_name(const NodeObject* node) { return node->name.view(); }
inline const StoredStr& tree_text(const NodeObject* node) { return node->text; }
inline const AttrMap& tree_attrs(const NodeObject* node) { return node->attrs; }
inline size_t tree_child_count(const NodeObject* node) { return static_cast<size_t>(Py_SIZE(node)); }
inline const NodeObject* tree_child(const NodeObject* node, size_t i) {
  return as_node(node->children[i]);
}
inline void tree_prefetch(const NodeObject* node, int stage) {
  if (stage == 0) {
    __builtin_prefetch(node);
    __builtin_prefetch(reinterpret_cast<const char*>(node) + 64);
    return;
  }
  if (!node->attrs.empty()) __builtin_prefetch(node->attrs.begin());
  if (!node->name.is_shared()) __builtin_prefetch(node->name.view().data());
  if (node->text.present() && !node->text.is_shared()) __builtin_prefetch(node->text.view().data());
}
static_assert(WritableTree<const NodeObject*>);

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

// Emits the declaration (when asked for) and the tree into `sink`.
Status<OsError> emit(OutputSink& sink, const Format& format, const NodeObject* root) {
  if (format.declaration && !sink.append(XML_DECLARATION)) return sink.error();
  XmlWriter writer{sink, format.indent};
  return write_element(writer, root);
}

[[noreturn]] void size_mismatch(size_t written, size_t measured) {
  invariant_failed("the XML writer produced " + std::to_string(written) + " of the " +
                   std::to_string(measured) + " bytes it measured");
}

// The least an element adds to the output: "<", its name (which may be empty) and "/>".
constexpr uint64_t kMinElementBytes = 3;

// Whether the indentation leaves the output within the largest file offset. Checked before the
// file is opened, so a refusal leaves no trace. Everything but the indentation is at most a few
// times the tree's own text, which memory bounds far below the half of the range left to it,
// unless subtrees are shared: the walk stops when the elements alone could not fit.
bool fits_in_file(const NodeObject* root, size_t indent) {
  if (indent == 0) return true;
  ExpansionGuard guard(root, kMinElementBytes, INT64_MAX, false);
  unsigned __int128 spaces;
  if (__builtin_mul_overflow(static_cast<unsigned __int128>(indent), line_break_depths(root, guard),
                             &spaces)) {
    return false;
  }
  return spaces <= static_cast<uint64_t>(INT64_MAX) / 2;
}

// Opens, writes and closes. On a failure the buffered bytes still go to the file before it is
// closed, and errors of that last attempt and of closing are ignored: the first error stands.
Status<OsError> write_to_path(std::string_view path, const Format& format, const NodeObject* root) {
  Result<int, OsError> opened = open_for_writing(path);
  if (!opened) return std::move(opened.error());
  int fd = opened.value();
  FileSink sink(fd);
  Status<OsError> outcome = emit(sink, format, root);
  if (outcome.ok() && !sink.flush()) outcome = sink.error();
  if (!outcome.ok()) sink.flush_ignoring_errors();
  close_quietly(fd);
  return outcome;
}

// A str of `chars` characters up to `max_char`, decoded from the writer's UTF-8 as it goes.
template <class Unit>
PyObject* write_transcoded(const Format& format, const NodeObject* root, size_t chars,
                           Py_UCS4 max_char) {
  PyRef result = PyRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(chars), max_char));
  if (!result) return nullptr;
  TranscodingSink<Unit> sink(static_cast<Unit*>(PyUnicode_DATA(result.get())), chars);
  {
    GilRelease release;
    (void)emit(sink, format, root);
    sink.finish();
  }
  if (sink.units_left() != 0) {
    invariant_failed("the XML writer produced " + std::to_string(chars - sink.units_left()) +
                     " of the " + std::to_string(chars) + " characters it measured");
  }
  return result.release();
}

PyObject* write_string_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[3];
  if (!extract_args(write_string_signature, args, nargs, kwnames, arg)) return nullptr;
  if (!arg_node(arg[0])) return nullptr;
  Format format;
  if (!arg_indent(arg[1], &format.indent) || !arg_xml_def(arg[2], &format.declaration)) {
    return nullptr;
  }
  PyRef node = PyRef::borrow(arg[0]);
  const NodeObject* root = as_node(node.get());

  // Sized before anything is written: a result too large for a str fails here, whole, and a
  // result that fits is built in one allocation.
  OutputSize size;
  {
    GilRelease release;
    ExpansionGuard guard(root, kMinElementBytes, PY_SSIZE_T_MAX, true);
    size = measure_element(root, format.indent, true, guard);
  }
  uint64_t total = size.bytes + (format.declaration ? XML_DECLARATION.size() : 0);
  if (!size.fits || total < size.bytes || total > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_MemoryError, "the XML text would be too large for a str");
    return nullptr;
  }
  auto length = static_cast<size_t>(total);
  size_t chars = length - static_cast<size_t>(size.stats.continuation);

  // The result is built in place, in the kind of str its widest character needs, which the
  // largest byte tells: only ASCII below 0x80, lead bytes 0xC2 and 0xC3 for Latin-1, up to
  // 0xEF for the rest of the basic plane.
  uint8_t max_byte = size.stats.max_byte;
  if (max_byte < 0x80) {
    PyRef result = PyRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(length), 127));
    if (!result) return nullptr;
    FixedSink sink(static_cast<char*>(PyUnicode_DATA(result.get())), length);
    {
      GilRelease release;
      (void)emit(sink, format, root);  // writing to memory cannot fail
    }
    if (!sink.full()) size_mismatch(sink.size(), length);
    return result.release();
  }
  if (max_byte < 0xC4) return write_transcoded<uint8_t>(format, root, chars, 0xFF);
  if (max_byte < 0xF0) return write_transcoded<uint16_t>(format, root, chars, 0xFFFF);
  return write_transcoded<uint32_t>(format, root, chars, 0x10FFFF);
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
  const NodeObject* root = as_node(node.get());

  Status<OsError> outcome;
  bool fits;
  {
    GilRelease release;
    fits = fits_in_file(root, format.indent);
    if (fits) outcome = write_to_path(*path, format, root);
  }
  if (!fits) {
    PyErr_SetString(PyExc_OverflowError, "the XML text would be too large for a file");
    return nullptr;
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
