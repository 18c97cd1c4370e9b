// The writer without Python: escaping, indentation, size measurement, and the sinks.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "entities/attr_map.hpp"
#include "result.hpp"
#include "storage/stored_str.hpp"
#include "write/serialiser.hpp"
#include "write/sink.hpp"

using namespace vx;

namespace tree {

// A flat tree (children by index) so that even a million-deep chain is built and freed
// without recursion in the test itself.
struct Element {
  StoredStr name;
  StoredStr text;
  AttrMap attrs;
  std::vector<size_t> children;
};
struct Tree {
  std::vector<Element> elements;
  size_t add(std::string_view name, const char* text = nullptr,
             std::vector<std::pair<std::string, std::string>> attrs = {}) {
    AttrMapBuilder builder(take_thread_keys());
    for (auto& [k, v] : attrs) builder.insert_or_replace(StoredStr::copy_of(k), StoredStr::copy_of(v));
    elements.push_back(Element{StoredStr::copy_of(name), text ? StoredStr::copy_of(text) : StoredStr(),
                               builder.finish(), {}});
    return elements.size() - 1;
  }
};
struct Handle {
  const Tree* tree;
  size_t index;
};
inline std::string_view tree_name(Handle h) { return h.tree->elements[h.index].name.view(); }
inline const StoredStr& tree_text(Handle h) { return h.tree->elements[h.index].text; }
inline const AttrMap& tree_attrs(Handle h) { return h.tree->elements[h.index].attrs; }
inline size_t tree_child_count(Handle h) { return h.tree->elements[h.index].children.size(); }
inline Handle tree_child(Handle h, size_t i) { return {h.tree, h.tree->elements[h.index].children[i]}; }

}  // namespace tree

namespace {

using tree::Handle;
using tree::Tree;

// Every append reaches `overflow`, so the pieces are recorded as they were appended.
class RecordingSink final : public OutputSink {
 public:
  std::vector<std::string> pieces;
  std::string joined() const {
    std::string all;
    for (auto& p : pieces) all += p;
    return all;
  }

 private:
  bool overflow(const char* data, size_t len) override {
    pieces.emplace_back(data, len);
    return true;
  }
};

std::string write(const Tree& t, size_t root, size_t indent) {
  MemorySink sink;
  XmlWriter w{sink, indent};
  EXPECT_TRUE(write_element(w, Handle{&t, root}).ok());
  EXPECT_EQ(w.depth, 0u);
  std::string out(sink.bytes());
  OutputSize size = measure_element(Handle{&t, root}, indent, true);
  EXPECT_TRUE(size.fits);
  EXPECT_EQ(size.bytes, out.size());
  return out;
}

std::string reference_escape(std::string_view text, bool attribute) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      case '\t': out += attribute ? "&#9;" : "\t"; break;
      case '\n': out += attribute ? "&#10;" : "\n"; break;
      case '\r': out += attribute ? "&#13;" : "\r"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

TEST(Escaping, EveryByteAtEveryPositionOfShortAndLongTexts) {
  // Lengths around the 4-, 8- and 16-byte loads; the byte under test at each position.
  for (bool attribute : {false, true}) {
    for (int byte = 1; byte < 256; ++byte) {
      for (size_t len : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 33u}) {
        for (size_t at = 0; at < len; ++at) {
          std::string text(len, 'a');
          text[at] = static_cast<char>(byte);
          MemorySink sink;
          ASSERT_TRUE(write_escaped(sink, text, attribute).ok());
          std::string expected = reference_escape(text, attribute);
          ASSERT_EQ(sink.bytes(), expected) << byte << " at " << at << " of " << len;
          TextStats stats;
          ASSERT_EQ(escaped_growth(text, attribute, &stats), expected.size() - len);
          ASSERT_EQ(stats.max_byte, byte >= 0x80 ? byte : 0);
          ASSERT_EQ(stats.continuation, (byte & 0xC0) == 0x80 ? 1u : 0u);
        }
      }
    }
  }
}

