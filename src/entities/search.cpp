// search.cpp: subtree searches by name, attribute key and text, and the SearchType enumeration.
#include <Python.h>

#include <climits>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "args.hpp"
#include "boundary.hpp"
#include "entities/node.hpp"
#include "per_thread.hpp"
#include "entities/node_methods.hpp"

namespace vx {
namespace {

/****************************************************************************************
 * SearchType
 ****************************************************************************************/

enum class Criterion : uint8_t { Tag = 0, Attr = 1, Text = 2 };

struct SearchTypeObject {
  PyObject_HEAD
  uint8_t value;
};

constexpr const char* kMemberNames[] = {"Tag", "Attr", "Text"};
constexpr const char* kMemberReprs[] = {"SearchType.Tag", "SearchType.Attr", "SearchType.Text"};

uint8_t member_value(PyObject* obj) { return reinterpret_cast<SearchTypeObject*>(obj)->value; }

PyObject* search_type_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] { return new_str(kMemberReprs[member_value(self)]); });
}

PyObject* search_type_int(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] {
    return checked_result(PyLong_FromLong(member_value(self)), "int");
  });
}

// The other operand as a signed 32-bit integer, if the interpreter's index conversion gives one.
// Conversion errors are swallowed: a value that is not an integer is simply not equal.
std::optional<int32_t> comparable_int(PyObject* other) {
  PyRef index = PyRef::steal(PyNumber_Index(other));
  if (!index) {
    PyErr_Clear();
    return std::nullopt;
  }
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

PyObject* search_type_richcompare(PyObject* self, PyObject* other, int op) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (op < Py_LT || op > Py_GE) Py_RETURN_NOTIMPLEMENTED;
    int32_t mine = member_value(self);
    int32_t theirs;
    if (Py_IS_TYPE(other, search_type())) {
      theirs = member_value(other);
    } else {
      auto converted = comparable_int(other);
      if (!converted) Py_RETURN_NOTIMPLEMENTED;
      theirs = *converted;
    }
    // Ordering is deliberately left undefined, so Python reports it as unsupported.
    if (op == Py_EQ) return PyBool_FromLong(mine == theirs);
    if (op == Py_NE) return PyBool_FromLong(mine != theirs);
    Py_RETURN_NOTIMPLEMENTED;
  });
}

// No tp_hash: defining equality without one leaves __hash__ as None, so members are unhashable.
PyType_Slot search_type_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(search_type_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(search_type_richcompare)},
    {Py_nb_int, reinterpret_cast<void*>(search_type_int)},
    {0, nullptr},
};

