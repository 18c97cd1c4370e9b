// pickle_codec.hpp: the flat form a Node tree travels in when pickled, written from a tree and
// read back with every byte checked. Python-free: the module supplies the tree and the node maker.
//
// Layout. All integers are "counts" (below). After the 4-byte header "VXT" 0x01, the nodes follow
// in preorder, each one item:
//   head         (name_ref << 3) | flags
//                  flags bit 0: the node has a text
//                  flags bit 1: later items may refer back to this node (it gets the next
//                               index among remembered nodes)
//                  flags bit 2: the item is a back-reference: head >> 3 is the index of a
//                               remembered node, bits 0 and 1 are clear, and nothing follows
//                name_ref 0: a new name follows as (length, bytes) and joins the name table;
//                name_ref n > 0: entry n - 1 of the table
//   attributes   their number, then per attribute: key_ref (as name_ref, same table), value
//                length, value bytes
//   text         if flag bit 0: length, bytes
//   children     their number; the children's items follow
// Names and attribute keys repeat throughout a tree, so each is written once; values and texts
// are written where they stand.
//
// Counts, by the first byte:
//   0xxxxxxx               7 bits
//   110xxxxx +1 byte       13 bits, high bits in the first byte, then big-endian
//   1110xxxx +2 bytes      20 bits
//   11110xxx +3 bytes      27 bits
//   11111000 +8 bytes      64 bits
// A first byte is never 0x80..0xBF, a UTF-8 continuation byte. Every string is followed by a
// count or by the end, so its end, like its start, falls on a character boundary of the whole
// payload: a rebuilt tree's strings can be ranges of the payload itself, as a parsed tree's
// strings are ranges of its document.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "entities/attr_map.hpp"
#include "result.hpp"
#include "storage/source_text.hpp"
#include "storage/stored_str.hpp"

namespace vx::pickle {

inline constexpr char kHeader[4] = {'V', 'X', 'T', 0x01};
inline constexpr uint64_t kHasText = 1, kRemember = 2, kBackReference = 4, kFlagBits = 3;

// Why a payload was refused. `at` is the byte offset where the offending item starts.
struct PickleError {
  enum class Kind : uint8_t {
    NotAPayload,     // header missing or of another version
    Truncated,       // the payload ends inside an item
    BadCount,        // a count starts with a byte no count starts with
    CountTooLarge,   // a length or number larger than the rest of the payload could hold
    BadFlags,        // a back-reference with node flags set
    BadNameRef,      // a name reference past the end of the name table
    BadBackReference,  // a back-reference to no remembered node
    Enclosing,       // a back-reference to a node not finished yet: it would contain itself
    InvalidUtf8,     // a string that is not well-formed UTF-8
    DuplicateKey,    // an attribute key given twice in one node
    TrailingBytes,   // bytes after the root's last item
    NoMemory,        // not a fault of the payload
  };
  Kind kind = Kind::NotAPayload;
  uint64_t at = 0;
  uint64_t value = 0;   // the count or reference concerned, where there is one
  std::string detail;   // the duplicate key

  // "invalid Node pickle data at byte N: ..." (not used for NoMemory).
  std::string text() const;
};

/****************************************************************************************
 * Writing
 ****************************************************************************************/

// The bytes of one payload, grown as items are added. Interns names and keys.
class PayloadWriter {
 public:
  PayloadWriter();
  ~PayloadWriter();
  PayloadWriter(const PayloadWriter&) = delete;
  PayloadWriter& operator=(const PayloadWriter&) = delete;

  void node(std::string_view name, bool has_text, bool remember);
  void attr_count(size_t n) { put_count(n); }
  void attr(std::string_view key, std::string_view value);
  void text(std::string_view text) { put_string(text); }
  void child_count(size_t n) { put_count(n); }
  void back_reference(uint64_t index) { put_count((index << 3) | kBackReference); }

