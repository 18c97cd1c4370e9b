// tree_builder.cpp: the walk over the structural index, piece by piece, with an explicit stack.
#include "read/tree_builder.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <string>
#include <vector>

#include "index/structural_index.hpp"
#include "read/read_context.hpp"
#include "read/references.hpp"
#include "read/unicode.hpp"
#include "read/start_tag.hpp"
#include "per_thread.hpp"
#include "read/unicode.hpp"

namespace vx {
namespace {

constexpr const char* kOffsetTooLarge = "XML index offset exceeds addressable input size";

// Character data gathered for an open element. A single stretch stays a range of the input; only
// a second non-blank piece (or a decoded one) makes an owned copy.
struct Frame {
  enum class Acc : uint8_t { Empty, Borrowed, Owned };
  uint64_t name_start = 0;
  uint64_t name_len = 0;
  uint64_t child_count = 0;
  AttrMap attrs;
  Acc acc = Acc::Empty;
  uint64_t acc_start = 0;
  uint64_t acc_len = 0;
  std::string owned;  // keeps its capacity while the frame slot is reused
};

struct OuterName {
  uint64_t start;
  uint64_t len;
};

// Per-thread storage reused from read to read, so small reads allocate (and fault in) nothing.
struct Scratch {
  StructuralIndex window;
  std::vector<Frame> frames;
  std::vector<OuterName> outer;

  // Drops what a read left behind and trims what grew unusually large.
  void release() noexcept {
    for (Frame& f : frames) {
      f.attrs.reset();
      if (f.owned.capacity() > 4096) std::string().swap(f.owned);
    }
    if (frames.size() > 1024) std::vector<Frame>().swap(frames);
    if (outer.capacity() > 4096) std::vector<OuterName>().swap(outer);
    outer.clear();
  }
};

// The record storage of the previous read on this thread, with up to kRetainedRecordBytes of it
// still backed by pages.
struct SpareRecords {
  RecordBuffer records;
};

enum class Step : uint8_t { More, Done, Failed };

class Walk {
 public:
  Walk(ReadContext& ctx, Scratch& sc, RecordBuffer& records, std::string_view root_tag)
      : ctx_(ctx),
        in_(ctx.input()),
        s_(in_.data()),
        end_(in_.data() + in_.size()),
        frames_(sc.frames),
        outer_(sc.outer),
        records_(records),
        root_(root_tag) {}

  // Consumes one piece of the index.
  Step consume(const StructuralIndex& window);
  // The tags ran out before the root element ended.
  ReadError at_end() const {
    if (depth_ > 0) {
      const Frame& f = frames_[depth_ - 1];
      return ReadError::never_closed(in_.substr(f.name_start, f.name_len));
    }
    return ReadError::root_not_found(root_);
  }
  ReadError take_error() { return std::move(error_); }

 private:
  Step fail(ReadError e) {
    error_ = std::move(e);
    return Step::Failed;
  }
  Step fail(std::string message, uint64_t at) { return fail(ReadError::syntax(std::move(message), at)); }

  std::string_view bytes(uint64_t start, uint64_t len) const { return in_.substr(start, len); }

  Frame& push_frame(uint64_t name_start, uint64_t name_len);
  bool add_text(uint64_t start, uint64_t end);
  void append_borrowed(Frame& f, uint64_t start, uint64_t len);
  bool append_decoded(Frame& f, uint64_t start, uint64_t len);
  StoredStr finish_text(Frame& f);
  Step open_tag(const StructuralIndex& w, size_t t);
  Step self_closing_tag(const StructuralIndex& w, size_t t);
  Step close_tag(const IndexedTag& tag);
  [[gnu::always_inline]] void add_record(StoredStr name, StoredStr text, AttrMap attrs, uint64_t children);

