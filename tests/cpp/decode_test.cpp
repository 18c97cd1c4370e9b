// The decoding stage without Python: finding the encoding, UTF-8 checks across the 64-byte
// blocks, and the native transcoders with their way back to input offsets.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "decode/decode.hpp"
#include "read/unicode.hpp"

using namespace vx;
using namespace std::string_literals;

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

TEST(Transcode, ByteTableAndPairTable) {
  static ByteTable latin{};
  for (unsigned b = 0; b < 256; ++b) {
    if (b == 0x81) continue;  // no character, as in windows-1252
    char buf[4];
    size_t n = b < 0x80 ? (buf[0] = static_cast<char>(b), 1)
                        : (buf[0] = static_cast<char>(0xC0 | (b >> 6)), buf[1] = static_cast<char>(0x80 | (b & 0x3F)), 2);
    latin.len[b] = static_cast<uint8_t>(n);
    std::memcpy(latin.utf8[b], buf, n);
  }
  latin.ascii_identity = true;
  latin.widest = 2;
  DecodePlan plan;
  plan.method = Method::Table;
  plan.table = &latin;
  EXPECT_EQ(transcoded(plan, "<r/>"), "<r/>");  // all ASCII: the input itself
  EXPECT_EQ(transcoded(plan, "<\xE9>"), "<\xC3\xA9>");
  EXPECT_EQ(input_offset_native(plan, "<\xE9>", 3), 2u);
  size_t bad = 0;
  EXPECT_EQ(transcoded(plan, "<\xE9\x81", &bad), "<failed>");
  EXPECT_EQ(bad, 2u);

  // Lead byte 0x82 with trail 0xA0 makes U+3042 (as Shift_JIS); 0xA1 alone makes U+FF61.
  static PairTable pairs{};
  pairs.single = latin;
  for (unsigned b = 0x80; b < 256; ++b) pairs.single.len[b] = 0;
  pairs.single.len[0xA1] = 3;
  std::memcpy(pairs.single.utf8[0xA1], "\xEF\xBD\xA1", 3);
  pairs.lead[0x82] = true;
  pairs.pair_len[0x02][0xA0] = 3;
  std::memcpy(pairs.pair_utf8[0x02][0xA0], "\xE3\x81\x82", 3);
  plan.method = Method::Pairs;
  plan.pairs = &pairs;
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

}  // namespace