TEST(Escaping, TextsEndingAtAnUnmappedPageAreReadSafely) {
  // Short texts are read 16 bytes at a time where that stays inside their page; right before
  // an inaccessible page it must not, or this test dies.
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* mapped = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  char* area = static_cast<char*>(mapped);
  ASSERT_EQ(mprotect(area + page, page, PROT_NONE), 0);
  for (size_t len = 1; len <= 40; ++len) {
    char* text = area + page - len;
    std::memset(text, 'a', len);
    text[len - 1] = '&';
    if (len > 1) text[0] = '\xc3';  // a lone lead byte is fine here: only counts are looked at
    std::string_view view(text, len);
    MemorySink sink;
    ASSERT_TRUE(write_escaped(sink, view, true).ok());
    EXPECT_EQ(sink.bytes(), reference_escape(view, true)) << len;
    TextStats stats;
    EXPECT_EQ(escaped_growth(view, false, &stats), 4u) << len;
    scan_verbatim(view, &stats);
    EXPECT_EQ(stats.max_byte, len > 1 ? 0xC3 : 0);
  }
  munmap(mapped, 2 * page);
}

TEST(Escaping, RunsGoInOnePieceAndEmptyTextAppendsNothing) {
  RecordingSink sink;
  std::string run(100, 'x');
  ASSERT_TRUE(write_escaped(sink, run + "&" + run + "<\n" + run, false).ok());
  EXPECT_EQ(sink.pieces, (std::vector<std::string>{run, "&amp;", run, "&lt;", "\n" + run}));

  RecordingSink attr;
  ASSERT_TRUE(write_escaped(attr, "\t\"ab", true).ok());
  EXPECT_EQ(attr.pieces, (std::vector<std::string>{"&#9;", "&quot;", "ab"}));

  RecordingSink empty;
  ASSERT_TRUE(write_escaped(empty, "", true).ok());
  EXPECT_EQ(empty.joined(), "");
}

TEST(Escaping, ScanStatsCountCharactersOfEveryWidth) {
  TextStats stats;
  scan_verbatim("a\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80", &stats);  // a é 日 😀
  EXPECT_EQ(stats.continuation, 1u + 2u + 3u);
  EXPECT_EQ(stats.max_byte, 0xF0);
}

TEST(Indentation, WorkedExampleAndItsRules) {
  Tree t;
  size_t root = t.add("catalog", nullptr, {{"id", "7"}});
  size_t book = t.add("book", "A & B"), shelf = t.add("shelf"), note = t.add("note", "x");
  size_t b = t.add("b", "y");
  t.elements[note].children = {b};
  t.elements[root].children = {book, shelf, note};
  EXPECT_EQ(write(t, root, 4),
            "<catalog id=\"7\">\n    <book>A &amp; B</book>\n    <shelf/>\n    <note>x<b>y</b>\n"
            "    </note>\n</catalog>");
  EXPECT_EQ(write(t, root, 0),
            "<catalog id=\"7\">\n<book>A &amp; B</book>\n<shelf/>\n<note>x<b>y</b>\n</note>\n</catalog>");
}

TEST(Indentation, EmptyTextAttributesAndNesting) {
  Tree t;
  size_t a = t.add("a", "", {{"k", "v"}, {"q", "\"'"}});
  EXPECT_EQ(write(t, a, 4), "<a k=\"v\" q=\"&quot;&apos;\"></a>");
  size_t e = t.add("e", nullptr, {{"k", "v"}});
  EXPECT_EQ(write(t, e, 4), "<e k=\"v\"/>");
  size_t outer = t.add("o"), mid = t.add("m"), leaf = t.add("l", "t");
  t.elements[mid].children = {leaf, e};
  t.elements[outer].children = {mid};
  EXPECT_EQ(write(t, outer, 2), "<o>\n  <m>\n    <l>t</l>\n    <e k=\"v\"/>\n  </m>\n</o>");
}

