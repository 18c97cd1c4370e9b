// dict_convert.cpp: Node.to_dict and Node.from_dict, through the owned HashmapTypes intermediate.
//
// Both directions go through a HashmapTree: node maps in one flat array, whose Vec and Map values
// point into two flat lists. With flat storage no destructor recurses over the tree's depth, and
// every walk below keeps its own stack, so nesting depth costs heap, never native stack.
#include <Python.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "args.hpp"
#include "boundary.hpp"
#include "entities/expansion.hpp"
#include "entities/node.hpp"
#include "entities/node_methods.hpp"
#include "storage/short_name.hpp"
#include "storage/spare_blocks.hpp"

namespace vx {
namespace {

/****************************************************************************************
 * The intermediate form
 ****************************************************************************************/

// One value of a node map: a tagged union of the four kinds, 24 bytes. Absent stands for a key
// that the node dictionary did not have.
//
// Strings and maps are either owned by the value or borrowed from a tree that outlives it:
// to_dict reads a tree its caller keeps alive for the whole call, so its intermediate refers to
// the tree's own strings and attribute entries instead of copying each one.
class HashmapTypes {
 public:
  enum class Kind : uint8_t { Absent, String, Vec, NullableString, Map };

  HashmapTypes() noexcept : range_{0, 0} {}
  HashmapTypes(HashmapTypes&& other) noexcept : kind_(other.kind_), borrowed_(other.borrowed_) {
    if (owns_text()) {
      new (&text_) StoredStr(std::move(other.text_));
    } else {
      std::memcpy(static_cast<void*>(&text_), static_cast<const void*>(&other.text_), sizeof text_);
    }
  }
  HashmapTypes& operator=(HashmapTypes&& other) noexcept {
    if (this != &other) {
      this->~HashmapTypes();
      new (this) HashmapTypes(std::move(other));
    }
    return *this;
  }
  HashmapTypes(const HashmapTypes&) = delete;
  HashmapTypes& operator=(const HashmapTypes&) = delete;
  ~HashmapTypes() {
    if (owns_text()) text_.~StoredStr();
  }

  static HashmapTypes string(StoredStr text) { return HashmapTypes(Kind::String, std::move(text)); }
  // `text` absent for None.
  static HashmapTypes nullable(StoredStr text) {
    return HashmapTypes(Kind::NullableString, std::move(text));
  }
  static HashmapTypes string_in(const StoredStr& text) { return HashmapTypes(Kind::String, &text); }
  static HashmapTypes nullable_in(const StoredStr& text) {
    return HashmapTypes(Kind::NullableString, &text);
  }
  // Vec: a range of HashmapTree::items; Map: a range of HashmapTree::pairs.
  static HashmapTypes vec(uint32_t first, uint32_t count) { return {Kind::Vec, first, count}; }
  static HashmapTypes map(uint32_t first, uint32_t count) { return {Kind::Map, first, count}; }
  static HashmapTypes map_in(const AttrMap& attrs) {
    HashmapTypes value;
    value.kind_ = Kind::Map;
    value.borrowed_ = true;
    value.entries_ = {attrs.begin(), static_cast<uint32_t>(attrs.size())};
    return value;
  }

  Kind kind() const noexcept { return kind_; }
  bool is(Kind kind) const noexcept { return kind_ == kind; }
  bool borrowed() const noexcept { return borrowed_; }
  // String and NullableString only; the mutable form for owned strings only.
  StoredStr& text() noexcept { return text_; }
  const StoredStr& text() const noexcept { return borrowed_ ? *ref_ : text_; }
  // Vec and owned Map only.
  uint32_t first() const noexcept { return range_.first; }
  // Vec and Map.
  uint32_t count() const noexcept { return borrowed_ ? entries_.count : range_.count; }
  // Borrowed Map only.
  const AttrEntry* entries() const noexcept { return entries_.first; }

 private:
  struct Range {
    uint32_t first, count;
  };
  struct Entries {
    const AttrEntry* first;
    uint32_t count;
  };
  HashmapTypes(Kind kind, StoredStr text) : kind_(kind) { new (&text_) StoredStr(std::move(text)); }
  HashmapTypes(Kind kind, const StoredStr* text) : ref_(text), kind_(kind), borrowed_(true) {}
  HashmapTypes(Kind kind, uint32_t first, uint32_t count) : range_{first, count}, kind_(kind) {}
  bool owns_text() const noexcept {
    return !borrowed_ && (kind_ == Kind::String || kind_ == Kind::NullableString);
  }

