// read_entry.cpp: read_string and read_file, the reader's only contact with Python.
#include "read/read_entry.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "args.hpp"
#include "decode/decode.hpp"
#include "decode/document_decoder.hpp"
#include "boundary.hpp"
#include "entities/node.hpp"
#include "per_thread.hpp"
#include "read/tree_builder.hpp"
#include "read/unicode.hpp"
#include "storage/big_block.hpp"

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace vx {
namespace {

const char* const read_string_params[] = {"xml_string", "root_tag"};
const Signature read_string_signature{"read_string()", read_string_params, 2, 2};
const char* const read_file_params[] = {"file_path", "root_tag"};
const Signature read_file_signature{"read_file()", read_file_params, 2, 2};
const char* const read_bytes_params[] = {"data", "root_tag"};
const Signature read_bytes_signature{"read_bytes()", read_bytes_params, 2, 2};


// Closes a descriptor on every way out.
struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// Backs [p, p + len) with pages in one call rather than one fault per page; best effort.
void populate(char* p, size_t len) {
  constexpr uintptr_t page = 4096;
  uintptr_t from = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
  uintptr_t to = (reinterpret_cast<uintptr_t>(p) + len) & ~(page - 1);
  if (to > from + 16 * page) {
    madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
  }
}

// The whole file in one buffer of big_alloc (handed to the caller), or the OS error. No GIL.
Result<SourceText*, OsError> load_file(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return OsError{0, "file name contained an unexpected NUL byte"};
  }
  Fd file{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) return OsError{errno, {}};
  struct stat st;
  if (fstat(file.fd, &st) != 0) return OsError{errno, {}};
  // Regular files report their size; anything else is read until it ends.
  size_t capacity = S_ISREG(st.st_mode) && st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1
                                                          : 64 * 1024;
  char* buffer = static_cast<char*>(big_alloc(capacity));
  if (!buffer) throw std::bad_alloc();
  populate(buffer, capacity);
  size_t size = 0;
  while (true) {
    if (size == capacity) {
      char* bigger = static_cast<char*>(big_realloc(buffer, capacity, capacity * 2));
      if (!bigger) {
        big_free(buffer, capacity);
        throw std::bad_alloc();
      }
      buffer = bigger;
      capacity *= 2;
    }
    ssize_t got = read(file.fd, buffer + size, capacity - size);
    if (got < 0) {
      if (errno == EINTR) continue;
      int code = errno;
      big_free(buffer, capacity);
      return OsError{code, {}};
    }
    if (got == 0) break;
    size += static_cast<size_t>(got);
  }
  return SourceText::adopt(buffer, size, capacity);
}

// Records finished per batch: their storage (a few MB) is reused for every batch and every read
// on the thread, so even a huge document takes no fresh pages for records.
constexpr size_t kRecordBatch = 32 * 1024;

// Turns post-order records into Node objects, children first, with a stack of made nodes that
// carries over from batch to batch (a subtree's children may come from earlier batches). Where
// the interpreter allows it (kNodesWithoutGil) the nodes are made without the GIL, as the
// records come; otherwise with the GIL, a batch at a time.
class NodeAssembler {
 public:
  explicit NodeAssembler(size_t document_bytes)
      : made_(per_thread<WrapStack>().nodes), unpublished_(std::in_place, document_bytes) {
    made_.clear();
  }
  ~NodeAssembler() {
    unpublished_.reset();  // before any node is released
    for (PyObject* node : made_) Py_DECREF(node);
    made_.clear();
    if (made_.capacity() > kRetainedStack) Stack().swap(made_);
  }
  NodeAssembler(const NodeAssembler&) = delete;
  NodeAssembler& operator=(const NodeAssembler&) = delete;

  // Consumes every record of the batch, with the GIL. False with the interpreter's error set.
  bool consume(RecordBuffer& records) {
    return consume_with([](NodeRecord& r, PyObject* const* children, size_t count) {
      // make_node takes the children's references, whether it succeeds or not.
      return make_node(std::move(r.name), std::move(r.text), std::move(r.attrs), children, count);
    }, records, true);
  }

  // The same without the GIL (kNodesWithoutGil only). False when memory ran out; nothing is set.
  bool consume_unpublished(RecordBuffer& records) {
    UnpublishedNodes& nodes = *unpublished_;
    return consume_with([&nodes](NodeRecord& r, PyObject* const* children, size_t count) {
      return nodes.make(std::move(r.name), std::move(r.text), std::move(r.attrs), children, count);
    }, records, false);
  }

  // GIL held: the nodes made without it may now be released.
  void publish() { unpublished_->publish(); }

  PyObject* take_root() {
    if (made_.size() != 1) invariant_failed("records do not form one tree");
    unpublished_.reset();
    PyObject* root = made_.back();
    made_.clear();
    return root;
  }

 private:
  template <class Make>
  bool consume_with(Make make, RecordBuffer& records, bool failure_takes_children) {
    struct Forget {
      RecordBuffer& r;
      ~Forget() { r.recycle(kRetainedRecordBytes); }  // destroys what was not moved out
    } forget{records};
    for (NodeRecord& r : records) {
      size_t count = static_cast<size_t>(r.child_count);
      if (count > made_.size()) invariant_failed("record claims more children than were built");
      PyObject* node = make(r, made_.data() + (made_.size() - count), count);
      if (!node) {
        if (failure_takes_children) made_.resize(made_.size() - count);
        return false;
      }
      made_.resize(made_.size() - count);
      made_.push_back(node);
    }
    records.forget_moved_from();  // every name, text and map went into a node
    return true;
  }

  // Wide documents stack millions of nodes: such a stack comes from huge pages. Up to this many
  // entries it is kept for the thread's next read, which a process that has dropped its trees
  // still holds.
  static constexpr size_t kRetainedStack = 64 * 1024;
  using Stack = std::vector<PyObject*, BigBlockAllocator<PyObject*>>;
  struct WrapStack {
    Stack nodes;
  };
  Stack& made_;
  std::optional<UnpublishedNodes> unpublished_;
};

PyObject* raise_read_error(const ReadError& error, const DecodedDocument* decoded = nullptr) {
  if (decoded) return raise_read_error(decoded->to_input(error));
  PyRef message = PyRef::steal(new_str(error.text()));
  PyErr_SetObject(PyExc_ValueError, message.get());
  return nullptr;
}

// Reads the document and makes its nodes with the GIL released, taking it back only at the end;
// no node is visible to Python before the whole tree is complete.
PyObject* read_nodes_without_gil(SourceText* source, const std::string& root_tag,
                                 const DecodedDocument* decoded, bool check_utf8) {
  NodeAssembler nodes(source->size());
  std::optional<TreeReader> reader;
  ReadProgress progress;
  bool made = true;
  {
    GilRelease unlocked;
    reader.emplace(source, root_tag, check_utf8);
    do {
      progress = reader->run(kRecordBatch);
      if (progress == ReadProgress::Failed) break;
      made = nodes.consume_unpublished(reader->records());
    } while (made && progress != ReadProgress::Done);
  }
  nodes.publish();
  if (progress == ReadProgress::Failed) return raise_read_error(reader->take_error(), decoded);
  if (!made) return PyErr_NoMemory();
  return nodes.take_root();
}

// Runs the walk with the GIL released, taking it back between batches only to turn finished
// records into nodes.
PyObject* read_nodes_with_gil(SourceText* source, const std::string& root_tag,
                              const DecodedDocument* decoded, bool check_utf8) {
  NodeAssembler nodes(source->size());
  std::optional<TreeReader> reader;
  while (true) {
    ReadProgress progress;
    {
      GilRelease unlocked;
      if (!reader) reader.emplace(source, root_tag, check_utf8);
      progress = reader->run(kRecordBatch);
    }
    if (progress == ReadProgress::Failed) return raise_read_error(reader->take_error(), decoded);
    if (!nodes.consume(reader->records())) return nullptr;
    if (progress == ReadProgress::Done) return nodes.take_root();
  }
}

// `decoded`, when the text was decoded from other bytes, moves error offsets back to them;
// `check_utf8` has the reader check bytes that are not known to be UTF-8 as it goes.
PyObject* read_nodes(SourceText* source, const std::string& root_tag,
                     const DecodedDocument* decoded = nullptr, bool check_utf8 = false) {
  if constexpr (kNodesWithoutGil) return read_nodes_without_gil(source, root_tag, decoded, check_utf8);
  return read_nodes_with_gil(source, root_tag, decoded, check_utf8);
}

// Decodes the document held by `input` by its mark and declaration and reads it. GIL held.
PyObject* read_decoded(SourceRef input, const Sniffed& sniffed, const std::string& root_tag) {
  DecodedDocument document;
  Status<DecodeFailed> decoded = decode_document(std::move(input), sniffed, &document);
  if (!decoded) {
    if (decoded.error().read_error) return raise_read_error(*decoded.error().read_error);
    return nullptr;
  }
  return read_nodes(document.text(), root_tag, &document, document.check_utf8());
}

// The bytes of any buffer: a bytes object is shared (it cannot change), anything else is
// copied at once, so that the tree never sees later changes and the buffer is not held.
SourceText* buffer_source(PyObject* data) {
  if (PyBytes_Check(data)) {
    PyRef owner = PyRef::borrow(data);
    SourceText* text = SourceText::borrow(owner.get(), PyBytes_AS_STRING(data),
                                          static_cast<size_t>(PyBytes_GET_SIZE(data)));
    (void)owner.release();
    return text;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_FULL_RO) < 0) {
    add_param_note("data");
    return nullptr;
  }
  size_t size = static_cast<size_t>(view.len);
  char* copy = static_cast<char*>(big_alloc(size + 1));
  if (!copy) {
    PyBuffer_Release(&view);
    throw std::bad_alloc();
  }
  int copied = PyBuffer_ToContiguous(copy, &view, view.len, 'C');
  PyBuffer_Release(&view);
  if (copied < 0) {
    big_free(copy, size + 1);
    return nullptr;
  }
  return SourceText::adopt(copy, size, size + 1);
}

