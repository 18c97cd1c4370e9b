// start_tag.cpp: element names and the attribute list of a start tag.
#include "read/start_tag.hpp"

#include <cstring>
#include <string>

#include "read/references.hpp"

namespace vx {
namespace {

constexpr const char* kOffsetTooLarge = "XML index offset exceeds addressable input size";

bool ends_attr_name(unsigned char c) {
  return is_tag_space(c) || c == '=' || c == '"' || c == '\'';
}

std::string quoted(const char* before, std::string_view name, const char* after) {
  std::string s(before);
  s.append(name);
  s.append(after);
  return s;
}

// Fails the tag after making sure every shared range cut so far has its count.
ReadError fail(ReadContext& ctx, ReadError error) {
  ctx.settle();
  ctx.attrs.reset(ctx.keys());
  return error;
}

}  // namespace

Result<ElementName, ReadError> element_name(const StructuralIndex& index, size_t i) {
  const IndexedTag& tag = index.tag(i);
  if (!fits_size(tag.start) || !fits_size(tag.end)) return ReadError::syntax(kOffsetTooLarge, 0);
  if (tag.name_length == 0) {
    return ReadError::syntax("expected element name after '<'", tag.start);
  }
  uint64_t region_start = tag.start + 1 + tag.name_length;
  uint64_t region_end = tag.kind == TagKind::SelfClosing ? tag.end - 1 : tag.end;
  if (region_end < region_start) region_end = region_start;
  return ElementName{tag.start + 1, tag.name_length, region_start, region_end};
}

Result<StartTag, ReadError> parse_start_tag(ReadContext& ctx, const StructuralIndex& index,
                                            size_t i) {
  Result<ElementName, ReadError> named = element_name(index, i);
  if (!named) return std::move(named.error());
  const ElementName where = named.value();
  const char* s = ctx.input().data();
  uint64_t p = where.region_start;
  const uint64_t end = where.region_end;
  uint64_t after_previous = p;

  while (true) {
    while (p < end && is_tag_space(static_cast<unsigned char>(s[p]))) ++p;
    if (p >= end) break;
    if (p == after_previous) {
      return fail(ctx, ReadError::syntax("expected whitespace before attribute", p));
    }
    const uint64_t name_start = p;
    while (p < end && !ends_attr_name(static_cast<unsigned char>(s[p]))) ++p;
    std::string_view name(s + name_start, p - name_start);
    if (name.empty()) return fail(ctx, ReadError::syntax("expected attribute name", p));

    while (p < end && is_tag_space(static_cast<unsigned char>(s[p]))) ++p;
    if (p >= end || s[p] != '=') {
      return fail(ctx, ReadError::syntax(quoted("attribute '", name, "' has no value"), name_start));
    }
    ++p;
    while (p < end && is_tag_space(static_cast<unsigned char>(s[p]))) ++p;
    if (p >= end || (s[p] != '"' && s[p] != '\'')) {
      return fail(ctx, ReadError::syntax(quoted("value of attribute '", name, "' is not quoted"), p));
    }
    const uint64_t value_start = p + 1;
    const void* close = std::memchr(s + value_start, s[p], end - value_start);
    if (!close) return fail(ctx, ReadError::syntax("unterminated attribute value", value_start));
    const uint64_t value_end = static_cast<uint64_t>(static_cast<const char*>(close) - s);
    std::string_view raw(s + value_start, value_end - value_start);
    if (const void* lt = std::memchr(raw.data(), '<', raw.size())) {
      uint64_t at = static_cast<uint64_t>(static_cast<const char*>(lt) - s);
      return fail(ctx, ReadError::syntax("'<' is not allowed in attribute values", at));
    }

    StoredStr value;
    if (!needs_decoding(raw, DecodeMode::Attribute)) [[likely]] {
      value = ctx.share(value_start, raw.size());
    } else {
      Result<Decoded, ReadError> decoded = decode_changed(raw, value_start, DecodeMode::Attribute);
      if (!decoded) return fail(ctx, std::move(decoded.error()));
      value = std::move(decoded.value().owned);
    }
    StoredStr key = ctx.share_name(name_start, name.size());
    if (!ctx.attrs.insert_new(key, value)) {
      return fail(ctx, ReadError::syntax(quoted("duplicate attribute '", name, "'"), name_start));
    }
    p = after_previous = value_end + 1;
  }
  return StartTag{where, ctx.attrs.finish()};
}

}  // namespace vx
