// node_type.cpp: the Node class: type object, constructor, properties and release.
#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>
#include <string>
#include <vector>

#include "args.hpp"
#include "boundary.hpp"
#include "entities/node.hpp"
#include "entities/node_arena.hpp"
#include "per_thread.hpp"
#include "storage/big_block.hpp"
#include "entities/node_methods.hpp"

namespace vx {
namespace {

size_t node_block_size(size_t children) {
  return offsetof(NodeObject, children) + children * sizeof(PyObject*);
}

// Nodes come from the C heap rather than the interpreter's arenas: nodes of few children (nearly
// all of a document's) from the size-class chunks of NodeArena, which keep the memory of a freed
// tree for the next one, the rest from big_alloc.
NodeArena& node_arena = *new NodeArena(node_block_size);  // never destroyed, like the type

void* take_node_block(size_t children) {
  if (NodeArena::serves(children)) return node_arena.take(children);
  return big_alloc(node_block_size(children));
}

PyObject* node_alloc(PyTypeObject* type, Py_ssize_t children) {
  void* memory = take_node_block(static_cast<size_t>(children));
  if (!memory) return PyErr_NoMemory();
  return reinterpret_cast<PyObject*>(
      PyObject_InitVar(static_cast<PyVarObject*>(memory), type, children));
}

void node_free(void* memory) {
  auto children = static_cast<size_t>(Py_SIZE(static_cast<PyVarObject*>(memory)));
  if (NodeArena::serves(children)) {
    node_arena.give(memory, children);
  } else {
    big_free(memory, node_block_size(children));
  }
}

// Releasing a node drops its children. A child whose last reference goes is not released from
// inside its parent's release (that would recurse once per level) but handed back here and
// walked with an explicit stack, depth first, so the stack holds one path of the tree and a
// node with many children never queues them all at once. One per thread: a large release
// continues without the GIL, so two threads may be releasing at once.
struct ReleaseState {
  struct Frame {
    NodeObject* node;
    Py_ssize_t next_child;
  };
  bool draining = false;
  NodeObject* orphan = nullptr;  // the child whose last reference just went
  std::vector<Frame> stack;
  std::vector<void*> frees;  // heap blocks given up by the release under way
  std::vector<PyObject*> shared;  // children met without the GIL that others may hold too
};

// What one release gives up, gathered so that each kind is settled in one go.
struct ReleaseBatches {
  explicit ReleaseBatches(ReleaseState& st)
      : sources(&st.frees), blocks(node_arena), attr_blocks(attr_block_arena()) {}
  void flush() {
    sources.flush();
    blocks.flush();
    attr_blocks.flush();
  }
  SourceReleaseBatch sources;
  NodeArena::GiveBatch blocks;
  NodeArena::GiveBatch attr_blocks;
  size_t freed = 0;  // nodes, each of which held a reference to the type
};

void release_fields(NodeObject* node, ReleaseBatches& out) {
  node->name.reset_into(out.sources);
  node->attrs.reset_into(out.sources, out.attr_blocks);
  node->text.reset_into(out.sources);
}

void free_node(NodeObject* node, ReleaseBatches& out) {
  auto children = static_cast<size_t>(Py_SIZE(node));
  size_t bytes = node_block_size(children);
  if (NodeArena::serves(children)) {
    out.blocks.add(node, children);
  } else if (bytes < kBigBlockBytes) {
    out.sources.free_later(node);
  } else {
    big_free(node, bytes);
  }
  ++out.freed;
}

// GIL held: drops the references the freed nodes held to their type.
void drop_type_refs(size_t freed) {
  auto* type = reinterpret_cast<PyObject*>(node_type());
  if constexpr (kNodesWithoutGil) {
    Py_SET_REFCNT(type, Py_REFCNT(type) - static_cast<Py_ssize_t>(freed));  // the module holds one
  } else {
    for (size_t i = 0; i < freed; ++i) Py_DECREF(type);
  }
}

// Releases of this many blocks or more free them with the GIL released: giving memory back to
// the allocator is much of the cost of dropping a large tree, and other threads can run
// meanwhile. Smaller releases are not worth the hand-over.
constexpr size_t kFreeWithoutGil = 4096;

// A release walks this many nodes with the GIL, and what is left of it without: a small tree is
// freed before taking the GIL back could cost more than the walk.
constexpr size_t kWalkWithGil = 32 * 1024;

bool may_release_gil() {
#if PY_VERSION_HEX >= 0x030D0000
  return !Py_IsFinalizing();
#else
  return !_Py_IsFinalizing();
#endif
}

void free_blocks(std::vector<void*>& blocks) {
  for (void* block : blocks) std::free(block);
  blocks.clear();
}

// Frees the blocks a release gave up. Nothing here touches a Python object.
void free_given_up_blocks(ReleaseState& st) {
  if (st.frees.empty()) return;
  if (st.frees.size() < kFreeWithoutGil || !may_release_gil()) {
    free_blocks(st.frees);
    return;
  }
  // Another thread may release a tree of its own while this one frees without the GIL.
  std::vector<void*> blocks;
  blocks.swap(st.frees);
  {
    GilRelease unlocked;
    free_blocks(blocks);
  }
  if (st.frees.empty() && st.frees.capacity() < blocks.capacity()) st.frees.swap(blocks);
}

// Drops a reference to a child; returns the child when that was its last reference, for the
// caller to release. Where reference counts are plain integers the count is dropped here and a
// dying child never enters its type's dealloc, which saves a call per freed node; builds that
// track references (debug interpreters) go through the interpreter's own release instead.
NodeObject* drop_last_child_ref(PyObject* child, ReleaseState& st) {
  if constexpr (kNodesWithoutGil) {
    if (Py_REFCNT(child) > 1) {
      Py_SET_REFCNT(child, Py_REFCNT(child) - 1);
      return nullptr;
    }
    Py_SET_REFCNT(child, 0);
    return as_node(child);
  } else {
    Py_DECREF(child);
    return std::exchange(st.orphan, nullptr);
  }
}

// The same without the GIL. What a thread without the GIL may do to a Python object, on every
// interpreter built here (3.11: the count is one word that the GIL holder changes by a plain
// read-modify-write; 3.12 and 3.13: the same word, where Py_INCREF stores only its low 32 bits
// and stops at immortal values, and Py_DECREF and Py_SET_REFCNT skip an object whose low 32 bits
// are negative):
//  - read the whole count of an object it holds a reference to, as one aligned atomic load;
//  - write the count only of an object no other thread can reach: one whose count it read as 1
//    while holding that one reference (here, the dying parent's), or one it has just made;
//  - never call the interpreter, change the type's count (done once per release, with the GIL)
//    or free memory the interpreter allocated.
// A count other than 1 may be changing under another thread, so that child is left for the GIL
// (ReleaseState::shared). A node's count is never immortal, so Py_SET_REFCNT stores it here.
NodeObject* drop_last_child_ref_without_gil(PyObject* child, ReleaseState& st) {
  if (__atomic_load_n(&child->ob_refcnt, __ATOMIC_RELAXED) != 1) {
    st.shared.push_back(child);
    return nullptr;
  }
  Py_SET_REFCNT(child, 0);
  return as_node(child);
}

// Walks the release stack until it is empty (true) or `budget` nodes were visited (false).
template <bool kWithoutGil>
bool release_walk(ReleaseState& st, ReleaseBatches& out, size_t budget) {
  while (!st.stack.empty()) {
    if (budget-- == 0) return false;
    ReleaseState::Frame& top = st.stack.back();
    if (top.next_child == Py_SIZE(top.node)) {
      free_node(top.node, out);
      st.stack.pop_back();
      continue;
    }
    PyObject* next = top.node->children[top.next_child++];
    NodeObject* child = kWithoutGil ? drop_last_child_ref_without_gil(next, st)
                                    : drop_last_child_ref(next, st);
    if (!child) continue;
    release_fields(child, out);
    if (Py_SIZE(child) == 0) {
      free_node(child, out);
    } else {
      st.stack.push_back({child, 0});  // `top` is not used past this point
    }
  }
  return true;
}

// Finishes a large release without the GIL, then drops with the GIL the references to children
// that were shared, releasing those that die.
void finish_release_without_gil(ReleaseState& st, ReleaseBatches& out) {
  {
    GilRelease unlocked(GilRelease::kKeepDropsQueued);  // no Python code before the walk is done
    release_walk<true>(st, out, SIZE_MAX);
    out.flush();
    free_blocks(st.frees);
  }
  while (!st.shared.empty()) {
    PyObject* child = st.shared.back();
    st.shared.pop_back();
    NodeObject* dying = drop_last_child_ref(child, st);
    if (!dying) continue;
    release_fields(dying, out);
    st.stack.push_back({dying, 0});
    release_walk<false>(st, out, SIZE_MAX);
  }
}

void node_dealloc(PyObject* self) {
  ReleaseState& st = per_thread<ReleaseState>();
  if (st.draining) {
    st.orphan = as_node(self);
    return;
  }
  {
    DeferOwnerDrops defer;  // nothing below may run Python code until the walk is done
    st.draining = true;
    ReleaseBatches out(st);
    release_fields(as_node(self), out);
    st.stack.push_back({as_node(self), 0});
    if (!release_walk<false>(st, out, kWalkWithGil)) {
      if (kNodesWithoutGil && may_release_gil()) {
        finish_release_without_gil(st, out);
      } else {
        release_walk<false>(st, out, SIZE_MAX);
      }
    }
    out.flush();
    drop_type_refs(out.freed);
    st.draining = false;
    if (st.stack.capacity() > 4096) std::vector<ReleaseState::Frame>().swap(st.stack);
    if (st.shared.capacity() > 4096) std::vector<PyObject*>().swap(st.shared);
  }
  drain_pending_drops();
  free_given_up_blocks(st);
}

// Converts the `children` argument into owned references.
bool children_from_arg(PyObject* arg, std::vector<PyRef>* out) {
  if (PyUnicode_Check(arg)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(arg)) {
    set_not_instance(arg, "Sequence");
    return false;
  }
  Py_ssize_t hint = PyObject_Size(arg);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  out->reserve(static_cast<size_t>(hint));
  PyRef iter = PyRef::steal(PyObject_GetIter(arg));
  if (!iter) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    if (!is_node(item.get())) {
      set_not_instance(item.get(), "Node");
      return false;
    }
    out->push_back(std::move(item));
  }
  return !PyErr_Occurred();
}

const char* const new_params[] = {"name", "attrs", "children", "text"};
const Signature new_signature{"Node.__new__()", new_params, 4, 1};

PyObject* node_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* arg[4];
    if (!extract_args(new_signature, args, kwargs, arg)) return nullptr;

