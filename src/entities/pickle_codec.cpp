// pickle_codec.cpp: the payload's counts, strings and name tables; the messages of refused payloads.
#include "entities/pickle_codec.hpp"

#include <cstdlib>

#include "read/unicode.hpp"
#include "storage/big_block.hpp"
#include "storage/short_name.hpp"

namespace vx::pickle {

std::string PickleError::text() const {
  std::string what;
  switch (kind) {
    case Kind::NotAPayload:
      what = "not a vantelix Node payload (unknown header)";
      break;
    case Kind::Truncated:
      what = "the data ends in the middle of a node";
      break;
    case Kind::BadCount:
      what = "malformed count";
      break;
    case Kind::CountTooLarge:
      what = "count " + std::to_string(value) + " is larger than the rest of the data can hold";
      break;
    case Kind::BadFlags:
      what = "a back-reference with node flags";
      break;
    case Kind::BadNameRef:
      what = "name reference " + std::to_string(value) + " is not in the name table";
      break;
    case Kind::BadBackReference:
      what = "back-reference " + std::to_string(value) + " names no earlier node";
      break;
    case Kind::Enclosing:
      what = "back-reference " + std::to_string(value) + " names a node that encloses it";
      break;
    case Kind::InvalidUtf8:
      what = "a string is not valid UTF-8";
      break;
    case Kind::DuplicateKey:
      what = "attribute '" + detail + "' given twice";
      break;
    case Kind::TrailingBytes:
      what = std::to_string(value) + " bytes follow the tree";
      break;
    case Kind::NoMemory:
      what = "out of memory";
      break;
  }
  return "invalid Node pickle data at byte " + std::to_string(at) + ": " + what;
}

/****************************************************************************************
 * Writing
 ****************************************************************************************/

// Names and keys met so far, by text: open addressing over entries that point into the tree
// being written, which outlives the writer's use of them.
struct PayloadWriter::NameTable {
  struct Entry {
    ShortName key;
    const char* text = nullptr;
    size_t len = 0;
    uint64_t index = 0;
    bool used = false;
  };
  std::vector<Entry> slots = std::vector<Entry>(256);
  size_t used = 0;

  static ShortName key_of(std::string_view s) {
    return s.size() <= ShortName::kMaxLen ? ShortName::of(s.data(), s.size(), s.data() + s.size())
                                          : ShortName::of_ends(s.data(), s.size());
  }

  // The index of `name`, or UINT64_MAX after adding it with the next index.
  uint64_t find_or_add(std::string_view name) {
    if ((used + 1) * 2 > slots.size()) grow();
    const ShortName key = key_of(name);
    const size_t mask = slots.size() - 1;
    for (size_t i = key.hash(name.size()) >> 20 & mask;; i = (i + 1) & mask) {
      Entry& e = slots[i];
      if (!e.used) {
        e = Entry{key, name.data(), name.size(), used++, true};
        return UINT64_MAX;
      }
      if (e.len == name.size() && e.key == key &&
          (name.size() <= ShortName::kMaxLen || std::memcmp(e.text, name.data(), name.size()) == 0)) {
        return e.index;
      }
    }
  }