  union {
    StoredStr text_;
    Range range_;
    const StoredStr* ref_;
    Entries entries_;
  };
  Kind kind_ = Kind::Absent;
  bool borrowed_ = false;
};
static_assert(sizeof(HashmapTypes) == 24);

// The intermediate form of one node dictionary. Only the four keys a node is made from are
// kept, in the order name, attrs, children, text; further keys are checked and then dropped.
struct NodeMap {
  HashmapTypes name, attrs, children, text;
};

enum class Slot : uint8_t { Name, Attrs, Children, Text, Other };

Slot slot_of(std::string_view key) {
  if (key == "name") return Slot::Name;
  if (key == "attrs") return Slot::Attrs;
  if (key == "children") return Slot::Children;
  if (key == "text") return Slot::Text;
  return Slot::Other;
}

HashmapTypes& slot_in(NodeMap& map, Slot slot) {
  switch (slot) {
    case Slot::Name: return map.name;
    case Slot::Attrs: return map.attrs;
    case Slot::Children: return map.children;
    case Slot::Text: return map.text;
    default: invariant_failed("node map has no slot for further keys");
  }
}

// Append-only storage in fixed blocks of about 64 KiB. Growing never moves elements, and the
// thread keeps blocks of this size for its next call (spare_blocks), where one large array would
// be mapped afresh (and every page faulted in) on each conversion.
template <class T>
class BlockList {
 public:
  static constexpr size_t kPerBlock = std::bit_floor(size_t{65536} / sizeof(T));
  static constexpr size_t kBlockBytes = kPerBlock * sizeof(T);

  BlockList() = default;
  BlockList(const BlockList&) = delete;
  BlockList& operator=(const BlockList&) = delete;
  ~BlockList() {
    truncate(0);
    for (T* block : blocks_) spare_blocks::give(block, kBlockBytes);
  }

  size_t size() const noexcept { return size_; }
  T& operator[](size_t i) noexcept { return blocks_[i / kPerBlock][i % kPerBlock]; }
  const T& operator[](size_t i) const noexcept { return blocks_[i / kPerBlock][i % kPerBlock]; }

  template <class... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == blocks_.size() * kPerBlock) {
      blocks_.push_back(nullptr);  // first, so that a list that cannot grow loses no block
      void* block = spare_blocks::take(kBlockBytes);
      if (!block) {
        blocks_.pop_back();
        throw std::bad_alloc();
      }
      blocks_.back() = static_cast<T*>(block);
    }
    T* slot = &blocks_[size_ / kPerBlock][size_ % kPerBlock];
    new (slot) T(std::forward<Args>(args)...);
    ++size_;
    return *slot;
  }

  // Destroys the elements from `n` on; the blocks stay for reuse.
  void truncate(size_t n) noexcept {
    while (size_ > n) (*this)[--size_].~T();
  }

 private:
  std::vector<T*> blocks_;
  size_t size_ = 0;
};

struct HashmapTree {
  BlockList<NodeMap> maps;      // maps[0] is the top node
  BlockList<uint32_t> items;    // Vec contents, as indices into maps
  BlockList<AttrEntry> pairs;   // Map contents
  // Whether every Map key came from an exact str: keys of one dict then differ in their text.
  bool exact_keys = true;
};

// Indices are 32-bit to keep node maps small; a tree beyond that cannot be held in memory anyway.
uint32_t checked_index(size_t n) {
  if (n > UINT32_MAX) throw std::bad_alloc();
  return static_cast<uint32_t>(n);
}

/****************************************************************************************
 * to_dict
 ****************************************************************************************/

// Phase 1: the node's subtree into node maps. Each node reserves the maps of all its children
// at once, so a Vec's items are consecutive and the visiting order does not matter. The maps
// borrow the tree's strings and attribute entries: they live no longer than the call, and the
// caller's reference to `root` keeps the whole tree alive and unchanged until then.
void tree_from_node(const NodeObject* root, HashmapTree& tree) {
  tree.maps.emplace_back();
  std::vector<std::pair<const NodeObject*, uint32_t>> work{{root, 0}};
  // Shared subtrees can stand for more elements than memory holds: refuse those up front.
  ExpansionGuard guard(root, sizeof(NodeMap), PY_SSIZE_T_MAX, true, uint64_t{1} << 20);
  while (!work.empty()) {
    if (!guard.visit()) throw std::bad_alloc();
    auto [node, index] = work.back();
    work.pop_back();
    NodeMap map;
    map.name = HashmapTypes::string_in(node->name);
    checked_index(node->attrs.size());
    map.attrs = HashmapTypes::map_in(node->attrs);

    auto children = children_of(node);
    checked_index(tree.maps.size() + children.size());
    checked_index(tree.items.size() + children.size());
    auto base = static_cast<uint32_t>(tree.maps.size());
    auto first_item = static_cast<uint32_t>(tree.items.size());
    for (size_t i = 0; i < children.size(); ++i) {
      tree.items.emplace_back(base + static_cast<uint32_t>(i));
      tree.maps.emplace_back();
    }
    map.children = HashmapTypes::vec(first_item, static_cast<uint32_t>(children.size()));
    for (size_t i = children.size(); i-- > 0;) {
      work.emplace_back(as_node(children[i]), base + static_cast<uint32_t>(i));
    }

    map.text = HashmapTypes::nullable_in(node->text);
    tree.maps[index] = std::move(map);
  }
}

// Holds the cyclic collector off while a result is assembled. Every dict and list made here is
// new and acyclic, so collections in between could find nothing, yet they would traverse the
// growing result again and again. No Python code runs meanwhile, so nobody can see the pause.
class CollectorPause {
 public:
  CollectorPause() : was_enabled_(PyGC_Disable() == 1) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  bool was_enabled_;
};

