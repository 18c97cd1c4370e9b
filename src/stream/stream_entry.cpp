// stream_entry.cpp: iter_elements and its iterator, the streaming reader's contact with Python:
// elements read in batches without the GIL and handed out one per next(), and the iterator's
// life (close, context manager, garbage collection).
#include "stream/stream_entry.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "args.hpp"
#include "boundary.hpp"
#include "entities/node.hpp"
#include "pyref.hpp"
#include "stream/stream_object.hpp"

namespace vx {
namespace streaming {

void finish(StreamObject* self) {
  self->done = true;
  delete self->ahead;  // before the file it reads goes
  self->ahead = nullptr;
  if (self->fd >= 0) {
    close(self->fd);
    self->fd = -1;
  }
  delete self->batch;
  self->batch = nullptr;
  delete self->stream;
  self->stream = nullptr;
  delete self->decoder;  // a codec's holds references: the GIL is held here
  self->decoder = nullptr;
  Py_CLEAR(self->file);
}

}  // namespace streaming

namespace {

using namespace streaming;

const char* const iter_elements_params[] = {"source", "tag"};
const Signature iter_elements_signature{"iter_elements()", iter_elements_params, 2, 2};

// Turns the records of one element (post-order, the root last) into nodes, with `maker` when
// given (no GIL needed) or make_node (GIL held). Null when memory ran out: with `maker` the nodes
// made so far are then left in batch.stranded, for release with the GIL; with make_node the
// exception is set and they are released already.
PyObject* make_tree(RecordTree& tree, UnpublishedNodes* maker, Batch& batch) {
  std::vector<PyObject*>& made = batch.made;
  made.clear();
  for (NodeRecord& r : tree.records) {
    size_t count = static_cast<size_t>(r.child_count);
    if (count > made.size()) invariant_failed("record claims more children than were built");
    PyObject* const* children = made.data() + (made.size() - count);
    PyObject* node = maker ? maker->make(std::move(r.name), std::move(r.text), std::move(r.attrs),
                                         children, count)
                           : make_node(std::move(r.name), std::move(r.text), std::move(r.attrs),
                                       children, count);
    if (!node) {
      if (maker) {
        batch.stranded.insert(batch.stranded.end(), made.begin(), made.end());
      } else {
        made.resize(made.size() - count);  // make_node released the children
        for (PyObject* o : made) Py_DECREF(o);
      }
      made.clear();
      return nullptr;
    }
    made.resize(made.size() - count);  // the node holds the children's references now
    made.push_back(node);
  }
  if (made.size() != 1) invariant_failed("records do not form one tree");
  PyObject* root = made.back();
  made.clear();
  return root;
}

PyObject* hand_out(Batch& batch) { return batch.nodes[batch.next++]; }

// Reads on without the GIL until the batch is full or the walk stops; the event it stopped at.
StreamEvent fill_batch(StreamObject* self, UnpublishedNodes* maker,
                       std::optional<OsError>* os_error) {
  Batch& batch = *self->batch;
  const BatchLimits limits = self->ahead ? kBatchBesideReadAhead : kBatch;
  GilRelease unlocked;
  AttrLeaseScope attr_leases(0);
  size_t bytes = 0;
  while (true) {
    StreamEvent event = self->stream->next();
    if (event == StreamEvent::NeedInput && reads_unlocked(self)) {
      if (!read_unlocked(self, os_error)) return event;
      continue;
    }
    if (event != StreamEvent::Element) return event;
    bytes += self->stream->tree_bytes();
    RecordTree tree = self->stream->take_tree();
    PyObject* root = make_tree(tree, maker, batch);
    recycle_tree(std::move(tree));
    if (!root) {
      batch.out_of_memory = true;
      return event;
    }
    batch.nodes.push_back(root);
    if (batch.nodes.size() >= limits.trees || bytes >= limits.bytes) return event;
  }
}

// Reads one element's tree with the GIL held and makes its nodes with make_node, as debug and
// free-threaded interpreters need: no batch.
StreamEvent fill_one(StreamObject* self, std::optional<OsError>* os_error) {
  StreamEvent event;
  {
    GilRelease unlocked;
    while ((event = self->stream->next()) == StreamEvent::NeedInput && reads_unlocked(self)) {
      if (!read_unlocked(self, os_error)) break;
    }
  }
  if (event == StreamEvent::Element) {
    Batch& batch = *self->batch;
    RecordTree tree = self->stream->take_tree();
    PyObject* root = make_tree(tree, nullptr, batch);
    recycle_tree(std::move(tree));
    if (!root) return StreamEvent::Failed;  // the exception is set
    batch.nodes.push_back(root);
  }
  return event;
}

// Memory ran out while the nodes of an element were made: the iteration ends with MemoryError,
// after the elements made before it.
PyObject* out_of_memory(StreamObject* self) {
  finish(self);
  return PyErr_NoMemory();
}

// Bytes the encoding does not allow: the iteration ends with their ValueError, after the elements
// before them.
PyObject* raise_decoding_failure(StreamObject* self) {
  PyRef message = PyRef::steal(new_str(self->decoder->failure().text()));
  finish(self);
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
  return nullptr;
}

// The read-ahead's read() failed: its exception ends the iteration, after the elements before.
PyObject* read_failed(StreamObject* self) {
  self->ahead->raise_failure();
  finish(self);
  return nullptr;
}

PyObject* step(StreamObject* self) {
  Batch& batch = *self->batch;
  if (batch.next < batch.nodes.size()) return hand_out(batch);
  batch.nodes.clear();
  batch.next = 0;
  if (batch.os_error) {
    OsError error = std::move(*batch.os_error);
    finish(self);
    raise_os_error(error);
    return nullptr;
  }
  if (batch.out_of_memory) return out_of_memory(self);
  if (batch.read_failed) return read_failed(self);
  while (true) {
    if (!self->decided) {
      if (!self->stream->input_ended() && self->stream->held().size() < kSniffBytes) {
        if (!read_more(self)) return nullptr;
        continue;
      }
      if (!decide(self)) return nullptr;
    }
    start_read_ahead(self);
    StreamEvent event;
    std::optional<OsError> os_error;
    if constexpr (kNodesWithoutGil) {
      UnpublishedNodes maker(0);
      event = fill_batch(self, &maker, &os_error);
      maker.publish();
      for (PyObject* o : batch.stranded) Py_DECREF(o);
      batch.stranded.clear();
      if (batch.out_of_memory && batch.nodes.empty()) return out_of_memory(self);
    } else {
      event = fill_one(self, &os_error);
      if (event == StreamEvent::Failed && PyErr_Occurred()) return nullptr;
    }
    if (!batch.nodes.empty()) {
      batch.os_error = std::move(os_error);
      return hand_out(batch);
    }
    if (os_error) {
      finish(self);
      raise_os_error(*os_error);
      return nullptr;
    }
    if (batch.read_failed) return read_failed(self);
    switch (event) {
      case StreamEvent::NeedInput:
        if (decoding_failed(self)) return raise_decoding_failure(self);
        if (!read_more(self)) return nullptr;
        continue;
      case StreamEvent::Element:
        invariant_failed("an element read and no node made");
      case StreamEvent::End:
        finish(self);
        return nullptr;
      case StreamEvent::Failed: {
        ReadError error = self->stream->error();
        if (self->decoder) error = self->decoder->to_input(std::move(error));
        finish(self);
        PyRef message = PyRef::steal(new_str(error.text()));
        PyErr_SetObject(PyExc_ValueError, message.get());
        return nullptr;
      }
    }
  }
}

bool refuse_if_busy(StreamObject* self) {
  if (!self->busy) return false;
  PyErr_SetString(PyExc_ValueError, "iter_elements() iterator already executing");
  return true;
}

PyObject* stream_next(PyObject* obj) {
  auto* self = reinterpret_cast<StreamObject*>(obj);
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (refuse_if_busy(self) || self->done) return nullptr;
    self->busy = true;
    struct Idle {
      StreamObject* s;
      ~Idle() { s->busy = false; }
    } idle{self};
    PyObject* node = step(self);
    if (!node && PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_MemoryError)) finish(self);
    return node;
  });
}

