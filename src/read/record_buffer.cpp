// record_buffer.cpp: storage of the record list: malloc for small reads, an anonymous mapping
// populated in bulk for large ones.
#include "read/record_buffer.hpp"

#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <new>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace vx {
namespace {

constexpr size_t kMapThreshold = 256 * 1024;  // below this, malloc's reuse wins
constexpr size_t kPopulateStep = 2 * 1024 * 1024;
constexpr size_t kMinPopulateStep = 64 * 1024;

size_t page_round(size_t bytes) {
  constexpr size_t page = 4096;
  return (bytes + page - 1) & ~(page - 1);
}

}  // namespace

RecordBuffer::~RecordBuffer() { clear(); }

// Records of one read share one source: their counts go back with one atomic update per run of
// strings rather than one per string, and their attribute blocks under one lock per batch.
void RecordBuffer::destroy_records() noexcept {
  if (size_ == 0) return;
  SourceReleaseBatch counts;
  NodeArena::GiveBatch blocks(attr_block_arena());
  for (size_t i = 0; i < size_; ++i) {
    NodeRecord& r = data_[i];
    r.name.reset_into(counts);
    r.text.reset_into(counts);
    r.attrs.reset_into(counts, blocks);
    r.~NodeRecord();
  }
  size_ = 0;
}

void RecordBuffer::clear() noexcept {
  destroy_records();
  if (data_) {
    if (mapped_) {
      munmap(data_, page_round(bytes_for(capacity_)));
    } else {
      std::free(data_);
    }
  }
  data_ = nullptr;
  size_ = capacity_ = populated_ = 0;
  mapped_ = false;
}

void RecordBuffer::reserve(size_t records) {
  if (records > capacity_) reallocate(records);
}

void RecordBuffer::recycle(size_t retain_bytes) noexcept {
  destroy_records();
  if (!mapped_) return;
  size_t keep = page_round(retain_bytes);
  if (populated_ > keep) {
    madvise(reinterpret_cast<char*>(data_) + keep, page_round(populated_) - keep, MADV_DONTNEED);
    populated_ = keep;
  }
}

void RecordBuffer::grow() { reallocate(capacity_ < 16 ? 16 : capacity_ * 2); }

void RecordBuffer::reallocate(size_t records) {
  size_t bytes = bytes_for(records);
  if (mapped_ && bytes >= kMapThreshold) {
    // Growing a mapping keeps the pages it already has; records may move bytewise.
    size_t old_bytes = page_round(bytes_for(capacity_));
    bytes = page_round(bytes);
    void* p = mremap(data_, old_bytes, bytes, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<NodeRecord*>(p);
    capacity_ = bytes / sizeof(NodeRecord);
    return;
  }
  NodeRecord* fresh;
  bool mapped = bytes >= kMapThreshold;
  if (mapped) {
    bytes = page_round(bytes);
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    fresh = static_cast<NodeRecord*>(p);
    records = bytes / sizeof(NodeRecord);
  } else {
    fresh = static_cast<NodeRecord*>(std::malloc(bytes));
    if (!fresh) throw std::bad_alloc();
  }
  // Records are moved bytewise: none of their members points into the record itself.
  if (size_) std::memcpy(static_cast<void*>(fresh), data_, bytes_for(size_));
  size_t kept = size_;
  size_ = 0;  // the old storage now holds moved-from bytes that must not be destroyed
  clear();
  data_ = fresh;
  size_ = kept;
  capacity_ = records;
  mapped_ = mapped;
  populated_ = mapped ? 0 : bytes_for(records);
}

void RecordBuffer::populate_ahead() noexcept {
  size_t total = page_round(bytes_for(capacity_));
  size_t from = populated_;
  // Steps grow with the records written so far, so a small read backs only what it uses.
  size_t step = bytes_for(size_);
  step = step < kMinPopulateStep ? kMinPopulateStep : step > kPopulateStep ? kPopulateStep : step;
  step = page_round(step);
  size_t to = from + step < total ? from + step : total;
  // Best effort: where the kernel cannot populate, ordinary faults do the same work.
  if (to > from) madvise(reinterpret_cast<char*>(data_) + from, to - from, MADV_POPULATE_WRITE);
  populated_ = to;
}

}  // namespace vx