  std::string_view bytes() const noexcept { return {data_, size_}; }

  // Exposed for tests of the count form.
  void put_count(uint64_t n) {
    if (n < 0x80 && size_ < capacity_) {
      data_[size_++] = static_cast<char>(n);
      return;
    }
    put_long_count(n);
  }

 private:
  void put_long_count(uint64_t n);
  void put_string(std::string_view s);
  void put_bytes(const char* p, size_t n);
  void reserve(size_t more);
  // 0 after writing the name out as new, or its table index + 1.
  uint64_t name_ref(std::string_view name);

  struct NameTable;
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  NameTable* names_;
};

// Writes the tree under `root` in preorder, with an explicit stack. `Tree` supplies, for its node
// handle type `Tree::Node`: name(n), text(n) (null when absent, else a string_view pointer-like),
// has_text(n), text_view(n), attr_count(n), for_each_attr(n, f(key, value)), children(n) (a
// range of handles) and may_be_shared(n): whether the node might occur more than once in the
// tree. Those that might are remembered on first meeting and written as back-references after,
// which keeps a tree that shares subtrees as small as its distinct nodes.
template <class Tree>
void encode_tree(typename Tree::Node root, PayloadWriter& out) {
  using Node = typename Tree::Node;
  struct Frame {
    Node node;
    size_t next;
  };
  std::vector<Frame> stack;
  struct Index {
    std::vector<std::pair<Node, uint64_t>> slots;
    size_t used = 0;
    static size_t hash(Node n) {
      return static_cast<size_t>((reinterpret_cast<uintptr_t>(n) >> 4) * 0x9E3779B97F4A7C15ULL);
    }
    // The index of `n`, or UINT64_MAX after adding it as `fresh`.
    uint64_t find_or_add(Node n, uint64_t fresh) {
      if ((used + 1) * 2 > slots.size()) grow();
      size_t mask = slots.size() - 1;
      for (size_t i = hash(n) & mask;; i = (i + 1) & mask) {
        if (slots[i].first == n) return slots[i].second;
        if (!slots[i].first) {
          slots[i] = {n, fresh};
          ++used;
          return UINT64_MAX;
        }
      }
    }
    void grow() {
      std::vector<std::pair<Node, uint64_t>> old;
      old.swap(slots);
      slots.assign(old.empty() ? 64 : old.size() * 2, {Node{}, 0});
      size_t mask = slots.size() - 1;
      for (auto& e : old) {
        if (!e.first) continue;
        size_t i = hash(e.first) & mask;
        while (slots[i].first) i = (i + 1) & mask;
        slots[i] = e;
      }
    }
  } index;
  uint64_t next_index = 0;

  // Writes one node's own fields; true when its children are to follow.
  auto visit = [&](Node n, bool may_share) {
    bool remember = false;
    if (may_share) {
      uint64_t seen = index.find_or_add(n, next_index);
      if (seen != UINT64_MAX) {
        out.back_reference(seen);
        return false;
      }
      remember = true;
      ++next_index;
    }
    const bool has_text = Tree::has_text(n);
    out.node(Tree::name(n), has_text, remember);
    out.attr_count(Tree::attr_count(n));
    Tree::for_each_attr(n, [&](std::string_view k, std::string_view v) { out.attr(k, v); });
    if (has_text) out.text(Tree::text(n));
    const size_t children = Tree::children(n).size();
    out.child_count(children);
    return children > 0;
  };

  // The root may be held elsewhere, but it cannot occur inside its own tree.
  if (visit(root, false)) stack.push_back({root, 0});
  while (!stack.empty()) {
    Frame& top = stack.back();
    auto children = Tree::children(top.node);
    if (top.next == children.size()) {
      stack.pop_back();
      continue;
    }
    Node child = Tree::child(children[top.next++]);
    if (visit(child, Tree::may_be_shared(child))) stack.push_back({child, 0});  // `top` unused after
  }
}

/****************************************************************************************
 * Reading
 ****************************************************************************************/

// The checked reading of counts and strings of one payload, and its name table.
class PayloadCursor {
 public:
  PayloadCursor(const char* data, size_t size) noexcept : data_(data), size_(size) {}