// Whether the UTF-8 of `str` is better made here than asked of the interpreter: a compact str
// that is not ASCII and whose UTF-8 form the interpreter has not made yet. The interpreter's
// encoder goes character by character, and the form it makes stays attached to the str, a second
// copy of the document, for as long as the str lives. ASCII strs are their own UTF-8.
bool makes_own_utf8(PyObject* str) {
  return PyUnicode_IS_COMPACT(str) && !PyUnicode_IS_ASCII(str) &&
         reinterpret_cast<PyCompactUnicodeObject*>(str)->utf8 == nullptr;
}

// Strs longer than this are encoded with the GIL released.
constexpr Py_ssize_t kEncodeWithoutGil = 64 * 1024;

// The UTF-8 of `xml_string` as a source (one count for the caller), or null with an error set
// under the argument's name: not a str, or a str without a UTF-8 form (a lone surrogate), for
// which the interpreter's own error is raised. What utf8_of_units leaves to the interpreter
// takes the interpreter's form.
SourceText* xml_string_source(PyObject* xml) {
  if (PyUnicode_Check(xml) && makes_own_utf8(xml)) {
    const void* units = PyUnicode_DATA(xml);
    const Py_ssize_t count = PyUnicode_GET_LENGTH(xml);
    const int unit_bytes = PyUnicode_KIND(xml);
    // The caller's reference keeps the str, whose characters never change, alive meanwhile.
    std::optional<GilRelease> unlocked;
    if (count > kEncodeWithoutGil) unlocked.emplace();
    SourceText* made = utf8_of_units(units, static_cast<size_t>(count), unit_bytes);
    unlocked.reset();
    if (made) return made;
  }
  std::optional<std::string_view> text = arg_str(xml, "xml_string");
  if (!text) return nullptr;
  // The text is not copied: the source holds its own reference to the str.
  PyRef owner = PyRef::borrow(xml);
  SourceText* source = SourceText::borrow(owner.get(), text->data(), text->size());
  (void)owner.release();
  return source;
}