PyType_Spec search_type_spec = {
    "vantelix.SearchType",
    static_cast<int>(sizeof(SearchTypeObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    search_type_slots,
};

// Creates the class with its three members in the class dict; null with the error set on failure.
PyTypeObject* create_search_type() {
  PyTypeObject* type = create_bare_named_type(&search_type_spec, "SearchType");
  PyObject* dict = type->tp_dict;
  // The class cannot be called, so the members are allocated directly.
  for (uint8_t value = 0; value < 3; ++value) {
    PyRef member = PyRef::steal(type->tp_alloc(type, 0));
    if (!member) return nullptr;
    reinterpret_cast<SearchTypeObject*>(member.get())->value = value;
    if (PyDict_SetItemString(dict, kMemberNames[value], member.get()) < 0) return nullptr;
  }
  PyType_Modified(type);
  return type;
}

/****************************************************************************************
 * The walk
 ****************************************************************************************/

// Byte equality with the cheap length test first; the view of a shared range is only taken
// (and range-checked) when the lengths agree.
inline bool text_equals(const StoredStr& stored, std::string_view wanted) {
  return stored.size() == wanted.size() && stored.view() == wanted;
}

// Verdicts of the name test by storage identity. A tree read from a document keeps one range of
// it for every occurrence of a name, so after one byte comparison per distinct name the rest of
// the walk compares 16 bytes of the StoredStr instead of taking and comparing the text. An id
// stays valid for the whole walk: the caller keeps the tree, and with it every string, alive.
class NameVerdicts {
 public:
  bool equals(const StoredStr& name, std::string_view wanted) {
    if (name.size() != wanted.size()) return false;
    const StoredStr::StorageId id = name.storage_id();
    if (last_.known && id == last_.id) return last_.equal;  // siblings mostly share their name
    // Two ways per set, the newer first: a document's handful of names seldom evict each other.
    Slot* set = &slots_[(id.hash() >> (64 - kSetBits)) * 2];
    if (!(set[0].known && set[0].id == id)) {
      if (set[1].known && set[1].id == id) {
        std::swap(set[0], set[1]);
      } else {
        set[1] = set[0];
        set[0] = {id, true, name.view() == wanted};
      }
    }
    last_ = set[0];
    return set[0].equal;
  }

 private:
  static constexpr int kSetBits = 4;
  struct Slot {
    StoredStr::StorageId id{0, 0};
    bool known = false;
    bool equal = false;
  };
  Slot last_;
  Slot slots_[size_t{2} << kSetBits];
};

template <Criterion C>
inline bool matches(const NodeObject* node, std::string_view wanted, NameVerdicts& verdicts) {
  if constexpr (C == Criterion::Tag) {
    return verdicts.equals(node->name, wanted);
  } else if constexpr (C == Criterion::Attr) {
    return !node->attrs.empty() && node->attrs.find(wanted) != nullptr;
  } else {
    return node->text.present() && text_equals(node->text, wanted);
  }
}

// Takes the match's reference while its header is still in cache; the list adopts it later.
inline void keep_match(const NodeObject* node, std::vector<PyObject*>* found) {
  PyObject* obj = reinterpret_cast<PyObject*>(const_cast<NodeObject*>(node));
  found->push_back(obj);
  Py_INCREF(obj);
}

// Warms the bytes a later match test of this node will read. Owned texts and attribute blocks
// are separate heap blocks, each a likely cache miss; shared ranges point into the document,
// which is laid out in visiting order already.
template <Criterion C>
inline void prefetch_tested(const NodeObject* node) {
  if constexpr (C == Criterion::Tag) {
    if (!node->name.is_shared()) __builtin_prefetch(node->name.view().data());
  } else if constexpr (C == Criterion::Attr) {
    __builtin_prefetch(node->attrs.begin());
  } else {
    if (node->text.present() && !node->text.is_shared()) __builtin_prefetch(node->text.view().data());
  }
}

// How far ahead siblings are fetched: a node header first, its tested text once the header has
// had time to arrive. Far enough to cover a cache miss at a few nanoseconds per sibling.
constexpr size_t kNodeAhead = 16;
constexpr size_t kTextAhead = 8;

// Pre-order walk with an explicit stack of (node, next child) frames, so the native stack does
// not grow with the tree's depth. `limit` is the number of levels below the start that may be
// entered; negative means unlimited (a negative depth never counts down to 0). The tree is
// immutable and kept alive by the caller's reference to `start`, so no child needs a reference
// of its own during the walk.
template <Criterion C>
void walk(const NodeObject* start, std::string_view wanted, int64_t limit,
          std::vector<PyObject*>* found) {
  struct Frame {
    const NodeObject* node;
    size_t next;
  };
  auto descends = [limit](size_t level) { return limit < 0 || static_cast<int64_t>(level) < limit; };

  NameVerdicts verdicts;
  if (matches<C>(start, wanted, verdicts)) keep_match(start, found);
  if (Py_SIZE(start) == 0 || !descends(0)) return;
  std::vector<Frame> stack;
  stack.push_back({start, 0});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == static_cast<size_t>(Py_SIZE(top.node))) {
      stack.pop_back();
      continue;
    }
    // Siblings are fetched ahead in two steps: the node further on, then the tested text of the
    // node nearer by, whose header the first step has brought in.
    PyObject* const* siblings = top.node->children;
    size_t at = top.next++;
    size_t count = static_cast<size_t>(Py_SIZE(top.node));
    if (at + kNodeAhead < count) __builtin_prefetch(siblings[at + kNodeAhead]);
    if (at + kTextAhead < count) prefetch_tested<C>(as_node(siblings[at + kTextAhead]));
    const NodeObject* child = as_node(siblings[at]);
    if (matches<C>(child, wanted, verdicts)) keep_match(child, found);
    // The child sits stack.size() levels below the start.
    if (Py_SIZE(child) != 0 && descends(stack.size())) stack.push_back({child, 0});
  }
}