// Short texts (names, attribute keys, codes and flags) are kept by content in an open-addressed
// table whose entries hold the text itself: two words and a length compare in a few
// instructions, where hashing into a node-based map cost more than making the str. The table
// grows with the distinct texts up to kMaxTexts and then keeps the ones it has: a document's
// recurring values mostly show up early, and texts that never repeat cannot fill it beyond that.
class ShortStrs {
 public:
  static constexpr size_t kMaxBytes = ShortName::kMaxLen;

  ShortStrs() : slots_(kFirstSlots) {}
  ShortStrs(const ShortStrs&) = delete;
  ShortStrs& operator=(const ShortStrs&) = delete;
  ~ShortStrs() {
    for (Entry& entry : slots_) Py_XDECREF(entry.str);
  }

  // A new reference to a str of `text`, at most kMaxBytes long.
  PyObject* get(std::string_view text) {
    const Entry key{ShortName::of(text.data(), text.size(), text.data() + text.size()),
                    static_cast<uint32_t>(text.size()), nullptr};
    Entry& slot = slots_[slot_for(slots_, key)];
    if (slot.str) return Py_NewRef(slot.str);
    PyObject* str = new_str(text);
    if (used_ < max_texts_) {
      slot = {key.text, key.size, Py_NewRef(str)};
      // About half full at most, so a probe meets an empty slot after a step or two. A table
      // that cannot grow keeps what it has: sharing is an economy, not a duty.
      if (++used_ * 2 > slots_.size() && !grow()) max_texts_ = used_;
    }
    return str;
  }

 private:
  static constexpr size_t kFirstSlots = 256;
  static constexpr size_t kMaxTexts = size_t{1} << 16;
  struct Entry {
    ShortName text;
    uint32_t size = 0;
    PyObject* str = nullptr;  // owned by the table; null in an empty slot
  };
  using Table = std::vector<Entry, SpareBlockAllocator<Entry>>;

  // The slot holding `key`'s text, or the empty slot where it belongs.
  static size_t slot_for(const Table& slots, const Entry& key) {
    const size_t mask = slots.size() - 1;
    size_t i = key.text.hash(key.size) >> std::countl_zero(mask);
    while (slots[i].str && !(slots[i].size == key.size && slots[i].text == key.text)) {
      i = (i + 1) & mask;
    }
    return i;
  }

  bool grow() noexcept try {
    // Up to 4 MiB, in blocks the thread keeps (spare or big), so that a table is not mapped and
    // faulted in afresh per call.
    Table bigger(slots_.size() * 2);
    for (const Entry& entry : slots_) {
      if (entry.str) bigger[slot_for(bigger, entry)] = entry;
    }
    slots_.swap(bigger);  // `bigger` now has the old slots, whose references moved
    for (Entry& entry : bigger) entry.str = nullptr;
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }

  Table slots_;
  size_t used_ = 0;
  size_t max_texts_ = kMaxTexts;
};

// The strs of one result for the texts that repeat from element to element: names, attribute
// keys and short attribute values. Sharing them saves an object and a hash per occurrence, and
// memory here is time (each fresh page costs a fault). A tree read from a document keeps one
// range of it for every occurrence of a name, so most name and key lookups are settled by the
// storage identity; the content tables catch equal texts in distinct storage, as in trees built
// from Python and in attribute values, which each have storage of their own. The tables hold
// views of the tree's strings, which the caller keeps alive for the whole call.
class StrMemo {
 public:
  StrMemo() = default;
  StrMemo(const StrMemo&) = delete;
  StrMemo& operator=(const StrMemo&) = delete;
  ~StrMemo() {
    for (Slot& slot : by_storage_) Py_XDECREF(slot.str);
    for (auto& [text, str] : by_text_) Py_DECREF(str);
  }

  // A new reference to a str of the name or key `stored`.
  PyObject* name(const StoredStr& stored) {
    const StoredStr::StorageId id = stored.storage_id();
    Slot& slot = by_storage_[id.hash() >> (64 - kStorageBits)];
    if (slot.str && slot.id == id) return Py_NewRef(slot.str);
    PyObject* str = by_content(stored.view());
    Py_XSETREF(slot.str, Py_NewRef(str));
    slot.id = id;
    return str;
  }

  // A new reference to a str of the attribute value `stored`: short values are shared, as
  // codes, flags, languages and numbers repeat; long values rarely do.
  PyObject* value(const StoredStr& stored) {
    std::string_view text = stored.view();
    return text.size() <= ShortStrs::kMaxBytes ? short_.get(text) : new_str(text);
  }

 private:
  static constexpr int kStorageBits = 8;
  static constexpr size_t kMaxLongTexts = 4096;
  struct Slot {
    StoredStr::StorageId id{0, 0};
    PyObject* str = nullptr;  // owned; null while the slot is unused
  };

