// boundary.cpp: entry scope, deferred drops, OS-error mapping and the internal-failure class.
#include "boundary.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "storage/pending_drops.hpp"
#include "storage/source_text.hpp"

namespace vx {
namespace {

thread_local int entry_depth = 0;
thread_local bool gil_released = false;
thread_local bool thread_prepared = false;
int owner_drops_deferred = 0;  // guarded by the GIL

void release_python_owner(void* owner) {
  if (gil_released || owner_drops_deferred > 0) {
    defer_drop(owner);
  } else {
    Py_DECREF(static_cast<PyObject*>(owner));
  }
}

PyObject* os_error_class(int code) {
  switch (code) {
    case ENOENT: return PyExc_FileNotFoundError;
    case EACCES:
    case EPERM: return PyExc_PermissionError;
    case EEXIST: return PyExc_FileExistsError;
    case EISDIR: return PyExc_IsADirectoryError;
    case ENOTDIR: return PyExc_NotADirectoryError;
    case EAGAIN: return PyExc_BlockingIOError;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK: return PyExc_BlockingIOError;
#endif
    case EINPROGRESS: return PyExc_BlockingIOError;
    case EINTR: return PyExc_InterruptedError;
    case ETIMEDOUT: return PyExc_TimeoutError;
    case EPIPE: return PyExc_BrokenPipeError;
    case ECONNREFUSED: return PyExc_ConnectionRefusedError;
    case ECONNRESET: return PyExc_ConnectionResetError;
    case ECONNABORTED: return PyExc_ConnectionAbortedError;
    case ENOMEM: return PyExc_MemoryError;
    default: return PyExc_OSError;
  }
}

std::string system_text(int code) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not live in `buffer`.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return text;
}

}  // namespace

bool gil_released_here() noexcept { return gil_released; }

GilRelease::GilRelease() noexcept {
  gil_released = true;
  state_ = PyEval_SaveThread();
}

GilRelease::GilRelease(KeepDropsQueued) noexcept : GilRelease() { drop_queued_ = false; }

GilRelease::~GilRelease() {
  PyEval_RestoreThread(state_);
  gil_released = false;
  if (drop_queued_) drain_pending_drops();
}

DeferOwnerDrops::DeferOwnerDrops() noexcept { ++owner_drops_deferred; }
DeferOwnerDrops::~DeferOwnerDrops() { --owner_drops_deferred; }

// The C++ runtime keeps each thread's exception state in thread-local storage of its shared
// library, which glibc allocates on the thread's first throw, and it ends the process when that
// allocation fails. A first throw is most likely a std::bad_alloc with memory exhausted, so the
// state is made on the thread's first entry instead, while there is memory to spare.
void prepare_thread() noexcept {
  // Declared pure: a result that is not used lets the compiler drop the call.
  volatile int uncaught = std::uncaught_exceptions();
  (void)uncaught;
  thread_prepared = true;
}

EntryScope::EntryScope() noexcept {
  if (!thread_prepared) [[unlikely]] prepare_thread();
  ++entry_depth;
  drain_pending_drops();
}
EntryScope::~EntryScope() { --entry_depth; }

void drain_pending_drops() noexcept {
  if (!drops_pending()) return;
  for (void* owner : take_pending_drops()) Py_DECREF(static_cast<PyObject*>(owner));
}

void install_source_release_hook() noexcept { set_owner_release_hook(&release_python_owner); }

void raise_os_error(const OsError& error) {
  if (error.code == 0) {
    PyErr_SetString(PyExc_OSError, error.text.c_str());
    return;
  }
  std::string message = system_text(error.code) + " (os error " + std::to_string(error.code) + ")";
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), message.size(), "replace"));
  if (!text) return;
  // One argument only, so the exception's errno stays None.
  PyErr_SetObject(os_error_class(error.code), text.get());
}

PyObject* internal_failure_type() {
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc(
        "vantelix.InternalFailure",
        "Signals an internal failure of vantelix: a broken invariant of the module itself, "
        "never bad input. Derives from BaseException so ordinary handlers do not catch it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_internal_failure(const char* message) {
  PyObject* type = internal_failure_type();
  if (!type) return;  // the interpreter's own error stays set
  PyErr_SetString(type, message);
}

void result_creation_failed(const char* what) {
  // Running out of memory is no broken invariant: it stays a MemoryError (the entry wrapper
  // raises one for std::bad_alloc).
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    throw std::bad_alloc();
  }
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  invariant_failed(std::string("failed to create ") + what);
}

PyObject* new_str(std::string_view text) {
  return checked_result(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())),
                        "str");
}

PyTypeObject* create_bare_named_type(PyType_Spec* definition, const char* bare_name) {
  PyObject* created = PyType_FromSpec(definition);
  if (!created) {
    PyErr_WriteUnraisable(nullptr);
    invariant_failed(std::string("failed to create type object for `") + bare_name + "`");
  }
  auto* type = reinterpret_cast<PyTypeObject*>(created);
  // The heap type keeps its own copy of the dotted name for freeing; tp_name is only read.
  type->tp_name = bare_name;
  return type;
}

void abort_on_escaped_failure() noexcept {
  std::fputs("vantelix: unexpected failure escaped the module boundary; aborting\n", stderr);
  std::abort();
}

}  // namespace vx