  ReadContext& ctx_;
  std::string_view in_;
  const char* s_;
  const char* end_;
  std::vector<Frame>& frames_;
  std::vector<OuterName>& outer_;
  RecordBuffer& records_;
  std::string_view root_;
  size_t depth_ = 0;  // frames_[0, depth_) are open
  ReadError error_;
};

// A start tag whose name runs up to its closing `>` or `/>` has no attributes to parse: the usual
// case in element-dense documents, handled without the attribute parser.
bool is_bare_start_tag(const IndexedTag& tag) {
  if (tag.name_length == 0) return false;
  const uint64_t name_end = tag.name_offset + tag.name_length;
  return name_end >= (tag.kind == TagKind::SelfClosing ? tag.end - 1 : tag.end);
}

Frame& Walk::push_frame(uint64_t name_start, uint64_t name_len) {
  if (depth_ == frames_.size()) frames_.emplace_back();
  Frame& f = frames_[depth_++];
  f.name_start = name_start;
  f.name_len = name_len;
  f.child_count = 0;
  f.acc = Frame::Acc::Empty;
  return f;
}

inline void Walk::add_record(StoredStr name, StoredStr text, AttrMap attrs, uint64_t children) {
  records_.push_back(NodeRecord{std::move(name), std::move(text), std::move(attrs), children});
  if (depth_ > 0) ++frames_[depth_ - 1].child_count;
}

void Walk::append_borrowed(Frame& f, uint64_t start, uint64_t len) {
  switch (f.acc) {
    case Frame::Acc::Empty:
      f.acc = Frame::Acc::Borrowed;
      f.acc_start = start;
      f.acc_len = len;
      return;
    case Frame::Acc::Borrowed:
      // Blank text gathered so far would be stripped from the front anyway, whatever follows;
      // dropping it keeps the usual "blank, child, blank, child" layout free of copies.
      if (all_white_space(bytes(f.acc_start, f.acc_len))) {
        f.acc_start = start;
        f.acc_len = len;
        return;
      }
      f.owned.assign(bytes(f.acc_start, f.acc_len));
      f.acc = Frame::Acc::Owned;
      [[fallthrough]];
    case Frame::Acc::Owned:
      f.owned.append(bytes(start, len));
      return;
  }
}

bool Walk::append_decoded(Frame& f, uint64_t start, uint64_t len) {
  if (f.acc == Frame::Acc::Borrowed && !all_white_space(bytes(f.acc_start, f.acc_len))) {
    f.owned.assign(bytes(f.acc_start, f.acc_len));
  } else if (f.acc != Frame::Acc::Owned) {
    f.owned.clear();
  }
  f.acc = Frame::Acc::Owned;
  size_t old = f.owned.size();
  f.owned.resize(old + len);
  Result<size_t, ReadError> written = decode_into(bytes(start, len), start, DecodeMode::Text,
                                                  f.owned.data() + old);
  if (!written) {
    error_ = std::move(written.error());
    return false;
  }
  f.owned.resize(old + written.value());
  return true;
}

// What one stretch of character data holds, as far as the walk cares.
struct TextScan {
  const char* lt = nullptr;  // the first '<', if any
  bool has_amp = false;
  bool blank = true;  // only tab, line feed, carriage return and space (before any '<')
};

// Scans a short stretch [p, p + len), len <= 32. Blocks of 16 bytes are read whole while they lie
// before `limit`, the end of the input; the bytes past `len` are masked out.
inline TextScan scan_short_text(const char* p, size_t len, const char* limit) {
  TextScan scan;
#if defined(__SSE2__)
  size_t off = 0;
  for (; off < len && limit - (p + off) >= 16; off += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + off));
    const unsigned in_range = len - off >= 16 ? 0xFFFFu : (1u << (len - off)) - 1;
    const unsigned lt = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('<')))) & in_range;
    const unsigned upto = lt ? (lt & -lt) - 1 : in_range;  // the bytes before the first '<'
    const unsigned amp = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('&'))));
    const __m128i space = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))),
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\t')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\r'))));
    const unsigned spaces = static_cast<unsigned>(_mm_movemask_epi8(space));
    scan.has_amp |= (amp & upto) != 0;
    scan.blank &= (spaces & upto) == upto;
    if (lt) {
      scan.lt = p + off + std::countr_zero(lt);
      return scan;
    }
  }
  p += off;
  len -= off < len ? off : len;
#endif
  for (const char* q = p; q < p + len; ++q) {
    const char c = *q;
    if (c == '<') {
      scan.lt = q;
      return scan;
    }
    scan.has_amp |= c == '&';
    scan.blank &= c == ' ' || c == '\n' || c == '\t' || c == '\r';
  }
  return scan;
}