TEST(Indentation, MeasureMatchesEmissionOnRandomTrees) {
  std::mt19937 rng(7);
  const char* words[] = {"", "a", "<&>", "x\ny", "\xc3\xa9t\xc3\xa9", "\xe6\x97\xa5", "\xf0\x9f\x98\x80!",
                         "long text without markup at all, long enough for blocks"};
  for (int round = 0; round < 300; ++round) {
    Tree t;
    size_t count = 1 + rng() % 30;
    for (size_t i = 0; i < count; ++i) {
      const char* text = rng() % 3 ? words[rng() % 8] : nullptr;
      std::vector<std::pair<std::string, std::string>> attrs;
      for (unsigned k = rng() % 3; k > 0; --k) attrs.emplace_back("k" + std::to_string(k), words[rng() % 8]);
      t.add(words[rng() % 8], text, attrs);
      if (i > 0) t.elements[rng() % i].children.push_back(i);
    }
    size_t indent = rng() % 5;
    std::string out = write(t, 0, indent);
    TextStats stats;
    scan_verbatim(out, &stats);
    OutputSize size = measure_element(Handle{&t, 0}, indent, true);
    EXPECT_EQ(size.stats.continuation, stats.continuation);
    EXPECT_EQ(size.stats.max_byte, stats.max_byte);
  }
}

TEST(Indentation, OverflowingIndentationIsReportedNotWrapped) {
  Tree t;
  size_t a = t.add("a"), b = t.add("b"), c = t.add("c");
  t.elements[b].children = {c};
  t.elements[a].children = {b};
  EXPECT_FALSE(measure_element(Handle{&t, a}, SIZE_MAX, true).fits);
  EXPECT_FALSE(measure_element(Handle{&t, a}, SIZE_MAX / 2, false).fits);
  OutputSize fits = measure_element(Handle{&t, a}, SIZE_MAX / 8, false);
  ASSERT_TRUE(fits.fits);
  EXPECT_EQ(fits.bytes, 4 * (SIZE_MAX / 8) + std::string("<a><b><c/></b></a>").size() + 4);
  EXPECT_TRUE(measure_element(Handle{&t, c}, SIZE_MAX, true).fits);  // no line break at all
}

TEST(Indentation, MillionDeepChainWithoutRecursion) {
  Tree t;
  constexpr size_t kDepth = 1'000'000;
  t.elements.reserve(kDepth);
  for (size_t i = 0; i < kDepth; ++i) {
    t.add("a", i + 1 == kDepth ? "t" : nullptr);
    if (i > 0) t.elements[i - 1].children.push_back(i);
  }
  std::string out = write(t, 0, 0);
  std::string expected = "<a>";
  for (size_t i = 1; i + 1 < kDepth; ++i) expected += "\n<a>";
  expected += "\n<a>t</a>";
  for (size_t i = 1; i < kDepth; ++i) expected += "\n</a>";
  EXPECT_EQ(out, expected);
}

namespace {

// A scripted write(2): each call takes the next step (bytes accepted, or -errno); afterwards
// everything is accepted. Records the sizes asked for.
struct Script {
  std::vector<ssize_t> steps;
  size_t next = 0;
  std::vector<size_t> asked;
  std::string file;
};
Script* script = nullptr;

ssize_t scripted_write(int, const void* data, size_t len) {
  script->asked.push_back(len);
  ssize_t n = script->next < script->steps.size() ? script->steps[script->next++] : static_cast<ssize_t>(len);
  if (n < 0) {
    errno = static_cast<int>(-n);
    return -1;
  }
  n = std::min<ssize_t>(n, static_cast<ssize_t>(len));
  script->file.append(static_cast<const char*>(data), static_cast<size_t>(n));
  return n;
}

struct FileSinkTest : ::testing::Test {
  Script s;
  void SetUp() override { script = &s; }
  void TearDown() override { script = nullptr; }
};

std::string bytes(size_t n, char c) { return std::string(n, c); }

}  // namespace

