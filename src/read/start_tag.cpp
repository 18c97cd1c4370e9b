// start_tag.cpp: element names and the attribute list of a start tag.
#include "read/start_tag.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "index/byte_classes.hpp"
#include "read/references.hpp"
#include "storage/short_name.hpp"

namespace vx {
namespace {

constexpr const char* kOffsetTooLarge = "XML index offset exceeds addressable input size";

// One lookup in the index's byte-class table per byte instead of a chain of comparisons.
inline bool is_space(char c) {
  return index_detail::in_classes(static_cast<unsigned char>(c), index_detail::kSpace);
}

// The first byte of [p, end) that a value cannot simply be shared past: its closing `quote`, a
// '<', or a byte that decoding changes ('&', tab, line feed, carriage return); `end` if none.
// Blocks of 16 bytes are read whole while they lie before `limit`, the end of the input.
inline const char* value_stop(const char* p, const char* end, const char* limit, char quote) {
#if defined(__SSE2__)
  const __m128i q = _mm_set1_epi8(quote), lt = _mm_set1_epi8('<'), amp = _mm_set1_epi8('&');
  const __m128i tab = _mm_set1_epi8('\t'), lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
  while (p < end && limit - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hit = _mm_or_si128(
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, q), _mm_cmpeq_epi8(v, lt)),
                     _mm_cmpeq_epi8(v, amp)),
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(v, lf)),
                     _mm_cmpeq_epi8(v, cr)));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (mask) {
      const char* at = p + std::countr_zero(mask);
      return at < end ? at : end;
    }
    p += 16;
  }
#endif
  for (; p < end; ++p) {
    const char c = *p;
    if (c == quote || c == '<' || read_detail::attr_special(static_cast<unsigned char>(c))) return p;
  }
  return end;
}

std::string quoted(const char* before, std::string_view name, const char* after) {
  std::string s(before);
  s.append(name);
  s.append(after);
  return s;
}

// Drops what the tag gathered, after making sure every shared range cut so far has its count.
bool give_up(ReadContext& ctx) {
  ctx.settle();
  ctx.attrs.reset(ctx.keys());
  return false;
}

// Fails the tag with `error`.
bool fail(ReadContext& ctx, ReadError error, ReadError* out) {
  *out = std::move(error);
  return give_up(ctx);
}

}  // namespace

Result<ElementName, ReadError> element_name(const IndexedTag& tag) {
  if (!fits_size(tag.start) || !fits_size(tag.end)) return ReadError::syntax(kOffsetTooLarge, 0);
  if (tag.name_length == 0) {
    return ReadError::syntax("expected element name after '<'", tag.start);
  }
  uint64_t region_start = tag.start + 1 + tag.name_length;
  uint64_t region_end = tag.kind == TagKind::SelfClosing ? tag.end - 1 : tag.end;
  if (region_end < region_start) region_end = region_start;
  return ElementName{tag.start + 1, tag.name_length, region_start, region_end};
}

