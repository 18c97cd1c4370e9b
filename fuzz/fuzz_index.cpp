// fuzz_index.cpp: differential fuzz target for the structural index. The scalar builder, the
// quote-aware builder (with every block classifier this CPU runs) and the cursor in small pieces
// must give the same index, or the same error, for every input; any difference aborts. A start
// tag that the reader reads ahead of its end must end where the index ends it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "index/block_classifier.hpp"
#include "index/builders.hpp"
#include "index/structural_index.hpp"
#include "read/read_context.hpp"
#include "read/start_tag.hpp"
#include "storage/big_block.hpp"

using namespace vx;

namespace {

struct Outcome {
  bool failed = false;
  uint64_t error_offset = 0;
  std::vector<IndexedTag> tags;
  std::vector<TextRange> texts;
};

bool same(const Outcome& a, const Outcome& b) {
  if (a.failed != b.failed || a.error_offset != b.error_offset) return false;
  if (a.tags.size() != b.tags.size() || a.texts.size() != b.texts.size()) return false;
  for (size_t i = 0; i < a.tags.size(); ++i) {
    const IndexedTag &x = a.tags[i], &y = b.tags[i];
    if (x.start != y.start || x.end != y.end || x.name_offset != y.name_offset ||
        x.name_length != y.name_length || x.kind != y.kind)
      return false;
  }
  for (size_t i = 0; i < a.texts.size(); ++i) {
    if (a.texts[i].start != b.texts[i].start || a.texts[i].end != b.texts[i].end) return false;
  }
  return true;
}

[[noreturn]] void differ(const char* what) {
  std::fprintf(stderr, "index builds differ: %s\n", what);
  std::abort();
}

void check(bool ok, const char* what) {
  if (!ok) differ(what);
}

Outcome whole(std::string_view in, IndexBuilder builder) {
  auto result = build_index(in, builder);
  if (!result.ok()) return {true, result.error().offset, {}, {}};
  return {false, 0, result.value().tags, result.value().text_ranges};
}

Outcome quote_aware_with(std::string_view in, index_detail::ClassifyBlocks classify) {
  StructuralIndex index;
  index.input = in;
  index_detail::BuildState st{in};
  auto status = index_detail::fill_quote_aware(st, index, SIZE_MAX, classify);
  if (!status.ok()) return {true, status.error().offset, {}, {}};
  return {false, 0, index.tags, index.text_ranges};
}

// Pieces concatenated; on failure it keeps what came before the failing piece.
Outcome pieces(std::string_view in, IndexBuilder builder, size_t max_tags) {
  IndexCursor cursor(in, builder);
  StructuralIndex piece;
  Outcome o;
  while (!cursor.done()) {
    auto status = cursor.next(piece, max_tags);
    if (!status.ok()) {
      check(piece.tags.empty() && piece.text_ranges.empty(), "failed piece not empty");
      o.failed = true;
      o.error_offset = status.error().offset;
      break;
    }
    check(piece.tags.size() <= max_tags, "piece too large");
    check(cursor.done() || piece.tags.size() == max_tags, "piece ended early");
    o.tags.insert(o.tags.end(), piece.tags.begin(), piece.tags.end());
    o.texts.insert(o.texts.end(), piece.text_ranges.begin(), piece.text_ranges.end());
  }
  return o;
}

// What holds of every index: everything in order and inside the input.
void check_shape(const Outcome& o, uint64_t n) {
  if (o.failed) {
    check(o.error_offset < n, "error outside the input");
    return;
  }
  uint64_t after = 0;
  for (const IndexedTag& t : o.tags) {
    check(t.start >= after && t.end > t.start && t.end <= n, "tag out of order");
    check(t.name_offset + t.name_length <= n, "name outside the input");
    after = t.end + 1;
  }
  after = 0;
  for (const TextRange& r : o.texts) {
    check(r.start >= after && r.start < r.end && r.end <= n, "text range out of order");
    after = r.end;
  }
}

// Every start tag with more than its name read ahead: where that succeeds, its end is the index's.
void check_read_ahead(std::string_view in, const Outcome& index) {
  if (index.tags.empty()) return;
  char* buffer = static_cast<char*>(big_alloc(in.size() + 1));
  std::memcpy(buffer, in.data(), in.size());
  SourceRef source(SourceText::adopt(buffer, in.size(), in.size() + 1));
  {
    ReadContext ctx(source.get(), HashKeys{1, 2});
    for (const IndexedTag& t : index.tags) {
      if (t.kind != TagKind::Open && t.kind != TagKind::SelfClosing) continue;
      const uint64_t name_end = t.name_offset + t.name_length;
      if (in[name_end] == '>' || (in[name_end] == '/' && in[name_end + 1] == '>')) continue;
      StartTag ahead;
      uint64_t end = 0;
      bool self_closing = false;
      if (!read_start_tag_ahead(ctx, t.start, name_end, &ahead, &end, &self_closing)) continue;
      check(end == t.end, "read ahead: end");
      check(self_closing == (t.kind == TagKind::SelfClosing), "read ahead: empty-element tag");
      ctx.settle();
    }
  }
  check(source->use_count() == 1, "read ahead: counts");
}

void check_all(std::string_view in) {
  const size_t size = in.size();
  const Outcome scalar = whole(in, IndexBuilder::Scalar);
  check_shape(scalar, size);
  check_read_ahead(in, scalar);
  check(same(whole(in, IndexBuilder::QuoteAware), scalar), "quote-aware vs scalar");
  check(same(quote_aware_with(in, index_detail::classify_portable), scalar), "portable classifier");
#if defined(__x86_64__)
  check(same(quote_aware_with(in, index_detail::classify_sse2), scalar), "sse2 classifier");
  if (index_detail::cpu_has_avx2())
    check(same(quote_aware_with(in, index_detail::classify_avx2), scalar), "avx2 classifier");
#endif
  for (size_t max_tags : {size_t{1}, size_t{3}, size_t{1} + size % 7}) {
    const Outcome scalar_pieces = pieces(in, IndexBuilder::Scalar, max_tags);
    check(same(pieces(in, IndexBuilder::QuoteAware, max_tags), scalar_pieces),
          "cursor: quote-aware vs scalar");
    Outcome as_whole = scalar_pieces;
    if (as_whole.failed) as_whole.tags.clear(), as_whole.texts.clear();
    check(same(as_whole, scalar), "cursor vs whole build");
  }
}

// Short inputs stand for long ones: 0x01 k becomes k spaces and 0x02 k becomes 16 * k of them,
// so long character data and values that cross blocks and windows are within the fuzzer's reach.
std::string expand(std::string_view in) {
  std::string out;
  for (size_t i = 0; i < in.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(in[i]);
    if ((c == 1 || c == 2) && i + 1 < in.size()) {
      const size_t k = static_cast<unsigned char>(in[++i]);
      out.append(c == 1 ? k : 16 * k, ' ');
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  check_all(in);
  const std::string long_form = expand(in);
  if (long_form.size() != size) {
    // In a buffer of exactly its size, so that any read past the input is caught.
    auto exact = std::make_unique<char[]>(long_form.size());
    std::memcpy(exact.get(), long_form.data(), long_form.size());
    check_all(std::string_view(exact.get(), long_form.size()));
  }
  return 0;
}