PyObject* stream_close(PyObject* obj, PyObject*) {
  auto* self = reinterpret_cast<StreamObject*>(obj);
  if (refuse_if_busy(self)) return nullptr;
  finish(self);
  Py_RETURN_NONE;
}

PyObject* stream_enter(PyObject* obj, PyObject*) { return Py_NewRef(obj); }

PyObject* stream_exit(PyObject* obj, PyObject* const*, Py_ssize_t) {
  if (!stream_close(obj, nullptr)) return nullptr;
  Py_DECREF(Py_None);
  Py_RETURN_FALSE;
}

// A file object given by the caller can refer back to the iterator (an attribute, a closure, a
// wrapper that keeps its reader), so an iterator holding one is tracked by the collector; one
// reading a path refers to no Python object and is not.
int stream_traverse(PyObject* obj, visitproc visit, void* arg) {
  auto* self = reinterpret_cast<StreamObject*>(obj);
  Py_VISIT(self->file);
  Py_VISIT(Py_TYPE(obj));
  return 0;
}

// Only for an iterator in a cycle nothing else reaches: it ends as close() ends it.
int stream_clear(PyObject* obj) {
  auto* self = reinterpret_cast<StreamObject*>(obj);
  if (!self->busy) finish(self);
  return 0;
}

void stream_dealloc(PyObject* obj) {
  auto* self = reinterpret_cast<StreamObject*>(obj);
  PyObject_GC_UnTrack(obj);
  finish(self);
  PyTypeObject* type = Py_TYPE(obj);
  type->tp_free(obj);
  Py_DECREF(type);
}

