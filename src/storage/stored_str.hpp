// stored_str.hpp: a UTF-8 string value that is either owned or a byte range of a SourceText.
#pragma once
#include <cstdint>
#include <cstring>
#include <string_view>

#include "storage/source_text.hpp"

namespace vx {

// 16 bytes. The low two bits of the first word tag the form:
//   0 absent (only meaningful for optional texts), 1 owned (malloc'd pointer, 64-bit length),
//   2 shared (SourceText pointer, 32-bit start and 32-bit length; owns one count).
// Ranges that do not fit 32 bits are stored owned instead; see `fits_shared`.
class StoredStr {
 public:
  StoredStr() noexcept = default;  // absent
  StoredStr(StoredStr&& other) noexcept : word_(other.word_), a_(word_apart(other.a_)) {
    other.word_ = 0;
  }
  StoredStr& operator=(StoredStr&& other) noexcept {
    if (this != &other) {
      reset();
      word_ = other.word_;
      a_ = word_apart(other.a_);
      other.word_ = 0;
    }
    return *this;
  }
  StoredStr(const StoredStr&) = delete;
  StoredStr& operator=(const StoredStr&) = delete;
  ~StoredStr() { reset(); }

  // Copies the bytes into a buffer of its own.
  static StoredStr copy_of(std::string_view text);
  // Takes a buffer allocated with malloc (or null when len is 0).
  static StoredStr adopt(char* buffer, size_t len) noexcept;
  static bool fits_shared(size_t start, size_t len) noexcept {
    return start <= UINT32_MAX && len <= UINT32_MAX;
  }
  // A range of `source` that takes one count of it. Requires fits_shared.
  static StoredStr shared(SourceText* source, size_t start, size_t len) noexcept {
    source->retain();
    return shared_counted(source, start, len);
  }
  // A range whose count the caller has already taken (or will take in bulk).
  static StoredStr shared_counted(SourceText* source, size_t start, size_t len) noexcept {
    StoredStr s;
    s.word_ = reinterpret_cast<uintptr_t>(source) | kShared;
    s.a_ = (static_cast<uint64_t>(len) << 32) | start;
    return s;
  }

  bool present() const noexcept { return word_ != 0; }
  // The source of a shared range; null for the other forms.
  SourceText* shared_source() const noexcept { return is_shared() ? source() : nullptr; }
  bool is_shared() const noexcept { return (word_ & kTagMask) == kShared; }

  // The text. For the shared form the range is checked against its source.
  std::string_view view() const {
    if ((word_ & kTagMask) == kOwned) return {owned_ptr(), a_};
    if (word_ == 0) return {};
    return shared_view();
  }
  // The text without the range check, for values this operation has just made itself.
  std::string_view raw_view() const noexcept {
    if ((word_ & kTagMask) == kShared) {
      return {source()->data() + static_cast<uint32_t>(a_), static_cast<size_t>(a_ >> 32)};
    }
    if (word_ == 0) return {};
    return {owned_ptr(), a_};
  }
  size_t size() const noexcept {
    if ((word_ & kTagMask) == kShared) return static_cast<size_t>(a_ >> 32);
    return word_ == 0 ? 0 : a_;
  }

  // Same text, independent value: shared ranges take a count, owned bytes are copied.
  StoredStr clone() const;

  // The storage a value refers to: equal ids mean the very same bytes (the same range of one
  // source, or the same owned buffer), so equal ids imply equal text; the converse does not hold.
  struct StorageId {
    uintptr_t word;
    uint64_t a;
    bool operator==(const StorageId&) const = default;
    uint64_t hash() const noexcept { return (word ^ (a * 0x9E3779B97F4A7C15ULL)) * 0xBF58476D1CE4E5B9ULL; }
  };
  StorageId storage_id() const noexcept { return {word_, a_}; }

  // Like reset, handing a shared range's count to `batch` instead of releasing it at once.
  void reset_into(SourceReleaseBatch& batch) noexcept {
    if ((word_ & kTagMask) == kShared) {
      batch.add(source());
    } else if (word_ != 0 && owned_ptr() != empty_bytes()) {
      batch.free_later(owned_ptr());
    }
    word_ = 0;
  }

  void reset() noexcept {
    if (word_ == 0) return;
    if ((word_ & kTagMask) == kShared) {
      source()->release();
    } else if (owned_ptr() != empty_bytes()) {
      std::free(owned_ptr());
    }
    word_ = 0;
  }

 private:
  static constexpr uintptr_t kOwned = 1, kShared = 2, kTagMask = 3;
  // A value is usually made moments before it is moved, by two 8-byte stores. Left alone, the
  // compiler copies both words with one 16-byte load, which cannot be forwarded from those two
  // stores still in flight and waits for them to retire: a stall of a dozen cycles per string
  // moved, on the reader's hottest paths. Passing one word through a register keeps the copy
  // to two 8-byte loads.
  static uint64_t word_apart(uint64_t word) noexcept {
#if defined(__GNUC__)
    asm("" : "+r"(word));
#endif
    return word;
  }
  static char* empty_bytes() noexcept;
  char* owned_ptr() const noexcept { return reinterpret_cast<char*>(word_ & ~kTagMask); }
  SourceText* source() const noexcept { return reinterpret_cast<SourceText*>(word_ & ~kTagMask); }
  // The shared range, checked: it must lie within its source and start and end on character
  // boundaries. Inline, as every conversion of a tree to Python reads each string through it.
  std::string_view shared_view() const {
    const SourceText* src = source();
    const size_t start = static_cast<uint32_t>(a_), len = static_cast<size_t>(a_ >> 32);
    const size_t end = start + len, size = src->size();
    const char* data = src->data();
    if (end <= size && (start == 0 || start == size || !is_continuation(data[start])) &&
        (end == size || !is_continuation(data[end]))) [[likely]] {
      return {data + start, len};
    }
    range_failed();
  }
  static bool is_continuation(char byte) noexcept { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }
  [[noreturn]] void range_failed() const;

  uintptr_t word_ = 0;
  uint64_t a_ = 0;
};

static_assert(sizeof(StoredStr) == 16);

inline bool operator==(const StoredStr& a, std::string_view b) { return a.view() == b; }

}  // namespace vx