  size_t pos() const noexcept { return pos_; }
  size_t left() const noexcept { return size_ - pos_; }
  bool at_end() const noexcept { return pos_ == size_; }
  const char* data() const noexcept { return data_; }

  bool header(PickleError& error);
  // A count; false with `error` filled on a bad or cut-off one.
  bool count(uint64_t& out, PickleError& error) {
    if (pos_ < size_) {
      auto b = static_cast<unsigned char>(data_[pos_]);
      if (b < 0x80) {
        ++pos_;
        out = b;
        return true;
      }
    }
    return long_count(out, error);
  }
  // A count that stands for as many items of at least `min_bytes` bytes each as follow.
  bool bounded_count(uint64_t& out, size_t min_bytes, PickleError& error);
  // A string: its length, then that many bytes of well-formed UTF-8; gives their offset.
  bool string(size_t& start, size_t& len, PickleError& error);
  // A name or key reference: an entry of the table, or a new one read here.
  bool name(uint64_t ref, size_t item_at, size_t& start, size_t& len, PickleError& error);

 private:
  bool long_count(uint64_t& out, PickleError& error);

  struct Range {
    size_t start, len;
  };
  const char* data_;
  size_t size_;
  size_t pos_ = 0;
  std::vector<Range> names_;
};

// Rebuilds a tree from a payload. `Maker` supplies `Handle` (a pointer-like node handle; a null
// one means no memory), `Handle make(StoredStr&& name, StoredStr&& text, AttrMap&& attrs,
// const Handle* children, size_t count)`, which takes the children on success and leaves them
// with the decoder on failure, and `void share(Handle)`, which adds a holder to a node. Strings
// are ranges of `source`; its counts are taken in one go at the end.
template <class Maker>
class PayloadDecoder {
 public:
  using Handle = typename Maker::Handle;

  PayloadDecoder(SourceText* source, Maker& maker, HashKeys keys)
      : counts_(source), maker_(maker), in_(source->data(), source->size()), keys_(keys) {}
  PayloadDecoder(const PayloadDecoder&) = delete;
  PayloadDecoder& operator=(const PayloadDecoder&) = delete;

  // The root, whose holder the caller becomes; or why the payload was refused. Exhausted memory is
  // an error value too, so nothing is thrown.
  Result<Handle, PickleError> run() noexcept {
    try {
      return walk();
    } catch (const std::bad_alloc&) {
      PickleError e;
      e.kind = PickleError::Kind::NoMemory;
      return e;
    }
  }

  // After a failed run: the nodes made and not yet given to a parent, for the caller to release.
  const std::vector<Handle>& made() const noexcept { return made_; }

 private:
  // Holds a large credit of counts on the source while strings are cut from it: a string cut
  // and dropped before the counts are settled cannot take the source to zero.
  struct Counts {
    static constexpr size_t kCredit = size_t{1} << 48;
    explicit Counts(SourceText* s) : source(s) { source->retain(kCredit); }
    ~Counts() {
      settle();
      source->release(kCredit);
    }
    void settle() noexcept {
      if (owed) source->retain(owed);
      owed = 0;
    }
    SourceText* source;
    size_t owed = 0;
  };

  struct Frame {
    StoredStr name;
    StoredStr text;
    AttrMap attrs;
    uint64_t left;  // children still to come
    size_t base;    // where its children start in made_
    uint64_t slot;  // its index among remembered nodes, or UINT64_MAX
  };

  StoredStr cut(size_t start, size_t len) {
    if (StoredStr::fits_shared(start, len)) {
      ++counts_.owed;
      return StoredStr::shared_counted(counts_.source, start, len);
    }
    return StoredStr::copy_of(std::string_view(in_.data() + start, len));
  }

