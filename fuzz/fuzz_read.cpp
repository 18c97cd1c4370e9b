// fuzz_read.cpp: libFuzzer target for the tree builder. The first byte picks the root tag, the
// rest is the document. Properties: no crash, no internal failure, every stored string lies within
// the input, and the source counts balance.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "read/tree_builder.hpp"
#include "storage/big_block.hpp"
#include "read/unicode.hpp"

using namespace vx;

namespace {

const char* const kRoots[] = {"r", "a", "b", "doc", "x", "p:r", ""};

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_read: %s\n", what);
  std::abort();
}

// Counts the shared strings and checks that each one lies inside the input.
size_t check_string(const StoredStr& s, std::string_view input) {
  if (!s.present()) return 0;
  std::string_view text = s.view();  // checks range and character boundaries itself
  if (!s.is_shared()) return 0;
  if (text.data() < input.data() || text.data() + text.size() > input.data() + input.size()) {
    fail("shared string outside the input");
  }
  return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const char* root = kRoots[data[0] % (sizeof kRoots / sizeof kRoots[0])];
  std::string_view doc(reinterpret_cast<const char*>(data + 1), size - 1);
  // Files are checked for UTF-8 before the builder sees them; do the same.
  if (first_invalid_utf8(doc) != doc.size()) return 0;

  // Exactly sized, so any read past the end of the document hits the redzone.
  char* buffer = static_cast<char*>(big_alloc(doc.size()));
  if (!doc.empty()) std::memcpy(buffer, doc.data(), doc.size());
  SourceRef source(SourceText::adopt(buffer, doc.size(), doc.size()));
  try {
    Result<RecordTree, ReadError> result = read_tree(source.get(), root);
    if (result.ok()) {
      size_t shared = 0;
      const RecordBuffer& records = result.value().records;
      if (records.empty()) fail("success without records");
      for (const NodeRecord& r : records) {
        if (!r.name.present()) fail("record without a name");
        shared += check_string(r.name, source->view());
        shared += check_string(r.text, source->view());
        for (const AttrEntry& e : r.attrs) {
          shared += check_string(e.key, source->view());
          shared += check_string(e.value, source->view());
        }
      }
      if (records.back().name.view() != root) fail("root record has another name");
      if (source->use_count() != 1 + shared) fail("counts do not match shared strings");
    } else {
      (void)result.error().text();
      if (source->use_count() != 1) fail("failed read kept counts");
    }
  } catch (const InternalFailure& e) {
    std::fprintf(stderr, "internal failure: %s\n", e.what());
    std::abort();
  }
  if (source->use_count() != 1) fail("counts left after the tree was dropped");
  return 0;
}