namespace {

// A tag that had keys outside the sequence gives its own keys to the tags after it: they are
// distinct, having been read without a duplicate. The sequence ends before the first key it
// cannot hold.
[[gnu::noinline]] void take_keys_of_tag(ReadContext& ctx) {
  using KeySequence = ReadContext::KeySequence;
  KeySequence& seq = ctx.last_keys;
  const char* s = ctx.input().data();
  const char* const limit = s + ctx.input().size();
  const size_t keys = std::min(ctx.attrs.size(), KeySequence::kMax);
  size_t count = 0;
  for (; count < keys; ++count) {
    const StoredStr& key = ctx.attrs.key(count);
    if (key.shared_source() != ctx.source() || key.size() > ShortName::kMaxLen) break;
    const std::string_view text = key.raw_view();
    seq.keys[count] = {ShortName::of(text.data(), text.size(), limit),
                       static_cast<uint64_t>(text.data() - s), text.size()};
  }
  seq.count = count;
}

// Reads the attributes from `p` on. Where the region's end is known (kAhead false), up to it,
// failing with the error of the first fault. Read ahead, up to the '>' or "/>" that ends the tag
// (stored in `tag_end` and `self_closing`), giving up at anything irregular.
template <bool kAhead>
bool read_attributes(ReadContext& ctx, uint64_t p, uint64_t end, AttrMap* out, ReadError* error,
                     uint64_t* tag_end, bool* self_closing) {
  const char* s = ctx.input().data();
  uint64_t after_previous = p;
  const char* const limit = s + ctx.input().size();
  // Read ahead, a name also stops at '>', where the tag would end inside it: no '=' follows
  // there, so the tag is given up.
  constexpr uint8_t kNameStop = index_detail::kSpace | index_detail::kEquals | index_detail::kQuote |
                                (kAhead ? index_detail::kGt : 0);
  auto reject = [&](auto&& make_error) {
    if constexpr (kAhead) {
      return give_up(ctx);
    } else {
      return fail(ctx, make_error(), error);
    }
  };
  using KeySequence = ReadContext::KeySequence;
  KeySequence& seq = ctx.last_keys;
  // Where in `seq` this tag's next key is looked for, and whether the tag had a key found
  // nowhere from there on.
  size_t next = 0;
  bool departed = false;
  while (true) {
    while (p < end && is_space(s[p])) ++p;
    if constexpr (kAhead) {
      if (p >= end) return give_up(ctx);
      if (s[p] == '>' || s[p] == '/') {
        if (s[p] == '/' && !(p + 1 < end && s[p + 1] == '>')) return give_up(ctx);
        *self_closing = s[p] == '/';
        *tag_end = p + (s[p] == '/');
        break;
      }
    } else {
      if (p >= end) break;
    }
    if (p == after_previous) {
      return reject([&] { return ReadError::syntax("expected whitespace before attribute", p); });
    }
    const uint64_t name_start = p;
    // Most tags of a kind repeat the keys of a recent one, in order, or some of them: where a key
    // of the sequence after the last one found is what the input holds, the name needs no scan,
    // whose exit a varying length makes hard to predict.
    auto is_key = [&](size_t j) {
      const KeySequence::Key& expected = seq.keys[j];
      const uint64_t expected_end = name_start + expected.len;
      return expected_end < end &&
             index_detail::in_classes(static_cast<unsigned char>(s[expected_end]), kNameStop) &&
             ShortName::of(s + name_start, expected.len, limit) == expected.words;
    };
    // The next place is tried apart from the rest: as one loop, the usual case of a key found
    // there took more instructions on documents whose tags all repeat one sequence.
    size_t found = next;
    if (found < seq.count && !is_key(found)) [[unlikely]] {
      do {
        ++found;
      } while (found < seq.count && !is_key(found));
    }
    const bool as_expected = found < seq.count;
    if (as_expected) {
      p = name_start + seq.keys[found].len;
    } else {
      while (p < end && !index_detail::in_classes(static_cast<unsigned char>(s[p]), kNameStop)) ++p;
    }
    std::string_view name(s + name_start, p - name_start);
    if (name.empty()) return reject([&] { return ReadError::syntax("expected attribute name", p); });

    // Nearly every attribute is written name="value", with no space around the '='.
    if (!(p + 1 < end && s[p] == '=' && (s[p + 1] == '"' || s[p + 1] == '\''))) [[unlikely]] {
      while (p < end && is_space(s[p])) ++p;
      if (p >= end || s[p] != '=') {
        return reject([&] {
          return ReadError::syntax(quoted("attribute '", name, "' has no value"), name_start);
        });
      }
      ++p;
      while (p < end && is_space(s[p])) ++p;
      if (p >= end || (s[p] != '"' && s[p] != '\'')) {
        return reject([&] {
          return ReadError::syntax(quoted("value of attribute '", name, "' is not quoted"), p);
        });
      }
    } else {
      ++p;
    }
    const char quote = s[p];
    const uint64_t value_start = p + 1;
    const char* stop = value_stop(s + value_start, s + end, limit, quote);
    StoredStr value;
    uint64_t value_end;
    if (stop < s + end && *stop == quote) [[likely]] {
      value_end = static_cast<uint64_t>(stop - s);
      value = ctx.share(value_start, value_end - value_start);
    } else {
      const void* close = std::memchr(stop, quote, static_cast<size_t>(s + end - stop));
      if (!close) {
        return reject([&] { return ReadError::syntax("unterminated attribute value", value_start); });
      }
      value_end = static_cast<uint64_t>(static_cast<const char*>(close) - s);
      std::string_view rest(stop, value_end - static_cast<uint64_t>(stop - s));
      if (const void* lt = std::memchr(rest.data(), '<', rest.size())) {
        uint64_t at = static_cast<uint64_t>(static_cast<const char*>(lt) - s);
        return reject([&] { return ReadError::syntax("'<' is not allowed in attribute values", at); });
      }
      std::string_view raw(s + value_start, value_end - value_start);
      Result<Decoded, ReadError> decoded = decode_changed(raw, value_start, DecodeMode::Attribute);
      if (!decoded) return reject([&] { return std::move(decoded.error()); });
      value = std::move(decoded.value().owned);
    }
    // The keys of the sequence are distinct. The keys this tag finds in it come from places
    // further and further on, so they differ from each other; a key found nowhere from `next` on
    // is searched for among all the tag's keys, and differs from every key of the sequence from
    // `next` on, where all later keys are found. So a key found in the sequence differs from
    // every key before it, and its first occurrence is at hand.
    if (as_expected) {
      StoredStr key = ctx.share(seq.keys[found].start, name.size());
      ctx.attrs.append_new(key, value);
      next = found + 1;
    } else {
      const ShortName words = name.size() <= ShortName::kMaxLen
                                  ? ShortName::of(name.data(), name.size(), limit)
                                  : ShortName{};
      StoredStr key = name.size() <= ShortName::kMaxLen ? ctx.share_name(name_start, name.size(), words)
                                                        : ctx.share_name(name_start, name.size());
      if (!ctx.attrs.insert_new(key, value)) {
        return reject([&] {
          return ReadError::syntax(quoted("duplicate attribute '", name, "'"), name_start);
        });
      }
      departed = true;
    }
    p = after_previous = value_end + 1;
  }
  if (departed) take_keys_of_tag(ctx);
  *out = ctx.attrs.finish();
  return true;
}

}  // namespace

