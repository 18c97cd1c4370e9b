// start_tag.hpp: element names and attributes of start tags and empty-element tags.
#pragma once
#include <cstddef>
#include <cstdint>

#include "entities/attr_map.hpp"
#include "index/structural_index.hpp"
#include "read/read_context.hpp"
#include "read/read_error.hpp"
#include "result.hpp"

namespace vx {

// Where a start tag's name and attribute region lie (absolute offsets, region end exclusive; the
// '/' of "/>" is outside the region).
struct ElementName {
  uint64_t name_start;
  uint64_t name_len;
  uint64_t region_start;
  uint64_t region_end;
};

// The whitespace of start tags: tab, line feed, form feed, carriage return and space.
inline bool is_tag_space(unsigned char c) noexcept {
  return c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '\f';
}

// Offsets are stored 64 bits wide; this is where one becomes a machine-size offset.
inline bool fits_size(uint64_t v) noexcept {
  if constexpr (sizeof(size_t) >= sizeof(uint64_t)) {
    return true;
  } else {
    return v <= SIZE_MAX;
  }
}

Result<ElementName, ReadError> element_name(const IndexedTag& tag);

struct StartTag {
  ElementName where;
  AttrMap attrs;  // in document order
};

// Reads the tag's attributes with the context's builder (left empty afterwards) into `out`. Keys
// and values that decoding leaves unchanged are shared ranges counted through the context. False
// with `error` set when the tag is malformed. (No Result here: the tag of every element passes
// through, and a variant of a tag and an error costs more to make and unpack than the check.)
bool parse_start_tag(ReadContext& ctx, const IndexedTag& tag, StartTag* out, ReadError* error);

// Reads the start tag whose '<' is at `lt` and whose name ends at `name_end` (before a space,
// say) without knowing its end: up to the first '>' or "/>" after its attributes, which is then
// the end an index builder finds too. False, with nothing made and nothing reported, at anything
// irregular: the tag is then left to parse_start_tag, which reports the fault.
bool read_start_tag_ahead(ReadContext& ctx, uint64_t lt, uint64_t name_end, StartTag* out,
                          uint64_t* tag_end, bool* self_closing);

}  // namespace vx
