// read_error.hpp: the failure of a read: five kinds, each with a fixed text.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "index/structural_index.hpp"

namespace vx {

// A plain value: owns its strings and refers to no Python object, since reads fail while the
// GIL is released.
struct ReadError {
  enum class Kind : uint8_t { Index, Syntax, RootNotFound, NeverClosed, UnknownEntity };

  Kind kind = Kind::Syntax;
  std::string detail;   // Syntax: message; RootNotFound: root tag; NeverClosed: element name;
                        // UnknownEntity: entity name
  uint64_t offset = 0;  // Syntax, UnknownEntity; for Index the offset of the unclosed '<'

  static ReadError index(const IndexBuildError& e) { return {Kind::Index, {}, e.offset}; }
  static ReadError syntax(std::string message, uint64_t at) {
    return {Kind::Syntax, std::move(message), at};
  }
  static ReadError root_not_found(std::string_view root_tag) {
    return {Kind::RootNotFound, std::string(root_tag), 0};
  }
  static ReadError never_closed(std::string_view name) {
    return {Kind::NeverClosed, std::string(name), 0};
  }
  static ReadError unknown_entity(std::string_view name, uint64_t at) {
    return {Kind::UnknownEntity, std::string(name), at};
  }

  // The message raised to Python.
  std::string text() const;
  // Whether `offset` places the error in the document (decoders move it back to their input).
  bool has_offset() const noexcept {
    return kind == Kind::Index || kind == Kind::Syntax || kind == Kind::UnknownEntity;
  }
};

}  // namespace vx