  PyObject* by_content(std::string_view text) {
    if (text.size() <= ShortStrs::kMaxBytes) return short_.get(text);
    if (auto found = by_text_.find(text); found != by_text_.end()) return Py_NewRef(found->second);
    PyObject* str = new_str(text);
    if (by_text_.size() < kMaxLongTexts) by_text_.emplace(text, Py_NewRef(str));
    return str;
  }

  ShortStrs short_;
  Slot by_storage_[size_t{1} << kStorageBits];
  std::unordered_map<std::string_view, PyObject*> by_text_;  // long texts; owns its strs
};

// Phase 2: node maps into new Python objects.
class PythonBuilder {
 public:
  explicit PythonBuilder(const HashmapTree& tree) : tree_(tree) {}

  // The top dict owns everything made so far, so an early return releases it all; list slots
  // not yet filled are null, which lists tolerate.
  PyObject* build() {
    CollectorPause pause;
    // The four keys are made once per call and shared by the dicts of this one result, like the
    // key memo of a JSON decoder: fewer objects, and each key is hashed once.
    static constexpr const char* kKeyText[] = {"name", "attrs", "children", "text"};
    for (int i = 0; i < 4; ++i) keys_[i] = PyRef::steal(new_str(kKeyText[i]));
    PyRef top = PyRef::steal(node_dict(tree_.maps[0]));
    if (!top) return nullptr;
    while (!pending_.empty()) {
      Pending& job = pending_.back();
      if (job.count == 0) {
        pending_.pop_back();
        continue;
      }
      // Filled from the back so the job can shrink in place.
      --job.count;
      PyObject* list = job.list;
      Py_ssize_t slot = job.count;
      uint32_t item = tree_.items[job.first + job.count];
      if (job.count >= kAhead) prefetch_attrs(tree_.maps[tree_.items[job.first + job.count - kAhead]]);
      PyObject* child = node_dict(tree_.maps[item]);  // may grow pending_: `job` is stale after
      if (!child) return nullptr;
      PyList_SET_ITEM(list, slot, child);
    }
    return top.release();
  }

 private:
  struct Pending {
    PyObject* list;  // borrowed: owned by the dict it was placed in
    uint32_t first;  // range of HashmapTree::items
    uint32_t count;
  };

  // A tree's attribute entries lie in blocks of their own, apart from the maps: those of a
  // sibling a few items ahead are fetched while this one is built.
  static constexpr uint32_t kAhead = 2;
  static void prefetch_attrs(const NodeMap& map) {
    if (!map.attrs.is(HashmapTypes::Kind::Map) || !map.attrs.borrowed()) return;
    const char* bytes = reinterpret_cast<const char*>(map.attrs.entries());
    const char* end = bytes + map.attrs.count() * sizeof(AttrEntry);
    for (; bytes < end; bytes += 64) __builtin_prefetch(bytes);
  }

  const AttrEntry& pair(const HashmapTypes& map, uint32_t i) const {
    return map.borrowed() ? map.entries()[i] : tree_.pairs[map.first() + i];
  }

  PyObject* attrs_dict(const HashmapTypes& map) {
    // Made empty, not presized: a presized dict gets a table for keys of any type, whose entries
    // carry each key's hash, where a dict that only ever held str keys stores 16 bytes an entry
    // (352 bytes against 272 for six attributes). Growing on the sixth key moves five entries.
    PyRef dict = PyRef::steal(checked_result(PyDict_New(), "dict"));
    for (uint32_t i = 0; i < map.count(); ++i) {
      const AttrEntry& entry = pair(map, i);
      PyRef key = PyRef::steal(memo_.name(entry.key));
      PyRef text = PyRef::steal(memo_.value(entry.value));
      if (PyDict_SetItem(dict.get(), key.get(), text.get()) < 0) return nullptr;
    }
    return dict.release();
  }

  // The Python value of one entry. A Vec becomes a list of its final length whose items are
  // filled later, from pending_.
  PyObject* value(const HashmapTypes& value) {
    switch (value.kind()) {
      case HashmapTypes::Kind::String: return new_str(value.text().view());
      case HashmapTypes::Kind::NullableString:
        if (!value.text().present()) Py_RETURN_NONE;
        return new_str(value.text().view());
      case HashmapTypes::Kind::Map: return attrs_dict(value);
      case HashmapTypes::Kind::Vec: {
        PyObject* list = checked_result(PyList_New(value.count()), "list");
        if (value.count()) pending_.push_back({list, value.first(), value.count()});
        return list;
      }
      case HashmapTypes::Kind::Absent: break;
    }
    invariant_failed("no Python value for an absent entry");
  }

  bool set_entry(PyObject* dict, int key, const HashmapTypes& entry) {
    if (entry.is(HashmapTypes::Kind::Absent)) return true;
    PyRef v = PyRef::steal(value(entry));
    return v && PyDict_SetItem(dict, keys_[key].get(), v.get()) == 0;
  }

  // A new dict for one node map, its keys in the map's order. The name goes through the memo.
  PyObject* node_dict(const NodeMap& map) {
    PyRef dict = PyRef::steal(checked_result(PyDict_New(), "dict"));
    PyRef name = PyRef::steal(memo_.name(map.name.text()));
    if ( PyDict_SetItem(dict.get(), keys_[0].get(), name.get()) < 0 ||
        !set_entry(dict.get(), 1, map.attrs) || !set_entry(dict.get(), 2, map.children) ||
        !set_entry(dict.get(), 3, map.text)) {
      return nullptr;
    }
    return dict.release();
  }

