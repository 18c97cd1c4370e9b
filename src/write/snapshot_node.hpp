// snapshot_node.hpp: copying a Node tree into a NodeSnapshot, with the GIL held.
#pragma once
#include <Python.h>

#include "write/serialiser.hpp"

namespace vx {

// The snapshot of the tree under `node`, which must be a Node. Shared-range strings take counts
// of their source text; owned strings and attribute maps are copied (maps keep their order).
NodeSnapshot snapshot_node(PyObject* node);

}  // namespace vx