PyObject* read_string_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* arg[2];
    if (!extract_args(read_string_signature, args, nargs, kwnames, arg)) return nullptr;
    SourceRef source(xml_string_source(arg[0]));
    if (!source.get()) return nullptr;
    std::optional<std::string_view> root = arg_str(arg[1], "root_tag");
    if (!root) return nullptr;
    std::string root_tag(*root);
    return read_nodes(source.get(), root_tag);
  });
}

PyObject* read_file_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* arg[2];
    if (!extract_args(read_file_signature, args, nargs, kwnames, arg)) return nullptr;
    std::optional<std::string_view> path_view = arg_str(arg[0], "file_path");
    if (!path_view) return nullptr;
    std::optional<std::string_view> root = arg_str(arg[1], "root_tag");
    if (!root) return nullptr;
    std::string path(*path_view);
    std::string root_tag(*root);

    std::optional<OsError> os_error;
    SourceRef source;
    Sniffed sniffed;
    bool utf8 = false;
    {
      GilRelease unlocked;
      Result<SourceText*, OsError> loaded = load_file(path);
      std::string().swap(path);
      if (!loaded) {
        os_error = std::move(loaded.error());
      } else {
        source = SourceRef(loaded.value());
        // UTF-8 files, the usual case, go straight to the reader, which checks them as it goes.
        sniffed = sniff_encoding(source->view());
        DecodePlan plan;
        utf8 = plan_from_bytes(sniffed, &plan) && plan.method == Method::Utf8;
      }
    }
    if (os_error) {
      raise_os_error(*os_error);
      return nullptr;
    }
    if (!utf8) return read_decoded(std::move(source), sniffed, root_tag);
    // Strings of a tree must be UTF-8: the reader checks each part before cutting from it.
    return read_nodes(source.get(), root_tag, nullptr, true);
  });
}