  const HashmapTree& tree_;
  std::vector<Pending> pending_;
  PyRef keys_[4];
  StrMemo memo_;
};

/****************************************************************************************
 * from_dict, phase 1 errors
 ****************************************************************************************/

constexpr std::string_view kEnumHeader =
    "failed to extract enum HashmapTypes ('String | Vec | NullableString | Map')";

// "<type name>: <message>", then each cause after ", caused by ".
std::string describe_exception(PyObject* exc) {
  std::string out;
  std::unordered_set<PyObject*> seen;  // a cause chain can loop back on itself
  PyRef current = PyRef::borrow(exc);
  while (current && seen.insert(current.get()).second) {
    if (!out.empty()) out += ", caused by ";
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(current.get())));
    PyRef text = PyRef::steal(PyObject_Str(current.get()));
    const char* name_utf8 = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    const char* text_utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    PyErr_Clear();
    out += name_utf8 ? name_utf8 : "<unknown>";
    out += ": ";
    out += text_utf8 ? text_utf8 : "<exception str() failed>";
    current = PyRef::steal(PyException_GetCause(current.get()));
  }
  return out;
}

// Takes the raised exception (normalised) off the interpreter.
PyRef take_exception() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value && traceback) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  if (!value) invariant_failed("a conversion failed without an exception");
  return PyRef::steal(value);
}

std::string describe_current() {
  PyRef exc = take_exception();
  return describe_exception(exc.get());
}

std::string not_instance_text(PyObject* obj, const char* required) {
  set_not_instance(obj, required);
  return describe_current();
}

void append_variant(std::string& out, std::string_view kind, std::string_view cause) {
  out += "\n- variant ";
  out += kind;
  out += " (";
  out += kind;
  out += "): TypeError: failed to extract field HashmapTypes::";
  out += kind;
  out += ".0, caused by ";
  out += cause;
}

// A failed phase-1 conversion. Until something wraps it, it is the exception itself; a value
// that fits no kind wraps it into the enum message. That message embeds the message of a failed
// item of a sequence, so failures deep in nested data wrap many times: the layers are kept apart
// and joined once, which keeps the cost linear in the nesting depth.
class ExtractError {
 public:
  static ExtractError raised() {
    ExtractError e;
    e.leaf_ = take_exception();
    return e;
  }
  static ExtractError composite(std::string message) {
    ExtractError e;
    e.core_ = std::move(message);
    return e;
  }

  // The sequence `seq` failed its Vec kind with this error; it fits no other kind either.
  void wrap_in_vec(PyObject* seq) {
    std::string before(kEnumHeader);
    append_variant(before, "String", not_instance_text(seq, "str"));
    before += "\n- variant Vec (Vec): TypeError: failed to extract field HashmapTypes::Vec.0, "
              "caused by ";
    if (leaf_) {
      core_ = describe_exception(leaf_.get());
      leaf_ = PyRef();
    } else {
      before += "TypeError: ";
    }
    std::string after;
    append_variant(after, "NullableString", not_instance_text(seq, "str"));
    append_variant(after, "Map", not_instance_text(seq, "dict"));
    before_.push_back(std::move(before));
    after_.push_back(std::move(after));
  }

  // Raises the error as the current Python exception.
  void raise() {
    if (leaf_) {
      PyObject* exc = leaf_.release();
      PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                    PyException_GetTraceback(exc));
      return;
    }
    size_t size = core_.size();
    for (const auto& s : before_) size += s.size();
    for (const auto& s : after_) size += s.size();
    std::string message;
    message.reserve(size);
    for (size_t i = before_.size(); i-- > 0;) message += before_[i];
    message += core_;
    for (const auto& s : after_) message += s;
    PyRef text = PyRef::steal(checked_result(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())),
        "str"));
    PyErr_SetObject(PyExc_TypeError, text.get());
  }

 private:
  PyRef leaf_;
  std::string core_;
  std::vector<std::string> before_, after_;  // innermost layer first
};

// The enum message for a value that is not a sequence (or is a str), from the four reasons.
ExtractError no_kind_fits(std::string_view string_cause, std::string_view vec_cause,
                          std::string_view nullable_cause, std::string_view map_cause) {
  std::string message(kEnumHeader);
  append_variant(message, "String", string_cause);
  append_variant(message, "Vec", vec_cause);
  append_variant(message, "NullableString", nullable_cause);
  append_variant(message, "Map", map_cause);
  return ExtractError::composite(std::move(message));
}

/****************************************************************************************
 * from_dict, phase 1: Python data into node maps
 ****************************************************************************************/

