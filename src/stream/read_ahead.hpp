// read_ahead.hpp: a thread that reads a stream's next chunks while the walk goes over the ones
// before, so that what reading costs (the decompression inside a compressed file object's read(),
// say) is paid beside the walk rather than before it.
#pragma once
#include <Python.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "result.hpp"

namespace vx {

// Copies what a file object's read() returned into `out` (room for `room` bytes). False with a
// TypeError when it is not bytes-like, a ValueError when it is longer than asked for. GIL held.
bool copy_read_result(PyObject* got, char* out, size_t room, size_t* size);

class ReadAhead {
 public:
  enum class Got : uint8_t { Bytes, End, Failed };

  // Calls `file`'s read(chunk) on a thread of its own, taking the GIL for each call. `file` is
  // borrowed: the caller keeps it alive until stop() has returned. GIL held. Null when no thread
  // could be started; the caller then reads on its own thread.
  static std::unique_ptr<ReadAhead> for_file_object(PyObject* file, size_t chunk);

  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;
  // GIL held. Stops the thread first when stop() was not called.
  ~ReadAhead();

  // Without the GIL: waits for the next chunk. After Bytes, chunk() holds it until release().
  // End and Failed are given again to every later call.
  Got wait();
  std::string_view chunk() const noexcept;
  void release();

  // GIL held, after Failed: sets the exception that read() raised, or the one that says what was
  // wrong with what it returned.
  void raise_failure();

  // GIL held: asks the thread to end and waits for it, with the GIL released meanwhile so that a
  // read() under way can finish.
  void stop();

 private:
  // Chunks read and not yet walked: enough that the thread rarely waits for the walk to free one.
  static constexpr size_t kSlots = 16;
  struct Slot {
    std::unique_ptr<char[]> bytes;
    size_t size = 0;
  };

  ReadAhead(PyObject* file, size_t chunk);
  void run();
  Got read_into(Slot& slot);

  PyObject* file_;
  PyInterpreterState* interp_;
  size_t chunk_;
  Slot slots_[kSlots];
  std::mutex lock_;
  std::condition_variable changed_;
  size_t head_ = 0;   // next slot for the walk
  size_t ready_ = 0;  // slots read and not yet released
  bool stopping_ = false;
  bool finished_ = false;  // the thread read its last: `last_` says how it ended
  Got last_ = Got::End;
  PyObject* failure_ = nullptr;  // the exception read() raised, its type, traceback
  PyObject* failure_type_ = nullptr;
  PyObject* failure_tb_ = nullptr;
  std::thread thread_;
};

}  // namespace vx
