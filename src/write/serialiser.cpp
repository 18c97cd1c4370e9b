// serialiser.cpp: escaping, the element writer and its size measurement.
#include "write/serialiser.hpp"

#include <emmintrin.h>

#include <array>
#include <string>

namespace vx {
namespace {

// Byte classes for escaping: which set a byte belongs to.
constexpr uint8_t kInText = 1;  // replaced in text and in attribute values
constexpr uint8_t kInAttr = 2;  // replaced in attribute values only

constexpr std::array<uint8_t, 256> make_classes() {
  std::array<uint8_t, 256> classes{};
  for (unsigned char c : {'&', '<', '>', '"', '\''}) classes[c] = kInText | kInAttr;
  for (unsigned char c : {'\t', '\n', '\r'}) classes[c] = kInAttr;
  return classes;
}
constexpr std::array<uint8_t, 256> kClasses = make_classes();

constexpr std::string_view replacement(unsigned char c) {
  switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\'': return "&apos;";
    case '\t': return "&#9;";
    case '\n': return "&#10;";
    case '\r': return "&#13;";
    default: return {};
  }
}

constexpr std::array<uint8_t, 256> make_growth() {
  std::array<uint8_t, 256> growth{};
  for (int c = 0; c < 256; ++c) {
    auto r = replacement(static_cast<unsigned char>(c));
    growth[c] = r.empty() ? 0 : static_cast<uint8_t>(r.size() - 1);
  }
  return growth;
}
constexpr std::array<uint8_t, 256> kGrowth = make_growth();

template <bool Attr>
constexpr bool is_special(unsigned char c) {
  return (kClasses[c] & (Attr ? kInAttr : kInText)) != 0;
}

// Bit i set when byte i of the 16 may need a replacement. A few other bytes ('#' for one) come
// along with the set; callers confirm each hit against the table.
template <bool Attr>
inline unsigned candidates(__m128i v) {
  // '"' 0x22, '&' 0x26 and '\'' 0x27 all become 0x27 once 0x05 is or-ed in ('#' 0x23 too);
  // '<' 0x3C and '>' 0x3E both become 0x3E with 0x02.
  __m128i m = _mm_or_si128(_mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x05)), _mm_set1_epi8(0x27)),
                           _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x02)), _mm_set1_epi8(0x3E)));
  if constexpr (Attr) {
    // Tab 0x09 and carriage return 0x0D both become 0x0D with 0x04; line feed on its own.
    m = _mm_or_si128(m, _mm_or_si128(_mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x04)),
                                                    _mm_set1_epi8(0x0D)),
                                     _mm_cmpeq_epi8(v, _mm_set1_epi8(0x0A))));
  }
  return static_cast<unsigned>(_mm_movemask_epi8(m));
}

// The first byte of [p, end) that needs a replacement, or end.
template <bool Attr>
const char* find_special(const char* p, const char* end) noexcept {
  while (end - p >= 16) {
    unsigned bits = candidates<Attr>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    while (bits) {
      const char* at = p + __builtin_ctz(bits);
      if (is_special<Attr>(static_cast<unsigned char>(*at))) return at;
      bits &= bits - 1;
    }
    p += 16;
  }
  for (; p != end; ++p) {
    if (is_special<Attr>(static_cast<unsigned char>(*p))) return p;
  }
  return end;
}

template <bool Attr>
bool escape_into(OutputSink& sink, const char* p, const char* end) {
  for (;;) {
    const char* at = find_special<Attr>(p, end);
    if (at == end) return sink.append(p, static_cast<size_t>(end - p));
    if (at != p && !sink.append(p, static_cast<size_t>(at - p))) return false;
    if (!sink.append(replacement(static_cast<unsigned char>(*at)))) return false;
    p = at + 1;
  }
}

inline bool escape(OutputSink& sink, std::string_view text, bool attribute) {
  const char* p = text.data();
  return attribute ? escape_into<true>(sink, p, p + text.size())
                   : escape_into<false>(sink, p, p + text.size());
}

