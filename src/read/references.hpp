// references.hpp: character and entity references in text and attribute values.
#pragma once
#include <cstdint>
#include <cstring>
#include <string_view>

#include "read/read_error.hpp"
#include "result.hpp"
#include "storage/stored_str.hpp"

namespace vx {

enum class DecodeMode : uint8_t { Text, Attribute };

// Either "keep the range as it is" (most text: the caller stores a shared range) or a new string.
struct Decoded {
  bool unchanged = true;
  StoredStr owned;  // the decoded text when !unchanged
};

namespace read_detail {
// Bytes that force the slow path in attribute mode: '&' and the literal line breaks and tabs
// that attribute values normalise to spaces.
inline bool attr_special(unsigned char c) noexcept {
  return c == '&' || c == '\t' || c == '\n' || c == '\r';
}
}  // namespace read_detail

// True when decoding would change `range`.
inline bool needs_decoding(std::string_view range, DecodeMode mode) noexcept {
  if (mode == DecodeMode::Text) return std::memchr(range.data(), '&', range.size()) != nullptr;
  for (unsigned char c : range) {
    if (read_detail::attr_special(c)) return true;
  }
  return false;
}

// Decodes into `out`, which has room for range.size() bytes (decoding never grows the text).
// Returns the decoded length. `base` is the absolute offset of range[0], for error offsets.
[[gnu::noinline]] Result<size_t, ReadError> decode_into(std::string_view range, uint64_t base,
                                                         DecodeMode mode, char* out);

// The decoded value of `range`: unchanged when nothing needs replacing, else an owned string.
[[gnu::noinline]] Result<Decoded, ReadError> decode_changed(std::string_view range, uint64_t base,
                                                             DecodeMode mode);

inline Result<Decoded, ReadError> decode_text(std::string_view range, uint64_t base,
                                              DecodeMode mode) {
  if (!needs_decoding(range, mode)) [[likely]] return Decoded{};
  return decode_changed(range, base, mode);
}

}  // namespace vx