// The match array is kept per thread between calls: a fresh large array would be mapped and
// faulted in on every search, which costs more than the walk itself. Searches cannot nest
// (no Python code runs during one), so one array per thread suffices. It holds references;
// whatever the list did not adopt is dropped here.
struct MatchScratch {
  std::vector<PyObject*> found;
  void done() {
    // Emptied first, then the references dropped from the storage that clear() keeps. Written
    // the other way round, GCC 12 at -O2 dropped the clear() when this ran while unwinding from
    // a failed walk, and the next search handed out the stale, already dropped entries.
    PyObject* const* held = found.data();
    const size_t count = found.size();
    found.clear();
    for (size_t i = 0; i < count; ++i) Py_DECREF(held[i]);
    if (found.capacity() > kKeep) std::vector<PyObject*>().swap(found);
  }
  static constexpr size_t kKeep = size_t{1} << 20;
};

PyObject* run_search(PyObject* self, Criterion criterion, std::string_view wanted,
                     std::optional<int32_t> depth) {
  const NodeObject* start = as_node(self);
  int64_t limit = depth && *depth >= 0 ? *depth : -1;
  MatchScratch& scratch = per_thread<MatchScratch>();
  struct Release {
    MatchScratch& scratch;
    ~Release() { scratch.done(); }
  } release{scratch};
  std::vector<PyObject*>& found = scratch.found;
  switch (criterion) {
    case Criterion::Tag: walk<Criterion::Tag>(start, wanted, limit, &found); break;
    case Criterion::Attr: walk<Criterion::Attr>(start, wanted, limit, &found); break;
    case Criterion::Text: walk<Criterion::Text>(start, wanted, limit, &found); break;
    default: invariant_failed("unreachable search criterion");
  }
  PyObject* list = checked_result(PyList_New(static_cast<Py_ssize_t>(found.size())), "list");
  for (size_t i = 0; i < found.size(); ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), found[i]);
  found.clear();  // the list owns them now
  return list;
}

/****************************************************************************************
 * Entry points
 ****************************************************************************************/

const char* const by_name_params[] = {"name", "depth"};
const char* const by_attr_params[] = {"key", "depth"};
const char* const by_text_params[] = {"text", "depth"};
const char* const search_params[] = {"by", "value", "depth"};
const Signature by_name_signature{"Node.search_by_name()", by_name_params, 2, 1};
const Signature by_attr_signature{"Node.search_by_attr()", by_attr_params, 2, 1};
const Signature by_text_signature{"Node.search_by_text()", by_text_params, 2, 1};
const Signature search_signature{"Node.search()", search_params, 3, 2};

PyObject* search_one_criterion(const Signature& sig, Criterion criterion, PyObject* self,
                               PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* arg[2];
    if (!extract_args(sig, args, nargs, kwnames, arg)) return nullptr;
    auto wanted = arg_str(arg[0], sig.params[0]);
    if (!wanted) return nullptr;
    std::optional<int32_t> depth;
    if (!arg_opt_i32(arg[1], "depth", &depth)) return nullptr;
    return run_search(self, criterion, *wanted, depth);
  });
}

}  // namespace

PyTypeObject* search_type() {
  static PyTypeObject* type = nullptr;
  if (!type) {
    type = create_search_type();
    if (!type) {
      PyErr_WriteUnraisable(nullptr);
      invariant_failed("failed to create type object for `SearchType`");
    }
  }
  return type;
}

PyObject* node_search_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return search_one_criterion(by_name_signature, Criterion::Tag, self, args, nargs, kwnames);
}

PyObject* node_search_by_attr(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return search_one_criterion(by_attr_signature, Criterion::Attr, self, args, nargs, kwnames);
}

PyObject* node_search_by_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return search_one_criterion(by_text_signature, Criterion::Text, self, args, nargs, kwnames);
}

PyObject* node_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* arg[3];
    if (!extract_args(search_signature, args, nargs, kwnames, arg)) return nullptr;
    if (!Py_IS_TYPE(arg[0], search_type())) {
      set_not_instance(arg[0], "SearchType");
      add_param_note("by");
      return nullptr;
    }
    auto criterion = static_cast<Criterion>(member_value(arg[0]));
    auto wanted = arg_str(arg[1], "value");
    if (!wanted) return nullptr;
    std::optional<int32_t> depth;
    if (!arg_opt_i32(arg[2], "depth", &depth)) return nullptr;
    return run_search(self, criterion, *wanted, depth);
  });
}

}  // namespace vx
