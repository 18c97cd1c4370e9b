// element_stream.hpp: the streaming reader's Python-free surface: bytes go in chunk by chunk, and
// the trees of the elements named by one tag come out, each built from a copy of its own bytes.
// Runs without the GIL.
#pragma once
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "read/element_reader.hpp"
#include "read/read_error.hpp"
#include "read/tree_builder.hpp"

namespace vx {

enum class StreamEvent : uint8_t { NeedInput, Element, End, Failed };

// The stream's bytes: a buffer whose room grows without being filled first, since reads write it.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() { delete[] data_; }

  const char* data() const noexcept { return data_; }
  char* data() noexcept { return data_; }
  size_t size() const noexcept { return size_; }
  char operator[](size_t i) const noexcept { return data_[i]; }
  operator std::string_view() const noexcept { return {data_, size_}; }

  // Makes the size `n`; bytes past the old size are left as they were.
  void resize(size_t n) {
    if (n > capacity_) {
      const size_t room = std::max(n, capacity_ * 2);
      char* grown = new char[room];
      if (size_) std::memcpy(grown, data_, size_);
      delete[] data_;
      data_ = grown;
      capacity_ = room;
    }
    size_ = n;
  }
  // Room for at least `n` more bytes at the end, for a read to write into; `commit` then keeps
  // the first `n` of them.
  char* input_space(size_t n) {
    filled_ = size_;
    resize(filled_ + n);
    return data_ + filled_;
  }
  void commit(size_t n) { resize(filled_ + n); }
  void append(const char* bytes, size_t n) {
    const size_t old = size_;
    resize(old + n);
    if (n) std::memcpy(data_ + old, bytes, n);
  }
  void erase_front(size_t n) noexcept {
    if (n == 0) return;
    std::memmove(data_, data_ + n, size_ - n);
    size_ -= n;
  }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  size_t filled_ = 0;  // the size before input_space
};

// Walks a document as its bytes arrive, checking every byte as the tree builder checks the
// document before its root element is found, and handing each element named `tag` that lies
// outside every other such element to the tree builder as a copy of just its own bytes.
//
// Faults are reported in the order the stream reaches them. Errors of an element's tree carry
// offsets counted in the whole stream. Tags are found by the scalar index builder's rules; the
// elements' trees are built with that builder too, so a document whose first bytes would have
// the whole-document reader pick the quote-aware builder may differ from it where quotes stand
// outside start tags.
//
// Beyond the first element, the walk goes on as before it: whatever lies between, before and
// after the elements is checked as the tree builder checks what comes before its root, and at the
// end every element opened outside them must have been closed ("unexpected end of document").
// The buffer holds only the bytes not yet checked, the element being gathered and the tag being
// read, so memory follows what must be held, not the stream's length.
class ElementStream {
 public:
  explicit ElementStream(std::string tag);
  ElementStream(const ElementStream&) = delete;
  ElementStream& operator=(const ElementStream&) = delete;

  // Room for at least `n` more bytes at the end of the buffer; `commit` then adds those written.
  char* input_space(size_t n);
  void commit(size_t n);
  void append(const char* data, size_t n);
  // No more bytes will come.
  void end_input();
  bool input_ended() const noexcept { return ended_; }
  // The bytes held and not yet walked past; before the first `next`, all that has arrived.
  std::string_view held() const noexcept { return buf_; }
  // Stream offset of the first byte held: no error is reported at an offset before it.
  uint64_t held_from() const noexcept { return base_; }
  const std::string& tag() const noexcept { return tag_; }

  // Walks as far as the bytes allow. Element: `take_tree()` holds the next element's records.
  // Failed: `error()` holds the fault, with offsets counted in the stream.
  StreamEvent next();
  RecordTree take_tree() { return std::move(tree_); }
  // Bytes of the element whose tree `take_tree` gives.
  size_t tree_bytes() const noexcept { return tree_bytes_; }
  const ReadError& error() const noexcept { return error_; }

 private:
  enum class Found : uint8_t { Tag, More, Unclosed, Skip };
  enum class Skipped : uint8_t { Built, Walk, NeedInput, Failed };
  struct Tag {
    size_t start = 0;  // buffer positions
    size_t end = 0;    // the closing '>'
    size_t name = 0;
    size_t name_len = 0;
    TagKind kind = TagKind::Open;
  };

  uint64_t at(size_t pos) const noexcept { return base_ + pos; }
  Found find_tag(size_t q, Tag* tag);
  bool check_utf8_to(size_t pos);
  bool outside_tag(const Tag& tag);
  bool build(size_t from, size_t to, bool whole);
  Skipped skip_element();
  size_t find_close(size_t from) const noexcept;
  void compact();
  StreamEvent fail(ReadError error);

  std::string tag_;
  ByteBuffer buf_;
  uint64_t base_ = 0;     // stream offset of buf_[0]
  size_t pos_ = 0;        // where the walk goes on
  size_t checked_ = 0;    // bytes before this are well-formed UTF-8
  bool ended_ = false;
  bool failed_ = false;

  // The tag whose end has not arrived yet: where its search goes on, and an open quote.
  size_t pending_ = SIZE_MAX;
  size_t resume_ = 0;
  char quote_ = 0;
  size_t quote_at_ = 0;
  size_t name_end_ = SIZE_MAX;

  // Gathering an element: where it starts and how many elements are open inside it.
  bool inside_ = false;
  size_t element_ = 0;
  size_t depth_ = 0;

  // The quick way through an element: its first end tag of the same name is taken for its end
  // and the element built from there; when the builder does not accept that (an element of the
  // same name inside, the end tag inside a comment, or a fault), the element is walked tag by tag
  // from its start tag instead. `scan_` is where the search for the end tag goes on.
  bool quick_ = false;
  bool quick_allowed_ = true;
  size_t scan_ = 0;
  uint64_t quick_built_ = 0;
  uint64_t quick_missed_ = 0;

  std::vector<std::string> open_;  // names opened outside the elements, innermost last
  ElementReader reader_;
  RecordTree tree_;
  size_t tree_bytes_ = 0;
  bool have_tree_ = false;
  ReadError error_;
};

// Chunk size the readers ask for.
inline constexpr size_t kStreamChunk = 256 * 1024;

}  // namespace vx
