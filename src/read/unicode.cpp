// unicode.cpp: UTF-8 validation, ASCII runs a word at a time.
#include "read/unicode.hpp"

#include <cstring>

namespace vx {

namespace {

// Byte-wise check from a character boundary; finds the exact start of the first bad sequence.
size_t first_invalid_from(std::string_view bytes, size_t i) noexcept {
  auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  while (i < n) {
    // Documents are mostly ASCII: skip it 16 bytes at a time.
    while (i + 16 <= n) {
      uint64_t a, b;
      std::memcpy(&a, s + i, 8);
      std::memcpy(&b, s + i + 8, 8);
      if ((a | b) & 0x8080808080808080ULL) break;
      i += 16;
    }
    if (i >= n) break;
    unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;        // overlong
      if (c == 0xED) hi = 0x9F;        // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;        // overlong
      if (c == 0xF4) hi = 0x8F;        // above U+10FFFF
    } else {
      return i;
    }
    if (i + 1 >= n || s[i + 1] < lo || s[i + 1] > hi) return i;
    for (size_t k = 2; k < len; ++k) {
      if (i + k >= n || (s[i + k] & 0xC0) != 0x80) return i;
    }
    i += len;
  }
  return n;
}

// A shift-based DFA: each state is a multiple of 6, and row[b] holds, at bit `state`, the state
// that byte b leads to. One shift per byte, no branches on the byte's value.
enum : uint64_t { kAccept = 0, kError = 6, kCont1 = 12, kCont2 = 18, kAfterE0 = 24, kAfterED = 30,
                  kAfterF0 = 36, kCont3 = 42, kAfterF4 = 48 };

constexpr uint64_t edge(uint64_t from, uint64_t to) { return to << from; }

constexpr uint64_t kWaiting[] = {kCont1, kCont2, kAfterE0, kAfterED, kAfterF0, kCont3, kAfterF4};

// Every edge is set explicitly: an unset one would read as a transition to kAccept.
constexpr uint64_t row_for(unsigned b) {
  uint64_t r = edge(kError, kError);
  if (b < 0x80) {
    for (uint64_t st : kWaiting) r |= edge(st, kError);  // a continuation was due
    return r | edge(kAccept, kAccept);
  }
  if (b >= 0x80 && b <= 0xBF) {
    r |= edge(kCont1, kAccept) | edge(kCont2, kCont1) | edge(kCont3, kCont2);
    r |= b <= 0x9F ? edge(kAfterED, kCont1) : edge(kAfterED, kError);
    r |= b >= 0xA0 ? edge(kAfterE0, kCont1) : edge(kAfterE0, kError);
    r |= b >= 0x90 ? edge(kAfterF0, kCont2) : edge(kAfterF0, kError);
    r |= b <= 0x8F ? edge(kAfterF4, kCont2) : edge(kAfterF4, kError);
    return r | edge(kAccept, kError);
  }
  uint64_t next = kError;
  if (b >= 0xC2 && b <= 0xDF) next = kCont1;
  else if (b == 0xE0) next = kAfterE0;
  else if (b == 0xED) next = kAfterED;
  else if (b >= 0xE1 && b <= 0xEF) next = kCont2;
  else if (b == 0xF0) next = kAfterF0;
  else if (b >= 0xF1 && b <= 0xF3) next = kCont3;
  else if (b == 0xF4) next = kAfterF4;
  // every other state meets a lead byte where a continuation was due
  for (uint64_t st : kWaiting) r |= edge(st, kError);
  return r | edge(kAccept, next);
}

struct Rows {
  uint64_t row[256];
  constexpr Rows() : row() {
    for (unsigned b = 0; b < 256; ++b) row[b] = row_for(b);
  }
};
constexpr Rows kRows;

}  // namespace

size_t first_invalid_utf8(std::string_view bytes) noexcept {
  auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  size_t safe = 0;  // a character boundary with everything before it well formed
  uint64_t state = kAccept;
  while (i < n) {
    if (state == kAccept) {
      safe = i;
      while (i + 16 <= n) {  // documents are mostly ASCII
        uint64_t a, b;
        std::memcpy(&a, s + i, 8);
        std::memcpy(&b, s + i + 8, 8);
        if ((a | b) & 0x8080808080808080ULL) break;
        i += 16;
      }
      safe = i;
    }
    size_t end = i + 64 < n ? i + 64 : n;
    // Only the low six bits of `state` mean anything; the shift ignores the rest for free.
    for (; i < end; ++i) state = kRows.row[s[i]] >> (state & 63);
    state &= 63;
    if (state == kError) return first_invalid_from(bytes, safe);
  }
  return state == kAccept ? n : first_invalid_from(bytes, safe);
}

}  // namespace vx
