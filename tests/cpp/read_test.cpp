// The reader's core: reference decoding, start tags, the tree builder and its source counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "index/structural_index.hpp"
#include "read/read_context.hpp"
#include "read/references.hpp"
#include "read/start_tag.hpp"
#include "read/tree_builder.hpp"
#include "read/unicode.hpp"

#include "test_support.hpp"

using namespace vx;

namespace {

using testing_support::owned_source;

// ---------------------------------------------------------------------------------------------
// decode_text

struct DecodeCase {
  const char* input;
  DecodeMode mode;
  const char* expected;  // null: unchanged
};

class Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decode, ReplacesReferencesOrKeepsTheRange) {
  const DecodeCase& c = GetParam();
  Result<Decoded, ReadError> r = decode_text(c.input, 100, c.mode);
  ASSERT_TRUE(r.ok()) << r.error().text();
  if (!c.expected) {
    EXPECT_TRUE(r.value().unchanged);
    EXPECT_FALSE(r.value().owned.present());
  } else {
    ASSERT_FALSE(r.value().unchanged);
    EXPECT_EQ(r.value().owned.view(), c.expected);
  }
}

constexpr auto T = DecodeMode::Text;
constexpr auto A = DecodeMode::Attribute;

INSTANTIATE_TEST_SUITE_P(
    Table, Decode,
    ::testing::Values(DecodeCase{"x", T, nullptr}, DecodeCase{"", T, nullptr},
                      DecodeCase{"a\tb\r\nc", T, nullptr}, DecodeCase{"a b", A, nullptr},
                      DecodeCase{"a &amp; b", T, "a & b"}, DecodeCase{"&lt;&gt;&quot;&apos;", T, "<>\"'"},
                      DecodeCase{"&#65;&#x41;&#x041;&#+65;&#x+41;", T, "AAAAA"},
                      DecodeCase{"&#x7F;&#x80;&#x7FF;&#x800;&#xFFFF;&#x10000;&#x10FFFF;", T,
                                 "\x7F\u0080\u07FF\u0800\uFFFF\U00010000\U0010FFFF"},
                      DecodeCase{"&#xD7FF;&#xE000;", T, "\uD7FF\uE000"},
                      DecodeCase{"1\r\n2", A, "1 2"}, DecodeCase{"1\n\t2\r", A, "1  2 "},
                      DecodeCase{"1\r\r\n2", A, "1  2"}, DecodeCase{"1&#10;2", A, "1\n2"},
                      DecodeCase{"&#13;&#10;", A, "\r\n"}, DecodeCase{"x&amp;", A, "x&"},
                      DecodeCase{"\xC5\xBC&amp;\xC5\xBC", T, "\xC5\xBC&\xC5\xBC"}));

struct DecodeErrorCase {
  const char* input;
  const char* text;  // with base 100
};

class DecodeError : public ::testing::TestWithParam<DecodeErrorCase> {};