// One stretch of character data inside the element being built.
bool Walk::add_text(uint64_t start, uint64_t end) {
  if (!fits_size(start) || !fits_size(end)) {
    error_ = ReadError::syntax(kOffsetTooLarge, 0);
    return false;
  }
  if (end <= start) return true;
  const uint64_t len = end - start;
  // Most stretches are short runs of indentation: one pass over them beats library scans.
  TextScan scan;
  if (len <= 32) {
    scan = scan_short_text(s_ + start, len, end_);
  } else {
    scan.lt = static_cast<const char*>(std::memchr(s_ + start, '<', len));
    scan.has_amp = !scan.lt && std::memchr(s_ + start, '&', len);
    scan.blank = false;  // not worked out; the general path handles blank text too
  }
  if (scan.lt) [[unlikely]] {
    error_ = ReadError::syntax("unexpected '<'", static_cast<uint64_t>(scan.lt - s_));
    return false;
  }
  Frame& f = frames_[depth_ - 1];
  // Blank text before any other is stripped from the front whatever follows: nothing to keep.
  if (scan.blank && f.acc == Frame::Acc::Empty) return true;
  if (scan.has_amp) return append_decoded(f, start, len);
  append_borrowed(f, start, len);
  return true;
}

StoredStr Walk::finish_text(Frame& f) {
  switch (f.acc) {
    case Frame::Acc::Empty:
      return {};
    case Frame::Acc::Borrowed: {
      Trimmed t = trim_white_space(bytes(f.acc_start, f.acc_len));
      if (t.start == t.end) return {};
      return ctx_.share(f.acc_start + t.start, t.end - t.start);
    }
    case Frame::Acc::Owned: {
      Trimmed t = trim_white_space(f.owned);
      if (t.start == t.end) return {};
      return StoredStr::copy_of(std::string_view(f.owned).substr(t.start, t.end - t.start));
    }
  }
  return {};
}

Step Walk::open_tag(const StructuralIndex& w, size_t t) {
  const IndexedTag& tag = w.tag(t);
  if (is_bare_start_tag(tag)) {
    if (depth_ == 0 && bytes(tag.name_offset, tag.name_length) != root_) {
      outer_.push_back({tag.name_offset, tag.name_length});
    } else {
      push_frame(tag.name_offset, tag.name_length).attrs = AttrMap();
    }
    return Step::More;
  }
  if (depth_ == 0 && bytes(tag.name_offset, tag.name_length) != root_) {
    Result<ElementName, ReadError> name = element_name(w, t);
    if (!name) return fail(std::move(name.error()));
    outer_.push_back({name.value().name_start, name.value().name_len});
    return Step::More;
  }
  StartTag parsed;
  if (!parse_start_tag(ctx_, w, t, &parsed, &error_)) return Step::Failed;
  Frame& f = push_frame(parsed.where.name_start, parsed.where.name_len);
  f.attrs = std::move(parsed.attrs);
  return Step::More;
}

Step Walk::self_closing_tag(const StructuralIndex& w, size_t t) {
  const IndexedTag& bare = w.tag(t);
  if (is_bare_start_tag(bare)) {
    const uint64_t name_start = bare.name_offset;
    if (depth_ == 0 && bytes(name_start, bare.name_length) != root_) return Step::More;
    add_record(ctx_.share_name(name_start, bare.name_length), {}, AttrMap(), 0);
    return depth_ == 0 ? Step::Done : Step::More;
  }
  StartTag tag;
  if (!parse_start_tag(ctx_, w, t, &tag, &error_)) return Step::Failed;
  if (depth_ == 0) {
    if (bytes(tag.where.name_start, tag.where.name_len) != root_) {
      ctx_.settle();  // the attributes are dropped here, so their counts must exist first
      return Step::More;
    }
    add_record(ctx_.share_name(tag.where.name_start, tag.where.name_len), {}, std::move(tag.attrs), 0);
    return Step::Done;
  }
  add_record(ctx_.share_name(tag.where.name_start, tag.where.name_len), {}, std::move(tag.attrs), 0);
  return Step::More;
}