bool parse_start_tag(ReadContext& ctx, const IndexedTag& tag, StartTag* out, ReadError* error) {
  if (!fits_size(tag.start) || !fits_size(tag.end) || tag.name_length == 0) [[unlikely]] {
    Result<ElementName, ReadError> named = element_name(tag);
    if (!named) {
      *error = std::move(named.error());
      return false;
    }
  }
  uint64_t region_start = tag.start + 1 + tag.name_length;
  uint64_t region_end = tag.kind == TagKind::SelfClosing ? tag.end - 1 : tag.end;
  if (region_end < region_start) region_end = region_start;
  out->where = ElementName{tag.start + 1, tag.name_length, region_start, region_end};
  return read_attributes<false>(ctx, region_start, region_end, &out->attrs, error, nullptr, nullptr);
}

bool read_start_tag_ahead(ReadContext& ctx, uint64_t lt, uint64_t name_end, StartTag* out,
                          uint64_t* tag_end, bool* self_closing) {
  const uint64_t n = ctx.input().size();
  if (name_end <= lt + 1 || name_end >= n) return false;
  if (!read_attributes<true>(ctx, name_end, n, &out->attrs, nullptr, tag_end, self_closing)) {
    return false;
  }
  out->where = ElementName{lt + 1, name_end - (lt + 1), name_end, *self_closing ? *tag_end - 1 : *tag_end};
  return true;
}

}  // namespace vx
