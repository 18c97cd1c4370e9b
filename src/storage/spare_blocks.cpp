// spare_blocks.cpp: the blocks each thread keeps.
#include "storage/spare_blocks.hpp"

#include "per_thread.hpp"
#include "sanitizers.hpp"

namespace vx {
namespace {

// The blocks one thread keeps. Builds with the address sanitizer keep none, so that it sees
// every block freed.
class Spares {
 public:
  Spares() = default;
  Spares(const Spares&) = delete;
  Spares& operator=(const Spares&) = delete;
  ~Spares() {
    for (size_t i = 0; i < count_; ++i) ::operator delete(kept_[i].block);
  }

  void* take(size_t bytes) noexcept {
    for (size_t i = count_; i-- > 0;) {
      if (kept_[i].bytes != bytes) continue;
      void* block = kept_[i].block;
      kept_[i] = kept_[--count_];
      kept_bytes_ -= bytes;
      return block;
    }
    return ::operator new(bytes, std::nothrow);
  }

  void give(void* block, size_t bytes) noexcept {
#ifndef VX_ADDRESS_SANITIZER
    if (count_ < kMaxBlocks && bytes <= spare_blocks::kMaxBytes - kept_bytes_) {
      kept_[count_++] = {block, bytes};
      kept_bytes_ += bytes;
      return;
    }
#else
    (void)bytes;
#endif
    ::operator delete(block);
  }

 private:
  static constexpr size_t kMaxBlocks = 128;
  struct Kept {
    void* block;
    size_t bytes;
  };
  Kept kept_[kMaxBlocks];
  size_t count_ = 0;
  size_t kept_bytes_ = 0;
};

}  // namespace

void* spare_blocks::take(size_t bytes) noexcept {
  return bytes >= kBigBlockBytes ? big_alloc(bytes) : per_thread<Spares>().take(bytes);
}

void spare_blocks::give(void* block, size_t bytes) noexcept {
  if (bytes >= kBigBlockBytes) {
    big_free(block, bytes);
  } else {
    per_thread<Spares>().give(block, bytes);
  }
}

}  // namespace vx
