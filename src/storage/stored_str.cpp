// stored_str.cpp: owned copies and checked views of shared ranges.
#include "storage/stored_str.hpp"

#include <cstdlib>
#include <new>
#include <string>

#include "result.hpp"

namespace vx {
namespace {
alignas(8) char empty_text[8] = {};
}  // namespace

char* StoredStr::empty_bytes() noexcept { return empty_text; }

StoredStr StoredStr::copy_of(std::string_view text) {
  if (text.empty()) return adopt(nullptr, 0);
  char* buffer = static_cast<char*>(std::malloc(text.size()));
  if (!buffer) throw std::bad_alloc();
  std::memcpy(buffer, text.data(), text.size());
  return adopt(buffer, text.size());
}

StoredStr StoredStr::adopt(char* buffer, size_t len) noexcept {
  StoredStr s;
  if (!buffer || len == 0) {
    std::free(buffer);
    buffer = empty_text;
    len = 0;
  }
  s.word_ = reinterpret_cast<uintptr_t>(buffer) | kOwned;
  s.a_ = len;
  return s;
}

StoredStr StoredStr::clone() const {
  if (word_ == 0) return {};
  if (is_shared()) {
    source()->retain();
    StoredStr s;
    s.word_ = word_;
    s.a_ = a_;
    return s;
  }
  return copy_of({owned_ptr(), a_});
}

void StoredStr::range_failed() const {
  const size_t start = static_cast<uint32_t>(a_);
  const size_t end = start + static_cast<size_t>(a_ >> 32);
  invariant_failed("stored text range " + std::to_string(start) + ".." + std::to_string(end) +
                   " does not fit its source of " + std::to_string(source()->size()) + " bytes");
}

}  // namespace vx
