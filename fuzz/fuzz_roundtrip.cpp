// fuzz_roundtrip.cpp: libFuzzer target for read -> write -> read. The first byte picks the root
// tag, the second the format (indent 0 to 7 and whether the declaration goes first), the rest is
// the document. Whenever the document reads, the tree is written with the serialiser, the output
// is read again with the same root tag, and the second tree must equal the first: names,
// attributes in order, texts (absent stays absent) and children, compared without recursion.
// The measured size must match what the writer produced, and writing the second tree must give
// the same bytes again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "read/tree_builder.hpp"
#include "storage/big_block.hpp"
#include "read/unicode.hpp"
#include "write/serialiser.hpp"
#include "write/sink.hpp"

using namespace vx;

namespace rt {

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz_roundtrip: %s\n", what.c_str());
  std::abort();
}

// The post-order records of a read with each element's children found, so the writer can walk
// them from the root down.
struct Flat {
  const RecordBuffer* records = nullptr;
  std::vector<size_t> child_index;              // every element's children, element by element
  std::vector<std::pair<size_t, size_t>> span;  // (first, count) into child_index, per record
  size_t root = 0;

  explicit Flat(const RecordBuffer& r) : records(&r), span(r.size()) {
    std::vector<size_t> finished;  // roots of the subtrees not yet given to a parent
    for (size_t i = 0; i < r.size(); ++i) {
      const uint64_t count = r[i].child_count;
      if (count > finished.size()) fail("record claims more children than were finished");
      const size_t first = finished.size() - static_cast<size_t>(count);
      span[i] = {child_index.size(), static_cast<size_t>(count)};
      child_index.insert(child_index.end(), finished.begin() + static_cast<ptrdiff_t>(first),
                         finished.end());
      finished.resize(first);
      finished.push_back(i);
    }
    if (finished.size() != 1 || finished[0] != r.size() - 1) fail("records do not form one tree");
    root = r.size() - 1;
  }
};

struct Handle {
  const Flat* flat;
  size_t index;
  const NodeRecord& record() const { return (*flat->records)[index]; }
};

// How the serialiser reads a Handle (found by argument-dependent lookup).
inline std::string_view tree_name(Handle h) { return h.record().name.view(); }
inline const StoredStr& tree_text(Handle h) { return h.record().text; }
inline const AttrMap& tree_attrs(Handle h) { return h.record().attrs; }
inline size_t tree_child_count(Handle h) { return h.flat->span[h.index].second; }
inline Handle tree_child(Handle h, size_t i) {
  return {h.flat, h.flat->child_index[h.flat->span[h.index].first + i]};
}

// A SourceText holding a copy of `bytes` in a buffer of exactly their size, so any read past
// the end lands in the sanitizer's redzone.
SourceText* exact_source(std::string_view bytes) {
  char* buffer = static_cast<char*>(big_alloc(bytes.size()));
  if (!buffer) fail("out of memory");
  if (!bytes.empty()) std::memcpy(buffer, bytes.data(), bytes.size());
  return SourceText::adopt(buffer, bytes.size(), bytes.size());
}

std::string write(const Flat& flat, size_t indent, bool declaration) {
  MemorySink sink;
  if (declaration) sink.append(XML_DECLARATION);
  XmlWriter writer{sink, indent};
  const Handle root{&flat, flat.root};
  if (!write_element(writer, root).ok()) fail("writing to memory failed");
  if (writer.depth != 0) fail("writer did not return to depth 0");
  const OutputSize size = measure_element(root, indent, true);
  const size_t body = sink.size() - (declaration ? XML_DECLARATION.size() : 0);
  if (!size.fits || size.bytes != body) {
    fail("measured " + std::to_string(size.bytes) + " bytes, wrote " + std::to_string(body));
  }
  return std::string(sink.bytes());
}

bool same_text(const StoredStr& a, const StoredStr& b) {
  return a.present() == b.present() && a.view() == b.view();
}

// Both trees side by side, with an explicit stack of element pairs.
void require_same_tree(const Flat& a, const Flat& b) {
  std::vector<std::pair<size_t, size_t>> pending{{a.root, b.root}};
  while (!pending.empty()) {
    const auto [i, j] = pending.back();
    pending.pop_back();
    const NodeRecord& x = (*a.records)[i];
    const NodeRecord& y = (*b.records)[j];
    if (x.name.view() != y.name.view()) fail("name differs after the round trip");
    if (!same_text(x.text, y.text)) fail("text differs after the round trip");
    if (x.attrs.size() != y.attrs.size()) fail("attribute count differs after the round trip");
    for (const AttrEntry *p = x.attrs.begin(), *q = y.attrs.begin(); p != x.attrs.end(); ++p, ++q) {
      if (p->key.view() != q->key.view() || p->value.view() != q->value.view()) {
        fail("attributes differ after the round trip");
      }
    }
    const auto [xs, xn] = a.span[i];
    const auto [ys, yn] = b.span[j];
    if (xn != yn) fail("child count differs after the round trip");
    for (size_t k = 0; k < xn; ++k) pending.emplace_back(a.child_index[xs + k], b.child_index[ys + k]);
  }
}

const char* const kRoots[] = {"r", "a", "b", "doc", "x", "p:r", ""};

void round_trip(const uint8_t* data, size_t size) {
  if (size < 2) return;
  const std::string root = kRoots[data[0] % (sizeof kRoots / sizeof kRoots[0])];
  const size_t indent = data[1] & 7;
  const bool declaration = (data[1] & 8) != 0;
  const std::string_view doc(reinterpret_cast<const char*>(data + 2), size - 2);
  // Files are checked for UTF-8 before the builder sees them; do the same.
  if (first_invalid_utf8(doc) != doc.size()) return;

  SourceRef source(exact_source(doc));
  Result<RecordTree, ReadError> first = read_tree(source.get(), root);
  if (!first.ok()) return;
  const Flat first_flat(first.value().records);
  const std::string written = write(first_flat, indent, declaration);
  if (first_invalid_utf8(written) != written.size()) fail("the writer produced invalid UTF-8");

  SourceRef again(exact_source(written));
  Result<RecordTree, ReadError> second = read_tree(again.get(), root);
  if (!second.ok()) {
    fail("written output does not read back: " + second.error().text() + "\n--- output:\n" + written);
  }
  const Flat second_flat(second.value().records);
  require_same_tree(first_flat, second_flat);
  if (write(second_flat, indent, declaration) != written) fail("writing the re-read tree differs");
}

}  // namespace rt

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    rt::round_trip(data, size);
  } catch (const InternalFailure& e) {
    rt::fail(std::string("internal failure: ") + e.what());
  }
  return 0;
}
