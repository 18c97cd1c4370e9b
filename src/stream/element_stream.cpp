// element_stream.cpp: the streaming walk. Tags are found by the scalar index builder's rules,
// resumably, since a chunk may end anywhere; what lies outside the elements is checked with the
// tree builder's own parts (element_name, a one-tag read for empty-element tags), so the messages
// and offsets are the ones the whole-document reader gives.
#include "stream/element_stream.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "read/start_tag.hpp"
#include "read/unicode.hpp"
#include "storage/big_block.hpp"

namespace vx {
namespace {

bool ends_name(unsigned char c) noexcept { return is_tag_space(c) || c == '>'; }

// Searches `needle` in [from, n) of `b`; n when absent.
size_t find(std::string_view b, size_t from, std::string_view needle) {
  if (from >= b.size()) return b.size();
  size_t p = b.find(needle, from);
  return p == std::string_view::npos ? b.size() : p;
}

// Moves the offsets of an error found in a copy starting at stream offset `shift`.
ReadError shifted(ReadError e, uint64_t shift) {
  if (e.kind == ReadError::Kind::Syntax || e.kind == ReadError::Kind::UnknownEntity ||
      e.kind == ReadError::Kind::Index) {
    e.offset += shift;
  }
  return e;
}

// A SourceText holding its own copy of `bytes`, so a tree keeps only its element's memory.
SourceText* copy_source(std::string_view bytes) {
  if (bytes.size() <= SourceText::kInlineMax) return SourceText::copy_inline(bytes);
  char* copy = static_cast<char*>(big_alloc(bytes.size() + 1));
  if (!copy) throw std::bad_alloc();
  std::memcpy(copy, bytes.data(), bytes.size());
  return SourceText::adopt(copy, bytes.size(), bytes.size() + 1);
}

}  // namespace

ElementStream::ElementStream(std::string tag) : tag_(std::move(tag)) {}

char* ElementStream::input_space(size_t n) { return buf_.input_space(n); }

void ElementStream::commit(size_t n) { buf_.commit(n); }

void ElementStream::append(const char* data, size_t n) { buf_.append(data, n); }

void ElementStream::end_input() { ended_ = true; }

StreamEvent ElementStream::fail(ReadError error) {
  error_ = std::move(error);
  failed_ = true;
  return StreamEvent::Failed;
}

// Checks the bytes up to `pos` (and the continuation bytes right after it). A sequence cut by the
// end of what has arrived waits for the next chunk.
bool ElementStream::check_utf8_to(size_t pos) {
  size_t n = buf_.size();
  pos = std::min(pos, n);
  if (pos <= checked_) return true;
  for (int k = 0; k < 3 && pos < n && (static_cast<unsigned char>(buf_[pos]) & 0xC0) == 0x80; ++k) {
    ++pos;
  }
  std::string_view part(buf_.data() + checked_, pos - checked_);
  size_t bad = first_invalid_utf8(part);
  if (bad == part.size()) {
    checked_ = pos;
    return true;
  }
  if (pos == n && !ended_ && part.size() - bad < 4) {
    checked_ += bad;
    return true;
  }
  fail(ReadError::syntax("invalid UTF-8", at(checked_ + bad)));
  return false;
}

// Finds the end of the tag whose '<' is at q, by the scalar index builder's rules. More: the end
// has not arrived; the search goes on from where it stopped when more bytes come.
ElementStream::Found ElementStream::find_tag(size_t q, Tag* t) {
  const std::string_view b = buf_;
  const size_t n = b.size();
  if (pending_ != q) {
    pending_ = q;
    resume_ = 0;
    quote_ = 0;
    name_end_ = SIZE_MAX;
  }
  if (q + 1 >= n) return ended_ ? Found::Unclosed : Found::More;
  *t = Tag{};
  t->start = q;
  const char c = b[q + 1];
  if (c == '!') {
    // 1: the bytes after "<!" are `lit`; 0: they are not; -1: not known yet.
    auto has = [&](std::string_view lit) {
      for (size_t i = 0; i < lit.size(); ++i) {
        if (q + 2 + i >= n) return ended_ ? 0 : -1;
        if (b[q + 2 + i] != lit[i]) return 0;
      }
      return 1;
    };
    int comment = has("--");
    int cdata = comment == 1 ? 0 : has("[CDATA[");
    if (comment < 0 || cdata < 0) return Found::More;
    if (comment == 1 || cdata == 1) {
      std::string_view close = comment ? "-->" : "]]>";
      size_t from = std::max(q + (comment ? 4 : 9), resume_);
      size_t p = find(b, from, close);
      t->kind = comment ? TagKind::Comment : TagKind::CData;
      if (p < n) {
        t->end = p + 2;
        return Found::Tag;
      }
      if (ended_) {
        t->end = n;  // unterminated: the builder's "unterminated markup"
        return Found::Tag;
      }
      resume_ = std::max(from, n - std::min<size_t>(n, 2));
      return Found::More;
    }
    // A declaration: the next '>' ends it and nothing is recorded; with none at all, the walk
    // goes on right after the '<'.
    size_t p = find(b, std::max(q, resume_), ">");
    if (p < n) {
      t->end = p;
      return Found::Skip;
    }
    if (!ended_) {
      resume_ = n;
      return Found::More;
    }
    t->end = q;
    return Found::Skip;
  }
  const bool close = c == '/';
  const bool pi = c == '?';
  const size_t name = q + (close || pi ? 2 : 1);
  if (name_end_ == SIZE_MAX) {
    size_t e = std::max(name, resume_);
    while (e < n) {
      unsigned char x = static_cast<unsigned char>(b[e]);
      if (ends_name(x) || (!close && x == '/' && !pi) || (pi && x == '?')) break;
      ++e;
    }
    if (e == n && !(pi && ended_)) {
      if (!ended_) {
        resume_ = n;
        return Found::More;
      }
      return Found::Unclosed;
    }
    name_end_ = e;
    resume_ = e;
  }
  t->name = name;
  t->name_len = name_end_ - name;
  if (close) {
    t->kind = TagKind::Close;
    size_t p = find(b, resume_, ">");
    if (p < n) {
      t->end = p;
      return Found::Tag;
    }
    resume_ = n;
    return ended_ ? Found::Unclosed : Found::More;
  }
  if (pi) {
    t->kind = TagKind::ProcessingInstruction;
    const size_t te = name_end_;
    size_t p = find(b, resume_, "?>");
    if (p < n) {
      t->end = p + 1;
      return Found::Tag;
    }
    if (!ended_) {
      resume_ = std::max(te, n - 1);
      return Found::More;
    }
    t->end = n - te >= 2 ? n - 1 : te;
    return Found::Tag;
  }
  // A start tag: quoted values may hold '>' and "/>"; a quote that is never closed is passed
  // over, which only the end of the document can tell.
  size_t k = resume_;
  while (true) {
    if (quote_) {
      size_t p = find(b, k, std::string_view(&quote_, 1));
      if (p < n) {
        quote_ = 0;
        k = p + 1;
      } else if (ended_) {
        quote_ = 0;
        k = quote_at_ + 1;
      } else {
        resume_ = n;
        return Found::More;
      }
    }
    while (k < n && b[k] != '"' && b[k] != '\'' && b[k] != '>' && b[k] != '/') ++k;
    if (k == n) {
      resume_ = n;
      return ended_ ? Found::Unclosed : Found::More;
    }
    if (b[k] == '>') {
      t->kind = TagKind::Open;
      t->end = k;
      return Found::Tag;
    }
    if (b[k] == '/') {
      if (k + 1 == n) {
        resume_ = k;
        return ended_ ? Found::Unclosed : Found::More;
      }
      if (b[k + 1] == '>') {
        t->kind = TagKind::SelfClosing;
        t->end = k + 1;
        return Found::Tag;
      }
      ++k;
      continue;
    }
    quote_ = b[k];
    quote_at_ = k;
    ++k;
  }
}

// Checks a tag outside the elements as the tree builder checks it before its root is found;
// starts gathering an element, or builds an empty-element one.
bool ElementStream::outside_tag(const Tag& t) {
  const uint64_t start = at(t.start);
  if (t.end >= buf_.size()) {
    fail(ReadError::syntax("unterminated markup", start));
    return false;
  }
  std::string_view name(buf_.data() + t.name, t.name_len);
  switch (t.kind) {
    case TagKind::Open: {
      if (name == tag_) {
        inside_ = true;
        element_ = t.start;
        depth_ = 1;
        quick_ = quick_allowed_;
        scan_ = t.end + 1;
        return true;
      }
      // element_name reads the tag through an index; a one-tag index of the tag's bytes does.
      StructuralIndex index;
      index.input = std::string_view(buf_.data() + t.start, t.end + 1 - t.start);
      index.tags.push_back({0, t.end - t.start, t.name - t.start, t.name_len, TagKind::Open});
      Result<ElementName, ReadError> checked = element_name(index.tag(0));
      if (!checked) {
        fail(shifted(std::move(checked.error()), start));
        return false;
      }
      open_.emplace_back(name);
      return true;
    }
    case TagKind::SelfClosing: {
      if (name == tag_) return build(t.start, t.end + 1, true);
      // Its attributes are read in full, as the builder does; the tree is dropped.
      SourceRef copy(copy_source(std::string_view(buf_.data() + t.start, t.end + 1 - t.start)));
      Result<RecordTree, ReadError> read = reader_.read(copy.get(), name, IndexBuilder::Scalar);
      if (read) {
        recycle_tree(std::move(read.value()));
        return true;
      }
      if (read.error().kind == ReadError::Kind::RootNotFound) return true;
      fail(shifted(std::move(read.error()), start));
      return false;
    }
    case TagKind::Close: {
      size_t rest = t.name + t.name_len;
      if (rest < t.end && !all_white_space(std::string_view(buf_.data() + rest, t.end - rest))) {
        fail(ReadError::syntax("malformed end tag </" + std::string(name) + ">", start));
        return false;
      }
      if (open_.empty()) {
        fail(ReadError::syntax("unexpected end tag </" + std::string(name) + ">", start));
        return false;
      }
      if (open_.back() != name) {
        fail(ReadError::syntax("expected </" + open_.back() + ">, found </" + std::string(name) + ">",
                               start));
        return false;
      }
      open_.pop_back();
      return true;
    }
    case TagKind::ProcessingInstruction:
      if (t.end == 0 || buf_[t.end] != '>' || buf_[t.end - 1] != '?') {
        fail(ReadError::syntax("unterminated processing instruction", start));
        return false;
      }
      return true;
    case TagKind::Comment:
    case TagKind::CData:
      return true;
  }
  return true;
}

// Builds the element held by [from, to) from a copy of those bytes. `whole` is false when the
// document ended inside it: the builder then says what is wrong with what arrived.
bool ElementStream::build(size_t from, size_t to, bool whole) {
  inside_ = false;
  SourceRef copy(copy_source(std::string_view(buf_.data() + from, to - from)));
  Result<RecordTree, ReadError> read = reader_.read(copy.get(), tag_, IndexBuilder::Scalar);
  if (!read) {
    fail(shifted(std::move(read.error()), at(from)));
    return false;
  }
  if (!whole) {
    recycle_tree(std::move(read.value()));
    fail(ReadError::never_closed(tag_));
    return false;
  }
  tree_ = std::move(read.value());
  tree_bytes_ = to - from;
  have_tree_ = true;
  return true;
}

// The first "</" at or after `from`; the size of the buffer when there is none (a '<' in the last
// byte may still begin one).
size_t ElementStream::find_close(size_t from) const noexcept {
  const char* b = buf_.data();
  const size_t n = buf_.size();
  size_t p = from;
#if defined(__SSE2__)
  const __m128i lt = _mm_set1_epi8('<');
  const __m128i slash = _mm_set1_epi8('/');
  for (; p + 17 <= n; p += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + p));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + p + 1));
    const unsigned m = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, lt), _mm_cmpeq_epi8(c, slash))));
    if (m) return p + static_cast<size_t>(std::countr_zero(m));
  }