PyObject* read_bytes_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* arg[2];
    if (!extract_args(read_bytes_signature, args, nargs, kwnames, arg)) return nullptr;
    if (!PyObject_CheckBuffer(arg[0])) {
      PyErr_Format(PyExc_TypeError, "a bytes-like object is required, not '%.200s'",
                   _PyType_Name(Py_TYPE(arg[0])));
      add_param_note("data");
      return nullptr;
    }
    std::optional<std::string_view> root = arg_str(arg[1], "root_tag");
    if (!root) return nullptr;
    std::string root_tag(*root);
    SourceRef input(buffer_source(arg[0]));
    if (!input.get()) return nullptr;
    Sniffed sniffed = sniff_encoding(input->view());
    return read_decoded(std::move(input), sniffed, root_tag);
  });
}

#define VX_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

}  // namespace

PyMethodDef read_bytes_method = {"read_bytes", VX_FASTCALL(read_bytes_impl),
                                 METH_FASTCALL | METH_KEYWORDS,
                                 "read_bytes(data, root_tag)\n--\n\n"
                                 "Reads a document given as bytes (or any buffer) in the encoding its\n"
                                 "byte-order mark or XML declaration names, UTF-8 by default, and returns\n"
                                 "its first element named root_tag. Error offsets count bytes of data."};
PyMethodDef read_file_method = {"read_file", VX_FASTCALL(read_file_impl),
                                METH_FASTCALL | METH_KEYWORDS, "read_file(file_path, root_tag)\n--\n\n"};
PyMethodDef read_string_method = {"read_string", VX_FASTCALL(read_string_impl),
                                  METH_FASTCALL | METH_KEYWORDS,
                                  "read_string(xml_string, root_tag)\n--\n\n"};
}  // namespace vx
