// builders.hpp: the walk shared by both index builders. The builders differ only in how they
// find the next '<' and the end of a start tag; everything else (comments, CDATA, processing
// instructions, declarations, end tags, text ranges) is decided here, once.
#pragma once
#include <algorithm>
#include <cstring>

#include "index/block_classifier.hpp"
#include "index/byte_classes.hpp"
#include "index/structural_index.hpp"

namespace vx::index_detail {

constexpr uint64_t kNotFound = UINT64_MAX;

// First occurrence of `needle` (1 to 3 bytes: "-->", "]]>", "?>") at or after `from`, or
// kNotFound. Found by its last byte, which is rare in what such sections hold, with memchr: a
// general substring search costs more to set up than these short sections take to scan.
inline uint64_t find_seq(std::string_view in, uint64_t from, std::string_view needle) {
  const uint64_t k = needle.size();
  if (from >= in.size() || in.size() - from < k) return kNotFound;
  const char* data = in.data();
  const char* last = data + from + k - 1;  // where the needle's last byte can first lie
  const char* const end = data + in.size();
  while (const void* hit = std::memchr(last, needle[k - 1], static_cast<size_t>(end - last))) {
    const char* at = static_cast<const char*>(hit) - (k - 1);
    if (std::memcmp(at, needle.data(), k - 1) == 0) return static_cast<uint64_t>(at - data);
    last = static_cast<const char*>(hit) + 1;
  }
  return kNotFound;
}

inline uint64_t find_byte(std::string_view in, uint64_t from, char c) {
  if (from >= in.size()) return kNotFound;
  const void* hit = std::memchr(in.data() + from, c, in.size() - from);
  return hit ? static_cast<uint64_t>(static_cast<const char*>(hit) - in.data()) : kNotFound;
}

struct StartTagEnd {
  uint64_t gt;  // kNotFound when the input ends first
  bool self_closing;
};

struct BuildState {
  std::string_view input;
  uint64_t pos = 0;
  uint64_t text_start = 0;
  bool done = false;
  // No '>' lies at or after this offset. Set when a declaration finds no '>', so that a run of
  // such declarations costs one search to the end of the input rather than one each. It need not
  // outlive a `fill` call: after such a declaration no tag can end before the input does.
  uint64_t no_gt_from = kNotFound;
};

// Scanner: uint64_t find_lt(uint64_t from) -> the first '<' at or after `from`, or kNotFound
//          (`from` may lie past the end of the input);
//          StartTagEnd start_tag_end(uint64_t name_end) -> from the end of a start tag's name, step
//          through the bytes: a quote jumps to the next equal byte (or, with none left, is passed
//          over); "/>" ends an empty-element tag and '>' a start tag.
// Sink:    bool more() -> whether to go on to the next tag;
//          void text(uint64_t start, uint64_t end) -> a non-empty stretch of character data;
//          void cdata(uint64_t start, uint64_t end) -> the content of a CDATA section (possibly
//          empty), just before its tag;
//          void tag(const TagFields&) -> a tag, after the character data before it;
//          bool start_tag(uint64_t lt, uint64_t name_end, StartTagEnd* found) -> the sink may
//          find the end of a start tag whose name is followed by more than '>' or "/>" itself,
//          as the scanner would (true), or leave it to the scanner (false).
// The walk stops when `more` says so, when the input ends, or at an unclosed tag.
template <class Scanner, class Sink>
Status<IndexBuildError> walk_input(BuildState& st, Scanner& scan, Sink& sink) {
  const std::string_view in = st.input;
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  const uint64_t n = in.size();
  // Locals rather than `st`: stores made by the sink could alias its fields and would force
  // them back to memory on every tag.
  uint64_t pos = st.pos;
  uint64_t text_start = st.text_start;
  auto add_text = [&](uint64_t from, uint64_t to) {
    if (from < to) sink.text(from, to);
  };
  auto fail = [&](uint64_t at) {
    st.done = true;
    st.pos = st.text_start = at;
    return Status<IndexBuildError>(IndexBuildError{at});
  };

  while (sink.more()) {
    const uint64_t lt = scan.find_lt(pos);
    if (lt == kNotFound) {
      st.done = true;
      break;
    }
    add_text(text_start, lt);
    if (lt + 1 >= n) [[unlikely]]
      return fail(lt);

    uint64_t end;
    uint64_t name_offset = lt + 1;
    uint64_t name_length = 0;
    TagKind kind = TagKind::Open;
    const unsigned char next = p[lt + 1];
    if (next != '/' && next != '!' && next != '?') [[likely]] {
      const uint64_t name_end = scan_name_end<true>(p, lt + 1, n);
      if (name_end >= n) return fail(lt);
      name_length = name_end - (lt + 1);
      // The common shapes "<name>" and "<name/>" need no scan.
      if (p[name_end] == '>') {
        end = name_end;
      } else if (p[name_end] == '/' && name_end + 1 < n && p[name_end + 1] == '>') {
        end = name_end + 1;
        kind = TagKind::SelfClosing;
      } else {
        StartTagEnd found;
        if (!sink.start_tag(lt, name_end, &found)) found = scan.start_tag_end(name_end);
        if (found.gt == kNotFound) return fail(lt);
        end = found.gt;
        if (found.self_closing) kind = TagKind::SelfClosing;
      }
    } else if (next == '/') {
      const uint64_t name_end = scan_name_end<false>(p, lt + 2, n);
      if (name_end >= n) return fail(lt);
      end = p[name_end] == '>' ? name_end : find_byte(in, name_end, '>');
      if (end == kNotFound) return fail(lt);
      name_offset = lt + 2;
      name_length = name_end - (lt + 2);
      kind = TagKind::Close;
    } else if (next == '?') {
      const uint64_t target_end = scan_to_class(p, lt + 2, n, kTargetStop);
      end = target_end;
      if (target_end + 2 <= n) {
        const uint64_t close = find_seq(in, target_end, "?>");
        end = close == kNotFound ? n - 1 : close + 1;
      }
      name_offset = lt + 2;
      name_length = target_end - (lt + 2);
      kind = TagKind::ProcessingInstruction;
    } else {
      const std::string_view rest = in.substr(lt);
      name_offset = 0;
      if (rest.starts_with("<!--")) {
        const uint64_t close = find_seq(in, lt + 4, "-->");
        end = close == kNotFound ? n : close + 2;
        kind = TagKind::Comment;
      } else if (rest.starts_with("<![CDATA[")) {
        const uint64_t close = find_seq(in, lt + 9, "]]>");
        sink.cdata(lt + 9, close == kNotFound ? n : close);
        end = close == kNotFound ? n : close + 2;
        kind = TagKind::CData;
      } else {
        // A declaration leaves no entry; its '>' (or, with none, the '<' itself) ends the text
        // before it.
        const uint64_t gt = lt >= st.no_gt_from ? kNotFound : find_byte(in, lt, '>');
        if (gt == kNotFound) {
          st.no_gt_from = std::min(st.no_gt_from, lt);
          pos = text_start = lt + 1;
        } else {
          pos = text_start = gt + 1;
        }
        continue;
      }
    }
    pos = text_start = end + 1;
    sink.tag(TagFields{lt, end, name_offset, name_length, kind});
  }
  st.pos = pos;
  st.text_start = text_start;
  return {};
}

// Collects tags and text ranges into an index, up to a number of tags.
struct IndexSink {
  StructuralIndex& out;
  size_t max_tags;