  static PickleError fail(PickleError::Kind kind, uint64_t at, uint64_t value = 0) {
    PickleError e;
    e.kind = kind;
    e.at = at;
    e.value = value;
    return e;
  }

  Result<Handle, PickleError> walk() {
    PickleError error;
    if (!in_.header(error)) return error;
    while (true) {
      const size_t item_at = in_.pos();
      uint64_t head;
      if (!in_.count(head, error)) return error;
      Handle done{};
      if (head & kBackReference) {
        if (head & kFlagBits) return fail(PickleError::Kind::BadFlags, item_at);
        const uint64_t index = head >> 3;
        if (index >= remembered_.size()) {
          return fail(PickleError::Kind::BadBackReference, item_at, index);
        }
        done = remembered_[index];
        if (!done) return fail(PickleError::Kind::Enclosing, item_at, index);
        maker_.share(done);
      } else {
        size_t start, len;
        if (!in_.name(head >> 3, item_at, start, len, error)) return error;
        StoredStr name = cut(start, len);
        uint64_t attr_count;
        if (!in_.bounded_count(attr_count, 2, error)) return error;
        attrs_.reset(keys_);
        for (uint64_t i = 0; i < attr_count; ++i) {
          const size_t attr_at = in_.pos();
          uint64_t key_ref;
          if (!in_.count(key_ref, error)) return error;
          if (!in_.name(key_ref, attr_at, start, len, error)) return error;
          StoredStr key = cut(start, len);
          if (!in_.string(start, len, error)) return error;
          StoredStr value = cut(start, len);
          if (!attrs_.insert_new(key, value)) {
            PickleError dup = fail(PickleError::Kind::DuplicateKey, attr_at);
            dup.detail = std::string(key.raw_view());
            return dup;
          }
        }
        StoredStr text;
        if (head & kHasText) {
          if (!in_.string(start, len, error)) return error;
          text = cut(start, len);
        }
        uint64_t children;
        if (!in_.bounded_count(children, 1, error)) return error;
        uint64_t slot = UINT64_MAX;
        if (head & kRemember) {
          slot = remembered_.size();
          remembered_.push_back(Handle{});
        }
        if (children > 0) {
          frames_.push_back(Frame{std::move(name), std::move(text), attrs_.finish(), children,
                                  made_.size(), slot});
          continue;
        }
        done = maker_.make(std::move(name), std::move(text), attrs_.finish(), nullptr, 0);
        if (!done) return fail(PickleError::Kind::NoMemory, item_at);
        if (slot != UINT64_MAX) remembered_[slot] = done;
      }
      // `done` is one finished item; it may finish its parent, and that one its own.
      while (true) {
        made_.push_back(done);
        if (frames_.empty()) {
          if (!in_.at_end()) return fail(PickleError::Kind::TrailingBytes, in_.pos(), in_.left());
          made_.clear();
          counts_.settle();
          return done;
        }
        Frame& f = frames_.back();
        if (--f.left > 0) break;
        const size_t count = made_.size() - f.base;
        done = maker_.make(std::move(f.name), std::move(f.text), std::move(f.attrs),
                           made_.data() + f.base, count);
        if (!done) return fail(PickleError::Kind::NoMemory, in_.pos());
        made_.resize(f.base);
        if (f.slot != UINT64_MAX) remembered_[f.slot] = done;
        frames_.pop_back();
      }
    }
  }

  Counts counts_;  // first: settled and released after everything else here is gone
  Maker& maker_;
  PayloadCursor in_;
  HashKeys keys_;  // one pair for every attribute map of the tree, as a read takes per document
  AttrMapBuilder attrs_;
  std::vector<Frame> frames_;
  std::vector<Handle> made_;
  std::vector<Handle> remembered_;  // null while the node is being built
};

}  // namespace vx::pickle
