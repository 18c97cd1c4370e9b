// test_support.hpp: helpers shared by the C++ units.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "storage/big_block.hpp"
#include "storage/source_text.hpp"

namespace vx::testing_support {

// A source text owning a copy of `text`, with one count for the caller.
inline SourceText* owned_source(std::string_view text) {
  char* buffer = static_cast<char*>(big_alloc(text.size() + 1));
  std::memcpy(buffer, text.data(), text.size());
  return SourceText::adopt(buffer, text.size(), text.size() + 1);
}

// The reference: each unit's UTF-8 one at a time (no surrogates among them).
inline std::string utf8_one_by_one(const std::vector<uint32_t>& units) {
  std::string out;
  for (uint32_t c : units) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace vx::testing_support
