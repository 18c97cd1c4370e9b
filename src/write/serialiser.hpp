// serialiser.hpp: indented XML from any immutable element tree, written without the GIL.
//
// The writer reads elements through five functions found by argument-dependent lookup, so the
// same code serves Node records (write_entry.cpp) and the plain trees of the C++ tests:
//   std::string_view tree_name(H);   const StoredStr& tree_text(H);  (absent: no text)
//   const AttrMap& tree_attrs(H);    size_t tree_child_count(H);     H tree_child(H, size_t);
// Nothing is copied: the caller keeps the tree alive and unchanged for the whole call, which
// immutable Node records held through their root guarantee.
#pragma once
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "entities/attr_map.hpp"
#include "result.hpp"
#include "storage/stored_str.hpp"
#include "write/sink.hpp"

namespace vx {

// Written in front of the root element when the caller asks for a declaration.
inline constexpr std::string_view XML_DECLARATION = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
static_assert(XML_DECLARATION.size() == 39);

template <class H>
concept WritableTree = requires(H h, size_t i) {
  { tree_name(h) } -> std::convertible_to<std::string_view>;
  { tree_text(h) } -> std::same_as<const StoredStr&>;
  { tree_attrs(h) } -> std::same_as<const AttrMap&>;
  { tree_child_count(h) } -> std::convertible_to<size_t>;
  { tree_child(h, i) } -> std::same_as<H>;
};

// The emission state of one write call.
struct XmlWriter {
  OutputSink& sink;
  size_t indent = 4;
  size_t depth = 0;
  bool break_before_tag = false;  // the next tag starts on a new, indented line
};

// Appends `text` with the markup characters replaced by references; attribute values also
// replace tab, line feed and carriage return. Runs without a replacement go in one piece.
Status<OsError> write_escaped(OutputSink& sink, std::string_view text, bool attribute);
// The same, reporting only success; the sink keeps the error.
bool append_escaped(OutputSink& sink, std::string_view text, bool attribute);

// What the characters of some UTF-8 text need from a str: its length in characters is its
// length in bytes less the continuation bytes, and its widest character follows from the
// largest byte (a lead byte from 0xC2 on).
struct TextStats {
  uint64_t continuation = 0;
  uint8_t max_byte = 0;
};

// Bytes that escaping adds to `text` (0 when nothing needs replacing); adds the text to *stats.
size_t escaped_growth(std::string_view text, bool attribute, TextStats* stats) noexcept;
// Adds text written as it is (names and keys) to *stats.
void scan_verbatim(std::string_view text, TextStats* stats) noexcept;

// "\n" and indent x depth spaces; the product was checked by measuring the tree beforehand.
bool write_line_break(XmlWriter& w);

// The size of what write_element produces, found without writing.
struct OutputSize {
  bool fits = false;   // false when the size does not fit in 64 bits
  uint64_t bytes = 0;  // exact when measured with `escapes`, else a lower bound
  TextStats stats;     // of all the bytes (only when measured with `escapes`)
};

namespace detail {

template <WritableTree H>
bool open_element(XmlWriter& w, H node) {
  OutputSink& sink = w.sink;
  if (w.break_before_tag) write_line_break(w);
  w.break_before_tag = true;
  sink.put('<');
  sink.append(tree_name(node));
  const AttrMap& attrs = tree_attrs(node);
  if (!attrs.empty()) {  // most elements have none: skip the out-of-line size lookup
    for (const AttrEntry& entry : attrs) {
      sink.put(' ');
      sink.append(entry.key.view());
      sink.append("=\"", 2);
      append_escaped(sink, entry.value.view(), true);
      sink.put('"');
    }
  }
  const StoredStr& text = tree_text(node);
  if (!text.present() && tree_child_count(node) == 0) {
    sink.append("/>", 2);
    return false;
  }
  sink.put('>');
  ++w.depth;
  if (text.present()) {
    append_escaped(sink, text.view(), false);
    w.break_before_tag = false;
  }
  return true;
}

template <WritableTree H>
void close_element(XmlWriter& w, H node) {
  OutputSink& sink = w.sink;
  --w.depth;
  if (w.break_before_tag) write_line_break(w);
  w.break_before_tag = true;
  sink.append("</", 2);
  sink.append(tree_name(node));
  sink.put('>');
}

template <class H>
struct Frame {
  H node;
  size_t next_child;
  size_t child_count;
};

// Trees too large for the cache spend their time waiting for memory: each element is reached
// through its parent, and its attributes and texts through the element. A tree may offer
//   void tree_prefetch(H, int stage)
// and is then asked, while child i is handled, to fetch child i + 2 itself (stage 0) and what
// child i + 1 points to (stage 1), by which time child i + 1 has arrived.
template <class H>
inline void prefetch_ahead(const Frame<H>& f) {
  if constexpr (requires(H h) { tree_prefetch(h, 0); }) {
    if (f.next_child + 1 < f.child_count) tree_prefetch(tree_child(f.node, f.next_child + 1), 0);
    if (f.next_child < f.child_count) tree_prefetch(tree_child(f.node, f.next_child), 1);
  }
}

}  // namespace detail

// Writes `node` and its subtree. An element opens (start tag, text), its children follow, and
// it closes; an explicit stack of open elements stands in for recursion, so depth is bounded
// by memory only. A failed append ends the walk with the sink's error.
template <WritableTree H>
Status<OsError> write_element(XmlWriter& w, H node) {
  std::vector<detail::Frame<H>> open;
  if (detail::open_element(w, node)) open.push_back({node, 0, tree_child_count(node)});
  while (!open.empty() && !w.sink.failed()) {
    detail::Frame<H>& top = open.back();
    if (top.next_child < top.child_count) {
      H child = tree_child(top.node, top.next_child++);
      detail::prefetch_ahead(top);
      if (detail::open_element(w, child)) open.push_back({child, 0, tree_child_count(child)});
      continue;
    }
    detail::close_element(w, top.node);
    open.pop_back();
  }
  if (w.sink.failed()) return w.sink.error();
  return {};
}

// A walk limit that never stops a walk. A limit is asked `visit()` once per child element
// reached and stops the walk by answering false; trees that share subtrees can expand far beyond
// what any walk should attempt (see entities/expansion.hpp).
struct NoWalkLimit {
  bool visit() const noexcept { return true; }
};

// What write_element(w, node) appends when w starts at depth 0 with no pending line break.
// `escapes` false skips scanning the texts, which is enough to know whether the indentation
// overflows. Follows write_element step by step, so the two cannot drift apart unnoticed: the
// entry points check that the emission fills the measured size exactly. A walk that `limit`
// stops does not fit.
template <WritableTree H, class Limit = NoWalkLimit>
OutputSize measure_element(H root, size_t indent, bool escapes, Limit&& limit = Limit{}) {
  using u128 = unsigned __int128;
  u128 fixed = 0;      // every byte except indentation spaces
  u128 depth_sum = 0;  // the depths of all line breaks: the spaces are indent times this
  size_t depth = 0;
  bool break_before_tag = false;
  TextStats stats;

  auto text_size = [&](std::string_view s, bool attribute) -> u128 {
    if (!escapes) return s.size();
    return s.size() + escaped_growth(s, attribute, &stats);
  };
  auto verbatim = [&](std::string_view s) -> u128 {
    if (escapes) scan_verbatim(s, &stats);
    return s.size();
  };
  auto line = [&] {
    fixed += 1;
    depth_sum += depth;
  };
  auto open = [&](H node) {
    if (break_before_tag) line();
    break_before_tag = true;
    fixed += 1 + verbatim(tree_name(node));
    const AttrMap& attrs = tree_attrs(node);
    if (!attrs.empty()) {
      for (const AttrEntry& entry : attrs) {
        fixed += 4 + verbatim(entry.key.view()) + text_size(entry.value.view(), true);
      }
    }
    const StoredStr& text = tree_text(node);
    if (!text.present() && tree_child_count(node) == 0) {
      fixed += 2;
      return false;
    }
    fixed += 1;
    ++depth;
    if (text.present()) {
      fixed += text_size(text.view(), false);
      break_before_tag = false;
    }
    return true;
  };
  auto close = [&](H node) {
    --depth;
    if (break_before_tag) line();
    break_before_tag = true;
    fixed += 3 + verbatim(tree_name(node));  // the name again, characters and all
  };

  std::vector<detail::Frame<H>> open_elements;
  if (open(root)) open_elements.push_back({root, 0, tree_child_count(root)});
  while (!open_elements.empty()) {
    detail::Frame<H>& top = open_elements.back();
    if (top.next_child < top.child_count) {
      if (!limit.visit()) return OutputSize{};
      H child = tree_child(top.node, top.next_child++);
      detail::prefetch_ahead(top);
      if (open(child)) open_elements.push_back({child, 0, tree_child_count(child)});
      continue;
    }
    close(top.node);
    open_elements.pop_back();
  }

  OutputSize size;
  size.stats = stats;
  u128 spaces;
  if (__builtin_mul_overflow(static_cast<u128>(indent), depth_sum, &spaces)) return size;
  u128 total;
  if (__builtin_add_overflow(fixed, spaces, &total) || total > UINT64_MAX) return size;
  size.fits = true;
  size.bytes = static_cast<uint64_t>(total);
  return size;
}

// The sum, over every line break write_element writes for `root`, of the depth it indents to:
// the indentation is `indent` times this many spaces. Reads only the shape of the tree (text
// present or not, children), so it is cheap next to a full measurement. A walk that `limit`
// stops gives the largest value.
template <WritableTree H, class Limit = NoWalkLimit>
unsigned __int128 line_break_depths(H root, Limit&& limit = Limit{}) {
  unsigned __int128 sum = 0;
  struct Open {
    H node;
    size_t next_child;
    size_t child_count;
    size_t depth;       // of the element's children
    bool after_text;    // the first child follows the text, on its line
  };
  std::vector<Open> open;
  auto push = [&](H node, size_t depth) {
    size_t count = tree_child_count(node);
    if (count > 0) {
      sum += depth;  // before the end tag
      open.push_back({node, 0, count, depth + 1, tree_text(node).present()});
    }
  };
  push(root, 0);
  while (!open.empty()) {
    Open& top = open.back();
    if (top.next_child == top.child_count) {
      open.pop_back();
      continue;
    }
    if (!limit.visit()) return ~static_cast<unsigned __int128>(0);
    size_t i = top.next_child++;
    size_t depth = top.depth;
    if (i > 0 || !top.after_text) sum += depth;  // before the start tag
    push(tree_child(top.node, i), depth);
  }
  return sum;
}

}  // namespace vx
