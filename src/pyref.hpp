// pyref.hpp: owning references to Python objects, and the GIL release guard.
#pragma once
#include <Python.h>

#include <utility>

namespace vx {

// One owned reference; released on destruction. Construct with steal() or borrow().
class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
  static PyRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return PyRef(p);
  }
  PyRef(PyRef&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* old = p_;
    p_ = other.p_;
    other.p_ = nullptr;
    Py_XDECREF(old);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// True on a thread that is inside a GilRelease scope.
bool gil_released_here() noexcept;

// Releases the GIL for a scope. Nothing in the scope may touch a Python object; references whose
// last drop happens inside it are queued and dropped after the GIL is taken back.
class GilRelease {
 public:
  // For a scope whose caller must run no Python code right after it: the queued drops stay
  // queued when the GIL is taken back, for the caller to drop later.
  enum KeepDropsQueued { kKeepDropsQueued };

  GilRelease() noexcept;
  explicit GilRelease(KeepDropsQueued) noexcept;
  ~GilRelease();
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
  bool drop_queued_ = true;
};

}  // namespace vx
