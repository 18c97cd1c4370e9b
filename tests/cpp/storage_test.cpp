// Shared strings, source texts, SipHash and the attribute map.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "entities/attr_map.hpp"
#include "entities/siphash.hpp"
#include "result.hpp"
#include "storage/pending_drops.hpp"
#include "storage/short_name.hpp"
#include "storage/source_text.hpp"
#include "storage/stored_str.hpp"

#include "test_support.hpp"

using namespace vx;

using testing_support::owned_source;

TEST(SipHash, PublishedSipHash24Vectors) {
  // Key 00..0f; messages from the reference test vectors.
  uint64_t k0 = 0x0706050403020100ULL, k1 = 0x0f0e0d0c0b0a0908ULL;
  unsigned char msg[15];
  for (int i = 0; i < 15; ++i) msg[i] = static_cast<unsigned char>(i);
  EXPECT_EQ((siphash<2, 4>(k0, k1, msg, 0)), 0x726fdb47dd0e0e31ULL);
  EXPECT_EQ((siphash<2, 4>(k0, k1, msg, 15)), 0xa129ca6149be45e5ULL);
}

struct Sip13Case {
  const char* message;
  size_t len;
  uint64_t expected;
};

class SipHash13 : public ::testing::TestWithParam<Sip13Case> {};

