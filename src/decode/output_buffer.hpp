// output_buffer.hpp: the buffer a transcoder writes its UTF-8 into, sized before it is written
// (for the worst case, or exactly when the size was measured first) or grown as it is written.
#pragma once
#include <cstddef>
#include <new>

#include "storage/big_block.hpp"
#include "storage/source_text.hpp"

namespace vx::decode_detail {

// An output buffer of big_alloc that is freed unless handed to a SourceText.
class Output {
 public:
  explicit Output(size_t capacity) : capacity_(capacity ? capacity : 1) {
    data_ = static_cast<char*>(big_alloc(capacity_));
    if (!data_) throw std::bad_alloc();
  }
  ~Output() {
    if (data_) big_free(data_, capacity_);
  }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  char* data() { return data_; }
  size_t capacity() const { return capacity_; }

  // Moves the bytes written so far into a buffer of `capacity` bytes.
  void resize(size_t capacity) {
    char* moved = static_cast<char*>(big_realloc(data_, capacity_, capacity));
    if (!moved) throw std::bad_alloc();
    data_ = moved;
    capacity_ = capacity;
  }

  SourceText* finish(size_t size) {
    // Room reserved for the worst case is given back when most of it went unused.
    if (size < capacity_ / 2) {
      size_t want = size ? size : 1;
      if (char* smaller = static_cast<char*>(big_realloc(data_, capacity_, want))) {
        data_ = smaller;
        capacity_ = want;
      }
    }
    SourceText* text = SourceText::adopt(data_, size, capacity_);
    data_ = nullptr;
    return text;
  }

 private:
  size_t capacity_;
  char* data_;
};

}  // namespace vx::decode_detail