    auto name = arg_str(arg[0], "name");
    if (!name) return nullptr;
    StoredStr name_copy = StoredStr::copy_of(*name);

    AttrMap attrs;
    if (arg[1] && arg[1] != Py_None && !attrs_from_dict(arg[1], &attrs)) {
      add_param_note("attrs");
      return nullptr;
    }

    std::vector<PyRef> children;
    if (arg[2] && arg[2] != Py_None && !children_from_arg(arg[2], &children)) {
      add_param_note("children");
      return nullptr;
    }

    StoredStr text;
    if (arg[3] && arg[3] != Py_None) {
      auto t = arg_str(arg[3], "text");
      if (!t) return nullptr;
      text = StoredStr::copy_of(*t);
    }

    std::vector<PyObject*> raw(children.size());
    for (size_t i = 0; i < children.size(); ++i) raw[i] = children[i].release();
    return make_node(std::move(name_copy), std::move(text), std::move(attrs), raw.data(), raw.size());
  });
}

PyObject* get_name(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return new_str(as_node(self)->name.view()); });
}

PyObject* get_text(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const StoredStr& text = as_node(self)->text;
    if (!text.present()) Py_RETURN_NONE;
    return new_str(text.view());
  });
}

PyObject* get_attrs(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return attrs_to_dict(as_node(self)->attrs); });
}

