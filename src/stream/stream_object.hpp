// stream_object.hpp: the iterator's state, shared by its Python side (stream_entry.cpp) and the
// way bytes reach its walk (stream_input.cpp).
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "boundary.hpp"
#include "stream/element_stream.hpp"
#include "stream/input_decoder.hpp"
#include "stream/read_ahead.hpp"

namespace vx::streaming {

// Bytes gathered before the encoding is decided: enough for any byte-order mark and declaration
// that sniffing reads.
constexpr size_t kSniffBytes = 4096;

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
  bool decided;  // the encoding is known: UTF-8 is walked as it is, others through `decoder`
  bool busy;
  bool done;
  InputDecoder* decoder;  // turns bytes of another encoding into UTF-8; maps error offsets
  Batch* batch;
  ReadAhead* ahead;  // calls the file object's read() on a thread of its own, once started
  uint64_t bytes_read;  // what the file object's read() gave on this thread
  bool ahead_tried;  // the read-ahead was started or found not to be wanted
};

// Ends the iteration: an opened file is closed and the walk's memory freed.
void finish(StreamObject* self);

// Decides from the first bytes gathered how the bytes become UTF-8. False with the Python error
// set.
bool decide(StreamObject* self);
// Starts the read-ahead thread once it is wanted.
void start_read_ahead(StreamObject* self);
// Whether more bytes can be read without the GIL, and reads them. False from read_unlocked when
// reading failed: the OS error is in `os_error`, or batch.read_failed marks the read-ahead's.
bool reads_unlocked(const StreamObject* self);
bool read_unlocked(StreamObject* self, std::optional<OsError>* os_error);
// Reads more with the GIL held. False with the Python error set.
bool read_more(StreamObject* self);
// The decoder met bytes its encoding does not allow (or, through a codec, found no way to decode
// them); the walk has had the characters before them, and self->decoder->failure() is the fault.
bool decoding_failed(const StreamObject* self);

}  // namespace vx::streaming