  void grow() {
    std::vector<Entry> old(slots.size() * 2);
    old.swap(slots);
    const size_t mask = slots.size() - 1;
    for (const Entry& e : old) {
      if (!e.used) continue;
      size_t i = e.key.hash(e.len) >> 20 & mask;
      while (slots[i].used) i = (i + 1) & mask;
      slots[i] = e;
    }
  }
};

PayloadWriter::PayloadWriter() : names_(new NameTable) {
  reserve(4096);
  put_bytes(kHeader, sizeof kHeader);
}

PayloadWriter::~PayloadWriter() {
  big_free(data_, capacity_);
  delete names_;
}

void PayloadWriter::reserve(size_t more) {
  if (capacity_ - size_ >= more) return;
  size_t want = capacity_ ? capacity_ : 4096;
  while (want - size_ < more) want *= 2;
  void* grown = data_ ? big_realloc(data_, capacity_, want) : big_alloc(want);
  if (!grown) throw std::bad_alloc();
  data_ = static_cast<char*>(grown);
  capacity_ = want;
}

void PayloadWriter::put_bytes(const char* p, size_t n) {
  reserve(n);
  if (n) std::memcpy(data_ + size_, p, n);
  size_ += n;
}

void PayloadWriter::put_long_count(uint64_t n) {
  unsigned char b[9];
  size_t len;
  if (n < 0x80) {
    b[0] = static_cast<unsigned char>(n);
    len = 1;
  } else if (n < (uint64_t{1} << 13)) {
    b[0] = static_cast<unsigned char>(0xC0 | (n >> 8));
    b[1] = static_cast<unsigned char>(n);
    len = 2;
  } else if (n < (uint64_t{1} << 20)) {
    b[0] = static_cast<unsigned char>(0xE0 | (n >> 16));
    b[1] = static_cast<unsigned char>(n >> 8);
    b[2] = static_cast<unsigned char>(n);
    len = 3;
  } else if (n < (uint64_t{1} << 27)) {
    b[0] = static_cast<unsigned char>(0xF0 | (n >> 24));
    b[1] = static_cast<unsigned char>(n >> 16);
    b[2] = static_cast<unsigned char>(n >> 8);
    b[3] = static_cast<unsigned char>(n);
    len = 4;
  } else {
    b[0] = 0xF8;
    for (int i = 0; i < 8; ++i) b[1 + i] = static_cast<unsigned char>(n >> (8 * i));
    len = 9;
  }
  put_bytes(reinterpret_cast<const char*>(b), len);
}

void PayloadWriter::put_string(std::string_view s) {
  put_count(s.size());
  put_bytes(s.data(), s.size());
}

uint64_t PayloadWriter::name_ref(std::string_view name) {
  uint64_t index = names_->find_or_add(name);
  return index == UINT64_MAX ? 0 : index + 1;
}

void PayloadWriter::node(std::string_view name, bool has_text, bool remember) {
  const uint64_t ref = name_ref(name);
  put_count((ref << 3) | (has_text ? kHasText : 0) | (remember ? kRemember : 0));
  if (ref == 0) put_string(name);
}

void PayloadWriter::attr(std::string_view key, std::string_view value) {
  const uint64_t ref = name_ref(key);
  put_count(ref);
  if (ref == 0) put_string(key);
  put_string(value);
}

/****************************************************************************************
 * Reading
 ****************************************************************************************/

bool PayloadCursor::header(PickleError& error) {
  if (size_ < sizeof kHeader || std::memcmp(data_, kHeader, sizeof kHeader) != 0) {
    error.kind = PickleError::Kind::NotAPayload;
    error.at = 0;
    return false;
  }
  pos_ = sizeof kHeader;
  return true;
}

bool PayloadCursor::long_count(uint64_t& out, PickleError& error) {
  error.at = pos_;
  if (pos_ >= size_) {
    error.kind = PickleError::Kind::Truncated;
    return false;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(data_ + pos_);
  const unsigned char b = p[0];
  size_t extra;
  uint64_t n;
  if (b < 0x80) {
    extra = 0;
    n = b;
  } else if (b >= 0xC0 && b < 0xE0) {
    extra = 1;
    n = b & 0x1F;
  } else if (b >= 0xE0 && b < 0xF0) {
    extra = 2;
    n = b & 0x0F;
  } else if (b >= 0xF0 && b < 0xF8) {
    extra = 3;
    n = b & 0x07;
  } else if (b == 0xF8) {
    extra = 8;
    n = 0;
  } else {
    error.kind = PickleError::Kind::BadCount;
    return false;
  }
  if (left() < 1 + extra) {
    error.kind = PickleError::Kind::Truncated;
    return false;
  }
  if (extra == 8) {
    for (size_t i = 0; i < 8; ++i) n |= uint64_t{p[1 + i]} << (8 * i);
  } else {
    for (size_t i = 0; i < extra; ++i) n = (n << 8) | p[1 + i];
  }
  pos_ += 1 + extra;
  out = n;
  return true;
}

bool PayloadCursor::bounded_count(uint64_t& out, size_t min_bytes, PickleError& error) {
  const size_t at = pos_;
  if (!count(out, error)) return false;
  if (out > left() / min_bytes) {
    error.kind = PickleError::Kind::CountTooLarge;
    error.at = at;
    error.value = out;
    return false;
  }
  return true;
}

bool PayloadCursor::string(size_t& start, size_t& len, PickleError& error) {
  const size_t at = pos_;
  uint64_t n;
  if (!count(n, error)) return false;
  if (n > left()) {
    error.kind = n > size_ ? PickleError::Kind::CountTooLarge : PickleError::Kind::Truncated;
    error.at = at;
    error.value = n;
    return false;
  }
  std::string_view bytes(data_ + pos_, static_cast<size_t>(n));
  if (first_invalid_utf8(bytes) != bytes.size()) {
    error.kind = PickleError::Kind::InvalidUtf8;
    error.at = at;
    return false;
  }
  start = pos_;
  len = static_cast<size_t>(n);
  pos_ += len;
  return true;
}

bool PayloadCursor::name(uint64_t ref, size_t item_at, size_t& start, size_t& len,
                         PickleError& error) {
  if (ref == 0) {
    if (!string(start, len, error)) return false;
    names_.push_back({start, len});
    return true;
  }
  if (ref > names_.size()) {
    error.kind = PickleError::Kind::BadNameRef;
    error.at = item_at;
    error.value = ref - 1;
    return false;
  }
  start = names_[ref - 1].start;
  len = names_[ref - 1].len;
  return true;
}

}  // namespace vx::pickle