PyObject* get_children(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] {
    auto children = children_of(as_node(self));
    PyObject* list = checked_result(PyList_New(static_cast<Py_ssize_t>(children.size())), "list");
    for (size_t i = 0; i < children.size(); ++i) {
      Py_INCREF(children[i]);
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), children[i]);
    }
    return list;
  });
}

PyGetSetDef node_getset[] = {
    {"name", get_name, nullptr, nullptr, nullptr},
    {"text", get_text, nullptr, nullptr, nullptr},
    {"attrs", get_attrs, nullptr, nullptr, nullptr},
    {"children", get_children, nullptr,
     "Children are shared references to the same nodes, not copies.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define VX_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef node_methods[] = {
    {"__to_string", VX_FASTCALL(node_to_string), METH_FASTCALL | METH_KEYWORDS,
     "__to_string($self, spacing=None)\n--\n\n"},
    {"search_by_name", VX_FASTCALL(node_search_by_name), METH_FASTCALL | METH_KEYWORDS,
     "search_by_name($self, name, depth=None)\n--\n\n"},
    {"search_by_attr", VX_FASTCALL(node_search_by_attr), METH_FASTCALL | METH_KEYWORDS,
     "search_by_attr($self, key, depth=None)\n--\n\n"},
    {"search_by_text", VX_FASTCALL(node_search_by_text), METH_FASTCALL | METH_KEYWORDS,
     "search_by_text($self, text, depth=None)\n--\n\n"},
    {"search", VX_FASTCALL(node_search), METH_FASTCALL | METH_KEYWORDS,
     "search($self, by, value, depth=None)\n--\n\n"},
    {"from_dict", VX_FASTCALL(node_from_dict), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_dict($cls, dict_)\n--\n\n"},
    {"to_dict", node_to_dict, METH_NOARGS, "to_dict($self)\n--\n\n"},
    {"__reduce__", node_reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\n"
     "The tree as one flat payload for pickle: names, attributes in their order, texts and\n"
     "children, and subtrees held more than once, written once."},
    {"__copy__", node_copy, METH_NOARGS, "__copy__($self)\n--\n\nThe node itself: nodes are immutable."},
    {"__deepcopy__", node_deepcopy, METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nThe node itself: nodes are immutable."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot node_slots[] = {
    {Py_tp_doc, const_cast<char*>("Node(name, attrs=None, children=None, text=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(node_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
    {Py_tp_alloc, reinterpret_cast<void*>(node_alloc)},
    {Py_tp_free, reinterpret_cast<void*>(node_free)},
    {Py_tp_str, reinterpret_cast<void*>(node_str)},
    {Py_tp_repr, reinterpret_cast<void*>(node_repr)},
    {Py_tp_getset, node_getset},
    {Py_tp_methods, node_methods},
    {0, nullptr},
};

PyType_Spec node_spec = {
    "vantelix.Node",
    static_cast<int>(offsetof(NodeObject, children)),
    static_cast<int>(sizeof(PyObject*)),
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    node_slots,
};

}  // namespace

PyTypeObject* node_type() {
  static PyTypeObject* type = nullptr;
  if (!type) type = create_bare_named_type(&node_spec, "Node");
  return type;
}

namespace {

// Moves the parts into a fresh node's block and takes over the child references.
void fill_node(NodeObject* node, StoredStr&& name, StoredStr&& text, AttrMap&& attrs,
               PyObject* const* children, size_t count) {
  new (&node->name) StoredStr(std::move(name));
  new (&node->text) StoredStr(std::move(text));
  new (&node->attrs) AttrMap(std::move(attrs));
  for (size_t i = 0; i < count; ++i) node->children[i] = children[i];
}

}  // namespace

PyObject* make_node(StoredStr&& name, StoredStr&& text, AttrMap&& attrs, PyObject* const* children,
                    size_t count) {
  PyTypeObject* type = node_type();
  PyObject* obj = node_alloc(type, static_cast<Py_ssize_t>(count));  // the type's tp_alloc
  if (!obj) {
    for (size_t i = 0; i < count; ++i) Py_DECREF(children[i]);
    return nullptr;
  }
  fill_node(as_node(obj), std::move(name), std::move(text), std::move(attrs), children, count);
  return obj;
}

struct UnpublishedNodes::Leases {
  explicit Leases(size_t document_bytes) : attrs(document_bytes) {
    for (NodeArena::Lease& lease : by_class) {
      lease.begin_read(document_bytes >= NodeArena::kLargeReadBytes);
    }
  }
  NodeArena::Lease by_class[NodeArena::kClasses];
  AttrLeaseScope attrs;  // the read's attribute maps are made on this thread too
};

UnpublishedNodes::UnpublishedNodes(size_t document_bytes)
    : type_(node_type()), leases_(new Leases(document_bytes)) {}

UnpublishedNodes::~UnpublishedNodes() {
  publish();
  for (NodeArena::Lease& lease : leases_->by_class) node_arena.end_lease(lease);
  delete leases_;
}

PyObject* UnpublishedNodes::make(StoredStr&& name, StoredStr&& text, AttrMap&& attrs,
                                 PyObject* const* children, size_t count) noexcept {
  void* memory = NodeArena::serves(count) ? node_arena.take(leases_->by_class[count], count)
                                           : big_alloc(node_block_size(count));
  if (!memory) return nullptr;
  // What PyObject_InitVar does, but for the type's reference, which publish() adds.
  auto* obj = static_cast<PyObject*>(memory);
  init_refcount(obj);
  Py_SET_TYPE(obj, type_);
  Py_SET_SIZE(reinterpret_cast<PyVarObject*>(obj), static_cast<Py_ssize_t>(count));
  fill_node(as_node(obj), std::move(name), std::move(text), std::move(attrs), children, count);
  ++unpublished_;
  return obj;
}

void UnpublishedNodes::publish() {
  auto* type = reinterpret_cast<PyObject*>(type_);
  Py_SET_REFCNT(type, Py_REFCNT(type) + static_cast<Py_ssize_t>(unpublished_));
  unpublished_ = 0;
}

bool attrs_from_dict(PyObject* dict, AttrMap* out) {
  if (!PyDict_Check(dict)) {
    set_not_instance(dict, "dict");
    return false;
  }
  AttrMapBuilder builder(take_thread_keys());
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  // Exact str keys of one dict differ in their text, so they need no search for an equal one.
  // A key of a str subclass may equal another in text (its class can define equality), so from
  // the first such key on every key is searched for.
  bool distinct = true;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    auto k = str_utf8(key);
    if (!k) return false;
    auto v = str_utf8(value);
    if (!v) return false;
    distinct = distinct && PyUnicode_CheckExact(key);
    if (distinct) {
      builder.append_distinct(StoredStr::copy_of(*k), StoredStr::copy_of(*v));
    } else {
      builder.insert_or_replace(StoredStr::copy_of(*k), StoredStr::copy_of(*v));
    }
  }
  *out = builder.finish();
  return true;
}

PyObject* attrs_to_dict(const AttrMap& attrs) {
  PyRef dict = PyRef::steal(checked_result(PyDict_New(), "dict"));
  for (const AttrEntry& entry : attrs) {
    PyRef key = PyRef::steal(new_str(entry.key.view()));
    PyRef value = PyRef::steal(new_str(entry.value.view()));
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace vx
