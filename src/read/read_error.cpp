// read_error.cpp: the texts of read failures.
#include "read/read_error.hpp"

namespace vx {

std::string ReadError::text() const {
  switch (kind) {
    case Kind::Index:
      return "malformed XML: " + IndexBuildError{offset}.text();
    case Kind::Syntax:
      return "malformed XML at byte " + std::to_string(offset) + ": " + detail;
    case Kind::RootNotFound:
      return "root tag <" + detail + "> not found in document";
    case Kind::NeverClosed:
      return "unexpected end of document: <" + detail + "> is never closed";
    case Kind::UnknownEntity:
      return "unknown entity reference '&" + detail + ";' at byte " + std::to_string(offset);
  }
  invariant_failed("read error of unknown kind");
}

}  // namespace vx