// Values of CPython's own siphash13 (hash of bytes with the hash secret zeroed), an independent
// implementation of SipHash-1-3 with keys (0, 0).
TEST_P(SipHash13, MatchesIndependentImplementation) {
  const Sip13Case& c = GetParam();
  EXPECT_EQ(siphash13(0, 0, c.message, c.len), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, SipHash13,
    ::testing::Values(Sip13Case{"a", 1, 4644417185603328019ULL},
                      Sip13Case{"abcdefg", 7, 7904145750247929094ULL},
                      Sip13Case{"abcdefgh", 8, 4574395652268504554ULL},
                      Sip13Case{"abcdefghijklmnopq", 17, 7044894726457044172ULL},
                      Sip13Case{"\xff", 1, 3476900567878811119ULL},
                      Sip13Case{"abcdefg\xff", 8, 2492161047327640297ULL}));

TEST(SipHash13, TrailingByteEqualsAppendedByte) {
  // The map hashes key bytes followed by 0xFF; the trailing byte may complete a block.
  EXPECT_EQ(siphash13(0, 0, "abcdefg", 7, 0xFF), 2492161047327640297ULL);
  EXPECT_EQ(siphash13(0, 0, "", 0, 0xFF), 3476900567878811119ULL);
  for (size_t len = 0; len < 40; ++len) {
    std::string s(len, 'x');
    std::string with = s + '\xff';
    EXPECT_EQ(siphash13(5, 9, s.data(), len, 0xFF), siphash13(5, 9, with.data(), with.size()))
        << len;
  }
}

TEST(HashKeys, EachTakeAdvancesK0ByOne) {
  HashKeys a = take_thread_keys();
  HashKeys b = take_thread_keys();
  EXPECT_EQ(b.k0, a.k0 + 1);
  EXPECT_EQ(b.k1, a.k1);
}

// Every length, read whole-word or with the readable bytes ending right after the text, gives the
// text's own bytes and zeros past them.
TEST(ShortName, WordsHoldTheTextAndZerosWhereverTheReadableBytesEnd) {
  std::vector<unsigned char> bytes(64);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(0x80 + 37 * i);
  for (size_t len = 0; len <= ShortName::kMaxLen; ++len) {
    for (size_t at = 0; at + len <= 24; ++at) {
      const char* p = reinterpret_cast<const char*>(bytes.data()) + at;
      ShortName expected;
      for (size_t i = 0; i < len; ++i) {
        uint64_t& w = i < 8 ? expected.head : expected.tail;
        w |= uint64_t{bytes[at + i]} << (8 * (i % 8));
      }
      SCOPED_TRACE(testing::Message() << "len " << len << " at " << at);
      EXPECT_EQ(ShortName::of(p, len, p + len), expected);
      EXPECT_EQ(ShortName::of(p, len, reinterpret_cast<const char*>(bytes.data()) + bytes.size()), expected);
    }
  }
}

TEST(StoredStr, OwnedAbsentAndEmptyAreDistinct) {
  StoredStr absent;
  StoredStr empty = StoredStr::copy_of("");
  StoredStr text = StoredStr::copy_of("héllo");
  EXPECT_FALSE(absent.present());
  EXPECT_TRUE(empty.present());
  EXPECT_EQ(empty.view(), "");
  EXPECT_EQ(text.view(), "héllo");
  StoredStr moved = std::move(text);
  EXPECT_FALSE(text.present());
  EXPECT_EQ(moved.clone().view(), "héllo");
}

TEST(StoredStr, SharedRangesCountTheirSource) {
  SourceText* src = owned_source("<a>hello</a>");
  {
    StoredStr s = StoredStr::shared(src, 3, 5);
    EXPECT_EQ(src->use_count(), 2u);
    StoredStr c = s.clone();
    EXPECT_EQ(src->use_count(), 3u);
    EXPECT_EQ(c.view(), "hello");
  }
  EXPECT_EQ(src->use_count(), 1u);
  src->release();
}

TEST(StoredStr, RangeOffCharacterBoundaryIsAnInternalFailure) {
  SourceText* src = owned_source("\xc3\xa9t\xc3\xa9");  // "été"
  StoredStr inside = StoredStr::shared(src, 1, 2);
  EXPECT_THROW((void)inside.view(), InternalFailure);
  StoredStr past_end = StoredStr::shared(src, 3, 9);
  EXPECT_THROW((void)past_end.view(), InternalFailure);
  src->release();
}

class SourceTextInline : public ::testing::TestWithParam<size_t> {};

TEST_P(SourceTextInline, CopiesTheBytesEndsThemWithZeroAndSharesLikeAnyOther) {
  std::string bytes;
  for (size_t i = 0; i < GetParam(); ++i) bytes += static_cast<char>('a' + i % 26);
  SourceText* src = SourceText::copy_inline(bytes);
  EXPECT_NE(static_cast<const void*>(src->data()), static_cast<const void*>(bytes.data()));
  EXPECT_EQ(src->view(), bytes);
  EXPECT_EQ(src->data()[bytes.size()], '\0');
  {
    StoredStr s = StoredStr::shared(src, 0, bytes.size());
    src->release();  // the string's count keeps it
    EXPECT_EQ(s.view(), bytes);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, SourceTextInline, ::testing::Values(0, 1, 15, 4096, 65536));

namespace {
std::vector<void*> released_owners;
void record_release(void* owner) { released_owners.push_back(owner); }
}  // namespace

TEST(SourceText, LastReleaseHandsBorrowedOwnerToHook) {
  set_owner_release_hook(&record_release);
  int owner = 0;
  static const char text[] = "abc";
  SourceText* src = SourceText::borrow(&owner, text, 3);
  src->retain(2);
  src->release();
  src->release();
  EXPECT_TRUE(released_owners.empty());
  src->release();
  ASSERT_EQ(released_owners.size(), 1u);
  EXPECT_EQ(released_owners[0], &owner);
  set_owner_release_hook(nullptr);
}

TEST(PendingDrops, QueueIsTakenWhole) {
  int a, b;
  defer_drop(&a);
  defer_drop(&b);
  EXPECT_TRUE(drops_pending());
  auto taken = take_pending_drops();
  EXPECT_EQ(taken, (std::vector<void*>{&a, &b}));
  EXPECT_FALSE(drops_pending());
}

class AttrMapSizes : public ::testing::TestWithParam<size_t> {};

// Below and above the linear-scan limit, and where the index grows.
TEST_P(AttrMapSizes, KeepsInsertionOrderAndFindsEveryKey) {
  size_t n = GetParam();
  AttrMapBuilder builder(take_thread_keys());
  for (size_t i = 0; i < n; ++i) {
    StoredStr k = StoredStr::copy_of("key" + std::to_string(n - i));
    StoredStr v = StoredStr::copy_of(std::to_string(i));
    ASSERT_TRUE(builder.insert_new(k, v));
  }
  AttrMap map = builder.finish();
  ASSERT_EQ(map.size(), n);
  size_t i = 0;
  for (const AttrEntry& e : map) {
    EXPECT_EQ(e.key.view(), "key" + std::to_string(n - i));
    EXPECT_EQ(e.value.view(), std::to_string(i));
    ++i;
  }
  for (size_t j = 0; j < n; ++j) {
    const StoredStr* v = map.find("key" + std::to_string(n - j));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->view(), std::to_string(j));
  }
  EXPECT_EQ(map.find("key0"), nullptr);
  EXPECT_EQ(map.find("KEY1"), nullptr);
  EXPECT_EQ(map.find(""), nullptr);

  AttrMap copy = map.clone();
  EXPECT_EQ(copy.keys().k0, map.keys().k0);
  ASSERT_EQ(copy.size(), n);
  for (size_t j = 0; j < n; ++j) EXPECT_EQ(copy.begin()[j].key.view(), map.begin()[j].key.view());
  if (n) {
    EXPECT_NE(copy.find("key1"), nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, AttrMapSizes, ::testing::Values(0, 1, 8, 9, 16, 17, 33, 1000));

TEST(AttrMap, DuplicateKeyIsRefusedOrReplacesValueInPlace) {
  AttrMapBuilder builder(take_thread_keys());
  for (int round = 0; round < 2; ++round) {
    builder.reset(take_thread_keys());
    size_t extra = round ? 20 : 0;  // once with the hash index in use
    for (size_t i = 0; i < extra; ++i) {
      builder.insert_or_replace(StoredStr::copy_of("f" + std::to_string(i)), StoredStr::copy_of("v"));
    }
    builder.insert_or_replace(StoredStr::copy_of("x"), StoredStr::copy_of("1"));
    builder.insert_or_replace(StoredStr::copy_of("y"), StoredStr::copy_of("2"));
    StoredStr k = StoredStr::copy_of("x"), v = StoredStr::copy_of("3");
    EXPECT_FALSE(builder.insert_new(k, v));
    EXPECT_TRUE(k.present());  // not consumed
    builder.insert_or_replace(StoredStr::copy_of("x"), StoredStr::copy_of("3"));
    AttrMap map = builder.finish();
    ASSERT_EQ(map.size(), extra + 2);
    EXPECT_EQ(map.begin()[extra].key.view(), "x");
    EXPECT_EQ(map.begin()[extra].value.view(), "3");
    EXPECT_EQ(map.find("x")->view(), "3");
  }
}

TEST(SourceReleaseBatch, CountsGoBackPerSourceAndTheLastOneFrees) {
  set_owner_release_hook(&record_release);
  released_owners.clear();
  int owner_a = 0, owner_b = 0;
  static const char text[] = "abcdef";
  SourceText* a = SourceText::borrow(&owner_a, text, 6);
  SourceText* b = SourceText::borrow(&owner_b, text, 6);
  std::vector<StoredStr> strings;
  for (int i = 0; i < 3; ++i) strings.push_back(StoredStr::shared(a, 0, 2));
  strings.push_back(StoredStr::shared(b, 2, 2));
  strings.push_back(StoredStr::shared(a, 4, 2));
  b->release();  // only the string now holds b
  {
    SourceReleaseBatch batch;
    for (StoredStr& s : strings) s.reset_into(batch);
    for (StoredStr& s : strings) EXPECT_FALSE(s.present());
    batch.flush();
    EXPECT_EQ(released_owners, (std::vector<void*>{&owner_b}));
    EXPECT_EQ(a->use_count(), 1u);
  }
  a->release();
  EXPECT_EQ(released_owners, (std::vector<void*>{&owner_b, &owner_a}));
  set_owner_release_hook(nullptr);
}

// Maps whose keys and values are all ranges of one source give their counts back in one step;
// maps that mix sources or owned texts give each back on its own. Either way every count comes
// back exactly once, through either release path, and for clones too.
struct MapCountsCase {
  const char* name;
  bool second_source;  // one value from another source
  bool owned_value;    // one value owned rather than shared
  size_t entries;      // above 8 the map carries a hash index
};

class AttrMapCounts : public ::testing::TestWithParam<MapCountsCase> {};

TEST_P(AttrMapCounts, EveryCountComesBackOnce) {
  const MapCountsCase& c = GetParam();
  static const char text[] = "k0k1k2k3k4k5k6k7k8k9kAkBkCkDkEkFvalue";
  SourceText* a = SourceText::borrow(nullptr, text, sizeof text - 1);
  SourceText* b = SourceText::borrow(nullptr, text, sizeof text - 1);
  for (int path = 0; path < 2; ++path) {
    AttrMapBuilder builder(take_thread_keys());
    for (size_t i = 0; i < c.entries; ++i) {
      StoredStr key = StoredStr::shared(a, 2 * i, 2);
      StoredStr value = StoredStr::shared(i == 1 && c.second_source ? b : a, 32, 5);
      if (i == 0 && c.owned_value) value = StoredStr::copy_of("owned");
      ASSERT_TRUE(builder.insert_new(key, value));
    }
    AttrMap map = builder.finish();
    AttrMap copy = map.clone();
    ASSERT_EQ(copy.size(), c.entries);
    EXPECT_EQ(copy.find("k1")->view(), "value");
    size_t held_a = 1 + 2 * 2 * c.entries - 2 * (c.second_source ? 1 : 0) - 2 * (c.owned_value ? 1 : 0);
    EXPECT_EQ(a->use_count(), held_a);
    EXPECT_EQ(b->use_count(), 1u + 2 * (c.second_source ? 1 : 0));
    if (path == 0) {
      map.reset();
      copy.reset();
    } else {
      SourceReleaseBatch counts;
      NodeArena::GiveBatch blocks(attr_block_arena());
      map.reset_into(counts, blocks);
      copy.reset_into(counts, blocks);
    }
    EXPECT_EQ(a->use_count(), 1u);
    EXPECT_EQ(b->use_count(), 1u);
  }
  a->release();
  b->release();
}

INSTANTIATE_TEST_SUITE_P(
    Forms, AttrMapCounts,
    ::testing::Values(MapCountsCase{"OneSource", false, false, 6},
                      MapCountsCase{"OneSourceIndexed", false, false, 16},
                      MapCountsCase{"TwoSources", true, false, 6},
                      MapCountsCase{"OwnedValue", false, true, 6},
                      MapCountsCase{"OwnedValueIndexed", false, true, 16}),
    [](const ::testing::TestParamInfo<MapCountsCase>& info) { return std::string(info.param.name); });
