// structural_index.hpp: the structural index of a document: where every tag and every stretch of
// character data lies. Built in one forward pass, by a scalar or a quote-aware builder.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"

namespace vx {

enum class TagKind : uint8_t {
  Open = 0,
  Close = 1,
  SelfClosing = 2,
  Comment = 3,
  CData = 4,
  ProcessingInstruction = 5,
};

struct IndexedTag {
  uint64_t start;        // the '<'
  uint64_t end;          // the closing '>' (see the builders for unterminated constructs)
  uint64_t name_offset;  // 0 for comments and CDATA sections
  uint64_t name_length;  // full length, however long the name
  TagKind kind;
};

// A tag as a builder hands it over (see IndexedTag).
struct TagFields {
  uint64_t start;
  uint64_t end;
  uint64_t name_offset;
  uint64_t name_length;
  TagKind kind;
};

struct TextRange {
  uint64_t start;
  uint64_t end;  // exclusive
};

// The only failure of a build: a '<' whose tag has no end.
struct IndexBuildError {
  uint64_t offset = 0;  // of the '<'
  std::string text() const { return "Unclosed tag at byte " + std::to_string(offset); }
};

enum class IndexBuilder : uint8_t { Scalar, QuoteAware };

// Borrows the input; must not outlive it.
class StructuralIndex {
 public:
  size_t tag_count() const noexcept { return tags.size(); }
  const IndexedTag& tag(size_t i) const noexcept { return tags[i]; }
  uint64_t tag_start(size_t i) const noexcept { return tags[i].start; }
  uint64_t tag_end(size_t i) const noexcept { return tags[i].end; }
  TagKind tag_kind(size_t i) const noexcept { return tags[i].kind; }
  std::string_view tag_name(size_t i) const noexcept {
    return input.substr(tags[i].name_offset, tags[i].name_length);
  }

  std::string_view input;
  std::vector<IndexedTag> tags;
  std::vector<TextRange> text_ranges;
};

// Chooses a builder from a sample: the quote-aware one when the first 4096 bytes hold more than
// five '"' per '<'.
IndexBuilder choose_builder(std::string_view input) noexcept;

// Builds the index of the whole input.
Result<StructuralIndex, IndexBuildError> build_index(std::string_view input);
Result<StructuralIndex, IndexBuildError> build_index(std::string_view input, IndexBuilder builder);

// Builds the index piece by piece, so that only a bounded window of it is in memory at a time
// (a reader that acts on each tag as it is found hands the builder a sink: see tag_walk.hpp).
// Each call to `next` replaces the contents of `out` with the following tags (up to
// `max_tags`, taken as at least 1) and the text ranges recorded for them. Pieces end
// right after a tag, so every text range of a piece lies before one of its tags or is the content
// of its CDATA; only the last piece may end with text that came before a declaration and no tag.
// The pieces concatenated are the whole build; after a failure the cursor is done.
class IndexCursor {
 public:
  explicit IndexCursor(std::string_view input) : IndexCursor(input, choose_builder(input)) {}
  IndexCursor(std::string_view input, IndexBuilder builder);

  Status<IndexBuildError> next(StructuralIndex& out, size_t max_tags);
  bool done() const noexcept { return done_; }
  IndexBuilder builder() const noexcept { return builder_; }

 private:
  std::string_view input_;
  IndexBuilder builder_;
  uint64_t pos_ = 0;         // where the search for the next '<' continues
  uint64_t text_start_ = 0;  // just after the previous tag or declaration
  bool done_ = false;
};

}  // namespace vx
