// stream_input.cpp: how the bytes of a stream reach its walk: plain OS reads of a path without
// the GIL, a file object's read() with it or on the read-ahead thread, and the decision of how
// they become UTF-8.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>

#include "decode/decode.hpp"
#include "decode/document_decoder.hpp"
#include "pyref.hpp"
#include "stream/codec_stream.hpp"
#include "stream/stream_decoder.hpp"
#include "stream/stream_object.hpp"

namespace vx::streaming {

namespace {

// Where the bytes read go: to the walk, or through the decoder first. A decoding failure is not
// one of reading: the walk goes on over the characters before it, and it is raised when the walk
// needs more (see reads_unlocked and step). A decoder that needs the GIL decodes in read_more.
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

bool decodes_with_gil(const StreamObject* self) { return self->decoder && self->decoder->needs_gil(); }

}  // namespace

bool decoding_failed(const StreamObject* self) { return self->decoder && self->decoder->failed(); }

namespace {

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

}  // namespace

void start_read_ahead(StreamObject* self) {
  if (!self->file || self->ahead_tried ||
      !self->decided || decodes_with_gil(self) ||
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
  return (self->fd >= 0 || self->ahead) && !decodes_with_gil(self) && !decoding_failed(self);
}

bool read_more(StreamObject* self) {
  bool ok;
  if (self->fd < 0) {
    ok = read_object(self);
  } else {
    OsError error;
    {
      GilRelease unlocked;
      ok = read_fd(self, &error);
    }
    if (!ok) raise_os_error(error);
  }
  return ok && (!self->decoder || self->decoder->decode_with_gil(self->stream));
}

namespace {

bool raise_decode_failed(const DecodeFailed& failed) {
  if (failed.read_error) {
    PyRef message = PyRef::steal(new_str(failed.read_error->text()));
    PyErr_SetObject(PyExc_ValueError, message.get());
  }
  return false;
}

// The walk goes over the decoder's UTF-8 from the start: what arrived so far goes through it.
// False with the Python error set.
bool start_decoding(StreamObject* self, std::unique_ptr<InputDecoder> decoder) {
  auto fresh = std::make_unique<ElementStream>(self->stream->tag());
  std::string_view held = self->stream->held();
  if (decoder->append(held.data(), held.size(), fresh.get()) && self->stream->input_ended()) {
    decoder->end_input(fresh.get());
  }
  delete self->stream;
  self->stream = fresh.release();
  self->decoder = decoder.release();
  self->decided = true;
  return self->decoder->decode_with_gil(self->stream);
}

}  // namespace

bool decide(StreamObject* self) {
  Sniffed sniffed = sniff_encoding(self->stream->held());
  DecodePlan plan;
  Status<DecodeFailed> planned = plan_encoding(sniffed, &plan);
  if (!planned) return raise_decode_failed(planned.error());
  if (plan.method == Method::Utf8) {
    self->decided = true;
    return true;
  }
  if (StreamDecoder::streams(plan.method)) return start_decoding(self, std::make_unique<StreamDecoder>(plan));
  std::unique_ptr<CodecStream> codec = CodecStream::open(plan, sniffed);
  return codec && start_decoding(self, std::move(codec));
}

}  // namespace vx::streaming
