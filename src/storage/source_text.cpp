// source_text.cpp: creation and release of shared document texts.
#include "storage/source_text.hpp"

#include <cstdlib>
#include <new>

namespace vx {
namespace {
std::atomic<OwnerReleaseHook> owner_release_hook{nullptr};
}

void set_owner_release_hook(OwnerReleaseHook hook) noexcept { owner_release_hook.store(hook); }

SourceText* SourceText::borrow(void* owner, const char* data, size_t size) {
  return new SourceText(data, size, owner, nullptr);
}

SourceText* SourceText::adopt(char* buffer, size_t size) {
  return new SourceText(buffer, size, nullptr, buffer);
}

void SourceText::release(size_t counts) noexcept {
  if (refs_.fetch_sub(counts, std::memory_order_acq_rel) != counts) return;
  if (owner_) {
    if (auto hook = owner_release_hook.load()) hook(owner_);
  }
  std::free(owned_);
  delete this;
}

}  // namespace vx
