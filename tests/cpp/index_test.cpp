// The structural index: both builders through one suite, the chooser, the cursor and the block
// classifiers, plus differential checks of the builders against each other and against documents
// whose index is known from how they were written.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "index/block_classifier.hpp"
#include "index/builders.hpp"
#include "index/structural_index.hpp"

namespace vx {

bool operator==(const IndexedTag& a, const IndexedTag& b) {
  return a.start == b.start && a.end == b.end && a.name_offset == b.name_offset &&
         a.name_length == b.name_length && a.kind == b.kind;
}
bool operator==(const TextRange& a, const TextRange& b) {
  return a.start == b.start && a.end == b.end;
}

}  // namespace vx

using namespace vx;

namespace {

const char* kind_name(TagKind kind) {
  switch (kind) {
    case TagKind::Open: return "Open";
    case TagKind::Close: return "Close";
    case TagKind::SelfClosing: return "SelfClosing";
    case TagKind::Comment: return "Comment";
    case TagKind::CData: return "CData";
    case TagKind::ProcessingInstruction: return "PI";
  }
  return "?";
}

const char* builder_name(IndexBuilder builder) {
  return builder == IndexBuilder::Scalar ? "Scalar" : "QuoteAware";
}

// A build in comparable form. On failure `tags` and `texts` hold what a cursor delivered before
// the failing piece (a whole build delivers nothing).
struct Outcome {
  bool failed = false;
  uint64_t error_offset = 0;
  std::vector<IndexedTag> tags;
  std::vector<TextRange> texts;

  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  if (o.failed) os << "error at " << o.error_offset << "; ";
  os << o.tags.size() << " tags:";
  for (size_t i = 0; i < o.tags.size() && i < 40; ++i) {
    const IndexedTag& t = o.tags[i];
    os << " " << kind_name(t.kind) << "[" << t.start << "," << t.end << " name " << t.name_offset
       << "+" << t.name_length << "]";
  }
  os << "; " << o.texts.size() << " texts:";
  for (size_t i = 0; i < o.texts.size() && i < 40; ++i)
    os << " [" << o.texts[i].start << "," << o.texts[i].end << ")";
  return os;
}

Outcome outcome_of(Result<StructuralIndex, IndexBuildError> result, std::string_view input) {
  Outcome o;
  if (!result.ok()) {
    o.failed = true;
    o.error_offset = result.error().offset;
    return o;
  }
  StructuralIndex& index = result.value();
  EXPECT_EQ(index.input.data(), input.data());
  EXPECT_EQ(index.input.size(), input.size());
  o.tags = index.tags;
  o.texts = index.text_ranges;
  return o;
}

Outcome build(std::string_view input, IndexBuilder builder) {
  return outcome_of(build_index(input, builder), input);
}

Outcome build_quote_aware_with(std::string_view input, index_detail::ClassifyBlocks classify) {
  StructuralIndex index;
  index.input = input;
  index_detail::BuildState st{input};
  Status<IndexBuildError> status = index_detail::fill_quote_aware(st, index, SIZE_MAX, classify);
  if (!status.ok()) return Outcome{true, status.error().offset, {}, {}};
  return Outcome{false, 0, index.tags, index.text_ranges};
}

// Concatenates the pieces of a cursor; checks the piece contract on the way.
Outcome build_in_pieces(std::string_view input, IndexBuilder builder, size_t max_tags) {
  IndexCursor cursor(input, builder);
  EXPECT_EQ(cursor.builder(), builder);
  Outcome o;
  StructuralIndex piece;
  for (size_t calls = 0; !cursor.done(); ++calls) {
    if (calls > input.size() + 2) {
      ADD_FAILURE() << "cursor does not finish";
      break;
    }
    Status<IndexBuildError> status = cursor.next(piece, max_tags);
    EXPECT_EQ(piece.input.data(), input.data());
    if (!status.ok()) {
      EXPECT_TRUE(cursor.done());
      EXPECT_TRUE(piece.tags.empty());
      EXPECT_TRUE(piece.text_ranges.empty());
      o.failed = true;
      o.error_offset = status.error().offset;
      break;
    }
    EXPECT_LE(piece.tags.size(), max_tags);
    if (!cursor.done()) {
      EXPECT_EQ(piece.tags.size(), max_tags) << "a piece ended early";
    }
    o.tags.insert(o.tags.end(), piece.tags.begin(), piece.tags.end());
    o.texts.insert(o.texts.end(), piece.text_ranges.begin(), piece.text_ranges.end());
  }
  // A finished cursor hands out empty pieces.
  EXPECT_TRUE(cursor.next(piece, max_tags).ok());
  EXPECT_TRUE(piece.tags.empty());
  EXPECT_TRUE(piece.text_ranges.empty());
  return o;
}

// The whole-build view of a cursor outcome: a failed build delivers nothing.
Outcome as_whole(Outcome o) {
  if (o.failed) {
    o.tags.clear();
    o.texts.clear();
  }
  return o;
}

std::vector<std::pair<const char*, index_detail::ClassifyBlocks>> classifiers() {
  std::vector<std::pair<const char*, index_detail::ClassifyBlocks>> all = {
      {"portable", index_detail::classify_portable}};
#if defined(__x86_64__)
  all.push_back({"sse2", index_detail::classify_sse2});
  if (index_detail::cpu_has_avx2()) all.push_back({"avx2", index_detail::classify_avx2});
#endif
  return all;
}

// Every way of building the index must give this one outcome.
void expect_all_agree(std::string_view input) {
  const Outcome scalar = build(input, IndexBuilder::Scalar);
  ASSERT_EQ(build(input, IndexBuilder::QuoteAware), scalar) << "input: " << input;
  for (auto [name, classify] : classifiers())
    ASSERT_EQ(build_quote_aware_with(input, classify), scalar) << name << " input: " << input;
  for (size_t max_tags : {1, 2, 3, 7}) {
    Outcome pieces = build_in_pieces(input, IndexBuilder::Scalar, max_tags);
    ASSERT_EQ(as_whole(pieces), scalar) << "max_tags " << max_tags << " input: " << input;
    ASSERT_EQ(build_in_pieces(input, IndexBuilder::QuoteAware, max_tags), pieces)
        << "max_tags " << max_tags << " input: " << input;
  }
}

struct ExpectedTag {
  TagKind kind;
  uint64_t start;
  uint64_t end;
  std::string name;
};

void expect_index(const Outcome& o, std::string_view input, const std::vector<ExpectedTag>& tags,
                  const std::vector<TextRange>& texts) {
  ASSERT_FALSE(o.failed) << "failed at " << o.error_offset;
  ASSERT_EQ(o.tags.size(), tags.size()) << o;
  for (size_t i = 0; i < tags.size(); ++i) {
    SCOPED_TRACE("tag " + std::to_string(i));
    const IndexedTag& got = o.tags[i];
    EXPECT_EQ(got.kind, tags[i].kind) << kind_name(got.kind);
    EXPECT_EQ(got.start, tags[i].start);
    EXPECT_EQ(got.end, tags[i].end);
    EXPECT_EQ(input.substr(got.name_offset, got.name_length), tags[i].name);
    if (got.kind == TagKind::Comment || got.kind == TagKind::CData) {
      EXPECT_EQ(got.name_offset, 0u);
      EXPECT_EQ(got.name_length, 0u);
    }
  }
  EXPECT_EQ(o.texts, texts) << o;
}

// ---------------------------------------------------------------------------------------------
// Exact indexes, for both builders.

struct IndexCase {
  const char* label;
  std::string input;
  std::vector<ExpectedTag> tags;
  std::vector<TextRange> texts;
};

using K = TagKind;

const std::vector<IndexCase>& index_cases() {
  static const std::vector<IndexCase> cases = {
      {"Empty", "", {}, {}},
      {"NoMarkup", "just text, it's \"quoted\" > here", {}, {}},
      {"OpenTextClose", "<a>x</a>", {{K::Open, 0, 2, "a"}, {K::Close, 4, 7, "a"}}, {{3, 4}}},
      {"EmptyElement", "<a/>", {{K::SelfClosing, 0, 3, "a"}}, {}},
      {"Declaration",
       "<?xml version=\"1.0\"?><r/>",
       {{K::ProcessingInstruction, 0, 20, "xml"}, {K::SelfClosing, 21, 24, "r"}},
       {}},
      {"Doctype", "<!DOCTYPE r><r/>", {{K::SelfClosing, 12, 15, "r"}}, {}},
      {"DoctypeTextAround", " <!DOCTYPE r> <r/>", {{K::SelfClosing, 14, 17, "r"}}, {{0, 1}, {13, 14}}},
      {"CommentHidesMarkup",
       "<r><!-- <b> --></r>",
       {{K::Open, 0, 2, "r"}, {K::Comment, 3, 14, ""}, {K::Close, 15, 18, "r"}},
       {}},
      {"CDataContent",
       "<r><![CDATA[a<b]]></r>",
       {{K::Open, 0, 2, "r"}, {K::CData, 3, 17, ""}, {K::Close, 18, 21, "r"}},
       {{12, 15}}},
      {"EmptyCData", "<![CDATA[]]>", {{K::CData, 0, 11, ""}}, {}},
      {"QuotedGt", "<a x=\">\">", {{K::Open, 0, 8, "a"}}, {}},
      {"QuotedSlashGt", "<a x='/>'/>", {{K::SelfClosing, 0, 10, "a"}}, {}},
      {"QuotedLt", "<a x='<b>'>", {{K::Open, 0, 10, "a"}}, {}},
      {"OtherQuoteInsideValue",
       "<a x=\"it's\" y='say \"hi\"'>",
       {{K::Open, 0, 24, "a"}},
       {}},
      {"WhitespaceBetweenTags",
       "<a> <b/>\n</a>\n",
       {{K::Open, 0, 2, "a"}, {K::SelfClosing, 4, 7, "b"}, {K::Close, 9, 12, "a"}},
       {{3, 4}, {8, 9}}},
      {"ApostropheInText",
       "<r a=\"1\" b=\"2\" c=\"3\" d=\"4\" e=\"5\" f=\"6\">it's</r>",
       {{K::Open, 0, 38, "r"}, {K::Close, 43, 46, "r"}},
       {{39, 43}}},
      {"ApostropheInTextFewAttributes",
       "<r a=\"1\" b=\"2\" c=\"3\">it's</r>",
       {{K::Open, 0, 20, "r"}, {K::Close, 25, 28, "r"}},
       {{21, 25}}},
      {"QuotesInCommentCDataPi",
       "<r><!-- it's --><![CDATA[\"]]><?pi don't?><b/></r>",
       {{K::Open, 0, 2, "r"},
        {K::Comment, 3, 15, ""},
        {K::CData, 16, 28, ""},
        {K::ProcessingInstruction, 29, 40, "pi"},
        {K::SelfClosing, 41, 44, "b"},
        {K::Close, 45, 48, "r"}},
       {{25, 26}}},
      {"QuoteInEndTag", "<a></a '>x<b/>", {{K::Open, 0, 2, "a"}, {K::Close, 3, 8, "a"}, {K::SelfClosing, 10, 13, "b"}}, {{9, 10}}},
      // A quote with no partner is passed over.
      {"UnmatchedQuote", "<a x=\"1></a>", {{K::Open, 0, 7, "a"}, {K::Close, 8, 11, "a"}}, {}},
      // A quote's partner may lie beyond the tag that should have ended first.
      {"QuoteRunsAcrossTags", "<a x=\"1></a><b y=\"2\">", {{K::Open, 0, 20, "a"}}, {}},
      {"SlashNotBeforeGt", "<a / >", {{K::Open, 0, 5, "a"}}, {}},
      {"SlashAfterName", "<a/ >", {{K::Open, 0, 4, "a"}}, {}},
      {"SlashSpaceGt", "<a x='1' />", {{K::SelfClosing, 0, 10, "a"}}, {}},
      {"EmptyNames", "<></>", {{K::Open, 0, 1, ""}, {K::Close, 2, 4, ""}}, {}},
      {"EndTagTrailing", "<a></a x>", {{K::Open, 0, 2, "a"}, {K::Close, 3, 8, "a"}}, {}},
      {"NamesStopAtWhitespace",
       "<a\tx='1'></b\n><c\r/><d\f>",
       {{K::Open, 0, 8, "a"}, {K::Close, 9, 13, "b"}, {K::SelfClosing, 14, 18, "c"}, {K::Open, 19, 22, "d"}},
       {}},
      {"PiTargetStopsAtQuestion", "<?pi?>", {{K::ProcessingInstruction, 0, 5, "pi"}}, {}},
      {"PiEmptyTarget", "<?" "?>", {{K::ProcessingInstruction, 0, 3, ""}}, {}},
      // Unterminated constructs are recorded; their ends follow the scalar rule in both builders.
      {"UnterminatedComment", "<r><!-- x", {{K::Open, 0, 2, "r"}, {K::Comment, 3, 9, ""}}, {}},
      {"UnterminatedCData", "<![CDATA[ab", {{K::CData, 0, 11, ""}}, {{9, 11}}},
      {"CommentNeedsOwnDashes", "<!-->x", {{K::Comment, 0, 6, ""}}, {}},
      {"ShortestComment", "<!---->", {{K::Comment, 0, 6, ""}}, {}},
      {"PiTargetToEnd", "<?abc", {{K::ProcessingInstruction, 0, 5, "abc"}}, {}},
      {"PiGtOnly", "<?>", {{K::ProcessingInstruction, 0, 2, ""}}, {}},
      {"PiWithoutClose", "<?a bc", {{K::ProcessingInstruction, 0, 5, "a"}}, {}},
      {"PiOneByteLeft", "<?a ", {{K::ProcessingInstruction, 0, 3, "a"}}, {}},
      {"LoneQuestionAtEnd", "<?", {{K::ProcessingInstruction, 0, 2, ""}}, {}},
      // A declaration with no '>' ends at its own '<'; with one, it swallows what lies before it.
      {"DeclarationWithoutGt", "a<!x b", {}, {{0, 1}}},
      {"DeclarationsWithoutGt", "<!x <!y <!", {}, {{1, 4}, {5, 8}}},
      {"DeclarationSwallowsTag", "<!x <b/>c<d/>", {{K::SelfClosing, 9, 12, "d"}}, {{8, 9}}},
      {"TextAfterLastTagNotRecorded", "x<a/>tail", {{K::SelfClosing, 1, 4, "a"}}, {{0, 1}}},
      {"NonAsciiNames",
       "<\xc3\xa9t\xc3\xa9 \xc3\xa0='\xe2\x82\xac'>\xe6\x97\xa5</\xc3\xa9t\xc3\xa9>",
       {{K::Open, 0, 15, "\xc3\xa9t\xc3\xa9"}, {K::Close, 19, 26, "\xc3\xa9t\xc3\xa9"}},
       {{16, 19}}},
  };
  return cases;
}

void PrintTo(const IndexCase& c, std::ostream* os) { *os << c.label; }

class IndexCaseTest : public testing::TestWithParam<std::tuple<IndexBuilder, IndexCase>> {};

TEST_P(IndexCaseTest, GivesExactIndex) {
  const auto& [builder, c] = GetParam();
  expect_index(build(c.input, builder), c.input, c.tags, c.texts);
}

TEST_P(IndexCaseTest, CursorPiecesGiveTheSameIndex) {
  const auto& [builder, c] = GetParam();
  for (size_t max_tags : {1, 2, 3, 7}) {
    SCOPED_TRACE("max_tags " + std::to_string(max_tags));
    expect_index(build_in_pieces(c.input, builder, max_tags), c.input, c.tags, c.texts);
  }
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, IndexCaseTest,
    testing::Combine(testing::Values(IndexBuilder::Scalar, IndexBuilder::QuoteAware),
                     testing::ValuesIn(index_cases())),
    [](const auto& info) {
      return std::string(builder_name(std::get<0>(info.param))) + "_" + std::get<1>(info.param).label;
    });

// ---------------------------------------------------------------------------------------------
// The unclosed-tag failure.

struct UnclosedCase {
  const char* label;
  std::string input;
  uint64_t offset;
};

const std::vector<UnclosedCase>& unclosed_cases() {
  static const std::vector<UnclosedCase> cases = {
      {"LoneLt", "<", 0},
      {"NameToEnd", "<a", 0},
      {"EndNameToEnd", "</a", 0},
      {"EndTagWithoutGt", "</a ", 0},
      {"StartTagWithoutGt", "<a x=\"1\"", 0},
      {"SlashAtEnd", "<a/", 0},
      {"LtAsLastByte", "<r>text<", 7},
      {"EndTagOpenerAtEnd", "<r></", 3},
      {"QuotedGtOnly", "<r><a x='>'", 3},
      {"UnmatchedQuoteToEnd", "<r><a x='1", 3},
      {"QuoteHidesLaterGt", "<r><a x='1></a>'", 3},
      {"AfterComment", "<!-- c --><a", 10},
      {"LaterTagFailsWholeBuild", "<a><b/></a><c x='y'", 11},
  };
  return cases;
}

void PrintTo(const UnclosedCase& c, std::ostream* os) { *os << c.label; }

class UnclosedTest : public testing::TestWithParam<std::tuple<IndexBuilder, UnclosedCase>> {};

TEST_P(UnclosedTest, FailsAtTheLt) {
  const auto& [builder, c] = GetParam();
  auto result = build_index(c.input, builder);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().offset, c.offset);
  EXPECT_EQ(result.error().text(), "Unclosed tag at byte " + std::to_string(c.offset));
  for (size_t max_tags : {1, 2, 3, 7}) {
    Outcome pieces = build_in_pieces(c.input, builder, max_tags);
    EXPECT_TRUE(pieces.failed);
    EXPECT_EQ(pieces.error_offset, c.offset);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Errors, UnclosedTest,
    testing::Combine(testing::Values(IndexBuilder::Scalar, IndexBuilder::QuoteAware),
                     testing::ValuesIn(unclosed_cases())),
    [](const auto& info) {
      return std::string(builder_name(std::get<0>(info.param))) + "_" + std::get<1>(info.param).label;
    });

// ---------------------------------------------------------------------------------------------
// One builder at a time, over generated shapes.

class IndexBuilderTest : public testing::TestWithParam<IndexBuilder> {
 protected:
  Outcome build_it(std::string_view input) const { return build(input, GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(Builders, IndexBuilderTest,
                         testing::Values(IndexBuilder::Scalar, IndexBuilder::QuoteAware),
                         [](const auto& info) { return std::string(builder_name(info.param)); });

// Tags and quotes straddling the 64-byte block edges (and the window of blocks behind them).
TEST_P(IndexBuilderTest, TagsAndQuotesAcrossBlockEdges) {
  for (size_t pad : {0, 1, 2, 31, 55, 56, 57, 58, 59, 60, 61, 62, 63, 64, 65, 66, 119, 120, 126,
                     127, 128, 129, 191, 192, 255, 256, 257, 319, 320}) {
    for (size_t value = 0; value <= 140; ++value) {
      // '>' , '/' and the other quote inside the value must not end the tag.
      std::string v(value, 'v');
      if (value > 0) v[value / 2] = '>';
      if (value > 2) v[value / 3] = '\'';
      if (value > 3) v[value - 2] = '/';
      const std::string input = std::string(pad, 't') + "<a x=\"" + v + "\"/></b>";
      SCOPED_TRACE("pad " + std::to_string(pad) + " value " + std::to_string(value));
      const uint64_t gt = pad + 6 + value + 2;
      std::vector<ExpectedTag> tags = {{K::SelfClosing, pad, gt, "a"}, {K::Close, gt + 1, gt + 4, "b"}};
      std::vector<TextRange> texts;
      if (pad > 0) texts.push_back({0, pad});
      expect_index(build_it(input), input, tags, texts);
      if (HasFatalFailure()) return;
    }
  }
}

// A quote whose partner lies one or more blocks further on; scanning resumes just after the
// partner, where the next value hides a '>'.
TEST_P(IndexBuilderTest, QuotePartnerManyBlocksAhead) {
  for (size_t gap : {0, 50, 57, 58, 59, 60, 63, 64, 65, 200, 255, 256, 257, 1000, 5000}) {
    for (size_t pad : {0, 62, 63, 64}) {
      const std::string input = std::string(pad, ' ') + "<a x='" + std::string(gap, '<') + "' y='>'>" +
                                std::string(gap, '>') + "<b/>";
      SCOPED_TRACE("gap " + std::to_string(gap) + " pad " + std::to_string(pad));
      const uint64_t open_end = pad + 13 + gap;
      std::vector<TextRange> texts;
      if (pad > 0) texts.push_back({0, pad});
      if (gap > 0) texts.push_back({open_end + 1, open_end + 1 + gap});
      const uint64_t b = open_end + 1 + gap;
      expect_index(build_it(input), input, {{K::Open, pad, open_end, "a"}, {K::SelfClosing, b, b + 3, "b"}},
                   texts);
      if (HasFatalFailure()) return;
    }
  }
}

// Character data of every length up to a few windows of blocks, so the next '<' falls on every
// offset of a block, on block and window edges and past them.
TEST_P(IndexBuilderTest, CharacterDataOfEveryLength) {
  for (size_t pad : {0, 1, 61}) {
    for (size_t len = 0; len <= 1200; ++len) {
      const std::string input = std::string(pad, ' ') + "<a>" + std::string(len, 'x') + "</a>";
      SCOPED_TRACE("pad " + std::to_string(pad) + " length " + std::to_string(len));
      const uint64_t text = pad + 3;
      std::vector<TextRange> texts;
      if (pad > 0) texts.push_back({0, pad});
      if (len > 0) texts.push_back({text, text + len});
      expect_index(build_it(input), input, {{K::Open, pad, pad + 2, "a"}, {K::Close, text + len, text + len + 3, "a"}},
                   texts);
      if (HasFatalFailure()) return;
    }
  }
}

// The last quote of the input has no partner wherever it lies; the scan must come back after it.
TEST_P(IndexBuilderTest, UnpairedQuoteAtEveryDistanceFromTheEnd) {
  for (size_t tail = 0; tail <= 200; ++tail) {
    const std::string input = "<a \"x>" + std::string(tail, '.') + "<b/>";
    SCOPED_TRACE("tail " + std::to_string(tail));
    std::vector<TextRange> texts;
    if (tail > 0) texts.push_back({6, 6 + tail});
    expect_index(build_it(input), input, {{K::Open, 0, 5, "a"}, {K::SelfClosing, 6 + tail, 9 + tail, "b"}},
                 texts);
    if (HasFatalFailure()) return;
  }
}

// Every prefix of a sample document, each in a buffer of exactly its size, so that a sanitised
// build catches any read past the input.
TEST_P(IndexBuilderTest, EveryPrefixOfASampleDocument) {
  const std::string doc =
      "<?xml version='1.0'?>\n<!DOCTYPE r>\n<r a=\"1\" b='it\"s'>\n  <!-- it's -->\n"
      "  <c><![CDATA[<x>]]></c>\n  <d e=\"&quot;\" f='/>'/>\n  text's &amp; more\n"
      "  <?pi data?>\n</r>\n";
  for (size_t len = 0; len <= doc.size(); ++len) {
    auto buffer = std::make_unique<char[]>(len == 0 ? 1 : len);
    std::memcpy(buffer.get(), doc.data(), len);
    const std::string_view input(buffer.get(), len);
    SCOPED_TRACE("prefix " + std::to_string(len));
    const Outcome o = build_it(input);
    EXPECT_EQ(o, build(input, GetParam() == IndexBuilder::Scalar ? IndexBuilder::QuoteAware
                                                                 : IndexBuilder::Scalar));
    for (const IndexedTag& t : o.tags) {
      EXPECT_LE(t.end, len);
      EXPECT_LE(t.name_offset + t.name_length, len);
    }
    for (const TextRange& t : o.texts) EXPECT_LE(t.end, len);
  }
}

// Names are kept in full, however long.
TEST_P(IndexBuilderTest, NamesLongerThan65535Bytes) {
  for (size_t len : {65535, 65536, 70000}) {
    const std::string name(len, 'n');
    const std::string input = "<" + name + " k='v'>x</" + name + "><" + name + "/><?" + name + "?>";
    const uint64_t open_end = len + 7;
    const uint64_t close_start = open_end + 2;
    const uint64_t empty_start = close_start + len + 3;
    const uint64_t pi_start = empty_start + len + 3;
    expect_index(build_it(input), input,
                 {{K::Open, 0, open_end, name},
                  {K::Close, close_start, close_start + len + 2, name},
                  {K::SelfClosing, empty_start, empty_start + len + 2, name},
                  {K::ProcessingInstruction, pi_start, pi_start + len + 3, name}},
                 {{open_end + 1, close_start}});
    auto result = build_index(input, GetParam());
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value().tag_name(0).size(), len);
  }
}

// Which bytes end each kind of name, over all 256 byte values.
TEST_P(IndexBuilderTest, NameEndingBytes) {
  auto in = [](unsigned char c, std::string_view set) { return c != 0 && set.find(static_cast<char>(c)) != set.npos; };
  const std::string space("\t\n\f\r ", 5);
  for (unsigned b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    SCOPED_TRACE("byte " + std::to_string(b));
    const std::string start = std::string("<a") + c + "x/>";
    Outcome o = build_it(start);
    ASSERT_FALSE(o.failed);
    ASSERT_FALSE(o.tags.empty());
    const bool start_stops = in(static_cast<unsigned char>(b), space + "/>");
    EXPECT_EQ(o.tags[0].name_length, start_stops ? 1u : 3u);

    const std::string end = std::string("</a") + c + "x>";
    o = build_it(end);
    ASSERT_FALSE(o.failed);
    const bool end_stops = in(static_cast<unsigned char>(b), space + ">");
    EXPECT_EQ(o.tags[0].name_length, end_stops ? 1u : 3u);

    const std::string pi = std::string("<?a") + c + "x?>";
    o = build_it(pi);
    ASSERT_FALSE(o.failed);
    const bool target_stops = in(static_cast<unsigned char>(b), space + ">?");
    EXPECT_EQ(o.tags[0].name_length, target_stops ? 1u : 3u);
  }
}

// The same at every place in names long enough for a block scan, with the input going on after
// the tag.
TEST_P(IndexBuilderTest, NameEndingBytesAtEveryPlace) {
  auto in = [](unsigned char c, std::string_view set) { return c != 0 && set.find(static_cast<char>(c)) != set.npos; };
  const std::string space("\t\n\f\r ", 5);
  const std::string after(40, 'z');
  for (size_t at = 1; at < 24; ++at) {
    for (unsigned b = 0; b < 256; ++b) {
      const char c = static_cast<char>(b);
      if (c == '<' || c == '"' || c == '\'') continue;  // would end or open something else
      SCOPED_TRACE("byte " + std::to_string(b) + " at " + std::to_string(at));
      const std::string name = std::string(at, 'a') + c + std::string(24 - at, 'x');
      Outcome o = build_it("<" + name + "/>" + after);
      ASSERT_FALSE(o.failed);
      ASSERT_FALSE(o.tags.empty());
      EXPECT_EQ(o.tags[0].name_length, in(static_cast<unsigned char>(b), space + "/>") ? at : name.size());
      o = build_it("</" + name + ">" + after);
      ASSERT_FALSE(o.failed);
      ASSERT_FALSE(o.tags.empty());
      EXPECT_EQ(o.tags[0].name_length, in(static_cast<unsigned char>(b), space + ">") ? at : name.size());
    }
  }
}

// A long run of declarations that never end (each used to search to the end of the input).
TEST_P(IndexBuilderTest, ManyDeclarationsWithoutGt) {
  std::string input;
  for (int i = 0; i < 20000; ++i) input += "<!x ";
  const Outcome o = build_it(input);
  ASSERT_FALSE(o.failed);
  EXPECT_TRUE(o.tags.empty());
  ASSERT_EQ(o.texts.size(), 19999u);
  EXPECT_EQ(o.texts.front(), (TextRange{1, 4}));
  EXPECT_EQ(o.texts.back(), (TextRange{input.size() - 7, input.size() - 4}));
}

// The text before a declaration that no tag follows comes in a last piece of its own; a piece
// of no tags is taken as one of a single tag, so the cursor always moves on.
TEST_P(IndexBuilderTest, CursorPieceEdges) {
  const std::string input = "<a/> x <!DOCTYPE r>";
  IndexCursor cursor(input, GetParam());
  StructuralIndex piece;
  ASSERT_TRUE(cursor.next(piece, 0).ok());
  ASSERT_EQ(piece.tag_count(), 1u);
  EXPECT_EQ(piece.tag_name(0), "a");
  EXPECT_TRUE(piece.text_ranges.empty());
  EXPECT_FALSE(cursor.done());
  ASSERT_TRUE(cursor.next(piece, 1).ok());
  EXPECT_EQ(piece.tag_count(), 0u);
  EXPECT_EQ(piece.text_ranges, (std::vector<TextRange>{{4, 7}}));
  EXPECT_TRUE(cursor.done());
}

// ---------------------------------------------------------------------------------------------
// Choosing a builder.

struct ChooserCase {
  const char* label;
  std::string input;
  IndexBuilder expected;
};

std::string quotes(size_t n) { return std::string(n, '"'); }

const std::vector<ChooserCase>& chooser_cases() {
  static const std::vector<ChooserCase> cases = {
      {"Empty", "", IndexBuilder::Scalar},
      {"SixAttributes", "<r a=\"1\" b=\"2\" c=\"3\" d=\"4\" e=\"5\" f=\"6\">it's</r>", IndexBuilder::QuoteAware},
      {"ThreeAttributes", "<r a=\"1\" b=\"2\" c=\"3\">it's</r>", IndexBuilder::Scalar},
      {"RatioExactlyFive", "<a" + quotes(10) + "<", IndexBuilder::Scalar},
      {"RatioJustAboveFive", "<a" + quotes(11) + "<", IndexBuilder::QuoteAware},
      {"NoLtSixQuotes", quotes(6), IndexBuilder::QuoteAware},
      {"NoLtFiveQuotes", quotes(5), IndexBuilder::Scalar},
      {"ApostrophesNotCounted", "<r a='1' b='2' c='3' d='4' e='5' f='6'/>", IndexBuilder::Scalar},
      // Only the first 4096 bytes are sampled.
      {"QuotesPastWindow", "<" + std::string(4094, ' ') + quotes(1) + quotes(100), IndexBuilder::Scalar},
      {"LastQuoteInsideWindow", "<" + std::string(4089, ' ') + quotes(6) + "<<<", IndexBuilder::QuoteAware},
      {"LtPastWindowNotCounted", "<" + std::string(4089, ' ') + quotes(6) + "<<<<<<", IndexBuilder::QuoteAware},
      {"LtInsideWindowCounted", "<<" + std::string(4088, ' ') + quotes(6), IndexBuilder::Scalar},
  };
  return cases;
}

void PrintTo(const ChooserCase& c, std::ostream* os) { *os << c.label; }

class ChooserTest : public testing::TestWithParam<ChooserCase> {};

TEST_P(ChooserTest, PicksBuilder) {
  const ChooserCase& c = GetParam();
  EXPECT_EQ(choose_builder(c.input), c.expected);
  EXPECT_EQ(IndexCursor(c.input).builder(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Sample, ChooserTest, testing::ValuesIn(chooser_cases()),
                         [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------------------------
// The block classifiers.

TEST(BlockClassifier, EveryVariantMarksExactlyItsBytes) {
  std::mt19937 rng(20240611);
  std::vector<unsigned char> data(64 * 16);
  for (int round = 0; round < 200; ++round) {
    for (auto& b : data) {
      // Mostly the interesting bytes, and every other value now and then.
      const unsigned r = rng() % 8;
      b = r < 4 ? "<>\"'"[r] : static_cast<unsigned char>(rng());
    }
    for (auto [name, classify] : classifiers()) {
      std::vector<index_detail::BlockMasks> masks(16);
      classify(data.data(), 16, masks.data());
      for (size_t block = 0; block < 16; ++block) {
        index_detail::BlockMasks want{0, 0, 0, 0};
        for (unsigned i = 0; i < 64; ++i) {
          const unsigned char c = data[block * 64 + i];
          want.lt |= uint64_t{c == '<'} << i;
          want.gt |= uint64_t{c == '>'} << i;
          want.dq |= uint64_t{c == '"'} << i;
          want.sq |= uint64_t{c == '\''} << i;
        }
        const index_detail::BlockMasks& got = masks[block];
        ASSERT_EQ(got.lt, want.lt) << name << "\n" << index_detail::format_mask(got.lt) << "\n"
                                   << index_detail::format_mask(want.lt);
        ASSERT_EQ(got.gt, want.gt) << name;
        ASSERT_EQ(got.dq, want.dq) << name;
        ASSERT_EQ(got.sq, want.sq) << name;
      }
    }
  }
}

TEST(BlockClassifier, FormatMaskShowsByteZeroFirst) {
  EXPECT_EQ(index_detail::format_mask(0b101), "X.X" + std::string(61, '.'));
  EXPECT_EQ(index_detail::format_mask(uint64_t{1} << 63), std::string(63, '.') + "X");
}

// ---------------------------------------------------------------------------------------------
// Differential: the builders against each other, and against documents whose index is recorded
// while they are written.

// Writes a random document that follows the rules the index knows, and the index it must have.
class DocumentWriter {
 public:
  explicit DocumentWriter(uint32_t seed) : rng_(seed) {}

  struct Document {
    std::string text;
    std::vector<IndexedTag> tags;
    std::vector<TextRange> texts;
  };

  Document write() {
    doc_ = Document{};
    last_end_ = 0;
    if (chance(3)) pi("xml", " version=\"1.0\"");
    if (chance(3)) declaration();
    misc();
    element(0);
    misc();
    if (chance(2)) doc_.text += text_run();  // not recorded: nothing follows
    return std::move(doc_);
  }

 private:
  bool chance(unsigned one_in) { return rng_() % one_in == 0; }
  size_t below(size_t n) { return rng_() % n; }

  std::string pick(const std::vector<std::string>& options) { return options[below(options.size())]; }

  std::string name() {
    static const std::vector<std::string> names = {"a", "b", "item", "p:q", "x-y.z", "_n1", "\xc3\xa9t\xc3\xa9",
                                                   "\xe6\x97\xa5"};
    if (chance(40)) return std::string(60 + below(200), 'L');
    return pick(names);
  }

  std::string space() {
    static const std::vector<std::string> spaces = {" ", "  ", "\n", "\t", "\r\n", " \f"};
    return pick(spaces);
  }

  std::string chars(std::string_view alphabet, size_t max_len) {
    size_t len = below(max_len + 1);
    if (chance(20)) len += 64 + below(200);
    std::string s;
    for (size_t i = 0; i < len; ++i) s += alphabet[below(alphabet.size())];
    return s;
  }

  std::string text_run() {
    // No '<': it would be markup. Quotes, '>' and the closers of other constructs are plain text.
    static const std::vector<std::string> pieces = {"word", " ", "it's", "\"q\"", ">", "/", "=", "&amp;", "]]>",
                                                    "-->", "?>", "\n", "\xe2\x82\xac", "'", "\""};
    std::string s;
    size_t count = below(6);
    if (chance(15)) count += 40;
    for (size_t i = 0; i < count; ++i) s += pick(pieces);
    return s;
  }

  void record(TagKind kind, uint64_t start, uint64_t end, uint64_t name_offset, uint64_t name_length) {
    if (last_end_ < start) doc_.texts.push_back({last_end_, start});
    doc_.tags.push_back({start, end, name_offset, name_length, kind});
    last_end_ = end + 1;
  }

  void text() { doc_.text += text_run(); }

  // The bodies are redrawn until the construct's own closer is the first one after its opener.
  void comment() {
    std::string body = chars("ab <>'\"-!/?", 20);
    while ((body + "-->").find("-->") != body.size()) body = chars("ab <>'\"-!/?", 20);
    const uint64_t start = doc_.text.size();
    doc_.text += "<!--" + body + "-->";
    record(TagKind::Comment, start, doc_.text.size() - 1, 0, 0);
  }

  void cdata() {
    std::string body = chars("ab <>'\"]&", 20);
    while ((body + "]]>").find("]]>") != body.size()) body = chars("ab <>'\"]&", 20);
    const uint64_t start = doc_.text.size();
    doc_.text += "<![CDATA[" + body + "]]>";
    if (last_end_ < start) doc_.texts.push_back({last_end_, start});
    if (!body.empty()) doc_.texts.push_back({start + 9, start + 9 + body.size()});
    doc_.tags.push_back({start, doc_.text.size() - 1, 0, 0, TagKind::CData});
    last_end_ = doc_.text.size();
  }

  void pi(const std::string& target, const std::string& data) {
    const uint64_t start = doc_.text.size();
    doc_.text += "<?" + target + data + "?>";
    record(TagKind::ProcessingInstruction, start, doc_.text.size() - 1, start + 2, target.size());
  }

  void random_pi() {
    std::string data;
    if (chance(2)) {
      data = space() + chars("ab <>'\"?", 15);
      while ((data + "?>").find("?>") != data.size()) data = space() + chars("ab <>'\"?", 15);
    }
    pi(pick({"pi", "xml-stylesheet", "t"}), data);
  }

  void declaration() {
    const uint64_t start = doc_.text.size();
    doc_.text += "<!DOCTYPE" + space() + chars("ab '\"[]<", 20) + ">";
    if (last_end_ < start) doc_.texts.push_back({last_end_, start});
    last_end_ = doc_.text.size();
  }

  void misc() {
    for (size_t i = below(3); i > 0; --i) {
      switch (below(4)) {
        case 0: doc_.text += space(); break;
        case 1: comment(); break;
        case 2: random_pi(); break;
        default: declaration(); break;
      }
    }
  }

  std::string attributes() {
    std::string s;
    for (size_t i = below(8); i > 0; --i) {
      s += space() + pick({"k", "id", "x:y", "data-v"}) + (chance(4) ? " = " : "=");
      if (chance(2)) {
        s += "\"" + chars("ab <>/='&;", 12) + "'" + chars("ab/>", 3) + "\"";
      } else {
        s += "'" + chars("ab <>/=\"&;", 12) + "\"" + chars("ab/>", 3) + "'";
      }
    }
    if (chance(3)) s += space();
    return s;
  }

  void element(int depth) {
    const std::string n = name();
    const uint64_t start = doc_.text.size();
    doc_.text += "<" + n + attributes();
    if (chance(4)) {
      doc_.text += "/>";
      record(TagKind::SelfClosing, start, doc_.text.size() - 1, start + 1, n.size());
      return;
    }
    doc_.text += ">";
    record(TagKind::Open, start, doc_.text.size() - 1, start + 1, n.size());
    for (size_t i = below(6); i > 0; --i) {
      switch (below(7)) {
        case 0:
        case 1:
          if (depth < 6) element(depth + 1);
          break;
        case 2: comment(); break;
        case 3: cdata(); break;
        case 4: random_pi(); break;
        default: text(); break;
      }
    }
    const uint64_t end_start = doc_.text.size();
    doc_.text += "</" + n + (chance(4) ? space() : "") + ">";
    record(TagKind::Close, end_start, doc_.text.size() - 1, end_start + 2, n.size());
  }

  std::mt19937 rng_;
  Document doc_;
  uint64_t last_end_ = 0;
};

TEST(Differential, WrittenDocumentsHaveTheirRecordedIndex) {
  DocumentWriter writer(7);
  for (int i = 0; i < 3000; ++i) {
    const DocumentWriter::Document doc = writer.write();
    SCOPED_TRACE("document " + std::to_string(i) + ": " + doc.text);
    const Outcome want{false, 0, doc.tags, doc.texts};
    ASSERT_EQ(build(doc.text, IndexBuilder::Scalar), want);
    expect_all_agree(doc.text);
    if (HasFatalFailure()) return;
  }
}

TEST(Differential, RandomBytesFromAnXmlAlphabet) {
  static const std::vector<std::string> atoms = {
      "<", ">", "/", "!", "?", "-", "[", "]", "\"", "'", "=", " ", "\n", "a", "b", "<!--", "-->",
      "<![CDATA[", "]]>", "<?", "?>", "<!D", "</", "/>", "x='", "y=\"", std::string(1, '\0'), "\xff"};
  std::mt19937 rng(11);
  for (int i = 0; i < 30000; ++i) {
    std::string input;
    size_t count = rng() % 40;
    if (i % 50 == 0) count += 300;
    for (size_t j = 0; j < count; ++j) input += atoms[rng() % atoms.size()];
    SCOPED_TRACE("input " + std::to_string(i));
    expect_all_agree(input);
    if (HasFatalFailure()) return;
  }
}

// Quote shapes that the block-at-a-time resolution handles on separate paths.
TEST(Differential, TrickyQuoteShapes) {
  const std::string long_value(600, 'v');
  const std::vector<std::string> inputs = {
      "<a \"",
      "<a '''>",
      "<a '\"'\"'>",
      "<a x='1\" y=\"2'>",
      "<a x='1' \"y>\"'>",
      "<a x=\"1\" y='2\"' z=\"3'>\"/>",
      "<!-- <a x='> -->'<b/>",
      "<![CDATA[ ' ]]><a b='>'/>",
      "<?pi ' ?><a/>",
      "<a b=\"" + long_value + "\"/>",
      "<a b='" + long_value + "\"" + long_value + "'/>",
      "<a b=\"" + long_value + ">",
      "<a " + std::string(130, '\'') + ">",
      "<a " + std::string(131, '"') + "><b/>",
  };
  for (const std::string& input : inputs) {
    SCOPED_TRACE(input.substr(0, 80));
    expect_all_agree(input);
  }
}

}  // namespace

// The search that ends comments, CDATA sections and processing instructions, against the
// standard one: every needle, at every starting offset, over inputs dense in near misses.
TEST(FindSeq, AgreesWithTheStandardSearch) {
  static const char kAlphabet[] = {'-', '-', '>', ']', ']', '?', 'a'};
  std::mt19937 rng(5);
  for (int i = 0; i < 4000; ++i) {
    std::string input(rng() % 24, ' ');
    for (char& c : input) c = kAlphabet[rng() % sizeof(kAlphabet)];
    for (std::string_view needle : {"-->", "]]>", "?>"}) {
      for (uint64_t from = 0; from <= input.size() + 1; ++from) {
        const size_t want = from > input.size() ? std::string_view::npos
                                                : std::string_view(input).find(needle, from);
        const uint64_t got = index_detail::find_seq(input, from, needle);
        ASSERT_EQ(got, want == std::string_view::npos ? index_detail::kNotFound : want)
            << "'" << input << "' from " << from << " for " << needle;
      }
    }
  }
}
