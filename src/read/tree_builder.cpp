// tree_builder.cpp: the walk over the document's tags as the index builder finds them, with an
// explicit stack.
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
#include "index/tag_walk.hpp"
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
  std::vector<Frame> frames;
  std::vector<OuterName> outer;
  std::vector<TextRange> texts;  // character data waiting for the tag after it, beyond the first

  // Drops what a read left behind and trims what grew unusually large.
  void release() noexcept {
    for (Frame& f : frames) {
      f.attrs.reset();
      if (f.owned.capacity() > 4096) std::string().swap(f.owned);
    }
    if (frames.size() > 1024) std::vector<Frame>().swap(frames);
    if (outer.capacity() > 4096) std::vector<OuterName>().swap(outer);
    outer.clear();
    if (texts.capacity() > 4096) std::vector<TextRange>().swap(texts);
    texts.clear();
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
  // `markup_in_text`: whether a long text range is searched for a '<'. The scalar index builder
  // ends every text range at the first '<' after its start, so its ranges never hold one. The
  // quote-aware builder's scanner does so today as well, but that builder is allowed to leave
  // markup inside text after a quote in character data, so its ranges are still searched.
  Walk(ReadContext& ctx, Scratch& sc, RecordBuffer& records, std::string_view root_tag,
       bool markup_in_text)
      : ctx_(ctx),
        in_(ctx.input()),
        s_(in_.data()),
        end_(in_.data() + in_.size()),
        frames_(sc.frames),
        outer_(sc.outer),
        records_(records),
        root_(root_tag),
        markup_in_text_(markup_in_text) {}

  // A tag's bounds, checked before anything else about it.
  Step check_bounds(const IndexedTag& tag) {
    if (!fits_size(tag.start) || !fits_size(tag.end)) return fail(kOffsetTooLarge, 0);
    if (tag.end >= in_.size()) return fail("unterminated markup", tag.start);
    return Step::More;
  }
  // Character data before a tag.
  [[gnu::always_inline]] Step text(uint64_t start, uint64_t end) {
    return depth_ > 0 && !add_text(start, end) ? Step::Failed : Step::More;
  }
  // Reads the attributes of the start tag at `lt` before its end is known, when the walk will
  // want them (see read_start_tag_ahead); the tag takes them when it comes.
  bool read_ahead(uint64_t lt, uint64_t name_end, uint64_t* tag_end, bool* self_closing) {
    if (depth_ == 0 && bytes(lt + 1, name_end - (lt + 1)) != root_) return false;
    if (!read_start_tag_ahead(ctx_, lt, name_end, &ahead_, tag_end, self_closing)) return false;
    ahead_at_ = lt;
    return true;
  }
  void drop_read_ahead() {
    ctx_.settle();  // the attributes are dropped here, so their counts must exist first
    ahead_.attrs.reset();
    ahead_at_ = kNoTag;
  }
  // The tag itself, after its bounds and the character data before it.
  [[gnu::always_inline]] Step tag(const IndexedTag& tag);
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
  [[gnu::always_inline]] bool add_text(uint64_t start, uint64_t end);
  void append_borrowed(Frame& f, uint64_t start, uint64_t len);
  bool append_decoded(Frame& f, uint64_t start, uint64_t len);
  StoredStr finish_text(Frame& f);
  [[gnu::always_inline]] Step open_tag(const IndexedTag& tag);
  Step self_closing_tag(const IndexedTag& tag);
  // The tag's name and attributes: those read ahead, or parsed now.
  bool take_start_tag(const IndexedTag& tag, StartTag* out) {
    if (ahead_at_ != tag.start) return parse_start_tag(ctx_, tag, out, &error_);
    *out = std::move(ahead_);
    ahead_at_ = kNoTag;
    return true;
  }
  Step close_tag(const IndexedTag& tag);
  // Comments, CDATA sections and processing instructions.
  Step other_tag(const IndexedTag& tag);
  // A finished element whose name is stored as the range [name_at, + name_len) and whose text
  // `make_text()` makes straight into its record.
  template <class MakeText>
  [[gnu::always_inline]] void add_record(uint64_t name_at, uint64_t name_len, MakeText&& make_text,
                                         AttrMap&& attrs, uint64_t children);
  // An element with neither text nor children, named by the bytes [name_start, + name_len).
  [[gnu::always_inline]] void add_leaf(uint64_t name_start, uint64_t name_len, AttrMap&& attrs) {
    add_record(ctx_.name_occurrence(name_start, name_len), name_len, [] { return StoredStr(); },
               std::move(attrs), 0);
  }

  ReadContext& ctx_;
  std::string_view in_;
  const char* s_;
  const char* end_;
  std::vector<Frame>& frames_;
  std::vector<OuterName>& outer_;
  RecordBuffer& records_;
  std::string_view root_;
  bool markup_in_text_;
  size_t depth_ = 0;  // frames_[0, depth_) are open
  ReadError error_;
  static constexpr uint64_t kNoTag = UINT64_MAX;
  uint64_t ahead_at_ = kNoTag;  // the '<' of the tag read ahead into `ahead_`
  StartTag ahead_;
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

template <class MakeText>
inline void Walk::add_record(uint64_t name_at, uint64_t name_len, MakeText&& make_text,
                             AttrMap&& attrs, uint64_t children) {
  records_.emplace_back_made([&] {
    return NodeRecord{ctx_.share(name_at, name_len), make_text(), std::move(attrs), children};
  });
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
inline bool Walk::add_text(uint64_t start, uint64_t end) {
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
    if (markup_in_text_) scan.lt = static_cast<const char*>(std::memchr(s_ + start, '<', len));
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

inline Step Walk::open_tag(const IndexedTag& tag) {
  if (is_bare_start_tag(tag)) {
    if (depth_ == 0 && bytes(tag.name_offset, tag.name_length) != root_) {
      outer_.push_back({tag.name_offset, tag.name_length});
    } else {
      push_frame(tag.name_offset, tag.name_length).attrs = AttrMap();
    }
    return Step::More;
  }
  if (depth_ == 0 && bytes(tag.name_offset, tag.name_length) != root_) {
    Result<ElementName, ReadError> name = element_name(tag);
    if (!name) return fail(std::move(name.error()));
    outer_.push_back({name.value().name_start, name.value().name_len});
    return Step::More;
  }
  StartTag parsed;
  if (!take_start_tag(tag, &parsed)) return Step::Failed;
  Frame& f = push_frame(parsed.where.name_start, parsed.where.name_len);
  f.attrs = std::move(parsed.attrs);
  return Step::More;
}

Step Walk::self_closing_tag(const IndexedTag& bare) {
  if (is_bare_start_tag(bare)) {
    const uint64_t name_start = bare.name_offset;
    if (depth_ == 0 && bytes(name_start, bare.name_length) != root_) return Step::More;
    add_leaf(name_start, bare.name_length, AttrMap());
    return depth_ == 0 ? Step::Done : Step::More;
  }
  StartTag tag;
  if (!take_start_tag(bare, &tag)) return Step::Failed;
  if (depth_ == 0) {
    if (bytes(tag.where.name_start, tag.where.name_len) != root_) {
      ctx_.settle();  // the attributes are dropped here, so their counts must exist first
      return Step::More;
    }
    add_leaf(tag.where.name_start, tag.where.name_len, std::move(tag.attrs));
    return Step::Done;
  }
  add_leaf(tag.where.name_start, tag.where.name_len, std::move(tag.attrs));
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
    // A short name's words settle the comparison and are the key of its name slot too.
    const bool short_name = f.name_len > 0 && f.name_len <= ShortName::kMaxLen;
    const ShortName open_words = short_name ? ShortName::of(s_ + f.name_start, f.name_len, end_) : ShortName{};
    if (f.name_len != name.size() ||
        !(short_name ? open_words == ShortName::of(name.data(), name.size(), end_)
                     : std::memcmp(s_ + f.name_start, name.data(), name.size()) == 0)) {
      std::string_view open = bytes(f.name_start, f.name_len);
      return fail("expected </" + std::string(open) + ">, found </" + std::string(name) + ">",
                  tag.start);
    }
    const uint64_t name_at = short_name ? ctx_.name_occurrence(f.name_start, f.name_len, open_words)
                                        : ctx_.name_occurrence(f.name_start, f.name_len);
    --depth_;
    add_record(name_at, f.name_len, [&] { return finish_text(f); }, std::move(f.attrs), f.child_count);
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

inline Step Walk::tag(const IndexedTag& tag) {
  // Tests rather than a switch: a jump table's one indirect jump, whose target changes from tag
  // to tag, was mispredicted far more often than these branches, which follow the ones that
  // found the kind.
  if (tag.kind == TagKind::Close) return close_tag(tag);
  if (tag.kind == TagKind::Open) return open_tag(tag);
  if (tag.kind == TagKind::SelfClosing) return self_closing_tag(tag);
  return other_tag(tag);
}

Step Walk::other_tag(const IndexedTag& tag) {
  switch (tag.kind) {
    case TagKind::Open:
    case TagKind::SelfClosing:
    case TagKind::Close:
      break;
    case TagKind::Comment:
      if (tag.end < tag.start + 6 || std::memcmp(s_ + tag.end - 2, "-->", 3) != 0) {
        return fail("unterminated comment", tag.start);
      }
      return Step::More;
    case TagKind::CData: {
      const uint64_t content = tag.start + 9;
      if (tag.end < 2 || tag.end - 2 < content || std::memcmp(s_ + tag.end - 2, "]]>", 3) != 0) {
        return fail("unterminated CDATA section", tag.start);
      }
      if (depth_ > 0 && tag.end - 2 > content) {
        append_borrowed(frames_[depth_ - 1], content, tag.end - 2 - content);
      }
      return Step::More;
    }
    case TagKind::ProcessingInstruction:
      if (tag.end == 0 || std::memcmp(s_ + tag.end - 1, "?>", 2) != 0) {
        return fail("unterminated processing instruction", tag.start);
      }
      return Step::More;
  }
  return Step::More;
}

// Goes on finding tags after the walk has stopped: an unclosed tag anywhere fails the read,
// whatever the walk found.
struct DrainSink {
  bool more() const { return true; }
  bool start_tag(uint64_t, uint64_t, index_detail::StartTagEnd*) { return false; }
  void text(uint64_t, uint64_t) {}
  void cdata(uint64_t, uint64_t) {}
  void tag(const TagFields&) {}
};

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
        walk(ctx, sc, records, root_tag, builder == IndexBuilder::QuoteAware),
        walker(start_tag_walk(source->view())),
        builder(builder),
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

  ~State() { recycle_tree(std::move(tree)); }

  Scratch& sc;
  std::unique_ptr<ReadContext> own;
  ReadContext& ctx;
  Cleanup cleanup;
  RecordTree tree;
  RecordBuffer& records = tree.records;
  Walk walk;
  TagWalkState walker;
  IndexBuilder builder;
  std::string_view input;
  uint64_t checked;  // bytes before this offset are well-formed UTF-8 (or need no check)
  uint64_t invalid_at = UINT64_MAX;
  Step step = Step::More;
  ReadError error;
  bool finished = false;
  bool failed = false;
  // Character data is taken with the tag after it (data that no tag follows is never looked at):
  // the first stretch waits here, any others in the scratch.
  TextRange first_text{};
  bool has_text = false;

  struct Sink;
};

namespace {

// Bytes checked as UTF-8 at a time, ahead of the walk.
constexpr uint64_t kCheckAhead = 64 * 1024;

}  // namespace

// The walk's side of the tag walk. Each tag the builder finds is taken at once: its bytes
// checked, its bounds, the character data before it, then the tag itself. Stops the builder
// when the walk is over, when `batch` records are finished, or before ill-formed UTF-8.
struct TreeReader::State::Sink {
  State& st;
  size_t batch;
  bool go = true;
  bool invalid = false;

  bool more() const { return go; }
  void text(uint64_t start, uint64_t end) {
    if (!st.has_text) {
      st.first_text = {start, end};
      st.has_text = true;
    } else {
      st.sc.texts.push_back({start, end});
    }
  }
  void cdata(uint64_t, uint64_t) {}  // taken with its tag
  // Bytes not yet checked are read, but what is read from them is dropped.
  bool start_tag(uint64_t lt, uint64_t name_end, index_detail::StartTagEnd* found) {
    if (!st.walk.read_ahead(lt, name_end, &found->gt, &found->self_closing)) return false;
    if (found->gt < st.checked) return true;
    st.walk.drop_read_ahead();
    return false;
  }
  [[gnu::always_inline]] void tag(const TagFields& f) {
    const IndexedTag tag{f.start, f.end, f.name_offset, f.name_length, f.kind};
    if (tag.end >= st.checked && !st.check_to(std::max(tag.end + 1, st.checked + kCheckAhead))) {
      invalid = true;
      go = false;
      return;
    }
    Step step = st.walk.check_bounds(tag);
    if (st.has_text) {
      st.has_text = false;
      if (step == Step::More) step = st.walk.text(st.first_text.start, st.first_text.end);
      if (!st.sc.texts.empty()) [[unlikely]] {
        for (const TextRange& t : st.sc.texts) {
          if (step == Step::More) step = st.walk.text(t.start, t.end);
        }
        st.sc.texts.clear();
      }
    }
    if (step == Step::More) step = st.walk.tag(tag);
    st.step = step;
    go = step == Step::More && st.records.size() < batch;
  }
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
  if (st.step == Step::More && !st.walker.done) {
    State::Sink sink{st, batch};
    indexed = walk_tags(st.walker, st.builder, sink);
    well_formed = !sink.invalid;
  }
  st.ctx.settle();
  if (indexed && well_formed && st.step == Step::More && !st.walker.done) return ReadProgress::More;

  // The walk is over: the rest of the input is still indexed, since an unclosed tag anywhere
  // fails the read whatever the walk found, and checked, since an ill-formed byte anywhere fails
  // it before anything else.
  st.finished = true;
  if (indexed && well_formed && st.step != Step::More) {
    DrainSink rest;
    indexed = walk_tags(st.walker, st.builder, rest);
  }
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
