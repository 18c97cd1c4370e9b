// source_text.hpp: the shared, atomically counted text of one parsed document.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace vx {

// Releases the opaque owner (a Python str) of a borrowed SourceText. The module installs a hook
// that drops the reference, or defers the drop when the calling thread has released the GIL.
using OwnerReleaseHook = void (*)(void* owner);
void set_owner_release_hook(OwnerReleaseHook hook) noexcept;

class SourceText {
 public:
  // A view of bytes kept alive by `owner` (a strong reference handed over to this text).
  static SourceText* borrow(void* owner, const char* data, size_t size);
  // Takes a buffer of `capacity` bytes from big_alloc (storage/big_block.hpp) holding `size`.
  static SourceText* adopt(char* buffer, size_t size, size_t capacity);
  // A copy of small `bytes` (followed by a 0 byte) in one block with the holder: one allocation
  // instead of two for the many small texts of a stream's elements.
  static constexpr size_t kInlineMax = 64 * 1024;
  static SourceText* copy_inline(std::string_view bytes);

  SourceText(const SourceText&) = delete;
  SourceText& operator=(const SourceText&) = delete;

  void retain(size_t counts = 1) noexcept { refs_.fetch_add(counts, std::memory_order_relaxed); }
  // Drops counts; the last one frees the bytes (or releases the owner) and this holder.
  void release(size_t counts = 1) noexcept;

  const char* data() const noexcept { return data_; }
  size_t size() const noexcept { return size_; }
  std::string_view view() const noexcept { return {data_, size_}; }
  size_t use_count() const noexcept { return refs_.load(std::memory_order_relaxed); }

 private:
  SourceText(const char* data, size_t size, void* owner, char* owned, size_t owned_bytes)
      : refs_(1), data_(data), size_(size), owner_(owner), owned_(owned), owned_bytes_(owned_bytes) {}
  ~SourceText() = default;

  std::atomic<size_t> refs_;
  const char* data_;
  size_t size_;
  void* owner_;  // borrowed Python str, or null
  char* owned_;  // bytes from big_alloc, or null
  size_t owned_bytes_;
  bool inline_ = false;  // the bytes follow the holder in its own block (copy_inline)
};

// Gathers the counts released by many strings of the same source, so freeing a large tree
// makes one atomic update per run of strings from one document instead of one per string.
// It can also collect the heap blocks a release gives up (owned texts, attribute blocks), for
// the caller to free in one go later, possibly with the GIL released.
class SourceReleaseBatch {
 public:
  SourceReleaseBatch() = default;
  // Blocks handed to free_later go to `blocks` instead of being freed at once.
  explicit SourceReleaseBatch(std::vector<void*>* blocks) noexcept : blocks_(blocks) {}
  SourceReleaseBatch(const SourceReleaseBatch&) = delete;
  SourceReleaseBatch& operator=(const SourceReleaseBatch&) = delete;
  ~SourceReleaseBatch() { flush(); }

  void add(SourceText* source, size_t counts = 1) noexcept {
    if (source != source_) {
      flush();
      source_ = source;
    }
    counts_ += counts;
  }
  void flush() noexcept {
    if (source_) source_->release(counts_);
    source_ = nullptr;
    counts_ = 0;
  }
  // A malloc'd block that is no longer used.
  void free_later(void* block) noexcept {
    if (blocks_) {
      try {
        blocks_->push_back(block);
        return;
      } catch (...) {
      }
    }
    std::free(block);
  }

 private:
  SourceText* source_ = nullptr;
  size_t counts_ = 0;
  std::vector<void*>* blocks_ = nullptr;
};

// Holds one count of a SourceText for a scope.
class SourceRef {
 public:
  SourceRef() = default;
  explicit SourceRef(SourceText* adopted) noexcept : text_(adopted) {}
  SourceRef(SourceRef&& other) noexcept : text_(other.text_) { other.text_ = nullptr; }
  SourceRef& operator=(SourceRef&& other) noexcept {
    if (this != &other) {
      reset();
      text_ = other.text_;
      other.text_ = nullptr;
    }
    return *this;
  }
  ~SourceRef() { reset(); }
  void reset() noexcept {
    if (text_) text_->release();
    text_ = nullptr;
  }
  SourceText* get() const noexcept { return text_; }
  SourceText* operator->() const noexcept { return text_; }

 private:
  SourceText* text_ = nullptr;
};

}  // namespace vx
