// sink.hpp: where the serialiser's bytes go: a growable memory buffer, a caller's fixed buffer,
// or a file behind an 8192-byte buffer.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "result.hpp"

namespace vx {

// Copies n bytes; most appends are a few bytes long (names, keys, "=\""), where a call to
// memcpy costs more than the copy. Overlapping word moves read and write only [0, n).
inline void copy_bytes(char* dst, const char* src, size_t n) {
  if (n > 16) {
    std::memcpy(dst, src, n);
  } else if (n >= 8) {
    uint64_t head, tail;
    std::memcpy(&head, src, 8);
    std::memcpy(&tail, src + n - 8, 8);
    std::memcpy(dst, &head, 8);
    std::memcpy(dst + n - 8, &tail, 8);
  } else if (n >= 4) {
    uint32_t head, tail;
    std::memcpy(&head, src, 4);
    std::memcpy(&tail, src + n - 4, 4);
    std::memcpy(dst, &head, 4);
    std::memcpy(dst + n - 4, &tail, 4);
  } else if (n > 0) {
    dst[0] = src[0];
    dst[n / 2] = src[n / 2];
    dst[n - 1] = src[n - 1];
  }
}

// A byte sink. The common case, bytes that fit the free space of the current buffer, is an
// inline copy; everything else goes through `overflow`. A failed append leaves the sink failed
// for good (later appends are refused), so the writer only has to look at the outcome once per
// element; `error()` tells why.
class OutputSink {
 public:
  OutputSink(const OutputSink&) = delete;
  OutputSink& operator=(const OutputSink&) = delete;

  bool append(const char* data, size_t len) {
    if (len <= static_cast<size_t>(end_ - pos_)) {
      copy_bytes(pos_, data, len);
      pos_ += len;
      return true;
    }
    return overflow(data, len);
  }
  bool append(std::string_view bytes) { return append(bytes.data(), bytes.size()); }
  bool put(char c) {
    if (pos_ != end_) {
      *pos_++ = c;
      return true;
    }
    return overflow(&c, 1);
  }
  // Appends `count` copies of `c`.
  bool fill(char c, size_t count);

  bool failed() const noexcept { return failed_; }
  const OsError& error() const noexcept { return error_; }

 protected:
  OutputSink() = default;
  ~OutputSink() = default;

  // Called when `len` bytes do not fit between pos_ and end_. Never called once failed.
  virtual bool overflow(const char* data, size_t len) = 0;
  bool fail(OsError error) {
    if (!failed_) error_ = std::move(error);
    failed_ = true;
    end_ = pos_;  // every later append takes the slow path, which refuses it
    return false;
  }

  char* begin_ = nullptr;
  char* pos_ = nullptr;
  char* end_ = nullptr;

 private:
  OsError error_;
  bool failed_ = false;
};

// A growable buffer that never fails (exhausted memory throws std::bad_alloc).
class MemorySink final : public OutputSink {
 public:
  MemorySink() = default;
  ~MemorySink();
  // Makes room for `total` bytes in all, so a writer that knows its size never regrows.
  void reserve(size_t total);
  std::string_view bytes() const noexcept { return {begin_, static_cast<size_t>(pos_ - begin_)}; }
  size_t size() const noexcept { return static_cast<size_t>(pos_ - begin_); }

 private:
  bool overflow(const char* data, size_t len) override;
};

// Writes into memory the caller sized exactly beforehand (the buffer of a new Python str).
// Running past the end means the size computation and the writer disagree: an internal failure.
class FixedSink final : public OutputSink {
 public:
  FixedSink(char* buffer, size_t size) {
    begin_ = pos_ = buffer;
    end_ = buffer + size;
  }
  size_t size() const noexcept { return static_cast<size_t>(pos_ - begin_); }
  bool full() const noexcept { return pos_ == end_; }

 private:
  bool overflow(const char* data, size_t len) override;
};

// Writes UTF-8 into the code units of a str of a known kind (Unit is uint8_t for Latin-1,
// uint16_t for UCS-2, uint32_t for UCS-4), sized beforehand by counting characters. Bytes are
// staged in a small buffer that stays in cache and decoded from there, so the result is built
// without a full-size UTF-8 copy. Appends are whole UTF-8 texts (a run between two ASCII bytes
// at the least), so a staged block never ends inside a character. Malformed UTF-8, a character
// too wide for Unit, or more characters than measured are internal failures.
template <class Unit>
class TranscodingSink final : public OutputSink {
 public:
  static constexpr size_t kStageSize = 16384;

  TranscodingSink(Unit* out, size_t units) : out_(out), out_end_(out + units) {
    begin_ = pos_ = stage_;
    end_ = stage_ + kStageSize;
  }
  // Decodes what is still staged; afterwards `units_written` is final.
  void finish() { drain(); }
  size_t units_left() const noexcept { return static_cast<size_t>(out_end_ - out_); }

 private:
  bool overflow(const char* data, size_t len) override {
    drain();
    if (len >= kStageSize) {
      decode(data, len);
    } else {
      copy_bytes(pos_, data, len);
      pos_ += len;
    }
    return true;
  }
  void drain() {
    decode(stage_, static_cast<size_t>(pos_ - stage_));
    pos_ = stage_;
  }
  void decode(const char* data, size_t len);

  Unit* out_;
  Unit* out_end_;
  char stage_[kStageSize];
};

extern template class TranscodingSink<uint8_t>;
extern template class TranscodingSink<uint16_t>;
extern template class TranscodingSink<uint32_t>;

// The system call the file sink writes with; a seam so tests can script short, interrupted
// and zero-length writes.
using WriteCall = ssize_t (*)(int fd, const void* data, size_t len);

// A file behind an 8192-byte buffer. Appends that do not fit the free space first flush the
// buffer; an append at least as large as the whole buffer then goes straight to the file.
// Writes continue after short counts and are retried after EINTR; a write that accepts no
// bytes fails with "failed to write the buffered data". The descriptor is not owned.
class FileSink final : public OutputSink {
 public:
  static constexpr size_t kBufferSize = 8192;

  explicit FileSink(int fd, WriteCall call = nullptr);
  ~FileSink() = default;

  // Writes out whatever is buffered.
  bool flush();
  // On a failure path: hands the buffered bytes to the file once more, ignoring any error.
  void flush_ignoring_errors() noexcept;
  size_t buffered() const noexcept { return static_cast<size_t>(pos_ - begin_); }

 private:
  bool overflow(const char* data, size_t len) override;
  // Writes all of [data, data+len); on failure `*written` says how much reached the file.
  bool write_all(const char* data, size_t len, size_t* written, OsError* error);

  int fd_;
  WriteCall call_;
  char buffer_[kBufferSize];
};

// Opens `path` for writing (created 0666 before the umask, truncated, close-on-exec). Refuses
// a path with a NUL byte before any system call.
Result<int, OsError> open_for_writing(std::string_view path);
// Closes, ignoring errors: by then the outcome of the write is decided.
void close_quietly(int fd) noexcept;

}  // namespace vx
