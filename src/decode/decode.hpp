// decode.hpp: the decoding stage's Python-free surface: finding a document's encoding from its
// first bytes, and turning UTF-16, UTF-32, single-byte and double-byte encodings into UTF-8 without
// the GIL, with the way back from offsets of the UTF-8 to offsets of the input.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "storage/source_text.hpp"

namespace vx {

// How the characters of a document are laid out in its bytes, as its first bytes show it.
enum class Layout : uint8_t { Bytes, Utf16LE, Utf16BE, Utf32LE, Utf32BE, Ebcdic };

// What the start of a document says about its encoding: a byte-order mark, the layout of "<?xml",
// and the encoding named by the XML declaration.
struct Sniffed {
  Layout layout = Layout::Bytes;
  size_t mark = 0;        // bytes of the byte-order mark, 0 without one
  bool utf8_mark = false; // the mark is UTF-8's
  bool declared = false;  // the declaration names an encoding
  std::string name;       // that name as written (bytes outside printable ASCII as \xNN)
  size_t name_at = 0;     // offset of its first byte
};

// Reads the mark and the declaration; never fails (anything unreadable counts as not declared).
Sniffed sniff_encoding(std::string_view bytes);

// The family an encoding name belongs to, by the name alone (case, '-' and '_' ignored).
enum class NameFamily : uint8_t { Other, Utf8, Utf16, Utf32 };
NameFamily name_family(std::string_view name) noexcept;

// A single-byte encoding as a table: each byte's character as UTF-8 (len 0: no character).
// Built once per encoding and never freed, so it is read without the GIL.
struct ByteTable {
  uint8_t len[256];
  char utf8[256][4];
  bool ascii_identity;  // bytes below 0x80 stand for themselves
  uint8_t widest;       // the longest UTF-8 of any byte
};

// A double-byte encoding (Shift_JIS, GBK, Big5...): single bytes as in a ByteTable, and for each
// lead byte (0x80 and up) the character of every pair it starts. Built once per encoding and
// never freed, like ByteTable.
struct PairTable {
  ByteTable single;    // len 0 for lead bytes and for bytes without a character
  bool lead[256];
  uint8_t pair_len[128][256];  // by lead - 0x80 and trail; 0: no character
  char pair_utf8[128][256][4];
};

// How a document's bytes become the UTF-8 the tree is built from.
enum class Method : uint8_t {
  Utf8,        // as they are, once checked
  Ascii,       // as they are, once checked to be below 0x80
  Utf16LE, Utf16BE, Utf32LE, Utf32BE,
  Table,       // through a ByteTable
  Pairs,       // through a PairTable
  Codec,       // through the interpreter's codec (needs the GIL)
};

struct DecodePlan {
  Method method = Method::Utf8;
  size_t skip = 0;                  // leading bytes not decoded (a byte-order mark)
  std::string label;                // the encoding's name for "invalid ..." messages
  const ByteTable* table = nullptr; // Method::Table
  const PairTable* pairs = nullptr; // Method::Pairs
  std::string codec;                // Method::Codec: the registry's name for it
};

// The plan when the bytes alone decide it (no name for the codec registry to resolve): UTF-8
// (no declaration, a UTF-8 name, a UTF-8 mark, or a UTF-16/32 name on an 8-bit document), and
// the UTF-16 and UTF-32 layouts. False when a declared name must be looked up.
bool plan_from_bytes(const Sniffed& sniffed, DecodePlan* plan);

// A natively transcoded document: the UTF-8 in a buffer of its own, or where decoding failed.
struct NativeDecoded {
  SourceText* text = nullptr;  // one count for the caller; null when `invalid_at` is set
  bool unchanged = false;      // nothing to transcode: the input itself is the text
  size_t invalid_at = 0;       // input offset of the first ill-formed sequence
};

// Transcodes for the native methods (UTF-16, UTF-32, Table, Pairs); runs without the GIL. Throws
// std::bad_alloc when memory runs out.
NativeDecoded transcode_native(const DecodePlan& plan, std::string_view input);

// Transcoding a piece at a time, for a stream: the native methods and Ascii, into a buffer of the
// caller's. plan.skip is not applied: a piece holds no byte-order mark.
struct Transcoded {
  size_t written;     // bytes of UTF-8 made, of the characters before any ill-formed sequence
  bool ok;
  size_t invalid_at;  // when not ok: offset in the piece of the first ill-formed sequence
};

// Bytes of `out` that transcode_into may write for `n` input bytes.
size_t transcoded_room(const DecodePlan& plan, size_t n) noexcept;

Transcoded transcode_into(const DecodePlan& plan, std::string_view input, char* out) noexcept;

// The length of the longest start of `input` made of whole characters: the rest, a character cut
// short by the end of what has arrived, waits for the next piece.
size_t whole_characters(const DecodePlan& plan, std::string_view input) noexcept;

// The input offset of the character whose UTF-8 holds byte `utf8_offset` of what
// transcode_native made from `input` (the input's length for the end of the text).
size_t input_offset_native(const DecodePlan& plan, std::string_view input, size_t utf8_offset);

// The UTF-8 of `count` code units of `unit_bytes` (1, 2 or 4) bytes each, as a str stores its
// characters, in a buffer of its own: one count for the caller. Runs of ASCII go a block at a
// time, many times faster than the interpreter's encoder, which goes character by character.
// Null when the text is better left to that encoder: a unit is a surrogate (no UTF-8 form, and
// the interpreter's error is the one to raise), or past the first 4096 units more than one block
// of 16 in 16 holds a character beyond ASCII, where the interpreter is about as fast and keeps
// what it makes for the str's next use. Runs without the GIL; throws std::bad_alloc.
SourceText* utf8_of_units(const void* units, size_t count, int unit_bytes);

// Offset of the first byte at or above 0x80, or the length.
size_t first_non_ascii(std::string_view bytes) noexcept;

}  // namespace vx
