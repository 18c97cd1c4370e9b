// write_entry.hpp: the writing functions as registered on the module.
#pragma once
#include <Python.h>

namespace vx {
extern PyMethodDef write_file_method;
extern PyMethodDef write_string_method;
}  // namespace vx