Step Walk::close_tag(const IndexedTag& tag) {
  std::string_view name = bytes(tag.name_offset, tag.name_length);
  const uint64_t rest = tag.name_offset + tag.name_length;
  if (rest < tag.end && !all_white_space(bytes(rest, tag.end - rest))) {
    return fail("malformed end tag </" + std::string(name) + ">", tag.start);
  }
  if (depth_ > 0) {
    Frame& f = frames_[depth_ - 1];
    if (f.name_len != name.size() || !same_name(s_ + f.name_start, name.data(), name.size(), end_)) {
      std::string_view open = bytes(f.name_start, f.name_len);
      return fail("expected </" + std::string(open) + ">, found </" + std::string(name) + ">",
                  tag.start);
    }
    StoredStr text = finish_text(f);
    --depth_;
    add_record(ctx_.share_name(f.name_start, f.name_len), std::move(text), std::move(f.attrs),
               f.child_count);
    return depth_ == 0 ? Step::Done : Step::More;
  }
  if (outer_.empty()) return fail("unexpected end tag </" + std::string(name) + ">", tag.start);
  std::string_view open = bytes(outer_.back().start, outer_.back().len);
  if (open != name) {
    return fail("expected </" + std::string(open) + ">, found </" + std::string(name) + ">",
                tag.start);
  }
  outer_.pop_back();
  return Step::More;
}

Step Walk::consume(const StructuralIndex& w) {
  const uint64_t n = in_.size();
  const std::vector<TextRange>& texts = w.text_ranges;
  size_t next_text = 0;
  for (size_t t = 0, count = w.tag_count(); t < count; ++t) {
    const IndexedTag& tag = w.tag(t);
    if (!fits_size(tag.start) || !fits_size(tag.end)) return fail(kOffsetTooLarge, 0);
    if (tag.end >= n) return fail("unterminated markup", tag.start);

    for (; next_text < texts.size() && texts[next_text].start < tag.start; ++next_text) {
      if (depth_ > 0 && !add_text(texts[next_text].start, texts[next_text].end)) {
        return Step::Failed;
      }
    }

    Step step = Step::More;
    switch (tag.kind) {
      case TagKind::Open:
        step = open_tag(w, t);
        break;
      case TagKind::SelfClosing:
        step = self_closing_tag(w, t);
        break;
      case TagKind::Close:
        step = close_tag(tag);
        break;
      case TagKind::Comment:
        if (tag.end < tag.start + 6 || std::memcmp(s_ + tag.end - 2, "-->", 3) != 0) {
          return fail("unterminated comment", tag.start);
        }
        break;
      case TagKind::CData: {
        const uint64_t content = tag.start + 9;
        if (tag.end < 2 || tag.end - 2 < content || std::memcmp(s_ + tag.end - 2, "]]>", 3) != 0) {
          return fail("unterminated CDATA section", tag.start);
        }
        if (depth_ > 0 && tag.end - 2 > content) {
          append_borrowed(frames_[depth_ - 1], content, tag.end - 2 - content);
        }
        while (next_text < texts.size() && texts[next_text].start < tag.end) ++next_text;
        break;
      }
      case TagKind::ProcessingInstruction:
        if (tag.end == 0 || std::memcmp(s_ + tag.end - 1, "?>", 2) != 0) {
          return fail("unterminated processing instruction", tag.start);
        }
        break;
    }
    if (step != Step::More) return step;
  }
  return Step::More;
}

// Keeps the index running to the end of the input after the walk has stopped: an unclosed tag
// anywhere fails the read, whatever the walk found.
Status<IndexBuildError> drain(IndexCursor& cursor, StructuralIndex& window) {
  while (!cursor.done()) {
    Status<IndexBuildError> st = cursor.next(window, kIndexWindow);
    if (!st) return st;
  }
  return {};
}

}  // namespace

struct TreeReader::State {
  // Runs first on every exit, exceptions included: counts before anything cut from the source
  // can be dropped, then the per-thread storage is emptied.
  struct Cleanup {
    ReadContext& ctx;
    Scratch& sc;
    ~Cleanup() {
      ctx.settle();
      sc.release();
    }
  };

  State(SourceText* source, std::string_view root_tag, bool check_utf8, IndexBuilder builder,
        ReadContext* shared = nullptr)
      : sc(per_thread<Scratch>()),
        own(shared ? nullptr : new ReadContext(source, take_thread_keys())),
        ctx(shared ? *shared : *own),
        cleanup{ctx, sc},
        walk(ctx, sc, records, root_tag),
        cursor(source->view(), builder),
        input(source->view()),
        checked(check_utf8 ? 0 : source->size()) {
    records.swap(per_thread<SpareRecords>().records);
  }

  // Checks the input up to `upto` (moved past the continuation bytes there, onto a character
  // boundary). False when an ill-formed sequence was found; its offset is in `invalid_at`.
  bool check_to(uint64_t upto) {
    if (upto <= checked) return true;
    upto = std::min<uint64_t>(upto, input.size());
    for (int k = 0; k < 3 && upto < input.size() && (static_cast<unsigned char>(input[upto]) & 0xC0) == 0x80; ++k) ++upto;
    size_t bad = first_invalid_utf8(input.substr(checked, upto - checked));
    if (bad < upto - checked) {
      invalid_at = checked + bad;
      checked = input.size();
      return false;
    }
    checked = upto;
    return true;
  }

