// sniff.cpp: a document's encoding from its byte-order mark and XML declaration, the way
// XML 1.0 Appendix F finds it: the mark first, then the layout of "<?xml", then the name.
#include <cstdio>

#include "decode/decode.hpp"

namespace vx {
namespace {

bool starts(std::string_view bytes, std::string_view prefix) {
  return bytes.substr(0, prefix.size()) == prefix;
}

// The characters a declaration is made of, as EBCDIC code pages share them (cp037, cp500,
// cp1140...), mapped to ASCII; 0 for every other byte.
struct EbcdicInvariants {
  uint8_t ascii[256] = {};
  constexpr EbcdicInvariants() {
    const char* lower[] = {"abcdefghi", "jklmnopqr", "stuvwxyz"};
    const char* upper[] = {"ABCDEFGHI", "JKLMNOPQR", "STUVWXYZ"};
    const unsigned starts[] = {0x81, 0x91, 0xA2};
    for (unsigned row = 0; row < 3; ++row) {
      for (unsigned k = 0; lower[row][k]; ++k) {
        ascii[starts[row] + k] = static_cast<uint8_t>(lower[row][k]);
        ascii[starts[row] + 0x40 + k] = static_cast<uint8_t>(upper[row][k]);
      }
    }
    for (unsigned d = 0; d < 10; ++d) ascii[0xF0 + d] = static_cast<uint8_t>('0' + d);
    ascii[0x40] = ' ', ascii[0x05] = '\t', ascii[0x0D] = '\r', ascii[0x25] = '\n', ascii[0x15] = '\n';
    ascii[0x4C] = '<', ascii[0x6E] = '>', ascii[0x6F] = '?', ascii[0x7E] = '=';
    ascii[0x7F] = '"', ascii[0x7D] = '\'', ascii[0x60] = '-', ascii[0x6D] = '_';
    ascii[0x4B] = '.', ascii[0x7A] = ':';
  }
};
constexpr EbcdicInvariants kEbcdic;
// Added to an EBCDIC byte outside the shared set: above every code point, so it matches nothing.
constexpr int64_t kUnshared = 0x200000;

// The declaration read in code units of 1, 2 or 4 bytes, or in EBCDIC.
class Units {
 public:
  Units(std::string_view bytes, size_t start, unsigned width, bool big, bool ebcdic = false)
      : bytes_(bytes), start_(start), width_(width), big_(big), ebcdic_(ebcdic) {}

  // The unit at index i, or -1 past the end (a unit cut short counts as past the end).
  int64_t at(size_t i) const {
    size_t off = offset(i);
    if (off > bytes_.size() || bytes_.size() - off < width_) return -1;
    uint32_t v = 0;
    for (unsigned k = 0; k < width_; ++k) {
      unsigned char b = static_cast<unsigned char>(bytes_[off + (big_ ? k : width_ - 1 - k)]);
      v = (v << 8) | b;
    }
    if (ebcdic_ && !kEbcdic.ascii[v]) return kUnshared + v;
    if (ebcdic_) return kEbcdic.ascii[v];
    return v;
  }
  size_t offset(size_t i) const { return start_ + i * width_; }
  unsigned width() const { return width_; }

