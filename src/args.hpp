// args.hpp: argument extraction against fixed signatures, and conversion errors with notes.
#pragma once
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace vx {

// The description of one callable's parameters; every parameter is positional-or-keyword and
// the required ones come first.
struct Signature {
  const char* full_name;       // "read_string()", "Node.__new__()"
  const char* const* params;   // parameter names in order
  int n_params;
  int n_required;
};

// Fills out[0..n_params) with borrowed references (null for omitted) from a vectorcall.
// Raises the call-shape TypeError and returns false on a bad call.
bool extract_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  PyObject** out);
// The same for a tuple and an optional dict (tp_new).
bool extract_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Attaches "while processing '<param>'" to the current exception (failures to attach are dropped).
void add_param_note(const char* param);

// Sets TypeError "'<type>' object is not an instance of '<required>'" ('None' is ... for None).
void set_not_instance(PyObject* obj, const char* required);

// Conversions; on failure the exception is set, with the parameter's note, and the result empty.
std::optional<std::string_view> arg_str(PyObject* obj, const char* param);
// None (or omitted) maps to `absent`; otherwise a signed 32-bit integer by the interpreter's
// index conversion (OverflowError when it does not fit).
bool arg_opt_i32(PyObject* obj, const char* param, std::optional<int32_t>* out);

// The UTF-8 of a str (or subclass), without the note. Null on failure with the error set.
std::optional<std::string_view> str_utf8(PyObject* obj);

}  // namespace vx
