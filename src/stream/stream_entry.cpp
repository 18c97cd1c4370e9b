// stream_entry.cpp: iter_elements and its iterator, the streaming reader's contact with Python.
// Bytes of a path are read with plain OS reads while the GIL is released; a file object's `read`
// is called with the GIL held, and the walk over what it returned runs without it.
#include "stream/stream_entry.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "args.hpp"
#include "boundary.hpp"
#include "decode/decode.hpp"
#include "decode/document_decoder.hpp"
#include "entities/node.hpp"
#include "pyref.hpp"
#include "storage/big_block.hpp"
#include "stream/element_stream.hpp"
#include "stream/read_ahead.hpp"
#include "stream/stream_decoder.hpp"

namespace vx {
namespace {

const char* const iter_elements_params[] = {"source", "tag"};
const Signature iter_elements_signature{"iter_elements()", iter_elements_params, 2, 2};

// Bytes gathered before the encoding is decided: enough for any byte-order mark and declaration
// that sniffing reads.
constexpr size_t kSniffBytes = 4096;

// How the bytes become the UTF-8 that is walked: as they are, through the stream decoder as they
// arrive, or (for encodings only the interpreter's codecs decode) all of them at once.
enum class Mode : uint8_t { Undecided, Utf8, Transcoded, Decoded };

// Elements are read in batches: the GIL is let go once per batch, and the nodes of its trees are
// made right away without it (where the interpreter allows, see kNodesWithoutGil), their memory
// and their attribute maps' taken from chunks leased for the batch rather than under the arenas'
// locks one block at a time. The roots wait in `nodes` to be handed out one per next(). A batch
// ends after kBatch.trees trees or kBatch.bytes bytes of elements, and wherever the walk stops: the
// file object's read is needed, or the stream ends or fails, which the walk says again once the
// batch is handed out. An OS error met while reading, or memory running out while nodes are
// made, waits the same way. While a read-ahead thread runs (see start_read_ahead) batches are
// larger: each one takes the GIL back from a thread that holds it for the Python parts of read(),
// and fewer hand-overs save more than the nodes that stay out of cache cost.
struct BatchLimits {
  size_t trees;
  size_t bytes;
};
constexpr BatchLimits kBatch{32, 128 * 1024};
constexpr BatchLimits kBatchBesideReadAhead{512, 1024 * 1024};

struct Batch {
  Batch() { nodes.reserve(kBatch.trees); }
  ~Batch() {
    for (size_t i = next; i < nodes.size(); ++i) Py_DECREF(nodes[i]);
  }
  std::vector<PyObject*> nodes;  // roots made and not yet handed out
  size_t next = 0;
  std::vector<PyObject*> made;      // the post-order stack of the tree being made
  std::vector<PyObject*> stranded;  // nodes left by a make that ran out of memory
  bool out_of_memory = false;
  bool read_failed = false;  // the read-ahead's read() failed: it holds the exception
  std::optional<OsError> os_error;
};

struct StreamObject {
  PyObject_HEAD
  ElementStream* stream;
  PyObject* file;  // a file object given by the caller, never closed here
  int fd;          // a file opened here, -1 when none
  Mode mode;
  bool busy;
  bool done;
  StreamDecoder* decoder;    // Mode::Transcoded: turns the bytes into UTF-8; maps error offsets
  DecodedDocument* decoded;  // Mode::Decoded: the document decoded whole; maps error offsets
  Batch* batch;
  ReadAhead* ahead;  // calls the file object's read() on a thread of its own, once started
  uint64_t bytes_read;  // what the file object's read() gave on this thread
  bool ahead_tried;  // the read-ahead was started or found not to be wanted
};

// Ends the iteration: an opened file is closed and the walk's memory freed.
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
  delete self->decoder;
  self->decoder = nullptr;
  delete self->decoded;
  self->decoded = nullptr;
  Py_CLEAR(self->file);
}

// Where the bytes read go: to the walk, or through the decoder first. A decoding failure is not
// one of reading: the walk goes on over the characters before it, and it is raised when the walk
// needs more (see reads_unlocked and step).
char* input_space(StreamObject* self, size_t n) {
  return self->decoder ? self->decoder->input_space(n) : self->stream->input_space(n);
}

void commit_input(StreamObject* self, size_t n) {
  if (self->decoder) {
    self->decoder->commit(n, self->stream);
  } else {
    self->stream->commit(n);
  }
}

void append_input(StreamObject* self, const char* data, size_t n) {
  if (self->decoder) {
    self->decoder->append(data, n, self->stream);
  } else {
    self->stream->append(data, n);
  }
}

void end_input(StreamObject* self) {
  if (self->decoder) {
    self->decoder->end_input(self->stream);
  } else {
    self->stream->end_input();
  }
}

bool decoding_failed(const StreamObject* self) { return self->decoder && self->decoder->failed(); }

// Reads from the opened file without the GIL. False with the OS error in `error`.
bool read_fd(StreamObject* self, OsError* error) {
  while (true) {
    char* space = input_space(self, kStreamChunk);
    ssize_t got = read(self->fd, space, kStreamChunk);
    if (got < 0 && errno == EINTR) {
      commit_input(self, 0);
      continue;
    }
    if (got < 0) {
      *error = OsError{errno, {}};
      commit_input(self, 0);
      return false;
    }
    commit_input(self, static_cast<size_t>(got));
    if (got == 0) end_input(self);
    return true;
  }
}

// One chunk from the file object, with the GIL. False with the Python error set.
bool read_object(StreamObject* self) {
  PyRef got = PyRef::steal(PyObject_CallMethod(self->file, "read", "n",
                                               static_cast<Py_ssize_t>(kStreamChunk)));
  if (!got) return false;
  size_t len = 0;
  char* space = input_space(self, kStreamChunk);
  bool ok = copy_read_result(got.get(), space, kStreamChunk, &len);
  commit_input(self, len);
  if (!ok) return false;
  self->bytes_read += len;
  if (len == 0) end_input(self);
  return true;
}

// A file object's read() is called ahead on a thread of its own once the stream has shown itself
// longer than a few chunks: what read() costs (decompressing, say) is then paid beside the walk.
// Only for the io module's file objects, whose read() may be called from any thread (some other
// objects refuse all but their own), and only over a regular file: a socket's or a pipe's read()
// can wait without end, and a read under way would hold up close() and the caller's own use of
// the file after it.
// The thread reads chunks smaller than the walk's own: a read() result of 256 KB takes fresh pages
// from the allocator each time, faulted in while the GIL is held.
constexpr uint64_t kBytesBeforeAhead = 2 * kStreamChunk;
constexpr size_t kReadAheadChunk = 64 * 1024;

bool is_io_object(PyObject* file) {
  PyRef io = PyRef::steal(PyImport_ImportModule("io"));
  PyRef base = io ? PyRef::steal(PyObject_GetAttrString(io.get(), "IOBase")) : PyRef();
  int is_io = base ? PyObject_IsInstance(file, base.get()) : -1;
  if (is_io < 0) PyErr_Clear();
  return is_io == 1;
}

bool reads_a_regular_file(PyObject* file) {
  PyRef fileno = PyRef::steal(PyObject_CallMethod(file, "fileno", nullptr));
  long fd = fileno ? PyLong_AsLong(fileno.get()) : -1;
  if (fd < 0 || fd > INT_MAX) {
    PyErr_Clear();
    return false;
  }
  struct stat st;
  return fstat(static_cast<int>(fd), &st) == 0 && S_ISREG(st.st_mode);
}

void start_read_ahead(StreamObject* self) {
  if (!self->file || self->ahead_tried ||
      (self->mode != Mode::Utf8 && self->mode != Mode::Transcoded) ||
      self->bytes_read < kBytesBeforeAhead || self->stream->input_ended()) {
    return;
  }
  self->ahead_tried = true;
  if (is_io_object(self->file) && reads_a_regular_file(self->file)) {
    self->ahead = ReadAhead::for_file_object(self->file, kReadAheadChunk).release();
  }
}

// Without the GIL: more bytes for the walk, from the read-ahead or the opened file. False when
// reading failed: the OS error is in `os_error`, or batch.read_failed marks the read-ahead's.
bool read_unlocked(StreamObject* self, std::optional<OsError>* os_error) {
  if (ReadAhead* ahead = self->ahead) {
    switch (ahead->wait()) {
      case ReadAhead::Got::Bytes: {
        std::string_view chunk = ahead->chunk();
        append_input(self, chunk.data(), chunk.size());
        ahead->release();
        return true;
      }
      case ReadAhead::Got::End:
        end_input(self);
        return true;
      case ReadAhead::Got::Failed:
        self->batch->read_failed = true;
        return false;
    }
  }
  OsError error;
  if (read_fd(self, &error)) return true;
  *os_error = std::move(error);
  return false;
}

bool reads_unlocked(const StreamObject* self) {
  return (self->fd >= 0 || self->ahead) && !decoding_failed(self);
}

bool read_more(StreamObject* self) {
  if (self->fd < 0) return read_object(self);
  OsError error;
  bool ok;
  {
    GilRelease unlocked;
    ok = read_fd(self, &error);
  }
  if (!ok) raise_os_error(error);
  return ok;
}

bool raise_decode_failed(const DecodeFailed& failed) {
  if (failed.read_error) {
    PyRef message = PyRef::steal(new_str(failed.read_error->text()));
    PyErr_SetObject(PyExc_ValueError, message.get());
  }
  return false;
}

// The walk goes over the decoder's UTF-8 from the start: what arrived so far goes through it.
void start_transcoding(StreamObject* self, const DecodePlan& plan) {
  auto decoder = std::make_unique<StreamDecoder>(plan);
  auto fresh = std::make_unique<ElementStream>(self->stream->tag());
  std::string_view held = self->stream->held();
  if (decoder->append(held.data(), held.size(), fresh.get()) && self->stream->input_ended()) {
    decoder->end_input(fresh.get());
  }
  delete self->stream;
  self->stream = fresh.release();
  self->decoder = decoder.release();
  self->mode = Mode::Transcoded;
}

// Encodings that only the interpreter's codecs decode are read whole and decoded first, and the
// walk then goes over the decoded text with offsets mapped back.
bool decode_whole(StreamObject* self, const Sniffed& sniffed) {
  while (!self->stream->input_ended()) {
    if (!read_more(self)) return false;
  }
  std::string_view all = self->stream->held();
  char* copy = static_cast<char*>(big_alloc(all.size() + 1));
  if (!copy) throw std::bad_alloc();
  std::memcpy(copy, all.data(), all.size());
  SourceRef input(SourceText::adopt(copy, all.size(), all.size() + 1));
  auto decoded = std::make_unique<DecodedDocument>();
  Status<DecodeFailed> ok = decode_document(std::move(input), sniffed, decoded.get());
  if (!ok) return raise_decode_failed(ok.error());
  auto fresh = std::make_unique<ElementStream>(self->stream->tag());
  std::string_view text = decoded->text()->view();
  fresh->append(text.data(), text.size());
  fresh->end_input();
  delete self->stream;
  self->stream = fresh.release();
  self->decoded = decoded.release();
  self->mode = Mode::Decoded;
  return true;
}

bool decide(StreamObject* self) {
  Sniffed sniffed = sniff_encoding(self->stream->held());
  DecodePlan plan;
  Status<DecodeFailed> planned = plan_encoding(sniffed, &plan);
  if (!planned) return raise_decode_failed(planned.error());
  if (plan.method == Method::Utf8) {
    self->mode = Mode::Utf8;
    return true;
  }
  if (StreamDecoder::streams(plan.method)) {
    start_transcoding(self, plan);
    return true;
  }
  return decode_whole(self, sniffed);
}

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
    if (self->mode == Mode::Undecided) {
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
        if (self->decoded) error = self->decoded->to_input(std::move(error));
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
    self->mode = Mode::Undecided;
    self->busy = false;
    self->done = false;
    self->decoder = nullptr;
    self->decoded = nullptr;
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
