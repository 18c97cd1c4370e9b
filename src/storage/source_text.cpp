// source_text.cpp: creation and release of shared document texts.
#include "storage/source_text.hpp"

#include "storage/big_block.hpp"

#include <cstdlib>
#include <cstring>
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

SourceText* SourceText::copy_inline(std::string_view bytes) {
  void* block = std::malloc(sizeof(SourceText) + bytes.size() + 1);
  if (!block) throw std::bad_alloc();
  char* copy = static_cast<char*>(block) + sizeof(SourceText);
  std::memcpy(copy, bytes.data(), bytes.size());
  copy[bytes.size()] = 0;
  auto* text = new (block) SourceText(copy, bytes.size(), nullptr, nullptr, 0);
  text->inline_ = true;
  return text;
}

void SourceText::release(size_t counts) noexcept {
  if (refs_.fetch_sub(counts, std::memory_order_acq_rel) != counts) return;
  if (inline_) {
    this->~SourceText();
    std::free(this);
    return;
  }
  if (owner_) {
    if (auto hook = owner_release_hook.load()) hook(owner_);
  }
  big_free(owned_, owned_bytes_);
  delete this;
}

}  // namespace vx