TEST_F(FileSinkTest, BufferFlushesOnlyWhenAnAppendDoesNotFit) {
  // 8191 + 1 bytes fill the buffer exactly; the next byte, or a byte after 8192, flushes it.
  for (size_t first : {8191u, 8192u}) {
    s = Script{};
    FileSink sink(3, &scripted_write);
    ASSERT_TRUE(sink.append(bytes(first, 'a')));
    ASSERT_TRUE(sink.append("b"));
    if (first == 8191) {
      EXPECT_TRUE(s.asked.empty());
      ASSERT_TRUE(sink.append("c"));
      EXPECT_EQ(s.asked, std::vector<size_t>{8192});
    } else {
      EXPECT_EQ(s.asked, std::vector<size_t>{8192});
      ASSERT_TRUE(sink.append("c"));
    }
    ASSERT_TRUE(sink.flush());
    EXPECT_EQ(s.file, bytes(first, 'a') + "bc");
    EXPECT_EQ(s.asked.size(), 2u);
  }
}

TEST_F(FileSinkTest, AppendsAsLargeAsTheBufferGoStraightToTheFile) {
  for (size_t large : {8191u, 8192u, 8193u, 50000u}) {
    s = Script{};
    FileSink sink(3, &scripted_write);
    ASSERT_TRUE(sink.append("head"));
    ASSERT_TRUE(sink.append(bytes(large, 'x')));
    if (large < FileSink::kBufferSize) {
      EXPECT_EQ(s.asked, std::vector<size_t>{4});  // buffer flushed, the append buffered
      EXPECT_EQ(sink.buffered(), large);
    } else {
      EXPECT_EQ(s.asked, (std::vector<size_t>{4, large}));
      EXPECT_EQ(sink.buffered(), 0u);
    }
    ASSERT_TRUE(sink.flush());
    EXPECT_EQ(s.file, "head" + bytes(large, 'x'));
  }
}

TEST_F(FileSinkTest, ShortAndInterruptedWritesAreContinued) {
  s.steps = {100, -EINTR, 1, -EINTR, -EINTR, 5000};
  FileSink sink(3, &scripted_write);
  std::string data = bytes(8000, 'p') + bytes(9000, 'q');
  ASSERT_TRUE(sink.append(data.substr(0, 8000)));
  ASSERT_TRUE(sink.append(data.substr(8000)));
  ASSERT_TRUE(sink.flush());
  EXPECT_EQ(s.file, data);
  EXPECT_EQ(s.asked, (std::vector<size_t>{8000, 7900, 7900, 7899, 7899, 7899, 2899, 9000}));
}

TEST_F(FileSinkTest, AWriteAcceptingNothingFails) {
  s.steps = {0};
  FileSink sink(3, &scripted_write);
  ASSERT_TRUE(sink.append("abc"));
  EXPECT_FALSE(sink.flush());
  EXPECT_EQ(sink.error().code, 0);
  EXPECT_EQ(sink.error().text, "failed to write the buffered data");
  EXPECT_FALSE(sink.append("more"));  // a failed sink stays failed
}

TEST_F(FileSinkTest, AfterAnErrorOnlyTheUnwrittenRestIsHandedOver) {
  s.steps = {3000, -EFBIG, -EFBIG};
  FileSink sink(3, &scripted_write);
  ASSERT_TRUE(sink.append(bytes(5000, 'a')));
  EXPECT_FALSE(sink.append(bytes(5000, 'b')));
  EXPECT_EQ(sink.error().code, EFBIG);
  sink.flush_ignoring_errors();  // the last attempt: asked for the 2000 unwritten, gets them
  EXPECT_EQ(s.asked, (std::vector<size_t>{5000, 2000, 2000}));
  EXPECT_EQ(s.file, bytes(3000, 'a'));
  sink.flush_ignoring_errors();
  EXPECT_EQ(s.asked.size(), 3u);  // nothing left to hand over
}

TEST_F(FileSinkTest, WriterStopsAtTheFirstFailedAppend) {
  Tree t;
  size_t root = t.add("r");
  for (int i = 0; i < 50; ++i) {
    size_t child = t.add("c", std::string(1000, 'x').c_str());
    t.elements[root].children.push_back(child);
  }
  s.steps = {8192, -ENOSPC};
  FileSink sink(3, &scripted_write);
  XmlWriter w{sink, 2};
  Status<OsError> outcome = write_element(w, Handle{&t, root});
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().code, ENOSPC);
  EXPECT_EQ(s.asked.size(), 2u);
  EXPECT_EQ(s.file, write(t, root, 2).substr(0, s.asked[0]));  // the first block, then nothing
}

