// stream_entry.hpp: iter_elements as registered on the module.
#pragma once
#include <Python.h>

namespace vx {
extern PyMethodDef iter_elements_method;
}  // namespace vx
