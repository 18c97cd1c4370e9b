// The decoding stage without Python: finding the encoding, UTF-8 checks across the 64-byte
// blocks, and the native transcoders with their way back to input offsets.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "decode/decode.hpp"
#include "read/unicode.hpp"
#include "stream/element_stream.hpp"
#include "stream/stream_decoder.hpp"
#include "test_support.hpp"

using namespace vx;
using namespace std::string_literals;
using testing_support::utf8_one_by_one;

namespace {

// ---------------------------------------------------------------------------------------------
// UTF-8 in blocks

// Every ill-formed sequence at every character boundary of a text long enough for several
// blocks, and its end cut off: the first byte of the sequence is reported, whichever block it is
// in and whatever came before (ASCII blocks, blocks with multi-byte characters).
TEST(Utf8Blocks, FirstInvalidByteAtEveryBoundary) {
  const std::string bad[] = {"\xFF", "\x80", "\xC0\xAF", "\xE0\x80\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                             "\xF5\x80", "\xC3", "\xE2\x82", "\xF0\x9F\x98", "\xC3\xC3"};
  for (bool ascii : {true, false}) {
    std::string base;
    std::vector<size_t> boundaries;
    for (int i = 0; base.size() < 300; ++i) {
      boundaries.push_back(base.size());
      base += ascii ? "a"s : (i % 3 == 0 ? "\xC3\xA9"s : i % 3 == 1 ? "\xE2\x82\xAC"s : "\xF0\x9F\x98\x80"s);
    }
    ASSERT_EQ(first_invalid_utf8(base), base.size());
    for (size_t at : boundaries) {
      for (const std::string& b : bad) {
        std::string s = base.substr(0, at) + b + base.substr(at);
        EXPECT_EQ(first_invalid_utf8(s), at) << at << " " << ascii;
      }
      // A character cut off by the end of the input.
      std::string cut = base.substr(0, at) + "\xE2\x82";
      EXPECT_EQ(first_invalid_utf8(cut), at);
    }
  }
}

TEST(Utf8Blocks, WellFormedTextOfEveryLength) {
  std::string s;
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(first_invalid_utf8(s), s.size());
    s += i % 2 ? "\xF0\x9F\x98\x80" : "x\xC3\xA9";
  }
}

// ---------------------------------------------------------------------------------------------
// Finding the encoding

struct SniffCase {
  std::string bytes;
  Layout layout;
  size_t mark;
  bool declared;
  std::string name;
  size_t name_at;
};

std::string utf16le(const std::string& ascii) {
  std::string out;
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}

class Sniff : public ::testing::TestWithParam<SniffCase> {};

TEST_P(Sniff, MarkLayoutAndName) {
  const SniffCase& c = GetParam();
  Sniffed s = sniff_encoding(c.bytes);
  EXPECT_EQ(s.layout, c.layout);
  EXPECT_EQ(s.mark, c.mark);
  EXPECT_EQ(s.declared, c.declared);
  EXPECT_EQ(s.name, c.name);
  if (c.declared) EXPECT_EQ(s.name_at, c.name_at);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Sniff,
    ::testing::Values(
        SniffCase{"<r/>", Layout::Bytes, 0, false, "", 0},
        SniffCase{"<?xml version=\"1.0\" encoding=\"KOI8-R\"?>", Layout::Bytes, 0, true, "KOI8-R", 30},
        SniffCase{"<?xml version='1.0' encoding='x'?>", Layout::Bytes, 0, true, "x", 30},
        SniffCase{"<?xml  version = '1.0'\n encoding\t=\t\"Big5\" standalone='yes'?>", Layout::Bytes, 0, true,
                  "Big5", 36},
        SniffCase{"<?xml version='1.0' standalone='yes'?>", Layout::Bytes, 0, false, "", 0},
        SniffCase{"<?xml version='1.0' encoding='Shift_J", Layout::Bytes, 0, false, "", 0},
        SniffCase{"<?xmlversion='1.0' encoding='a'?>", Layout::Bytes, 0, false, "", 0},
        SniffCase{"<?xml version='1.0' encoding='caf\xC3\xA9'?>", Layout::Bytes, 0, true, "caf\\xc3\\xa9", 30},
        SniffCase{"\xEF\xBB\xBF<?xml version='1.0' encoding='latin1'?>", Layout::Bytes, 3, true, "latin1", 33},
        SniffCase{"\xFF\xFE" + utf16le("<?xml version='1.0' encoding='UTF-16'?>"), Layout::Utf16LE, 2, true,
                  "UTF-16", 62},
        SniffCase{utf16le("<?xml version='1.0' encoding='UTF-16'?>"), Layout::Utf16LE, 0, true, "UTF-16", 60},
        SniffCase{"\xFE\xFF\0<"s, Layout::Utf16BE, 2, false, "", 0},
        SniffCase{"\0<\0?\0x"s, Layout::Utf16BE, 0, false, "", 0},
        SniffCase{"\xFF\xFE\0\0<\0\0\0"s, Layout::Utf32LE, 4, false, "", 0},
        SniffCase{"\0\0\0<"s, Layout::Utf32BE, 0, false, "", 0},
        // "<?xml version='1.0' encoding='cp500'?>" in EBCDIC
        SniffCase{"\x4C\x6F\xA7\x94\x93\x40\xA5\x85\x99\xA2\x89\x96\x95\x7E\x7D\xF1\x4B\xF0\x7D\x40\x85\x95"
                  "\x83\x96\x84\x89\x95\x87\x7E\x7D\x83\x97\xF5\xF0\xF0\x7D\x6F\x6E",
                  Layout::Ebcdic, 0, true, "cp500", 30},
        SniffCase{"", Layout::Bytes, 0, false, "", 0}));

TEST(NameFamily, CaseDashesAndUnderscoresAside) {
  EXPECT_EQ(name_family("UTF-8"), NameFamily::Utf8);
  EXPECT_EQ(name_family("utf_8"), NameFamily::Utf8);
  EXPECT_EQ(name_family("Utf16LE"), NameFamily::Utf16);
  EXPECT_EQ(name_family("UTF-32BE"), NameFamily::Utf32);
  EXPECT_EQ(name_family(" utf-8"), NameFamily::Other);
  EXPECT_EQ(name_family("utf-8-sig"), NameFamily::Other);
  EXPECT_EQ(name_family("ISO-8859-1"), NameFamily::Other);
}

TEST(PlanFromBytes, MarksAndLayoutsDecideWithoutTheRegistry) {
  DecodePlan plan;
  EXPECT_TRUE(plan_from_bytes(sniff_encoding("<r/>"), &plan));
  EXPECT_EQ(plan.method, Method::Utf8);
  EXPECT_FALSE(plan_from_bytes(sniff_encoding("<?xml version='1.0' encoding='koi8-r'?>"), &plan));
  // A UTF-8 mark wins over the declaration.
  EXPECT_TRUE(plan_from_bytes(sniff_encoding("\xEF\xBB\xBF<?xml version='1.0' encoding='koi8-r'?>"), &plan));
  EXPECT_EQ(plan.method, Method::Utf8);
  // So does a UTF-16 layout; the label is the declared name only when it names UTF-16.
  EXPECT_TRUE(plan_from_bytes(sniff_encoding("\xFF\xFE" + utf16le("<?xml version='1.0' encoding='utf-8'?>")), &plan));
  EXPECT_EQ(plan.method, Method::Utf16LE);
  EXPECT_EQ(plan.skip, 2u);
  EXPECT_EQ(plan.label, "UTF-16");
  EXPECT_TRUE(plan_from_bytes(sniff_encoding(utf16le("<?xml version='1.0' encoding='utf-16le'?>")), &plan));
  EXPECT_EQ(plan.label, "utf-16le");
  // A UTF-16 name on a declaration read as 8-bit text: the bytes are not 16-bit.
  EXPECT_TRUE(plan_from_bytes(sniff_encoding("<?xml version='1.0' encoding='UTF-16'?>"), &plan));
  EXPECT_EQ(plan.method, Method::Utf8);
}

// ---------------------------------------------------------------------------------------------
// Native transcoders

std::string transcoded(const DecodePlan& plan, const std::string& input, size_t* invalid_at = nullptr) {
  NativeDecoded d = transcode_native(plan, input);
  if (!d.text) {
    if (invalid_at) *invalid_at = d.invalid_at;
    return d.unchanged ? input : "<failed>";
  }
  std::string out(d.text->view());
  d.text->release();
  return out;
}

TEST(Transcode, Utf16AndUtf32WithTheirOffsetsBack) {
  DecodePlan plan;
  plan.method = Method::Utf16LE;
  plan.skip = 2;
  // "<é€😀>" after a mark
  std::string in = "\xFF\xFE<\0\xE9\0\xAC\x20\x3D\xD8\x00\xDE>\0"s;
  EXPECT_EQ(transcoded(plan, in), "<\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80>");
  const size_t starts[] = {2, 4, 4, 6, 6, 6, 8, 8, 8, 8, 12};
  for (size_t k = 0; k < 11; ++k) EXPECT_EQ(input_offset_native(plan, in, k), starts[k]) << k;
  EXPECT_EQ(input_offset_native(plan, in, 11), in.size());
  size_t bad = 0;
  EXPECT_EQ(transcoded(plan, "\xFF\xFE<\0\x3D\xD8<\0"s, &bad), "<failed>");  // a lone high surrogate
  EXPECT_EQ(bad, 4u);
  EXPECT_EQ(transcoded(plan, "\xFF\xFE<\0<"s, &bad), "<failed>");  // half a unit at the end
  EXPECT_EQ(bad, 4u);
  plan.method = Method::Utf32BE;
  plan.skip = 0;
  EXPECT_EQ(transcoded(plan, "\0\0\0<\0\x01\xF6\x00"s), "<\xF0\x9F\x98\x80");
  EXPECT_EQ(transcoded(plan, "\0\0\0<\0\x11\0\0"s, &bad), "<failed>");
  EXPECT_EQ(bad, 4u);
}

// Latin-1 without 0x81, as in windows-1252.
const ByteTable& latin_table() {
  static const ByteTable latin = [] {
    ByteTable t{};
    for (unsigned b = 0; b < 256; ++b) {
      if (b == 0x81) continue;
      char buf[4];
      size_t n = b < 0x80 ? (buf[0] = static_cast<char>(b), 1)
                          : (buf[0] = static_cast<char>(0xC0 | (b >> 6)), buf[1] = static_cast<char>(0x80 | (b & 0x3F)), 2);
      t.len[b] = static_cast<uint8_t>(n);
      std::memcpy(t.utf8[b], buf, n);
    }
    t.ascii_identity = true;
    t.widest = 2;
    return t;
  }();
  return latin;
}

// ASCII, lead byte 0x82 with trail 0xA0 making U+3042 (as Shift_JIS), and 0xA1 alone making U+FF61.
const PairTable& pair_table() {
  static const PairTable* pairs = [] {
    auto* t = new PairTable{};
    t->single = latin_table();
    for (unsigned b = 0x80; b < 256; ++b) t->single.len[b] = 0;
    t->single.len[0xA1] = 3;
    std::memcpy(t->single.utf8[0xA1], "\xEF\xBD\xA1", 3);
    t->lead[0x82] = true;
    t->pair_len[0x02][0xA0] = 3;
    std::memcpy(t->pair_utf8[0x02][0xA0], "\xE3\x81\x82", 3);
    return t;
  }();
  return *pairs;
}

// The units as a str of that width stores them.
template <class Unit>
SourceText* utf8_of_stored(const std::vector<uint32_t>& units) {
  const std::vector<Unit> stored(units.begin(), units.end());
  return utf8_of_units(stored.data(), stored.size(), sizeof(Unit));
}

std::string utf8_of(const std::vector<uint32_t>& units, int width, bool* failed) {
  SourceText* text = width == 1   ? utf8_of_stored<uint8_t>(units)
                     : width == 2 ? utf8_of_stored<uint16_t>(units)
                                  : utf8_of_stored<uint32_t>(units);
  *failed = text == nullptr;
  if (!text) return {};
  std::string made(text->view());
  text->release();
  return made;
}

// Runs of ASCII and of wider characters of every length, placed across the 16-unit blocks, and
// a surrogate at every position, for each width a str stores its characters in.
TEST(StrUnits, Utf8OfEveryWidthAcrossBlocks) {
  const std::vector<std::vector<uint32_t>> wider = {
      {0xE9, 0xFF, 0x80}, {0x100, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFF, 0x20AC}, {0x10000, 0x1F600, 0x10FFFF}};
  uint32_t seed = 7;
  auto next = [&] { return seed = seed * 1103515245u + 12345u; };
  for (int width : {1, 2, 4}) {
    std::vector<uint32_t> pool;
    for (int w = 0; w < (width == 1 ? 1 : width == 2 ? 2 : 3); ++w) pool.insert(pool.end(), wider[w].begin(), wider[w].end());
    for (int round = 0; round < 400; ++round) {
      std::vector<uint32_t> units;
      const size_t n = next() % 90;
      const unsigned wide_share = next() % 5;  // none, a few, half, most; or exactly one
      for (size_t i = 0; i < n; ++i) {
        const bool wide = (next() % 4) < wide_share % 4;
        units.push_back(wide ? pool[next() % pool.size()] : 0x20 + next() % 0x5F);
      }
      if (wide_share == 4 && n > 0) units[next() % n] = pool[next() % pool.size()];
      bool failed = false;
      SCOPED_TRACE(testing::Message() << "width " << width << " round " << round);
      EXPECT_EQ(utf8_of(units, width, &failed), utf8_one_by_one(units));
      EXPECT_FALSE(failed);
      if (width == 1 || units.empty()) continue;
      for (uint32_t surrogate : {0xD800u, 0xDBFFu, 0xDC00u, 0xDFFFu}) {
        std::vector<uint32_t> bad = units;
        bad[next() % bad.size()] = surrogate;
        utf8_of(bad, width, &failed);
        EXPECT_TRUE(failed) << std::hex << surrogate;
      }
    }
  }
}

// Long texts: sparse characters beyond ASCII are encoded here; text where more than one block
// in 16 holds one is left to the interpreter (null), as is a text with a surrogate near its end.
TEST(StrUnits, DenseTextIsLeftToTheInterpreter) {
  for (int width : {1, 2, 4}) {
    const uint32_t wide = width == 1 ? 0xE9 : width == 2 ? 0x20AC : 0x1F600;
    for (size_t every : {8, 15, 17, 32, 400}) {
      std::vector<uint32_t> units(20000, 'a');
      for (size_t block = 0; block * 16 < units.size(); block += every) units[block * 16 + block % 16] = wide;
      bool failed = false;
      SCOPED_TRACE(testing::Message() << "width " << width << " one block in " << every);
      const std::string made = utf8_of(units, width, &failed);
      EXPECT_EQ(failed, every < 16);
      if (!failed) {
        EXPECT_EQ(made, utf8_one_by_one(units));
      }
      if (width == 1 || every < 16) continue;
      units[units.size() - 3] = 0xDFFF;
      utf8_of(units, width, &failed);
      EXPECT_TRUE(failed);
    }
  }
}

// Text whose UTF-8 outgrows a buffer sized for nearly all ASCII: wide characters up front (before
// the density is judged) or in every eighth block, ending at every place around a block.
TEST(StrUnits, TextLongerInUtf8ThanFirstGuessedIsWhole) {
  for (int width : {2, 4}) {
    const uint32_t wide = width == 2 ? 0x20AC : 0x1F600;
    for (size_t n : {1u, 15u, 16u, 17u, 100u, 4095u, 4096u, 4097u, 9000u}) {
      for (size_t every : {1u, 8u}) {
        std::vector<uint32_t> units(n, 'a');
        for (size_t i = 0; i < n; ++i) {
          if (every == 1 ? i < 4096 : (i / 16) % every == 0) units[i] = wide;
        }
        bool failed = false;
        SCOPED_TRACE(testing::Message() << "width " << width << " n " << n << " every " << every);
        const std::string made = utf8_of(units, width, &failed);
        if (failed) {
          EXPECT_GE(n, 4096u);  // left to the interpreter only once judged dense
          continue;
        }
        EXPECT_EQ(made, utf8_one_by_one(units));
      }
    }
  }
}

TEST(Transcode, ByteTableAndPairTable) {
  DecodePlan plan;
  plan.method = Method::Table;
  plan.table = &latin_table();
  EXPECT_EQ(transcoded(plan, "<r/>"), "<r/>");  // all ASCII: the input itself
  EXPECT_EQ(transcoded(plan, "<\xE9>"), "<\xC3\xA9>");
  EXPECT_EQ(input_offset_native(plan, "<\xE9>", 3), 2u);
  size_t bad = 0;
  EXPECT_EQ(transcoded(plan, "<\xE9\x81", &bad), "<failed>");
  EXPECT_EQ(bad, 2u);

  plan.method = Method::Pairs;
  plan.pairs = &pair_table();
  const std::string in = "<abcdefgh\x82\xA0\xA1>";
  EXPECT_EQ(transcoded(plan, in), "<abcdefgh\xE3\x81\x82\xEF\xBD\xA1>");
  EXPECT_EQ(input_offset_native(plan, in, 10), 9u);
  EXPECT_EQ(input_offset_native(plan, in, 12), 11u);
  EXPECT_EQ(input_offset_native(plan, in, 15), 12u);
  EXPECT_EQ(transcoded(plan, "<\x82\xA1>", &bad), "<failed>");  // a pair without a character
  EXPECT_EQ(bad, 1u);
  EXPECT_EQ(transcoded(plan, "<\x82", &bad), "<failed>");  // a lead byte at the end
  EXPECT_EQ(bad, 1u);
  EXPECT_EQ(transcoded(plan, "<\x83>", &bad), "<failed>");  // neither a character nor a lead
  EXPECT_EQ(bad, 1u);
}

// ---------------------------------------------------------------------------------------------
// A stream decoded a piece at a time

struct Decoded {
  std::string utf8;
  bool ok = true;
  size_t invalid_at = 0;
  bool operator==(const Decoded&) const = default;
};

// What decoding the whole input gives: the text, or the first ill-formed sequence and the text
// of the characters before it.
Decoded decoded_whole(const DecodePlan& plan, const std::string& input) {
  size_t bad = 0;
  if (plan.method == Method::Ascii) {
    bad = first_non_ascii(input);
    return {input.substr(0, bad), bad == input.size(), bad == input.size() ? 0 : bad};
  }
  std::string text = transcoded(plan, input, &bad);
  if (text != "<failed>") return {text};
  return {transcoded(plan, input.substr(0, bad)), false, bad};
}

// The input given to a StreamDecoder in pieces ending at `cuts`, then its end.
Decoded decoded_in_pieces(const std::string& input, const std::vector<size_t>& cuts, StreamDecoder* decoder,
                          ElementStream* out) {
  size_t at = 0;
  bool ok = true;
  for (size_t i = 0; ok && i <= cuts.size(); ++i) {
    size_t end = i < cuts.size() ? cuts[i] : input.size();
    if (i % 2) {
      ok = decoder->append(input.data() + at, end - at, out);
    } else {
      char* space = decoder->input_space(end - at);
      if (end > at) std::memcpy(space, input.data() + at, end - at);
      ok = decoder->commit(end - at, out);
    }
    at = end;
  }
  if (ok) ok = decoder->end_input(out);
  EXPECT_EQ(out->input_ended(), ok);
  return {std::string(out->held()), ok, ok ? 0 : static_cast<size_t>(decoder->failure().offset)};
}

struct StreamCase {
  Method method;
  size_t skip;
  std::string input;
};

std::vector<StreamCase> stream_cases() {
  const std::string le = "\xFF\xFE<\0\xE9\0\xAC\x20\x3D\xD8\x00\xDE>\0"s;  // "<é€😀>" after a mark
  const std::string be = "\0<\0\xE9\x20\xAC\xD8\x3D\xDE\x00\0>"s;
  const std::string le32 = "\xFF\xFE\0\0<\0\0\0\x00\xF6\x01\0\xE9\0\0\0"s;
  const std::string be32 = "\0\0\0<\0\x01\xF6\x00\0\0\0\xE9"s;
  return {
      {Method::Utf16LE, 2, le},
      {Method::Utf16LE, 2, le + "\x3D\xD8<\0"s},   // a lone high surrogate
      {Method::Utf16LE, 2, le + "\x00\xDE"s},       // a lone low surrogate
      {Method::Utf16LE, 2, le + "<"},                // half a unit at the end
      {Method::Utf16LE, 2, le + "\x3D\xD8"s},       // a pair cut by the end
      {Method::Utf16BE, 0, be},
      {Method::Utf16BE, 0, be + "\xD8\x3D\0"s},
      {Method::Utf32LE, 4, le32},
      {Method::Utf32LE, 4, le32 + "\0\0\x11\0<\0\0\0"s},  // beyond U+10FFFF
      {Method::Utf32BE, 0, be32},
      {Method::Utf32BE, 0, be32 + "\0\0"s},
      {Method::Table, 0, "<r a='\xE9'>caf\xE9 \xFC</r>"},
      {Method::Table, 0, "<r>\xE9\x81</r>"},
      {Method::Pairs, 0, "<abcdefgh\x82\xA0\xA1>\x82\xA0\x82\xA0"},
      {Method::Pairs, 0, "<\x82\xA0\x82\xA1>"},
      {Method::Pairs, 0, "<\x82\xA0\x82"},
      {Method::Ascii, 0, "<r>plain</r>"},
      {Method::Ascii, 0, "<r>pl\xE9in</r>"},
  };
}

DecodePlan plan_of(const StreamCase& c) {
  DecodePlan plan;
  plan.method = c.method;
  plan.skip = c.skip;
  plan.table = &latin_table();
  plan.pairs = &pair_table();
  plan.label = "X";
  return plan;
}

// Cut anywhere, once or before every byte, a stream decodes to what the whole input does, fails
// where it fails after handing on the characters before, and maps every offset of its UTF-8 back
// as the whole-input mapping does.
TEST(StreamDecoder, PiecesDecodeAsTheWhole) {
  for (const StreamCase& c : stream_cases()) {
    const DecodePlan plan = plan_of(c);
    const Decoded whole = decoded_whole(plan, c.input);
    std::vector<std::vector<size_t>> splits;
    for (size_t at = 0; at <= c.input.size(); ++at) splits.push_back({at});
    std::vector<size_t> every;
    for (size_t at = 1; at < c.input.size(); ++at) every.push_back(at);
    splits.push_back(every);
    for (const std::vector<size_t>& cuts : splits) {
      StreamDecoder decoder(plan);
      ElementStream out("r");
      const Decoded got = decoded_in_pieces(c.input, cuts, &decoder, &out);
      EXPECT_EQ(got, whole) << c.input.size() << " bytes, " << cuts.size() << " cuts from " << cuts[0];
      if (!whole.ok) continue;
      for (size_t k = 0; k <= whole.utf8.size(); ++k) {
        ReadError mapped = decoder.to_input(ReadError::syntax("m", k));
        EXPECT_EQ(mapped.offset, input_offset_native(plan, c.input, k)) << k;
      }
    }
  }
}

}  // namespace
