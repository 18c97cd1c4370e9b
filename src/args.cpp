// args.cpp: call-shape messages and argument conversion errors.
#include "args.hpp"

#include <climits>
#include <string>

#include "pyref.hpp"

namespace vx {
namespace {

const char* type_name(PyObject* obj) { return _PyType_Name(Py_TYPE(obj)); }

void raise_too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.n_required == sig.n_params) {
    PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given", sig.full_name,
                 sig.n_params, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given",
                 sig.full_name, sig.n_required, sig.n_params, given, verb);
  }
}

void raise_missing(const Signature& sig, PyObject** out) {
  std::string names;
  int missing = 0;
  for (int i = 0; i < sig.n_required; ++i) missing += out[i] == nullptr;
  int listed = 0;
  for (int i = 0; i < sig.n_required; ++i) {
    if (out[i]) continue;
    if (listed > 0) {
      if (missing == 2) {
        names += " and ";
      } else {
        names += listed == missing - 1 ? ", and " : ", ";
      }
    }
    names += "'";
    names += sig.params[i];
    names += "'";
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, "%s missing %d required positional argument%s: %s", sig.full_name,
               missing, missing == 1 ? "" : "s", names.c_str());
}

int param_index(const Signature& sig, PyObject* keyword) {
  for (int i = 0; i < sig.n_params; ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, sig.params[i]) == 0) return i;
  }
  return -1;
}

// Places one keyword argument; false with TypeError set on a bad keyword.
bool place_keyword(const Signature& sig, PyObject* keyword, PyObject* value, PyObject** out) {
  int i = param_index(sig, keyword);
  if (i < 0) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.full_name,
                 keyword);
    return false;
  }
  if (out[i]) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.full_name,
                 sig.params[i]);
    return false;
  }
  out[i] = value;
  return true;
}

bool place_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject** out) {
  for (int i = 0; i < sig.n_params; ++i) out[i] = nullptr;
  if (nargs > sig.n_params) {
    raise_too_many_positional(sig, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  return true;
}

bool check_required(const Signature& sig, PyObject** out) {
  for (int i = 0; i < sig.n_required; ++i) {
    if (!out[i]) {
      raise_missing(sig, out);
      return false;
    }
  }
  return true;
}

}  // namespace

bool extract_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  if (!place_positional(sig, args, nargs, out)) return false;
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return check_required(sig, out);
}

bool extract_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  if (!place_positional(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out)) return false;
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(sig, key, value, out)) return false;
    }
  }
  return check_required(sig, out);
}

void add_param_note(const char* param) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value) {
    PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", param));
    // Interned: a fresh name per call would take a new entry of the interpreter's method cache
    // each time.
    PyRef name = PyRef::steal(PyUnicode_InternFromString("add_note"));
    if (note && name) {
      PyObject* call_args[] = {value, note.get()};
      PyRef done = PyRef::steal(PyObject_VectorcallMethod(
          name.get(), call_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
      (void)done;
    }
    PyErr_Clear();  // a failure to attach the note is discarded
    if (traceback) PyException_SetTraceback(value, traceback);
  }
  PyErr_Restore(type, value, traceback);
}

void set_not_instance(PyObject* obj, const char* required) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", required);
  } else {
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", type_name(obj), required);
  }
}

std::optional<std::string_view> str_utf8(PyObject* obj) {
  if (!PyUnicode_Check(obj)) {
    set_not_instance(obj, "str");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!data) return std::nullopt;
  return std::string_view(data, static_cast<size_t>(size));
}

std::optional<std::string_view> arg_str(PyObject* obj, const char* param) {
  auto text = str_utf8(obj);
  if (!text) add_param_note(param);
  return text;
}

bool arg_opt_i32(PyObject* obj, const char* param, std::optional<int32_t>* out) {
  if (!obj || obj == Py_None) {
    out->reset();
    return true;
  }
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) {
    add_param_note(param);
    return false;
  }
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) {
    add_param_note(param);
    return false;
  }
  if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, overflow < 0 || value < 0
                                             ? "Python int too small to convert to C int"
                                             : "Python int too large to convert to C int");
    add_param_note(param);
    return false;
  }
  *out = static_cast<int32_t>(value);
  return true;
}

}  // namespace vx
