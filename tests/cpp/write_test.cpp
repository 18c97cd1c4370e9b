// The writer without Python: escaping, indentation, size measurement, and the sinks.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "entities/attr_map.hpp"
#include "result.hpp"
#include "storage/big_block.hpp"
#include "storage/source_text.hpp"
#include "storage/stored_str.hpp"
#include "write/serialiser.hpp"
#include "write/sink.hpp"

using namespace vx;

namespace tree {

// A flat tree: elements in one list, children by index.
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
  // Four breaks indent to depth 1 and one to depth 0 ("x<b>" stays on the text's line).
  EXPECT_EQ(line_break_depths(Handle{&t, root}), 4u);
}

TEST(Indentation, SharedRangesAreWrittenFromTheirSource) {
  // Names and texts cut from one document text, as a parsed tree holds them.
  const char doc[] = "<r>caf\xc3\xa9 & co</r>";
  char* bytes = static_cast<char*>(big_alloc(sizeof doc - 1));
  std::memcpy(bytes, doc, sizeof doc - 1);
  SourceText* source = SourceText::adopt(bytes, sizeof doc - 1, sizeof doc - 1);
  {
    Tree t;
    size_t r = t.add("");
    t.elements[r].name = StoredStr::shared(source, 1, 1);
    t.elements[r].text = StoredStr::shared(source, 3, 10);
    EXPECT_EQ(write(t, r, 4), "<r>caf\xc3\xa9 &amp; co</r>");
    EXPECT_EQ(measure_element(Handle{&t, r}, 4, true).stats.continuation, 1u);
    EXPECT_EQ(source->use_count(), 3u);
  }
  EXPECT_EQ(source->use_count(), 1u);  // the writer took no counts of its own
  source->release();
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

TEST(FixedSink, WritingPastTheMeasuredSizeIsAnInternalFailure) {
  char buffer[4];
  FixedSink sink(buffer, sizeof buffer);
  ASSERT_TRUE(sink.append("abcd"));
  EXPECT_TRUE(sink.full());
  EXPECT_THROW((void)sink.append("e"), InternalFailure);
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
