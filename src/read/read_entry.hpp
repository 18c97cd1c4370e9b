// read_entry.hpp: the reading functions as registered on the module.
#pragma once
#include <Python.h>

namespace vx {
extern PyMethodDef read_bytes_method;
extern PyMethodDef read_file_method;
extern PyMethodDef read_string_method;
}  // namespace vx