// The dicts on the current path, to refuse input that contains itself. Paths are usually
// shallow, so the first levels are scanned and only deeper ones go into a hash set.
class PathSet {
 public:
  bool contains(PyObject* dict) const {
    size_t scan = path_.size() < kScanned ? path_.size() : kScanned;
    for (size_t i = 0; i < scan; ++i) {
      if (path_[i] == dict) return true;
    }
    return path_.size() > kScanned && deep_.count(dict) != 0;
  }
  void push(PyObject* dict) {
    if (path_.size() >= kScanned) deep_.insert(dict);
    path_.push_back(dict);
  }
  void pop() {
    if (path_.size() > kScanned) deep_.erase(path_.back());
    path_.pop_back();
  }

 private:
  static constexpr size_t kScanned = 16;
  std::vector<PyObject*> path_;
  std::unordered_set<PyObject*> deep_;
};

// Errors raised by the input's own code that are not ordinary exceptions (KeyboardInterrupt,
// SystemExit, ...) end the conversion as they are instead of becoming a reason in the message.
bool is_interruption() { return !PyErr_ExceptionMatches(PyExc_Exception); }

class FromDictReader {
 public:
  explicit FromDictReader(HashmapTree* tree) : tree_(*tree) {}

  // Reads `top` (a dict) into the tree. On failure returns false with the exception set.
  bool read(PyObject* top);
  // After a failure: whether it came from the input's own code as an interruption, which is
  // passed on as it is, without a note.
  bool interrupted() const noexcept { return interrupted_; }

 private:
  // One dict being read. While the value of its current pair is a sequence, `seq` holds it and
  // each item dict gets a frame of its own above this one. Exact lists and tuples are walked by
  // index, as their own iterators would, bounds checked at every step; other sequences through
  // an iterator.
  struct Frame {
    PyRef dict;
    Py_ssize_t pos = 0;
    Py_ssize_t used = 0;       // size when reading started
    Py_ssize_t remaining = 0;  // pairs not yet read
    uint32_t map = 0;          // its node map, when kept
    bool keep = false;         // whether the node map is stored (false under keys that drop it)
    Slot slot = Slot::Other;   // key of the pair whose sequence is being read
    PyRef seq;
    PyRef iter;             // null for exact lists and tuples
    Py_ssize_t index = 0;   // next item of an exact list or tuple
    size_t items_base = 0;  // start of the sequence's items in item_stack_
  };

  enum class Step { Continue, Failed, Fatal };

  Step interrupt();
  Step push_dict(PyObject* dict, bool keep);
  Step read_pair(Frame& frame);
  PyRef next_item(Frame& frame);
  Step read_item(Frame& frame);
  void finish_sequence(Frame& frame);
  Step read_map_value(PyObject* value, bool store, HashmapTypes* out);
  void unwind();

  HashmapTree& tree_;
  std::vector<Frame> stack_;
  PathSet path_;
  std::vector<uint32_t> item_stack_;  // node maps of the sequences being read, innermost last
  std::optional<ExtractError> error_;
  bool interrupted_ = false;
};

FromDictReader::Step FromDictReader::interrupt() {
  interrupted_ = true;
  return Step::Fatal;
}

FromDictReader::Step FromDictReader::push_dict(PyObject* dict, bool keep) {
  if (path_.contains(dict)) {
    PyErr_SetString(PyExc_ValueError,
                    "node dictionary contains itself: it is reachable again through its own "
                    "values, so it describes no finite tree");
    return Step::Fatal;
  }
  Frame frame;
  frame.dict = PyRef::borrow(dict);
  frame.used = PyDict_GET_SIZE(dict);
  frame.remaining = frame.used;
  frame.keep = keep;
  if (keep) {
    frame.map = checked_index(tree_.maps.size());
    tree_.maps.emplace_back();
  }
  path_.push(dict);
  stack_.push_back(std::move(frame));
  return Step::Continue;
}

// A dict of str to str: the Map kind. Nothing here runs Python code, so the dict cannot change.
FromDictReader::Step FromDictReader::read_map_value(PyObject* value, bool store, HashmapTypes* out) {
  uint32_t first = checked_index(tree_.pairs.size());
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(value, &pos, &k, &v)) {
    auto key = str_utf8(k);
    std::optional<std::string_view> text;
    if (key) text = str_utf8(v);
    if (!key || !text) {
      tree_.pairs.truncate(first);
      std::string cause = describe_current();
      error_ = no_kind_fits(not_instance_text(value, "str"), not_instance_text(value, "Sequence"),
                            not_instance_text(value, "str"), cause);
      return Step::Failed;
    }
    if (!PyUnicode_CheckExact(k)) tree_.exact_keys = false;
    if (store) tree_.pairs.emplace_back(AttrEntry{StoredStr::copy_of(*key), StoredStr::copy_of(*text)});
  }
  *out = HashmapTypes::map(first, checked_index(tree_.pairs.size() - first));
  return Step::Continue;
}