  // How far the walk may read once the cursor has filled the window.
  uint64_t window_reach() const {
    if (cursor.done()) return input.size();
    const StructuralIndex& w = sc.window;
    uint64_t reach = w.tags.empty() ? 0 : w.tags.back().end + 1;
    if (!w.text_ranges.empty()) reach = std::max(reach, w.text_ranges.back().end);
    return reach;
  }
  ~State() { recycle_tree(std::move(tree)); }

  Scratch& sc;
  std::unique_ptr<ReadContext> own;
  ReadContext& ctx;
  Cleanup cleanup;
  RecordTree tree;
  RecordBuffer& records = tree.records;
  Walk walk;
  IndexCursor cursor;
  std::string_view input;
  uint64_t checked;  // bytes before this offset are well-formed UTF-8 (or need no check)
  uint64_t invalid_at = UINT64_MAX;
  Step step = Step::More;
  ReadError error;
  bool finished = false;
  bool failed = false;
};

TreeReader::TreeReader(SourceText* source, std::string_view root_tag, bool check_utf8)
    : state_(new State(source, root_tag, check_utf8, choose_builder(source->view()))) {}

TreeReader::TreeReader(SourceText* source, std::string_view root_tag, IndexBuilder builder)
    : state_(new State(source, root_tag, false, builder)) {}

TreeReader::TreeReader(ReadContext& ctx, std::string_view root_tag, IndexBuilder builder)
    : state_(new State(ctx.source(), root_tag, false, builder, &ctx)) {}

TreeReader::~TreeReader() { delete state_; }

RecordBuffer& TreeReader::records() noexcept { return state_->records; }

ReadError TreeReader::take_error() { return std::move(state_->error); }

ReadProgress TreeReader::run(size_t batch) {
  State& st = *state_;
  if (st.finished) return st.failed ? ReadProgress::Failed : ReadProgress::Done;
  Status<IndexBuildError> indexed;
  bool well_formed = true;
  while (st.step == Step::More && !st.cursor.done() && st.records.size() < batch) {
    indexed = st.cursor.next(st.sc.window, kIndexWindow);
    if (!indexed) break;
    if (!(well_formed = st.check_to(st.window_reach()))) break;
    st.step = st.walk.consume(st.sc.window);
  }
  st.ctx.settle();
  if (indexed && well_formed && st.step == Step::More && !st.cursor.done()) return ReadProgress::More;

  // The walk is over: the rest of the input is still indexed, since an unclosed tag anywhere
  // fails the read whatever the walk found, and checked, since an ill-formed byte anywhere fails
  // it before anything else.
  st.finished = true;
  if (indexed && well_formed && st.step != Step::More) indexed = drain(st.cursor, st.sc.window);
  if (well_formed) well_formed = st.check_to(st.input.size());
  if (!well_formed) {
    st.error = ReadError::syntax("invalid UTF-8", st.invalid_at);
  } else if (!indexed) {
    st.error = ReadError::index(indexed.error());
  } else if (st.step == Step::Failed) {
    st.error = st.walk.take_error();
  } else if (st.step == Step::More) {
    st.error = st.walk.at_end();
  } else {
    return ReadProgress::Done;
  }
  st.failed = true;
  st.records.recycle(kRetainedRecordBytes);
  return ReadProgress::Failed;
}

Result<RecordTree, ReadError> read_tree(SourceText* source, std::string_view root_tag) {
  return read_tree(source, root_tag, choose_builder(source->view()));
}

Result<RecordTree, ReadError> read_tree(SourceText* source, std::string_view root_tag,
                                        IndexBuilder builder) {
  TreeReader reader(source, root_tag, builder);
  ReadProgress progress = reader.run(SIZE_MAX);
  if (progress == ReadProgress::Failed) return reader.take_error();
  RecordTree tree;
  tree.records.swap(reader.records());
  return tree;
}

void recycle_tree(RecordTree&& tree) noexcept {
  tree.records.recycle(kRetainedRecordBytes);
  per_thread<SpareRecords>().records.swap(tree.records);
}

}  // namespace vx