#endif
  for (; p + 1 < n; ++p) {
    if (b[p] == '<' && b[p + 1] == '/') return p;
  }
  return n;
}

// Inside an element, searches for the first end tag of its name (by the scalar rules for end
// tags: the name, then white space or '>', then up to the next '>') and builds the element up to
// there. Built: the tree is ready. Walk: the element is to be walked tag by tag from its start
// tag. The bytes up to the end tag are checked as UTF-8 first, which the walk would check in the
// same order.
//
// Taking that end tag is right whenever the builder accepts the copy: the copy's tags are found
// by the same rules as the stream's (the copy starts where the stream's walk stands outside every
// tag), and the ways the end of the copy could change them (an open quote, comment, CDATA
// section or processing instruction running past it) all fail the builder, as does an element
// of the same name left open inside.
ElementStream::Skipped ElementStream::skip_element() {
  const size_t len = tag_.size();
  while (true) {
    const size_t n = buf_.size();
    const size_t c = find_close(scan_);
    if (c == n) {
      scan_ = std::max(scan_, n > 0 ? n - 1 : 0);
      break;
    }
    const size_t after = c + 2 + len;
    if (after >= n) {
      scan_ = c;
      break;
    }
    const unsigned char x = static_cast<unsigned char>(buf_[after]);
    // Most end tags inside are other elements': their first byte tells, without a call.
    if ((len > 0 && buf_[c + 2] != tag_[0]) || (x != '>' && !is_tag_space(x)) ||
        std::memcmp(buf_.data() + c + 2, tag_.data(), len) != 0) {
      scan_ = c + 1;
      continue;
    }
    const size_t end = find(buf_, after, ">");
    if (end == n) {
      scan_ = c;
      break;
    }
    if (!check_utf8_to(end + 1)) return Skipped::Failed;
    SourceRef copy(copy_source(std::string_view(buf_.data() + element_, end + 1 - element_)));
    Result<RecordTree, ReadError> read = reader_.read(copy.get(), tag_, IndexBuilder::Scalar);
    if (read) {
      ++quick_built_;
      inside_ = false;
      quick_ = false;
      pos_ = end + 1;
      tree_ = std::move(read.value());
      tree_bytes_ = end + 1 - element_;
      have_tree_ = true;
      return Skipped::Built;
    }
    // Streams whose elements keep failing this way are walked tag by tag from now on.
    ++quick_missed_;
    if (quick_missed_ >= 8 && quick_missed_ * 16 > quick_built_) quick_allowed_ = false;
    quick_ = false;
    return Skipped::Walk;
  }
  if (ended_) {
    quick_ = false;
    return Skipped::Walk;
  }
  if (!check_utf8_to(buf_.size())) return Skipped::Failed;
  compact();
  return Skipped::NeedInput;
}

