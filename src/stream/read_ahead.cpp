// read_ahead.cpp: the reading thread and the hand-over of its chunks.
#include "stream/read_ahead.hpp"

#include <cstring>
#include <new>
#include <system_error>

namespace vx {

bool copy_read_result(PyObject* got, char* out, size_t room, size_t* size) {
  if (!PyObject_CheckBuffer(got)) {
    PyErr_Format(PyExc_TypeError,
                 "iter_elements() needs a binary file object: read() returned '%.200s', not bytes",
                 _PyType_Name(Py_TYPE(got)));
    return false;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(got, &view, PyBUF_SIMPLE) < 0) return false;
  const size_t len = static_cast<size_t>(view.len);
  if (len > room) {
    PyBuffer_Release(&view);
    PyErr_Format(PyExc_ValueError, "read() returned %zu bytes, more than the %zu asked for", len,
                 room);
    return false;
  }
  if (len) std::memcpy(out, view.buf, len);
  PyBuffer_Release(&view);
  *size = len;
  return true;
}

std::unique_ptr<ReadAhead> ReadAhead::for_file_object(PyObject* file, size_t chunk) {
  std::unique_ptr<ReadAhead> ahead(new ReadAhead(file, chunk));
  try {
    ahead->thread_ = std::thread([raw = ahead.get()] { raw->run(); });
  } catch (const std::system_error&) {
    return nullptr;
  }
  return ahead;
}

ReadAhead::ReadAhead(PyObject* file, size_t chunk)
    : file_(file), interp_(PyInterpreterState_Get()), chunk_(chunk) {
  for (Slot& slot : slots_) slot.bytes.reset(new char[chunk]);
}

ReadAhead::~ReadAhead() {
  stop();
  Py_XDECREF(failure_type_);
  Py_XDECREF(failure_);
  Py_XDECREF(failure_tb_);
}

void ReadAhead::run() {
  // A thread state of this thread's own, made here so that it belongs to this thread; the GIL is
  // taken only around each read().
  PyThreadState* state = PyThreadState_New(interp_);
  Got got = Got::Failed;
  while (state) {
    size_t tail;
    {
      std::unique_lock<std::mutex> hold(lock_);
      changed_.wait(hold, [&] { return stopping_ || ready_ < kSlots; });
      if (stopping_) break;
      tail = (head_ + ready_) % kSlots;
    }
    PyEval_RestoreThread(state);
    got = read_into(slots_[tail]);
    PyEval_SaveThread();
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (got == Got::Bytes) {
        ++ready_;
      } else {
        finished_ = true;
        last_ = got;
      }
    }
    changed_.notify_all();
    if (got != Got::Bytes) break;
  }
  if (!state) {
    std::lock_guard<std::mutex> hold(lock_);
    finished_ = true;
    last_ = Got::Failed;  // no exception kept: raise_failure says memory ran out
  } else {
    PyEval_RestoreThread(state);
    PyThreadState_Clear(state);
    PyThreadState_DeleteCurrent();
  }
  changed_.notify_all();
}

// GIL held.
ReadAhead::Got ReadAhead::read_into(Slot& slot) {
  PyObject* got =
      PyObject_CallMethod(file_, "read", "n", static_cast<Py_ssize_t>(chunk_));
  bool ok = got && copy_read_result(got, slot.bytes.get(), chunk_, &slot.size);
  Py_XDECREF(got);
  if (ok) return slot.size ? Got::Bytes : Got::End;
#if PY_VERSION_HEX >= 0x030C0000
  failure_ = PyErr_GetRaisedException();
#else
  PyErr_Fetch(&failure_type_, &failure_, &failure_tb_);
#endif
  return Got::Failed;
}

ReadAhead::Got ReadAhead::wait() {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [&] { return ready_ > 0 || finished_; });
  if (ready_ > 0) return Got::Bytes;
  return last_;
}

std::string_view ReadAhead::chunk() const noexcept {
  const Slot& slot = slots_[head_];
  return {slot.bytes.get(), slot.size};
}

void ReadAhead::release() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    head_ = (head_ + 1) % kSlots;
    --ready_;
  }
  changed_.notify_all();
}

void ReadAhead::raise_failure() {
  if (!failure_ && !failure_type_) {
    PyErr_NoMemory();
    return;
  }
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(failure_);
  failure_ = nullptr;
#else
  PyErr_Restore(failure_type_, failure_, failure_tb_);
  failure_type_ = failure_ = failure_tb_ = nullptr;
#endif
}

void ReadAhead::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  Py_BEGIN_ALLOW_THREADS
  thread_.join();
  Py_END_ALLOW_THREADS
}

}  // namespace vx