TEST_P(DecodeError, ReportsTheFirstBadReference) {
  const DecodeErrorCase& c = GetParam();
  for (DecodeMode mode : {T, A}) {
    Result<Decoded, ReadError> r = decode_text(c.input, 100, mode);
    ASSERT_FALSE(r.ok()) << c.input;
    EXPECT_EQ(r.error().text(), c.text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DecodeError,
    ::testing::Values(
        DecodeErrorCase{"AT&T", "malformed XML at byte 102: unterminated entity reference"},
        DecodeErrorCase{"AT&T; x", "unknown entity reference '&T;' at byte 102"},
        DecodeErrorCase{"&;", "unknown entity reference '&;' at byte 100"},
        DecodeErrorCase{"&AMP;", "unknown entity reference '&AMP;' at byte 100"},
        DecodeErrorCase{"ok &lt; &bad; &#0;", "unknown entity reference '&bad;' at byte 108"},
        DecodeErrorCase{"&#X41;", "malformed XML at byte 100: invalid character reference '&#X41;'"},
        DecodeErrorCase{"&#-65;", "malformed XML at byte 100: invalid character reference '&#-65;'"},
        DecodeErrorCase{"&#;", "malformed XML at byte 100: invalid character reference '&#;'"},
        DecodeErrorCase{"&#x;", "malformed XML at byte 100: invalid character reference '&#x;'"},
        DecodeErrorCase{"&#0;", "malformed XML at byte 100: invalid character reference '&#0;'"},
        DecodeErrorCase{"&#x0;", "malformed XML at byte 100: invalid character reference '&#x0;'"},
        DecodeErrorCase{"&#xD800;", "malformed XML at byte 100: invalid character reference '&#xD800;'"},
        DecodeErrorCase{"&#x110000;",
                        "malformed XML at byte 100: invalid character reference '&#x110000;'"},
        DecodeErrorCase{"&#4294967297;",
                        "malformed XML at byte 100: invalid character reference '&#4294967297;'"},
        DecodeErrorCase{"&#x+;", "malformed XML at byte 100: invalid character reference '&#x+;'"},
        DecodeErrorCase{"&#xDFFF;", "malformed XML at byte 100: invalid character reference '&#xDFFF;'"},
        DecodeErrorCase{"&#1114112;", "malformed XML at byte 100: invalid character reference '&#1114112;'"},
        DecodeErrorCase{"&#0000000;", "malformed XML at byte 100: invalid character reference '&#0000000;'"},
        DecodeErrorCase{"&#12a;", "malformed XML at byte 100: invalid character reference '&#12a;'"},
        DecodeErrorCase{"&#65", "malformed XML at byte 100: unterminated entity reference"},
        DecodeErrorCase{"&lt", "malformed XML at byte 100: unterminated entity reference"},
        DecodeErrorCase{"&lt ;", "unknown entity reference '&lt ;' at byte 100"},
        DecodeErrorCase{"&ampx;", "unknown entity reference '&ampx;' at byte 100"}));

// Runs long enough for the 16-byte blocks, with the byte needing attention at every position of
// the first, second and a cut-off last block, and a second one near the end.
struct LongCase {
  const char* special;
  const char* text;  // what it becomes in text
  const char* attr;  // what it becomes in an attribute value
};

class DecodeLong : public ::testing::TestWithParam<LongCase> {};

TEST_P(DecodeLong, EveryPositionInAndAcrossBlocks) {
  const LongCase& c = GetParam();
  for (DecodeMode mode : {T, A}) {
    const std::string becomes = mode == T ? c.text : c.attr;
    for (size_t len : {0, 1, 16, 17, 31, 32, 33, 47, 70}) {
      for (size_t at = 0; at <= len; ++at) {
        std::string in, want;
        for (size_t k = 0; k <= len; ++k) {
          if (k == at) {
            in += c.special;
            want += becomes;
          }
          if (k < len) {
            in += static_cast<char>('a' + k % 26);
            want += static_cast<char>('a' + k % 26);
          }
        }
        in += std::string(c.special) + "xyz";
        want += becomes + "xyz";
        Result<Decoded, ReadError> r = decode_text(in, 100, mode);
        ASSERT_TRUE(r.ok()) << r.error().text();
        std::string got = r.value().unchanged ? in : std::string(r.value().owned.view());
        EXPECT_EQ(got, want) << "len " << len << " at " << at;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, DecodeLong,
    ::testing::Values(LongCase{"&amp;", "&", "&"}, LongCase{"&lt;", "<", "<"},
                      LongCase{"&gt;", ">", ">"}, LongCase{"&quot;", "\"", "\""},
                      LongCase{"&apos;", "'", "'"}, LongCase{"&amp;&amp;", "&&", "&&"},
                      LongCase{"&#x4E2D;", "\u4E2D", "\u4E2D"}, LongCase{"&#25991;", "\u6587", "\u6587"},
                      LongCase{"&#1114111;", "\U0010FFFF", "\U0010FFFF"},
                      LongCase{"&#x10FFFF;", "\U0010FFFF", "\U0010FFFF"},
                      LongCase{"&#0000065;", "A", "A"}, LongCase{"&#00000065;", "A", "A"},
                      LongCase{"&#x0000041;", "A", "A"}, LongCase{"&#x00000041;", "A", "A"},
                      LongCase{"&#+65;", "A", "A"}, LongCase{"\t", "\t", " "},
                      LongCase{"\r\n", "\r\n", " "}, LongCase{"\n", "\n", " "}));

TEST(DecodeLongError, OffsetOfAnUnterminatedReferenceAfterLongRuns) {
  for (size_t at : {0, 15, 16, 17, 40}) {
    std::string in(at, 'x');
    in += "&amp";
    in += std::string(40, 'y');
    for (DecodeMode mode : {T, A}) {
      Result<Decoded, ReadError> r = decode_text(in, 100, mode);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().text(), "malformed XML at byte " + std::to_string(100 + at) +
                                      ": unterminated entity reference");
    }
  }
}

// ---------------------------------------------------------------------------------------------
// White_Space and UTF-8

TEST(WhiteSpace, TrimsEveryWhiteSpaceCharacterAndNothingElse) {
  const char* ws[] = {"\t", "\n", "\v", "\f", "\r", " ", "\u0085", "\u00A0", "\u1680", "\u2000",
                      "\u2005", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};
  const char* not_ws[] = {"\x1C", "\u200B", "\u180E", "\uFEFF", "\u2030", "\u3001", "\u00A1", "x"};
  for (const char* w : ws) {
    std::string s = std::string(w) + "x" + w;
    Trimmed t = trim_white_space(s);
    EXPECT_EQ(s.substr(t.start, t.end - t.start), "x") << w;
    EXPECT_TRUE(all_white_space(std::string(w) + w)) << w;
  }
  for (const char* n : not_ws) {
    std::string s = std::string(" ") + n + " ";
    Trimmed t = trim_white_space(s);
    EXPECT_EQ(s.substr(t.start, t.end - t.start), n) << n;
  }
}

// Every code point, alone and beside other text: it is trimmed exactly when it is White_Space.
TEST(WhiteSpace, EveryCodePointIsMeasuredFromEitherSide) {
  const char32_t ws[] = {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x2000, 0x2001,
                         0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A,
                         0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  size_t wrong = 0;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const bool is_ws = std::find(std::begin(ws), std::end(ws), c) != std::end(ws);
    const std::string ch = testing_support::utf8_one_by_one({static_cast<uint32_t>(c)});
    const size_t want = is_ws ? ch.size() : 0;
    for (const std::string& around : {std::string(), std::string("\xE3\x80")}) {
      const std::string s = around + ch + around;
      const auto* b = reinterpret_cast<const unsigned char*>(s.data());
      const size_t at = around.size();
      wrong += white_space_at(b + at, b + s.size()) != want;
      wrong += white_space_before(b, b + at + ch.size()) != want;
    }
    if (wrong) {
      ADD_FAILURE() << "U+" << std::hex << static_cast<uint32_t>(c);
      break;
    }
  }
  EXPECT_EQ(wrong, 0u);
}

TEST(Utf8, FirstInvalidByteAtEveryPositionAroundTheWordLoop) {
  for (size_t at : {0, 1, 7, 15, 16, 17, 31, 32, 40}) {
    std::string s(48, 'a');
    EXPECT_EQ(first_invalid_utf8(s), s.size());
    s[at] = static_cast<char>(0xFF);
    EXPECT_EQ(first_invalid_utf8(s), at);
    s[at] = static_cast<char>(0xE2);  // truncated by the 'a' that follows
    EXPECT_EQ(first_invalid_utf8(s), at);
  }
  EXPECT_EQ(first_invalid_utf8("\xE2\x82\xAC\xF0\x9F\x98\x80"), 7u);
  EXPECT_EQ(first_invalid_utf8("ab\xF0\x9F\x98"), 2u);
}

// ---------------------------------------------------------------------------------------------
// Start tags

struct TagCase {
  const char* doc;
  const char* error;  // null: parses
};

class StartTagErrors : public ::testing::TestWithParam<TagCase> {};

TEST_P(StartTagErrors, MessageAndOffset) {
  const TagCase& c = GetParam();
  SourceRef src(owned_source(c.doc));
  auto index = build_index(src->view(), IndexBuilder::Scalar);
  ASSERT_TRUE(index.ok());
  ASSERT_GE(index.value().tag_count(), 1u);
  {
    ReadContext ctx(src.get(), HashKeys{1, 2});
    StartTag tag;
    ReadError error;
    bool parsed = parse_start_tag(ctx, index.value().tag(0), &tag, &error);
    ctx.settle();  // the counts of what the tag holds, before `tag` can drop it
    if (c.error) {
      ASSERT_FALSE(parsed) << c.doc;
      EXPECT_EQ(error.text(), c.error);
      EXPECT_EQ(ctx.attrs.size(), 0u);  // the builder is left clean for the next tag
    } else {
      ASSERT_TRUE(parsed) << error.text();
    }
  }
  EXPECT_EQ(src->use_count(), 1u);  // every count taken was given back
}

INSTANTIATE_TEST_SUITE_P(
    Table, StartTagErrors,
    ::testing::Values(
        TagCase{"<a/>", nullptr}, TagCase{"<a   >", nullptr}, TagCase{"<a x='1' y=\"2\"/>", nullptr},
        TagCase{"< a>", "malformed XML at byte 0: expected element name after '<'"},
        TagCase{"<a x=\"1\"y=\"2\">", "malformed XML at byte 8: expected whitespace before attribute"},
        TagCase{"<a x>", "malformed XML at byte 3: attribute 'x' has no value"},
        TagCase{"<a x\"1\">", "malformed XML at byte 3: attribute 'x' has no value"},
        TagCase{"<a x=1>", "malformed XML at byte 5: value of attribute 'x' is not quoted"},
        TagCase{"<a x=/>", "malformed XML at byte 5: value of attribute 'x' is not quoted"},
        TagCase{"<a =\"1\">", "malformed XML at byte 3: expected attribute name"},
        TagCase{"<a x=\"1\" x=\"2\">", "malformed XML at byte 9: duplicate attribute 'x'"},
        TagCase{"<a x=\"1\" y=\"&amp;\" y=\"&lt;\">",
                "malformed XML at byte 19: duplicate attribute 'y'"},
        TagCase{"<a x=\"a<b\">", "malformed XML at byte 7: '<' is not allowed in attribute values"},
        TagCase{"<a x=\"1>", "malformed XML at byte 6: unterminated attribute value"},
        TagCase{"<a k=\"v\" x=\"&nope;\">", "unknown entity reference '&nope;' at byte 12"}));

// A start tag read ahead, before its end is known, ends where the index builders end it, and
// is read exactly as parse_start_tag reads it; otherwise it is given up and nothing is left
// behind. Tags are built at random from the pieces that decide both.
TEST(StartTag, ReadAheadAgreesWithTheIndex) {
  const char* pieces[] = {" ", "\n", "a", "b", "=", "\"", "'", ">", "/", "<", "&amp;", "&bad;",
                          "x=\"1\"", " y='2'", " a=\"3\"", "\t", "/>", "\"x>y\"", "é"};
  std::srand(17);
  size_t read_ahead = 0, given_up = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string doc = "<e";
    for (int k = std::rand() % 12; k > 0; --k) doc += pieces[std::rand() % (sizeof pieces / sizeof *pieces)];
    doc += "> text <f/>";
    SourceRef src(owned_source(doc));
    auto index = build_index(src->view(), IndexBuilder::Scalar);
    if (!index.ok() || index.value().tag_count() == 0) continue;
    const IndexedTag& tag = index.value().tag(0);
    if (tag.kind != TagKind::Open && tag.kind != TagKind::SelfClosing) continue;
    const uint64_t name_end = tag.name_offset + tag.name_length;
    if (name_end >= tag.end || doc[name_end] == '>' || doc.compare(name_end, 2, "/>") == 0) continue;
    {
      ReadContext ctx(src.get(), HashKeys{1, 2});
      StartTag ahead;
      uint64_t end = 0;
      bool self_closing = false;
      const bool read = read_start_tag_ahead(ctx, tag.start, name_end, &ahead, &end, &self_closing);
      EXPECT_EQ(ctx.attrs.size(), 0u) << doc;
      if (read) {
        ++read_ahead;
        EXPECT_EQ(end, tag.end) << doc;
        EXPECT_EQ(self_closing, tag.kind == TagKind::SelfClosing) << doc;
        StartTag parsed;
        ReadError error;
        ASSERT_TRUE(parse_start_tag(ctx, tag, &parsed, &error)) << doc << ": " << error.text();
        EXPECT_EQ(ahead.where.region_end, parsed.where.region_end) << doc;
        ASSERT_EQ(ahead.attrs.size(), parsed.attrs.size()) << doc;
        for (size_t i = 0; i < parsed.attrs.size(); ++i) {
          EXPECT_EQ(ahead.attrs.begin()[i].key.view(), parsed.attrs.begin()[i].key.view()) << doc;
          EXPECT_EQ(ahead.attrs.begin()[i].value.view(), parsed.attrs.begin()[i].value.view()) << doc;
        }
      } else {
        ++given_up;
      }
      ctx.settle();
    }
    EXPECT_EQ(src->use_count(), 1u) << doc;  // every count taken was given back
  }
  // Both outcomes are exercised.
  EXPECT_GT(read_ahead, 1000u);
  EXPECT_GT(given_up, 1000u);
}

TEST(StartTag, SharesUndecodedTextAndKeepsDocumentOrder) {
  SourceRef src(owned_source("<a z='1' b=\"x&amp;y\" m='\t'>"));
  auto index = build_index(src->view());
  ASSERT_TRUE(index.ok());
  ReadContext ctx(src.get(), HashKeys{1, 2});
  StartTag tag;
  ReadError error;
  ASSERT_TRUE(parse_start_tag(ctx, index.value().tag(0), &tag, &error)) << error.text();
  ctx.settle();
  const AttrMap& attrs = tag.attrs;
  ASSERT_EQ(attrs.size(), 3u);
  const AttrEntry* e = attrs.begin();
  EXPECT_EQ(e[0].key.view(), "z");
  EXPECT_TRUE(e[0].value.is_shared());
  EXPECT_EQ(e[1].value.view(), "x&y");
  EXPECT_FALSE(e[1].value.is_shared());
  EXPECT_EQ(e[2].value.view(), " ");
  // three keys and one undecoded value, besides the context's credit
  EXPECT_EQ(src->use_count(), 1u + 4u + ReadContext::kCredit);
}

// ---------------------------------------------------------------------------------------------
// Tree builder

struct Flat {
  std::string name;
  std::string text;  // "-" when absent
  bool text_shared;
  uint64_t children;
  size_t attrs;
};

std::vector<Flat> flatten(const RecordTree& tree) {
  std::vector<Flat> out;
  for (const NodeRecord& r : tree.records) {
    out.push_back({std::string(r.name.view()), r.text.present() ? std::string(r.text.view()) : "-",
                   r.text.is_shared(), r.child_count, r.attrs.size()});
  }
  return out;
}

// Reads `doc` and renders the post-order records as "name[text]/children" separated by spaces.
std::string read(std::string_view doc, std::string_view root, bool* shared_text = nullptr) {
  SourceRef src(owned_source(doc));
  Result<RecordTree, ReadError> r = read_tree(src.get(), root);
  if (!r.ok()) {
    EXPECT_EQ(src->use_count(), 1u) << doc;
    return "error: " + r.error().text();
  }
  std::string out;
  for (const Flat& f : flatten(r.value())) {
    if (!out.empty()) out += ' ';
    out += f.name + "[" + f.text + "]/" + std::to_string(f.children);
    if (f.attrs) out += "@" + std::to_string(f.attrs);
  }
  if (shared_text) *shared_text = r.value().records.back().text.is_shared();
  return out;
}

struct TreeCase {
  const char* doc;
  const char* root;
  const char* expected;
};

class TreeBuilder : public ::testing::TestWithParam<TreeCase> {};

TEST_P(TreeBuilder, PostOrderRecords) {
  const TreeCase& c = GetParam();
  EXPECT_EQ(read(c.doc, c.root), c.expected) << c.doc;
}

INSTANTIATE_TEST_SUITE_P(
    Table, TreeBuilder,
    ::testing::Values(
        TreeCase{"<a> x <b>y</b> z </a>", "a", "b[y]/0 a[x  z]/1"},
        TreeCase{"<a>  </a>", "a", "a[-]/0"},
        TreeCase{"<a><![CDATA[ <x> ]]></a>", "a", "a[<x>]/0"},
        TreeCase{"<a>1<![CDATA[&lt;]]>2</a>", "a", "a[1&lt;2]/0"},
        TreeCase{"<r><a/><a k=\"1\"/></r>", "a", "a[-]/0"},
        TreeCase{"<outer><inner>t</inner>", "inner", "inner[t]/0"},
        TreeCase{"<r><!-- c --><?pi x?>t</r>", "r", "r[t]/0"},
        TreeCase{"<x>&bogus;</x><r/>", "r", "r[-]/0"},
        TreeCase{"<r>\n <a>1</a>\n <b k='v'/>\n</r>", "r", "a[1]/0 b[-]/0@1 r[-]/2"},
        TreeCase{"<r><a><b/><c/></a><d/></r>", "r", "b[-]/0 c[-]/0 a[-]/2 d[-]/0 r[-]/2"},
        TreeCase{"<r>", "r", "error: unexpected end of document: <r> is never closed"},
        TreeCase{"<r/>", "x", "error: root tag <x> not found in document"},
        TreeCase{"", "x", "error: root tag <x> not found in document"},
        TreeCase{"<r><a></r>", "r", "error: malformed XML at byte 6: expected </a>, found </r>"},
        TreeCase{"</a><r/>", "r", "error: malformed XML at byte 0: unexpected end tag </a>"},
        TreeCase{"<r></r x>", "r", "error: malformed XML at byte 3: malformed end tag </r>"},
        TreeCase{"<r></r\xC2\xA0 >", "r", "error: malformed XML at byte 3: expected </r>, found </r\xC2\xA0>"},
        TreeCase{"<r></r \xC2\xA0>", "r", "r[-]/0"},
        TreeCase{"<r><?pi x</r>", "r", "error: malformed XML at byte 3: unterminated processing instruction"},
        // An unclosed tag anywhere wins over whatever the walk found, before or after it.
        TreeCase{"<r><a></r><", "r", "error: malformed XML: Unclosed tag at byte 10"},
        TreeCase{"<r/><", "r", "error: malformed XML: Unclosed tag at byte 4"},
        TreeCase{"<x>&bad;</x><r>&bad;</r><", "r", "error: malformed XML: Unclosed tag at byte 24"}));

TEST(TreeBuilder, SinglePieceTextIsSharedAndDecodedTextIsOwned) {
  bool shared = false;
  EXPECT_EQ(read("<r>  plain  </r>", "r", &shared), "r[plain]/0");
  EXPECT_TRUE(shared);
  EXPECT_EQ(read("<r>\n  <a/>\n  <b/>\n  tail\n</r>", "r", &shared), "a[-]/0 b[-]/0 r[tail]/2");
  EXPECT_TRUE(shared);  // blank stretches before the text needed no copy
  EXPECT_EQ(read("<r>a &amp; b</r>", "r", &shared), "r[a & b]/0");
  EXPECT_FALSE(shared);
  EXPECT_EQ(read("<r>a<b/>c</r>", "r", &shared), "b[-]/0 r[ac]/1");
  EXPECT_FALSE(shared);
}

TEST(TreeBuilder, TakesOneCountPerSharedStringAndGivesAllBackOnFailure) {
  SourceRef src(owned_source("<r k='v'><a>t</a><b x='&amp;'/></r>"));
  {
    Result<RecordTree, ReadError> r = read_tree(src.get(), "r");
    ASSERT_TRUE(r.ok());
    // names r, a, b; key k, value v; key x; text t
    EXPECT_EQ(src->use_count(), 1u + 7u);
  }
  EXPECT_EQ(src->use_count(), 1u);
  for (const char* doc : {"<r k='v'><a>t</a><b x='1' x='2'/></r>", "<r k='v'><a>t</a><b>",
                          "<r k='v'><a>t</a></r><", "<q k='1'/><q k='1' k='1'/><r/>"}) {
    SourceRef bad(owned_source(doc));
    Result<RecordTree, ReadError> r = read_tree(bad.get(), "r");
    EXPECT_FALSE(r.ok()) << doc;
    EXPECT_EQ(bad->use_count(), 1u) << doc;
  }
}

TEST(TreeBuilder, ThousandsOfTagsBeforeCData) {
  std::string doc = "<r>";
  const int n = 3 * 4096 + 17;
  for (int i = 0; i < n; ++i) doc += "<c i='" + std::to_string(i) + "'>t" + std::to_string(i) + "</c>";
  doc += "<![CDATA[z]]></r>";
  SourceRef src(owned_source(doc));
  Result<RecordTree, ReadError> r = read_tree(src.get(), "r");
  ASSERT_TRUE(r.ok()) << r.error().text();
  const RecordBuffer& recs = r.value().records;
  ASSERT_EQ(recs.size(), static_cast<size_t>(n) + 1);
  EXPECT_EQ(recs[4100].text.view(), "t4100");
  EXPECT_EQ(recs.back().child_count, static_cast<uint64_t>(n));
  EXPECT_EQ(recs.back().text.view(), "z");
}

TEST(TreeBuilder, DeepNestingUsesNoRecursion) {
  const int depth = 200000;
  std::string doc;
  for (int i = 0; i < depth; ++i) doc += "<a>";
  for (int i = 0; i < depth; ++i) doc += "</a>";
  SourceRef src(owned_source(doc));
  Result<RecordTree, ReadError> r = read_tree(src.get(), "a");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().records.size(), static_cast<size_t>(depth));
  EXPECT_EQ(r.value().records[0].child_count, 0u);
  EXPECT_EQ(r.value().records.back().child_count, 1u);
}

}  // namespace