// Drops the bytes nothing needs any more. Only once they are half the buffer, so each byte is
// moved a bounded number of times.
void ElementStream::compact() {
  size_t keep = std::min(pos_, checked_);
  if (inside_) keep = std::min(keep, element_);
  if (pending_ != SIZE_MAX) keep = std::min(keep, pending_);
  if (keep == 0 || keep < buf_.size() / 2) return;
  buf_.erase_front(keep);
  base_ += keep;
  pos_ -= keep;
  checked_ -= keep;
  if (inside_) {
    element_ -= keep;
    scan_ = scan_ >= keep ? scan_ - keep : 0;
  }
  if (pending_ != SIZE_MAX) {
    pending_ -= keep;
    resume_ = resume_ >= keep ? resume_ - keep : 0;
    if (quote_) quote_at_ -= keep;
    if (name_end_ != SIZE_MAX) name_end_ -= keep;
  }
}

StreamEvent ElementStream::next() {
  if (failed_) return StreamEvent::Failed;
  while (true) {
    if (quick_) {
      switch (skip_element()) {
        case Skipped::Built:
          have_tree_ = false;
          return StreamEvent::Element;
        case Skipped::NeedInput:
          return StreamEvent::NeedInput;
        case Skipped::Failed:
          return StreamEvent::Failed;
        case Skipped::Walk:
          break;
      }
    }
    const size_t n = buf_.size();
    const void* lt = pos_ < n ? std::memchr(buf_.data() + pos_, '<', n - pos_) : nullptr;
    if (!lt) {
      // Text: outside the elements it is not examined, only checked as UTF-8 before it goes.
      if (!check_utf8_to(n)) return StreamEvent::Failed;
      pos_ = n;
      if (!ended_) {
        compact();
        return StreamEvent::NeedInput;
      }
      if (inside_) {
        build(element_, n, false);
        return StreamEvent::Failed;
      }
      if (!open_.empty()) return fail(ReadError::never_closed(open_.back()));
      return StreamEvent::End;
    }
    const size_t q = static_cast<size_t>(static_cast<const char*>(lt) - buf_.data());
    Tag t;
    Found found = find_tag(q, &t);
    if (found == Found::More) {
      pos_ = q;
      compact();
      return StreamEvent::NeedInput;
    }
    pending_ = SIZE_MAX;
    if (!check_utf8_to(found == Found::Unclosed ? n : std::min(t.end + 1, n))) {
      return StreamEvent::Failed;
    }
    if (inside_ && (found == Found::Unclosed || t.end >= n)) {
      build(element_, n, false);
      return StreamEvent::Failed;
    }
    if (found == Found::Unclosed) return fail(ReadError::index(IndexBuildError{at(q)}));
    pos_ = t.end + 1;
    if (found == Found::Skip) continue;
    if (inside_) {
      if (t.kind == TagKind::Open) {
        ++depth_;
      } else if (t.kind == TagKind::Close && --depth_ == 0) {
        if (!build(element_, t.end + 1, true)) return StreamEvent::Failed;
      }
    } else if (!outside_tag(t)) {
      return StreamEvent::Failed;
    }
    if (have_tree_) {
      have_tree_ = false;
      return StreamEvent::Element;
    }
  }
}

}  // namespace vx