template <bool Attr>
size_t growth_of(const char* p, const char* end, bool* non_ascii) noexcept {
  size_t growth = 0;
  __m128i high = _mm_setzero_si128();
  while (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    high = _mm_or_si128(high, v);
    for (unsigned bits = candidates<Attr>(v); bits; bits &= bits - 1) {
      unsigned char c = static_cast<unsigned char>(p[__builtin_ctz(bits)]);
      if (is_special<Attr>(c)) growth += kGrowth[c];
    }
    p += 16;
  }
  unsigned char tail_high = 0;
  for (; p != end; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    tail_high |= c;
    if (is_special<Attr>(c)) growth += kGrowth[c];
  }
  if (_mm_movemask_epi8(high) != 0 || (tail_high & 0x80) != 0) *non_ascii = true;
  return growth;
}

bool has_non_ascii(std::string_view text) noexcept {
  unsigned char any = 0;
  for (unsigned char c : text) any |= c;
  return (any & 0x80) != 0;
}

// Releases a detached list of subtrees without recursing: every list met is taken out of its
// owner before the owner goes.
void release_lists(std::vector<NodeSnapshot>&& first) noexcept {
  std::vector<std::vector<NodeSnapshot>> pending;
  pending.push_back(std::move(first));
  while (!pending.empty()) {
    std::vector<NodeSnapshot> list = std::move(pending.back());
    pending.pop_back();
    for (NodeSnapshot& child : list) {
      if (!child.children.empty()) pending.push_back(std::move(child.children));
    }
  }
}

void line_break(XmlWriter& w) {
  size_t spaces;
  if (__builtin_mul_overflow(w.indent, w.depth, &spaces)) {
    invariant_failed("indentation of " + std::to_string(w.indent) + " x " + std::to_string(w.depth) +
                     " spaces was not checked before writing");
  }
  w.sink.put('\n');
  w.sink.fill(' ', spaces);
}

// Steps up to the element's content: the start tag and the text. True when the element stays
// open (it has text or children), false when it was written as an empty-element tag.
bool open_element(XmlWriter& w, NodeSnapshot& node) {
  OutputSink& sink = w.sink;
  if (w.break_before_tag) line_break(w);
  w.break_before_tag = true;
  sink.put('<');
  sink.append(node.name.view());
  for (const AttrEntry& entry : node.attrs) {
    sink.put(' ');
    sink.append(entry.key.view());
    sink.append("=\"", 2);
    escape(sink, entry.value.view(), true);
    sink.put('"');
  }
  node.attrs.reset();
  if (!node.text.present() && node.children.empty()) {
    sink.append("/>", 2);
    return false;
  }
  sink.put('>');
  ++w.depth;
  if (node.text.present()) {
    escape(sink, node.text.view(), false);
    node.text.reset();
    w.break_before_tag = false;
  }
  return true;
}

void close_element(XmlWriter& w, NodeSnapshot& node) {
  OutputSink& sink = w.sink;
  --w.depth;
  if (w.break_before_tag) line_break(w);
  w.break_before_tag = true;
  sink.append("</", 2);
  sink.append(node.name.view());
  sink.put('>');
}

}  // namespace

NodeSnapshot& NodeSnapshot::operator=(NodeSnapshot&& other) noexcept {
  if (this != &other) {
    clear();
    name = std::move(other.name);
    text = std::move(other.text);
    attrs = std::move(other.attrs);
    children = std::move(other.children);
  }
  return *this;
}

NodeSnapshot::~NodeSnapshot() {
  if (!children.empty()) release_lists(std::move(children));
}

void NodeSnapshot::clear() noexcept {
  name.reset();
  text.reset();
  attrs.reset();
  if (!children.empty()) release_lists(std::move(children));
  std::vector<NodeSnapshot>().swap(children);
}

