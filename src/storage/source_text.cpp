// source_text.cpp: creation and release of shared document texts.
#include "storage/source_text.hpp"

#include "storage/big_block.hpp"

#include <cstdlib>
#include <new>

namespace vx {
namespace {
std::atomic<OwnerReleaseHook> owner_release_hook{nullptr};
}

void set_owner_release_hook(OwnerReleaseHook hook) noexcept { owner_release_hook.store(hook); }

SourceText* SourceText::borrow(void* owner, const char* data, size_t size) {
  return new SourceText(data, size, owner, nullptr, 0);
}

SourceText* SourceText::adopt(char* buffer, size_t size, size_t capacity) {
  return new SourceText(buffer, size, nullptr, buffer, capacity);
}

void SourceText::release(size_t counts) noexcept {
  if (refs_.fetch_sub(counts, std::memory_order_acq_rel) != counts) return;
  if (owner_) {
    if (auto hook = owner_release_hook.load()) hook(owner_);
  }
  big_free(owned_, owned_bytes_);
  delete this;
}

}  // namespace vx
