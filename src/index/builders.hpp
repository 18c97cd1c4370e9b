// builders.hpp: the walk shared by both index builders. The builders differ only in how they
// find the next '<' and the end of a start tag; everything else (comments, CDATA, processing
// instructions, declarations, end tags, text ranges) is decided here, once.
#pragma once
#include <cstring>

#include "index/structural_index.hpp"

namespace vx::index_detail {

constexpr uint64_t kNotFound = UINT64_MAX;

inline bool is_space(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// First occurrence of `needle` at or after `from`, or kNotFound.
inline uint64_t find_seq(std::string_view in, uint64_t from, std::string_view needle) {
  if (from >= in.size()) return kNotFound;
  const void* hit = memmem(in.data() + from, in.size() - from, needle.data(), needle.size());
  return hit ? static_cast<uint64_t>(static_cast<const char*>(hit) - in.data()) : kNotFound;
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
};

// Scanner: uint64_t find_lt(uint64_t from) -> offset or kNotFound;
//          StartTagEnd start_tag_end(uint64_t name_end) -> as the scalar rule describes.
template <class Scanner>
Status<IndexBuildError> fill(BuildState& st, StructuralIndex& out, size_t max_tags, Scanner& scan) {
  const std::string_view in = st.input;
  const uint64_t n = in.size();
  auto byte = [&](uint64_t i) { return static_cast<unsigned char>(in[i]); };
  auto add_text = [&](uint64_t from, uint64_t to) {
    if (from < to) out.text_ranges.push_back({from, to});
  };
  auto fail = [&](uint64_t at) {
    st.done = true;
    return Status<IndexBuildError>(IndexBuildError{at});
  };

  while (!st.done && out.tags.size() < max_tags) {
    uint64_t lt = scan.find_lt(st.pos);
    if (lt == kNotFound) {
      st.done = true;
      break;
    }
    add_text(st.text_start, lt);
    if (lt + 1 >= n) return fail(lt);

    IndexedTag tag{lt, 0, 0, 0, TagKind::Open};
    unsigned char next = byte(lt + 1);
    if (next == '!') {
      std::string_view rest = in.substr(lt);
      if (rest.starts_with("<!--")) {
        uint64_t close = find_seq(in, lt + 4, "-->");
        tag.kind = TagKind::Comment;
        tag.end = close == kNotFound ? n : close + 2;
      } else if (rest.starts_with("<![CDATA[")) {
        uint64_t close = find_seq(in, lt + 9, "]]>");
        tag.kind = TagKind::CData;
        add_text(lt + 9, close == kNotFound ? n : close);
        tag.end = close == kNotFound ? n : close + 2;
      } else {
        // A declaration: skipped, leaving no entry.
        uint64_t gt = find_byte(in, lt, '>');
        if (gt == kNotFound) {
          st.text_start = st.pos = lt + 1;
        } else {
          st.text_start = st.pos = gt + 1;
        }
        continue;
      }
    } else if (next == '/') {
      uint64_t i = lt + 2;
      while (i < n && !is_space(byte(i)) && byte(i) != '>') ++i;
      if (i >= n) return fail(lt);
      uint64_t gt = find_byte(in, i, '>');
      if (gt == kNotFound) return fail(lt);
      tag = {lt, gt, lt + 2, i - (lt + 2), TagKind::Close};
    } else if (next == '?') {
      uint64_t i = lt + 2;
      while (i < n && !is_space(byte(i)) && byte(i) != '>' && byte(i) != '?') ++i;
      tag = {lt, i, lt + 2, i - (lt + 2), TagKind::ProcessingInstruction};
      if (i + 2 <= n) {
        uint64_t close = find_seq(in, i, "?>");
        tag.end = close == kNotFound ? n - 1 : close + 1;
      }
    } else {
      uint64_t i = lt + 1;
      while (i < n && !is_space(byte(i)) && byte(i) != '/' && byte(i) != '>') ++i;
      if (i >= n) return fail(lt);
      StartTagEnd end = scan.start_tag_end(i);
      if (end.gt == kNotFound) return fail(lt);
      tag = {lt, end.gt, lt + 1, i - (lt + 1),
             end.self_closing ? TagKind::SelfClosing : TagKind::Open};
    }
    out.tags.push_back(tag);
    st.text_start = st.pos = tag.end + 1;
  }
  return {};
}

Status<IndexBuildError> fill_scalar(BuildState& st, StructuralIndex& out, size_t max_tags);
Status<IndexBuildError> fill_quote_aware(BuildState& st, StructuralIndex& out, size_t max_tags);

}  // namespace vx::index_detail
