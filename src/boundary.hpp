// boundary.hpp: the entry wrapper and the mapping of failures to Python exceptions.
#pragma once
#include <Python.h>

#include <new>
#include <string_view>

#include "pyref.hpp"
#include "result.hpp"

namespace vx {

// Drops the references queued while some thread had released the GIL. Needs the GIL.
void drain_pending_drops() noexcept;

// While one exists (on a thread holding the GIL), a document str whose last count goes is queued
// instead of dropped, because dropping it may run Python code (a str subclass's __del__) in the
// middle of work that must not be re-entered. Drop the queue once that work is done.
class DeferOwnerDrops {
 public:
  DeferOwnerDrops() noexcept;
  ~DeferOwnerDrops();
  DeferOwnerDrops(const DeferOwnerDrops&) = delete;
  DeferOwnerDrops& operator=(const DeferOwnerDrops&) = delete;
};

// Installs the release hook of borrowed source texts; called once by the module's exec step.
void install_source_release_hook() noexcept;

// Raises the OSError subclass for the error, with "<system text> (os error N)".
void raise_os_error(const OsError& error);

// The exception class of internal failures: derives from BaseException, created on first use.
PyObject* internal_failure_type();
void raise_internal_failure(const char* message);

// For result objects the interpreter failed to create: a MemoryError stays one; any other error
// is reported as unraisable and fails the call with the internal-failure exception.
[[noreturn]] void result_creation_failed(const char* what);
// Returns `obj`, or raises as above when it is null.
inline PyObject* checked_result(PyObject* obj, const char* what) {
  if (!obj) result_creation_failed(what);
  return obj;
}

// A new str from UTF-8 text that is valid by construction.
PyObject* new_str(std::string_view text);

[[noreturn]] void abort_on_escaped_failure() noexcept;

// Creates a class from a type definition named "vantelix.<bare_name>" (so __module__ is set without a
// deprecation warning) whose type name is then the bare name. Failure is an internal failure.
PyTypeObject* create_bare_named_type(PyType_Spec* definition, const char* bare_name);

class EntryScope {
 public:
  EntryScope() noexcept;
  ~EntryScope();
};

// Runs the body of a Python-callable entry point: drains deferred drops first, and converts an
// internal failure (or exhausted memory) escaping the body into a raised exception. `fail` is
// the slot's failure value (null for objects, -1 for integers).
template <class R, class Body>
R guarded(R fail, Body&& body) noexcept {
  EntryScope scope;
  try {
    return body();
  } catch (const InternalFailure& e) {
    raise_internal_failure(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    abort_on_escaped_failure();
  }
  return fail;
}

}  // namespace vx