 private:
  std::string_view bytes_;
  size_t start_;
  unsigned width_;
  bool big_;
  bool ebcdic_;
};

bool is_space(int64_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool is_letter(int64_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Finds the encoding pseudo-attribute of a declaration starting at unit 0. A declaration that is
// malformed before its encoding, or cut off inside it, names none: the reader reports whatever
// is wrong with it.
void read_declaration(const Units& u, Sniffed* out) {
  static constexpr char kOpen[] = "<?xml";
  size_t i = 0;
  for (; kOpen[i]; ++i) {
    if (u.at(i) != kOpen[i]) return;
  }
  if (!is_space(u.at(i))) return;
  while (true) {
    while (is_space(u.at(i))) ++i;
    size_t name_start = i;
    while (is_letter(u.at(i))) ++i;
    size_t name_end = i;
    if (name_end == name_start) return;  // "?>" or something unexpected: no encoding
    while (is_space(u.at(i))) ++i;
    if (u.at(i) != '=') return;
    ++i;
    while (is_space(u.at(i))) ++i;
    int64_t quote = u.at(i);
    if (quote != '"' && quote != '\'') return;
    size_t value_start = ++i;
    while (u.at(i) != quote) {
      if (u.at(i) < 0) return;  // cut off by the end of the document
      ++i;
    }
    size_t value_end = i++;
    bool is_encoding = name_end - name_start == 8;
    for (size_t k = 0; is_encoding && k < 8; ++k) is_encoding = u.at(name_start + k) == "encoding"[k];
    if (!is_encoding) continue;
    out->declared = true;
    out->name_at = u.offset(value_start);
    for (size_t k = value_start; k < value_end; ++k) {
      int64_t c = u.at(k);
      if (c >= 0x20 && c < 0x7F) {
        out->name += static_cast<char>(c);
      } else {
        // Only printable ASCII can name an encoding; the rest is shown, not trusted.
        char esc[12];
        if (c >= kUnshared) c -= kUnshared;  // an EBCDIC byte, shown as itself
        std::snprintf(esc, sizeof esc, c < 0x100 ? "\\x%02x" : "\\u%04x", static_cast<unsigned>(c));
        out->name += esc;
      }
    }
    return;
  }
}

}  // namespace

Sniffed sniff_encoding(std::string_view b) {
  using namespace std::string_view_literals;
  Sniffed s;
  unsigned width = 1;
  bool big = false;
  if (starts(b, "\xEF\xBB\xBF"sv)) {
    s.mark = 3;
    s.utf8_mark = true;
  } else if (starts(b, "\x00\x00\xFE\xFF"sv)) {
    s.layout = Layout::Utf32BE, s.mark = 4;
  } else if (starts(b, "\xFF\xFE\x00\x00"sv)) {
    s.layout = Layout::Utf32LE, s.mark = 4;
  } else if (starts(b, "\xFE\xFF"sv)) {
    s.layout = Layout::Utf16BE, s.mark = 2;
  } else if (starts(b, "\xFF\xFE"sv)) {
    s.layout = Layout::Utf16LE, s.mark = 2;
  } else if (starts(b, "\x00\x00\x00<"sv)) {
    s.layout = Layout::Utf32BE;
  } else if (starts(b, "<\x00\x00\x00"sv)) {
    s.layout = Layout::Utf32LE;
  } else if (starts(b, "\x00<\x00?"sv)) {
    s.layout = Layout::Utf16BE;
  } else if (starts(b, "<\x00?\x00"sv)) {
    s.layout = Layout::Utf16LE;
  } else if (starts(b, "\x4C\x6F\xA7\x94"sv)) {
    s.layout = Layout::Ebcdic;  // "<?xm" in an EBCDIC code page: only the declaration can tell which
  }
  switch (s.layout) {
    case Layout::Bytes: break;
    case Layout::Utf16LE: width = 2; break;
    case Layout::Utf16BE: width = 2, big = true; break;
    case Layout::Utf32LE: width = 4; break;
    case Layout::Utf32BE: width = 4, big = true; break;
    case Layout::Ebcdic: break;
  }
  read_declaration(Units(b, s.mark, width, big, s.layout == Layout::Ebcdic), &s);
  return s;
}

NameFamily name_family(std::string_view name) noexcept {
  char folded[16];
  size_t n = 0;
  for (char c : name) {
    if (c == '-' || c == '_') continue;
    if (n == sizeof folded) return NameFamily::Other;
    folded[n++] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  std::string_view f(folded, n);
  if (f == "utf8") return NameFamily::Utf8;
  if (f == "utf16" || f == "utf16le" || f == "utf16be") return NameFamily::Utf16;
  if (f == "utf32" || f == "utf32le" || f == "utf32be") return NameFamily::Utf32;
  return NameFamily::Other;
}

bool plan_from_bytes(const Sniffed& s, DecodePlan* plan) {
  NameFamily family = s.declared ? name_family(s.name) : NameFamily::Other;
  plan->skip = s.mark;
  plan->table = nullptr;
  switch (s.layout) {
    case Layout::Utf16LE:
    case Layout::Utf16BE:
      // The layout is proof, like a mark: a name of another family cannot be right.
      plan->method = s.layout == Layout::Utf16LE ? Method::Utf16LE : Method::Utf16BE;
      plan->label = family == NameFamily::Utf16 ? s.name : "UTF-16";
      return true;
    case Layout::Utf32LE:
    case Layout::Utf32BE:
      plan->method = s.layout == Layout::Utf32LE ? Method::Utf32LE : Method::Utf32BE;
      plan->label = family == NameFamily::Utf32 ? s.name : "UTF-32";
      return true;
    case Layout::Ebcdic:
      // Without a name there is no telling which code page; as UTF-8 it fails where it must.
      plan->method = Method::Utf8;
      plan->label = "UTF-8";
      return !s.declared;
    case Layout::Bytes:
      break;
  }
  // A UTF-8 mark wins over any name. The mark stays in the text, as it always has: it lies
  // before the root element, where nothing is read.
  plan->skip = 0;
  plan->method = Method::Utf8;
  plan->label = "UTF-8";
  // A UTF-16 or UTF-32 name on a declaration that reads as 8-bit text is a leftover of a
  // conversion; the declaration itself shows the bytes are not 16-bit.
  return s.utf8_mark || !s.declared || family != NameFamily::Other;
}

}  // namespace vx