Status<OsError> write_escaped(OutputSink& sink, std::string_view text, bool attribute) {
  if (!escape(sink, text, attribute)) return sink.error();
  return {};
}

Status<OsError> write_element(XmlWriter& w, NodeSnapshot node) {
  struct Frame {
    NodeSnapshot* node;
    size_t next_child;
  };
  std::vector<Frame> open;
  if (open_element(w, node)) open.push_back({&node, 0});
  while (!open.empty() && !w.sink.failed()) {
    Frame& top = open.back();
    NodeSnapshot& parent = *top.node;
    if (top.next_child < parent.children.size()) {
      NodeSnapshot& child = parent.children[top.next_child++];
      if (open_element(w, child)) {
        open.push_back({&child, 0});
      } else {
        child.name.reset();
      }
      continue;
    }
    close_element(w, parent);
    parent.name.reset();
    std::vector<NodeSnapshot>().swap(parent.children);  // every child is already written
    open.pop_back();
  }
  if (w.sink.failed()) return w.sink.error();  // `node` releases what was left unwritten
  return {};
}

size_t escaped_growth(std::string_view text, bool attribute, bool* non_ascii) noexcept {
  const char* p = text.data();
  return attribute ? growth_of<true>(p, p + text.size(), non_ascii)
                   : growth_of<false>(p, p + text.size(), non_ascii);
}

OutputSize measure_element(const NodeSnapshot& root, size_t indent, bool escapes) {
  using u128 = unsigned __int128;
  u128 fixed = 0;      // every byte except indentation spaces
  u128 depth_sum = 0;  // the depths of all line breaks: the spaces are indent times this
  size_t depth = 0;
  bool break_before_tag = false;
  bool non_ascii = false;

  auto text_size = [&](std::string_view s, bool attribute) -> u128 {
    if (!escapes) return s.size();
    return s.size() + escaped_growth(s, attribute, &non_ascii);
  };
  auto tag_name = [&](const StoredStr& name) -> u128 {
    std::string_view v = name.view();
    if (escapes && !non_ascii && has_non_ascii(v)) non_ascii = true;
    return v.size();
  };
  auto line = [&] {
    fixed += 1;
    depth_sum += depth;
  };
  // Mirrors open_element: true when the element stays open.
  auto open = [&](const NodeSnapshot& node) {
    if (break_before_tag) line();
    break_before_tag = true;
    fixed += 1 + tag_name(node.name);
    for (const AttrEntry& entry : node.attrs) {
      fixed += 4 + tag_name(entry.key) + text_size(entry.value.view(), true);
    }
    if (!node.text.present() && node.children.empty()) {
      fixed += 2;
      return false;
    }
    fixed += 1;
    ++depth;
    if (node.text.present()) {
      fixed += text_size(node.text.view(), false);
      break_before_tag = false;
    }
    return true;
  };
  auto close = [&](const NodeSnapshot& node) {
    --depth;
    if (break_before_tag) line();
    break_before_tag = true;
    fixed += 3 + node.name.size();
  };

  struct Frame {
    const NodeSnapshot* node;
    size_t next_child;
  };
  std::vector<Frame> stack;
  if (open(root)) stack.push_back({&root, 0});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next_child < top.node->children.size()) {
      const NodeSnapshot& child = top.node->children[top.next_child++];
      if (open(child)) stack.push_back({&child, 0});
      continue;
    }
    close(*top.node);
    stack.pop_back();
  }

  OutputSize size;
  size.ascii = !non_ascii;
  u128 spaces;
  if (__builtin_mul_overflow(static_cast<u128>(indent), depth_sum, &spaces)) return size;
  u128 total;
  if (__builtin_add_overflow(fixed, spaces, &total) || total > UINT64_MAX) return size;
  size.fits = true;
  size.bytes = static_cast<uint64_t>(total);
  return size;
}

}  // namespace vx
