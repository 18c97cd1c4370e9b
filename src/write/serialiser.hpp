// serialiser.hpp: the self-contained copy of a tree that is written without the GIL, and the
// writer that turns it into indented XML.
#pragma once
#include <cstddef>
#include <cstdint>
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

// One element of a snapshot; it owns its children by value. Shared-range strings hold counts of
// their source text rather than copies of it. Destruction is iterative, so a chain of any depth
// is released without recursion.
struct NodeSnapshot {
  StoredStr name;
  StoredStr text;  // absent when the node had no text
  AttrMap attrs;
  std::vector<NodeSnapshot> children;

  NodeSnapshot() noexcept = default;
  NodeSnapshot(NodeSnapshot&&) noexcept = default;
  NodeSnapshot& operator=(NodeSnapshot&& other) noexcept;
  ~NodeSnapshot();

  // Releases everything now (iteratively); leaves an element with an absent name and no parts.
  void clear() noexcept;
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

// Writes `node` and its subtree, releasing each part once it is written (and, on failure, the
// rest unwritten). An explicit stack stands in for recursion.
Status<OsError> write_element(XmlWriter& writer, NodeSnapshot node);

// The size of what write_element will produce, found without writing.
struct OutputSize {
  bool fits = false;   // false when the size does not fit in 64 bits
  uint64_t bytes = 0;  // exact when measured with `escapes`, else a lower bound
  bool ascii = true;   // no byte above 0x7F (only meaningful when measured with `escapes`)
};
// `escapes` false skips scanning the texts: enough to know whether the indentation overflows.
OutputSize measure_element(const NodeSnapshot& node, size_t indent, bool escapes);

// Bytes that escaping adds to `text` (0 when nothing needs replacing); sets *non_ascii when the
// text has a byte above 0x7F.
size_t escaped_growth(std::string_view text, bool attribute, bool* non_ascii) noexcept;

}  // namespace vx