FromDictReader::Step FromDictReader::read_pair(Frame& frame) {
  // Python code run while converting earlier values (a sequence's __len__ or __iter__) may have
  // changed this dict; reading on would skip or repeat pairs.
  if (PyDict_GET_SIZE(frame.dict.get()) != frame.used) {
    invariant_failed("dictionary changed size during iteration");
  }
  PyObject *k, *v;
  if (!PyDict_Next(frame.dict.get(), &frame.pos, &k, &v)) {
    if (frame.remaining != 0) invariant_failed("dictionary keys changed during iteration");
    path_.pop();
    stack_.pop_back();
    return Step::Continue;
  }
  if (frame.remaining == 0) invariant_failed("dictionary keys changed during iteration");
  --frame.remaining;
  PyRef key = PyRef::borrow(k);
  PyRef value = PyRef::borrow(v);

  auto key_text = str_utf8(key.get());
  if (!key_text) {
    error_ = ExtractError::raised();
    return Step::Failed;
  }
  Slot slot = frame.keep ? slot_of(*key_text) : Slot::Other;
  PyObject* val = value.get();
  HashmapTypes converted;

  if (PyUnicode_Check(val)) {
    auto text = str_utf8(val);
    if (!text) {
      std::string cause = describe_current();
      error_ = no_kind_fits(cause, "TypeError: Can't extract `str` to `Vec`", cause,
                            not_instance_text(val, "dict"));
      return Step::Failed;
    }
    bool wanted = slot == Slot::Name || slot == Slot::Text;
    converted = HashmapTypes::string(wanted ? StoredStr::copy_of(*text) : StoredStr());
  } else if (val == Py_None) {
    converted = HashmapTypes::nullable(StoredStr());
  } else if (PyDict_Check(val)) {
    HashmapTypes map;
    Step step = read_map_value(val, slot == Slot::Attrs, &map);
    if (step != Step::Continue) return step;
    converted = std::move(map);
  } else if (PySequence_Check(val)) {
    // The reported length only reserves room; a failure to report one is not an error.
    Py_ssize_t hint = PyObject_Size(val);
    if (hint < 0) {
      if (is_interruption()) return interrupt();
      PyErr_Clear();
    }
    PyRef iter;
    if (!PyList_CheckExact(val) && !PyTuple_CheckExact(val)) {
      iter = PyRef::steal(PyObject_GetIter(val));
      if (!iter) {
        if (is_interruption()) return interrupt();
        error_ = ExtractError::raised();
        error_->wrap_in_vec(val);
        return Step::Failed;
      }
    }
    // A reported length is only a hint: capped, and never shrinking the geometric growth.
    size_t wanted = item_stack_.size() + std::min<size_t>(hint > 0 ? hint : 0, 1 << 16);
    if (wanted > item_stack_.capacity()) {
      item_stack_.reserve(std::max(wanted, 2 * item_stack_.capacity()));
    }
    frame.slot = slot;
    frame.seq = std::move(value);
    frame.iter = std::move(iter);
    frame.index = 0;
    frame.items_base = item_stack_.size();
    return Step::Continue;
  } else {
    std::string as_str = not_instance_text(val, "str");
    error_ = no_kind_fits(as_str, not_instance_text(val, "Sequence"), as_str,
                          not_instance_text(val, "dict"));
    return Step::Failed;
  }
  if (slot != Slot::Other) slot_in(tree_.maps[frame.map], slot) = std::move(converted);
  return Step::Continue;
}

void FromDictReader::finish_sequence(Frame& frame) {
  if (frame.slot != Slot::Other) {
    uint32_t first = checked_index(tree_.items.size());
    for (size_t i = frame.items_base; i < item_stack_.size(); ++i) tree_.items.emplace_back(item_stack_[i]);
    uint32_t count = checked_index(item_stack_.size() - frame.items_base);
    slot_in(tree_.maps[frame.map], frame.slot) = HashmapTypes::vec(first, count);
  }
  item_stack_.resize(frame.items_base);
  frame.iter = PyRef();
  frame.seq = PyRef();
}

// The next item of the sequence being read, or null at its end (or with an error set).
PyRef FromDictReader::next_item(Frame& frame) {
  if (frame.iter) return PyRef::steal(PyIter_Next(frame.iter.get()));
  PyObject* seq = frame.seq.get();
  if (PyList_CheckExact(seq)) {
    // Python code run for earlier items may have shortened the list.
    if (frame.index >= PyList_GET_SIZE(seq)) return PyRef();
    return PyRef::borrow(PyList_GET_ITEM(seq, frame.index++));
  }
  if (frame.index >= PyTuple_GET_SIZE(seq)) return PyRef();
  return PyRef::borrow(PyTuple_GET_ITEM(seq, frame.index++));
}

FromDictReader::Step FromDictReader::read_item(Frame& frame) {
  PyRef item = next_item(frame);
  if (!item) {
    if (PyErr_Occurred()) {
      if (is_interruption()) return interrupt();
      error_ = ExtractError::raised();
      return Step::Failed;
    }
    finish_sequence(frame);
    return Step::Continue;
  }
  if (!PyDict_Check(item.get())) {
    set_not_instance(item.get(), "dict");
    error_ = ExtractError::raised();
    return Step::Failed;
  }
  bool keep = frame.slot == Slot::Children;
  if (keep) item_stack_.push_back(checked_index(tree_.maps.size()));
  return push_dict(item.get(), keep);  // may reallocate the stack: `frame` is not used after
}