PyMethodDef stream_methods[] = {
    {"close", stream_close, METH_NOARGS,
     "Stops the iteration; a file the iterator opened is closed."},
    {"__enter__", stream_enter, METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_exit)),
     METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot stream_slots[] = {
    {Py_tp_doc, const_cast<char*>("Iterator over the elements of a stream, made by iter_elements().")},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(stream_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(stream_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(stream_next)},
    {Py_tp_methods, stream_methods},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    "vantelix.ElementIterator",
    static_cast<int>(sizeof(StreamObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_HAVE_GC,
    stream_slots,
};

// Made on first use and kept for the life of the process, like the module's other types.
PyTypeObject* stream_type() {
  static PyTypeObject* type = nullptr;
  if (!type) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&stream_spec));
  return type;
}

PyObject* iter_elements_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyTypeObject* type = stream_type();
    if (!type) return nullptr;
    PyObject* arg[2];
    if (!extract_args(iter_elements_signature, args, nargs, kwnames, arg)) return nullptr;
    PyObject* source = arg[0];
    std::optional<std::string> path;
    if (PyUnicode_Check(source) || PyObject_HasAttrString(source, "__fspath__")) {
      PyObject* encoded = nullptr;
      if (!PyUnicode_FSConverter(source, &encoded)) {
        add_param_note("source");
        return nullptr;
      }
      path.emplace(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
      Py_DECREF(encoded);
    } else if (!PyObject_HasAttrString(source, "read")) {
      PyErr_Format(PyExc_TypeError,
                   "iter_elements() source must be a path or a binary file object, not '%.200s'",
                   _PyType_Name(Py_TYPE(source)));
      add_param_note("source");
      return nullptr;
    }
    std::optional<std::string_view> tag = arg_str(arg[1], "tag");
    if (!tag) return nullptr;
    int fd = -1;
    if (path) {
      int code = 0;
      {
        GilRelease unlocked;
        fd = open(path->c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) code = errno;
      }
      if (fd < 0) {
        raise_os_error(OsError{code, {}});
        return nullptr;
      }
    }
    auto* self = PyObject_GC_New(StreamObject, type);
    if (!self) {
      if (fd >= 0) close(fd);
      return nullptr;
    }
    self->stream = nullptr;
    self->file = path ? nullptr : Py_NewRef(source);
    self->fd = fd;
    self->decided = false;
    self->busy = false;
    self->done = false;
    self->decoder = nullptr;
    self->batch = nullptr;
    self->ahead = nullptr;
    self->bytes_read = 0;
    self->ahead_tried = false;
    PyRef owned = PyRef::steal(reinterpret_cast<PyObject*>(self));
    self->stream = new ElementStream(std::string(*tag));
    self->batch = new Batch();
    if (self->file) PyObject_GC_Track(self);
    return owned.release();
  });
}

}  // namespace

PyMethodDef iter_elements_method = {
    "iter_elements", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iter_elements_impl)),
    METH_FASTCALL | METH_KEYWORDS,
    "iter_elements(source, tag)\n--\n\n"
    "Iterates, in document order, over the elements named tag that lie inside no other element\n"
    "named tag, reading the document as a stream. source is a path (opened and closed here) or a\n"
    "binary file object (never closed here). Each element is a Node tree holding only its own\n"
    "text; the whole document is checked as it passes, and a fault raises ValueError from the\n"
    "next() that reaches it. Use close(), or a with block, to stop early."};

}  // namespace vx