TEST(OpenForWriting, NulIsRefusedBeforeAnySystemCall) {
  auto opened = open_for_writing(std::string_view("/tmp/never\0here", 15));
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().code, 0);
  EXPECT_EQ(opened.error().text, "file name contained an unexpected NUL byte");
  EXPECT_EQ(open_for_writing("").error().code, ENOENT);
}

TEST(MemorySink, GrowsGeometricallyAndKeepsEverything) {
  MemorySink sink;
  std::string expected;
  for (int i = 0; i < 5000; ++i) {
    std::string piece(static_cast<size_t>(i % 37), static_cast<char>('a' + i % 26));
    ASSERT_TRUE(sink.append(piece));
    expected += piece;
  }
  ASSERT_TRUE(sink.fill(' ', 1000));
  expected += std::string(1000, ' ');
  EXPECT_EQ(sink.bytes(), expected);
}

TEST(FixedSink, WritingPastTheMeasuredSizeIsAnInternalFailure) {
  char buffer[4];
  FixedSink sink(buffer, sizeof buffer);
  ASSERT_TRUE(sink.append("abcd"));
  EXPECT_TRUE(sink.full());
  EXPECT_THROW((void)sink.append("e"), InternalFailure);
}

namespace {

std::u32string decode_reference(const std::string& utf8) {
  std::u32string out;
  for (size_t i = 0; i < utf8.size();) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    char32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    out += cp;
    i += n;
  }
  return out;
}

void append_utf8(std::string& s, char32_t cp) {
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

template <class Unit>
void transcode_random(char32_t widest) {
  std::mt19937 rng(11);
  for (int round = 0; round < 8; ++round) {
    // Pieces of many sizes, so staged blocks, direct decoding and the 16-byte ASCII path meet.
    std::vector<std::string> pieces;
    std::string all;
    for (int p = 0; p < 200; ++p) {
      std::string piece;
      size_t len = rng() % 3 ? rng() % 40 : rng() % 20000;
      for (size_t i = 0; i < len; ++i) {
        char32_t cp = rng() % 4 ? 0x20 + rng() % 0x5F : 0x80 + rng() % (widest - 0x80);
        if (cp >= 0xD800 && cp <= 0xDFFF) cp = 'z';
        append_utf8(piece, cp);
      }
      all += piece;
      pieces.push_back(std::move(piece));
    }
    std::u32string expected = decode_reference(all);
    std::vector<Unit> out(expected.size());
    TranscodingSink<Unit> sink(out.data(), out.size());
    for (auto& piece : pieces) ASSERT_TRUE(sink.append(piece));
    sink.finish();
    ASSERT_EQ(sink.units_left(), 0u);
    ASSERT_TRUE(std::equal(out.begin(), out.end(), expected.begin()));
  }
}

}  // namespace

TEST(TranscodingSink, DecodesIntoEveryWidth) {
  transcode_random<uint8_t>(0x100);
  transcode_random<uint16_t>(0x10000);
  transcode_random<uint32_t>(0x110000);
}

TEST(TranscodingSink, MalformedOrTooWideOrTooLongIsAnInternalFailure) {
  const char* bad[] = {"\x80", "\xc3", "\xc0\x80", "\xe0\x80\x80", "\xed\xa0\x80", "\xf5\x80\x80\x80", "\xc4\x80"};
  for (const char* text : bad) {
    uint8_t out[8];
    TranscodingSink<uint8_t> sink(out, sizeof out);
    ASSERT_TRUE(sink.append(text));
    EXPECT_THROW(sink.finish(), InternalFailure) << text;
  }
  uint16_t two[2];
  TranscodingSink<uint16_t> narrow(two, 2);
  ASSERT_TRUE(narrow.append("abc"));
  EXPECT_THROW(narrow.finish(), InternalFailure);
}
