// record_buffer.hpp: the flat, post-order list of element records one read produces.
#pragma once
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "entities/attr_map.hpp"
#include "storage/stored_str.hpp"

namespace vx {

// One finished element. Its children are the `child_count` subtrees that end right before it in
// the post-order list, so a tree of any depth is rebuilt with one loop and a stack.
struct NodeRecord {
  StoredStr name;
  StoredStr text;  // absent when the element has no text
  AttrMap attrs;
  uint64_t child_count = 0;
};

// A growable array of records. Large reads reserve address space for the worst case up front
// (untouched pages cost nothing) and fault pages in ahead of the writes in bulk, because taking
// page faults one 4 KiB page at a time costs more than building the records.
class RecordBuffer {
 public:
  RecordBuffer() noexcept = default;
  RecordBuffer(RecordBuffer&& other) noexcept { swap(other); }
  RecordBuffer& operator=(RecordBuffer&& other) noexcept {
    RecordBuffer(std::move(other)).swap(*this);
    return *this;
  }
  RecordBuffer(const RecordBuffer&) = delete;
  RecordBuffer& operator=(const RecordBuffer&) = delete;
  ~RecordBuffer();

  // Room for at least `records` without moving.
  void reserve(size_t records);

  // The record that `make()` returns, built in place: its parts are made straight into the
  // buffer rather than made elsewhere and moved, which on x86 costs a stalled load per string
  // (two 8-byte stores read back as one 16-byte load cannot be forwarded).
  template <class Make>
  [[gnu::always_inline]] NodeRecord& emplace_back_made(Make&& make) {
    if (size_ == capacity_) [[unlikely]] grow();
    if (bytes_for(size_ + 1) > populated_) [[unlikely]] populate_ahead();
    NodeRecord* slot = new (data_ + size_) NodeRecord(make());
    ++size_;
    return *slot;
  }

  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  NodeRecord& operator[](size_t i) noexcept { return data_[i]; }
  const NodeRecord& operator[](size_t i) const noexcept { return data_[i]; }
  NodeRecord& back() noexcept { return data_[size_ - 1]; }
  const NodeRecord& back() const noexcept { return data_[size_ - 1]; }
  NodeRecord* begin() noexcept { return data_; }
  NodeRecord* end() noexcept { return data_ + size_; }
  const NodeRecord* begin() const noexcept { return data_; }
  const NodeRecord* end() const noexcept { return data_ + size_; }

  // Forgets every record without destroying it, for records whose parts have all been moved
  // out: they hold nothing, and a pass over them to find that out costs a read of every one.
  void forget_moved_from() noexcept { size_ = 0; }
  // Drops every record (their strings release their counts) and frees the storage.
  void clear() noexcept;
  // Drops every record but keeps the storage for the next read on this thread, returning all
  // but `retain_bytes` of its pages to the system. Pages already mapped are what make a reused
  // buffer cheap: on these machines the first write to a fresh page costs microseconds.
  void recycle(size_t retain_bytes) noexcept;

  void swap(RecordBuffer& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    std::swap(populated_, other.populated_);
    std::swap(mapped_, other.mapped_);
  }

 private:
  static size_t bytes_for(size_t records) noexcept { return records * sizeof(NodeRecord); }
  void grow();
  void populate_ahead() noexcept;
  void destroy_records() noexcept;
  void reallocate(size_t records);

  NodeRecord* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  size_t populated_ = 0;  // bytes from data_ known to be backed by pages (or asked to be)
  bool mapped_ = false;   // storage from mmap rather than malloc
};

}  // namespace vx