// A failure ends the whole conversion. Each dict passes its pair's error on unchanged; a sequence
// that was being read fails its Vec kind with it, which its value turns into the enum message.
void FromDictReader::unwind() {
  while (!stack_.empty()) {
    Frame& frame = stack_.back();
    if (frame.seq && error_) error_->wrap_in_vec(frame.seq.get());
    path_.pop();
    stack_.pop_back();
  }
}

bool FromDictReader::read(PyObject* top) {
  Step step = push_dict(top, true);
  while (step == Step::Continue && !stack_.empty()) {
    Frame& frame = stack_.back();
    step = frame.seq ? read_item(frame) : read_pair(frame);
  }
  if (step == Step::Continue) return true;
  unwind();
  if (step == Step::Failed) error_->raise();
  return false;
}

/****************************************************************************************
 * from_dict, phase 2: node maps into Nodes
 ****************************************************************************************/

// Checks every node map in the order the nodes would be built (name, attrs, children, then each
// child completely), so the first ValueError is the one a depth-first build would meet.
bool validate_tree(const HashmapTree& tree) {
  std::vector<uint32_t> stack{0};
  while (!stack.empty()) {
    const NodeMap& map = tree.maps[stack.back()];
    stack.pop_back();
    const char* problem = nullptr;
    if (!map.name.is(HashmapTypes::Kind::String)) {
      problem = "Invalid name";
    } else if (!map.attrs.is(HashmapTypes::Kind::Map)) {
      problem = "Invalid attrs";
    } else if (!map.children.is(HashmapTypes::Kind::Vec)) {
      problem = "Invalid children";
    }
    if (problem) {
      PyErr_SetString(PyExc_ValueError, problem);
      return false;
    }
    for (uint32_t i = map.children.count(); i-- > 0;) {
      stack.push_back(tree.items[map.children.first() + i]);
    }
  }
  return true;
}

StoredStr text_of(HashmapTypes& value) {
  if (value.is(HashmapTypes::Kind::String) || value.is(HashmapTypes::Kind::NullableString)) {
    return std::move(value.text());
  }
  return {};  // absent, or a Vec or a Map under "text": no text
}

// Builds the Nodes children first. Finished nodes wait on `built` until their parent takes
// them; anything still there on an early return is released.
PyObject* nodes_from_tree(HashmapTree& tree) {
  struct Built {
    std::vector<PyObject*> refs;
    ~Built() {
      for (PyObject* p : refs) Py_DECREF(p);
    }
  } built;
  struct Frame {
    uint32_t map;
    uint32_t next;
  };
  std::vector<Frame> stack{{0, 0}};
  AttrMapBuilder attrs;
  AttrLeaseScope attr_leases(0);  // a whole tree of maps: taken without a lock each
  while (!stack.empty()) {
    Frame& top = stack.back();
    NodeMap& map = tree.maps[top.map];
    const HashmapTypes& children = map.children;
    if (top.next < children.count()) {
      uint32_t child = tree.items[children.first() + top.next++];
      stack.push_back({child, 0});  // invalidates `top`
      continue;
    }
    const HashmapTypes& pairs = map.attrs;
    AttrMap attr_map;
    if (pairs.count()) {
      attrs.reset(take_thread_keys());
      for (uint32_t i = 0; i < pairs.count(); ++i) {
        AttrEntry& entry = tree.pairs[pairs.first() + i];
        if (tree.exact_keys) {
          attrs.append_distinct(std::move(entry.key), std::move(entry.value));
        } else {
          attrs.insert_or_replace(std::move(entry.key), std::move(entry.value));
        }
      }
      attr_map = attrs.finish();
    }
    size_t count = children.count();
    PyObject* const* child_refs = built.refs.data() + (built.refs.size() - count);
    PyObject* node = make_node(std::move(map.name.text()), text_of(map.text), std::move(attr_map),
                               child_refs, count);
    built.refs.resize(built.refs.size() - count);  // make_node took these references
    if (!node) return nullptr;
    built.refs.push_back(node);
    stack.pop_back();
  }
  PyObject* result = built.refs.back();
  built.refs.pop_back();
  return result;
}

const char* const from_dict_params[] = {"dict_"};
const Signature from_dict_signature{"Node.from_dict()", from_dict_params, 1, 1};

}  // namespace

PyObject* node_to_dict(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&] {
    HashmapTree tree;
    tree_from_node(as_node(self), tree);
    return PythonBuilder(tree).build();
  });
}

PyObject* node_from_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* arg[1];
    if (!extract_args(from_dict_signature, args, nargs, kwnames, arg)) return nullptr;
    if (!PyDict_Check(arg[0])) {
      set_not_instance(arg[0], "dict");
      add_param_note("dict_");
      return nullptr;
    }
    HashmapTree tree;
    FromDictReader reader(&tree);
    if (!reader.read(arg[0])) {
      if (!reader.interrupted()) add_param_note("dict_");
      return nullptr;
    }
    if (!validate_tree(tree)) return nullptr;
    return nodes_from_tree(tree);
  });
}

}  // namespace vx
