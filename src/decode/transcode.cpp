// transcode.cpp: UTF-16, UTF-32, single-byte and double-byte tables into UTF-8, without the GIL, and
// the way back from an offset of the UTF-8 to the input character it came from.
#include <cstring>
#include <new>

#include "decode/decode.hpp"
#include "decode/output_buffer.hpp"
#include "result.hpp"
#include "storage/big_block.hpp"

namespace vx {
namespace {

using decode_detail::Output;

size_t put_utf8(uint32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

size_t utf8_length(uint32_t cp) { return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; }

// One character of a UTF-16 or UTF-32 input: its code point and its length in bytes, or an
// ill-formed sequence (length 0).
struct Char {
  uint32_t cp;
  size_t bytes;
};

template <bool Big>
uint32_t unit16(const unsigned char* p) {
  return Big ? (uint32_t{p[0]} << 8) | p[1] : (uint32_t{p[1]} << 8) | p[0];
}
template <bool Big>
uint32_t unit32(const unsigned char* p) {
  return Big ? (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3]
             : (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

template <bool Big>
Char next16(const unsigned char* p, size_t left) {
  if (left < 2) return {0, 0};
  uint32_t u = unit16<Big>(p);
  if (u < 0xD800 || u > 0xDFFF) return {u, 2};
  if (u > 0xDBFF || left < 4) return {0, 0};  // a lone low surrogate, or a pair cut short
  uint32_t low = unit16<Big>(p + 2);
  if (low < 0xDC00 || low > 0xDFFF) return {0, 0};
  return {0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00), 4};
}

template <bool Big>
Char next32(const unsigned char* p, size_t left) {
  if (left < 4) return {0, 0};
  uint32_t u = unit32<Big>(p);
  if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) return {0, 0};
  return {u, 4};
}

template <Char (*Next)(const unsigned char*, size_t)>
Transcoded units_into(std::string_view input, char* out) {
  auto* begin = reinterpret_cast<const unsigned char*>(input.data());
  auto* p = begin;
  auto* end = begin + input.size();
  char* w = out;
  while (p < end) {
    Char c = Next(p, static_cast<size_t>(end - p));
    if (!c.bytes) return {static_cast<size_t>(w - out), false, static_cast<size_t>(p - begin)};
    w += put_utf8(c.cp, w);
    p += c.bytes;
  }
  return {static_cast<size_t>(w - out), true, 0};
}

NativeDecoded failed_at(size_t offset) {
  NativeDecoded failed;
  failed.invalid_at = offset;
  return failed;
}

NativeDecoded unchanged() {
  NativeDecoded same;
  same.unchanged = true;
  return same;
}

template <Char (*Next)(const unsigned char*, size_t)>
NativeDecoded transcode_units(std::string_view input, size_t skip, size_t room) {
  Output out(room);
  Transcoded t = units_into<Next>(input.substr(skip), out.data());
  if (!t.ok) return failed_at(skip + t.invalid_at);
  NativeDecoded done;
  done.text = out.finish(t.written);
  return done;
}

template <Char (*Next)(const unsigned char*, size_t)>
size_t map_units(std::string_view input, size_t skip, size_t utf8_offset) {
  auto* begin = reinterpret_cast<const unsigned char*>(input.data());
  size_t at = skip, made = 0;
  while (at < input.size()) {
    Char c = Next(begin + at, input.size() - at);
    if (!c.bytes) break;
    made += utf8_length(c.cp);
    if (made > utf8_offset) return at;
    at += c.bytes;
  }
  return input.size();
}

// `plain`: the leading bytes known to be ASCII that stands for itself.
Transcoded table_into(const ByteTable& t, std::string_view input, size_t plain, char* out) {
  auto* s = reinterpret_cast<const unsigned char*>(input.data());
  std::memcpy(out, s, plain);
  char* w = out + plain;
  for (size_t i = plain; i < input.size(); ++i) {
    unsigned char b = s[i];
    size_t n = t.len[b];
    if (n == 1) {
      *w++ = t.utf8[b][0];
      continue;
    }
    if (n == 0) return {static_cast<size_t>(w - out), false, i};
    std::memcpy(w, t.utf8[b], 4);  // the table row is 4 bytes wide; only n of them count
    w += n;
  }
  return {static_cast<size_t>(w - out), true, 0};
}

// Rows are copied 4 bytes at a time, so the last one may write 3 bytes past its character.
size_t table_room(const ByteTable& t, size_t plain, size_t n) { return plain + (n - plain) * t.widest + 4; }

NativeDecoded transcode_table(const ByteTable& t, std::string_view input) {
  size_t plain = t.ascii_identity ? first_non_ascii(input) : 0;
  if (plain == input.size()) return unchanged();
  Output out(table_room(t, plain, input.size()));
  Transcoded done = table_into(t, input, plain, out.data());
  if (!done.ok) return failed_at(done.invalid_at);
  NativeDecoded made;
  made.text = out.finish(done.written);
  return made;
}

size_t map_table(const ByteTable& t, std::string_view input, size_t utf8_offset) {
  size_t made = 0;
  for (size_t i = 0; i < input.size(); ++i) {
    made += t.len[static_cast<unsigned char>(input[i])];
    if (made > utf8_offset) return i;
  }
  return input.size();
}

Transcoded pairs_into(const PairTable& t, std::string_view input, char* out) {
  auto* s = reinterpret_cast<const unsigned char*>(input.data());
  const size_t n = input.size();
  char* w = out;
  const bool ascii = t.single.ascii_identity;
  size_t i = 0;
  while (i < n) {
    if (ascii) {
      // Runs of ASCII, 8 bytes at a time: most of the markup and much of the text.
      while (i + 8 <= n) {
        uint64_t word;
        std::memcpy(&word, s + i, 8);
        if (word & 0x8080808080808080ULL) break;
        std::memcpy(w, &word, 8);
        w += 8;
        i += 8;
      }
      if (i == n) break;
    }
    unsigned char b = s[i];
    if (size_t len = t.single.len[b]) {
      std::memcpy(w, t.single.utf8[b], 4);
      w += len;
      ++i;
      continue;
    }
    size_t len = t.lead[b] && i + 1 < n ? t.pair_len[b - 0x80][s[i + 1]] : 0;
    if (!len) return {static_cast<size_t>(w - out), false, i};
    std::memcpy(w, t.pair_utf8[b - 0x80][s[i + 1]], 4);
    w += len;
    i += 2;
  }
  return {static_cast<size_t>(w - out), true, 0};
}

// A single byte makes at most 3 bytes of UTF-8 (half-width katakana), a pair at most 4.
size_t pairs_room(size_t n) { return n * 3 + 4; }

NativeDecoded transcode_pairs(const PairTable& t, std::string_view input) {
  if (t.single.ascii_identity && first_non_ascii(input) == input.size()) return unchanged();
  Output out(pairs_room(input.size()));
  Transcoded done = pairs_into(t, input, out.data());
  if (!done.ok) return failed_at(done.invalid_at);
  NativeDecoded made;
  made.text = out.finish(done.written);
  return made;
}

// Where the last whole character ends: a lead byte at the end waits for its trail.
size_t whole_pairs(const PairTable& t, std::string_view input) {
  auto* s = reinterpret_cast<const unsigned char*>(input.data());
  const size_t n = input.size();
  size_t i = 0;
  while (i < n) {
    unsigned char b = s[i];
    i += !t.single.len[b] && t.lead[b] ? 2 : 1;
  }
  return i > n ? n - 1 : n;
}

size_t map_pairs(const PairTable& t, std::string_view input, size_t utf8_offset) {
  auto* s = reinterpret_cast<const unsigned char*>(input.data());
  size_t made = 0, i = 0;
  while (i < input.size()) {
    unsigned char b = s[i];
    size_t step = 1;
    if (size_t len = t.single.len[b]) {
      made += len;
    } else if (t.lead[b] && i + 1 < input.size() && t.pair_len[b - 0x80][s[i + 1]]) {
      made += t.pair_len[b - 0x80][s[i + 1]];
      step = 2;
    } else {
      break;
    }
    if (made > utf8_offset) return i;
    i += step;
  }
  return input.size();
}

}  // namespace

size_t first_non_ascii(std::string_view bytes) noexcept {
  auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t n = bytes.size(), i = 0;
  for (; i + 16 <= n; i += 16) {
    uint64_t a, b;
    std::memcpy(&a, s + i, 8);
    std::memcpy(&b, s + i + 8, 8);
    if ((a | b) & 0x8080808080808080ULL) break;
  }
  for (; i < n; ++i) {
    if (s[i] & 0x80) return i;
  }
  return n;
}

NativeDecoded transcode_native(const DecodePlan& plan, std::string_view input) {
  size_t skip = plan.skip < input.size() ? plan.skip : input.size();
  const size_t room = transcoded_room(plan, input.size() - skip);
  switch (plan.method) {
    case Method::Utf16LE: return transcode_units<next16<false>>(input, skip, room);
    case Method::Utf16BE: return transcode_units<next16<true>>(input, skip, room);
    case Method::Utf32LE: return transcode_units<next32<false>>(input, skip, room);
    case Method::Utf32BE: return transcode_units<next32<true>>(input, skip, room);
    case Method::Table: return transcode_table(*plan.table, input);
    case Method::Pairs: return transcode_pairs(*plan.pairs, input);
    default: invariant_failed("transcode_native: not a native method");
  }
}

size_t transcoded_room(const DecodePlan& plan, size_t n) noexcept {
  switch (plan.method) {
    // A 16-bit unit makes at most 3 bytes of UTF-8, a pair of them 4; a 32-bit unit makes 4.
    case Method::Utf16LE:
    case Method::Utf16BE: return n / 2 * 3 + 4;
    case Method::Utf32LE:
    case Method::Utf32BE: return n + 4;
    case Method::Table: return table_room(*plan.table, 0, n);
    case Method::Pairs: return pairs_room(n);
    default: return n + 4;
  }
}

Transcoded transcode_into(const DecodePlan& plan, std::string_view input, char* out) noexcept {
  switch (plan.method) {
    case Method::Utf16LE: return units_into<next16<false>>(input, out);
    case Method::Utf16BE: return units_into<next16<true>>(input, out);
    case Method::Utf32LE: return units_into<next32<false>>(input, out);
    case Method::Utf32BE: return units_into<next32<true>>(input, out);
    case Method::Table: return table_into(*plan.table, input, 0, out);
    case Method::Pairs: return pairs_into(*plan.pairs, input, out);
    case Method::Ascii: {
      size_t plain = first_non_ascii(input);
      std::memcpy(out, input.data(), plain);
      return {plain, plain == input.size(), plain};
    }
    default: invariant_failed("transcode_into: not a native method");
  }
}

size_t whole_characters(const DecodePlan& plan, std::string_view input) noexcept {
  const size_t n = input.size();
  switch (plan.method) {
    case Method::Utf16LE:
    case Method::Utf16BE: {
      size_t whole = n & ~size_t{1};
      if (whole < 2) return whole;
      auto* last = reinterpret_cast<const unsigned char*>(input.data()) + whole - 2;
      uint32_t u = plan.method == Method::Utf16BE ? unit16<true>(last) : unit16<false>(last);
      return u >= 0xD800 && u <= 0xDBFF ? whole - 2 : whole;  // a pair's first half waits
    }
    case Method::Utf32LE:
    case Method::Utf32BE: return n & ~size_t{3};
    case Method::Pairs: return whole_pairs(*plan.pairs, input);
    default: return n;
  }
}

size_t input_offset_native(const DecodePlan& plan, std::string_view input, size_t utf8_offset) {
  size_t skip = plan.skip < input.size() ? plan.skip : input.size();
  switch (plan.method) {
    case Method::Utf16LE: return map_units<next16<false>>(input, skip, utf8_offset);
    case Method::Utf16BE: return map_units<next16<true>>(input, skip, utf8_offset);
    case Method::Utf32LE: return map_units<next32<false>>(input, skip, utf8_offset);
    case Method::Utf32BE: return map_units<next32<true>>(input, skip, utf8_offset);
    case Method::Table: return map_table(*plan.table, input, utf8_offset);
    case Method::Pairs: return map_pairs(*plan.pairs, input, utf8_offset);
    default: return utf8_offset;  // the text is the input
  }
}

}  // namespace vx