  bool more() const { return out.tags.size() < max_tags; }
  bool start_tag(uint64_t, uint64_t, StartTagEnd*) { return false; }
  void text(uint64_t start, uint64_t end) {
    TextRange& r = out.text_ranges.emplace_back();
    r.start = start;
    r.end = end;
  }
  void cdata(uint64_t start, uint64_t end) {
    if (start < end) text(start, end);
  }
  // The entry is built in place, field by field: assembling it on the stack and copying it out
  // stalls on store forwarding, which cost more than the rest of a short tag.
  [[gnu::always_inline]] void tag(const TagFields& f) {
    IndexedTag& tag = out.tags.emplace_back();
    tag.start = f.start;
    tag.end = f.end;
    tag.name_offset = f.name_offset;
    tag.name_length = f.name_length;
    tag.kind = f.kind;
  }
};

template <class Scanner>
Status<IndexBuildError> fill(BuildState& st, StructuralIndex& out, size_t max_tags, Scanner& scan) {
  IndexSink sink{out, max_tags};
  return walk_input(st, scan, sink);
}

Status<IndexBuildError> fill_scalar(BuildState& st, StructuralIndex& out, size_t max_tags);
Status<IndexBuildError> fill_quote_aware(BuildState& st, StructuralIndex& out, size_t max_tags);
// With a given classifier, so that every variant can be checked on any CPU that runs it.
Status<IndexBuildError> fill_quote_aware(BuildState& st, StructuralIndex& out, size_t max_tags,
                                         ClassifyBlocks classify);

}  // namespace vx::index_detail
