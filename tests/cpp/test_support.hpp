// test_support.hpp: helpers shared by the C++ units.
#pragma once
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "storage/big_block.hpp"
#include "storage/source_text.hpp"

namespace vx::testing_support {

// A source text owning a copy of `text`, with one count for the caller.
inline SourceText* owned_source(std::string_view text) {
  char* buffer = static_cast<char*>(big_alloc(text.size() + 1));
  std::memcpy(buffer, text.data(), text.size());
  return SourceText::adopt(buffer, text.size(), text.size() + 1);
}

}  // namespace vx::testing_support
