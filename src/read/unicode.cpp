// unicode.cpp: UTF-8 validation: 64 bytes at a time with AVX2 where the CPU has it, else a
// shift-based DFA with ASCII runs a word at a time.
#include "read/unicode.hpp"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

size_t first_invalid_dfa(std::string_view bytes) noexcept {
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

#if defined(__x86_64__)

// The classification of Keiser and Lemire ("Validating UTF-8 in less than one instruction per
// byte"): three table lookups on the nibbles of each byte and the one before it flag every
// ill-formed pair, and the bytes two and three back tell where a continuation is due. It only
// says whether a block holds an error; the scalar check then finds where.
enum : uint8_t {
  kTooShort = 1 << 0, kTooLong = 1 << 1, kOverlong3 = 1 << 2, kTooLarge = 1 << 3,
  kSurrogate = 1 << 4, kOverlong2 = 1 << 5, kTooLarge1000 = 1 << 6, kOverlong4 = 1 << 6,
  kTwoConts = 1 << 7, kCarry = kTooShort | kTooLong | kTwoConts,
};

__attribute__((target("avx2"), always_inline)) inline __m256i table16(
    uint8_t t0, uint8_t t1, uint8_t t2, uint8_t t3, uint8_t t4, uint8_t t5, uint8_t t6, uint8_t t7,
    uint8_t t8, uint8_t t9, uint8_t t10, uint8_t t11, uint8_t t12, uint8_t t13, uint8_t t14,
    uint8_t t15) {
  return _mm256_setr_epi8(
      static_cast<char>(t0), static_cast<char>(t1), static_cast<char>(t2), static_cast<char>(t3),
      static_cast<char>(t4), static_cast<char>(t5), static_cast<char>(t6), static_cast<char>(t7),
      static_cast<char>(t8), static_cast<char>(t9), static_cast<char>(t10), static_cast<char>(t11),
      static_cast<char>(t12), static_cast<char>(t13), static_cast<char>(t14), static_cast<char>(t15),
      static_cast<char>(t0), static_cast<char>(t1), static_cast<char>(t2), static_cast<char>(t3),
      static_cast<char>(t4), static_cast<char>(t5), static_cast<char>(t6), static_cast<char>(t7),
      static_cast<char>(t8), static_cast<char>(t9), static_cast<char>(t10), static_cast<char>(t11),
      static_cast<char>(t12), static_cast<char>(t13), static_cast<char>(t14), static_cast<char>(t15));
}

struct Avx2Tables {
  __m256i byte1_high, byte1_low, byte2_high, incomplete_max;
};

__attribute__((target("avx2"))) Avx2Tables avx2_tables() {
  Avx2Tables t;
  t.byte1_high = table16(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
                         kTooLong, kTwoConts, kTwoConts, kTwoConts, kTwoConts,
                         kTooShort | kOverlong2, kTooShort, kTooShort | kOverlong3 | kSurrogate,
                         kTooShort | kTooLarge | kTooLarge1000 | kOverlong4);
  constexpr uint8_t big = kCarry | kTooLarge | kTooLarge1000;
  t.byte1_low = table16(kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry,
                        kCarry, kCarry | kTooLarge, big, big, big, big, big, big, big, big,
                        big | kSurrogate, big, big);
  constexpr uint8_t cont = kTooLong | kOverlong2 | kTwoConts;
  t.byte2_high = table16(kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
                         kTooShort, kTooShort, cont | kOverlong3 | kTooLarge1000 | kOverlong4,
                         cont | kOverlong3 | kTooLarge, cont | kSurrogate | kTooLarge,
                         cont | kSurrogate | kTooLarge, kTooShort, kTooShort, kTooShort, kTooShort);
  // A block ending in a lead byte whose continuations have not all come yet.
  t.incomplete_max = _mm256_setr_epi8(
      -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
      -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, static_cast<char>(0xF0 - 1),
      static_cast<char>(0xE0 - 1), static_cast<char>(0xC0 - 1));
  return t;
}

// `input` shifted by n bytes, the first n taken from the end of `prev`.
template <int N>
__attribute__((target("avx2"), always_inline)) inline __m256i before(__m256i input, __m256i prev) {
  return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(prev, input, 0x21), 16 - N);
}

__attribute__((target("avx2"), always_inline)) inline __m256i high_nibbles(__m256i v) {
  return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

// Nonzero where the 32 bytes of `input`, after the 32 of `prev`, are not well formed.
__attribute__((target("avx2"), always_inline)) inline __m256i check32(const Avx2Tables& t,
                                                                      __m256i input, __m256i prev) {
  __m256i prev1 = before<1>(input, prev);
  __m256i special = _mm256_and_si256(
      _mm256_and_si256(_mm256_shuffle_epi8(t.byte1_high, high_nibbles(prev1)),
                       _mm256_shuffle_epi8(t.byte1_low, _mm256_and_si256(prev1, _mm256_set1_epi8(0x0F)))),
      _mm256_shuffle_epi8(t.byte2_high, high_nibbles(input)));
  __m256i third = _mm256_subs_epu8(before<2>(input, prev), _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80)));
  __m256i fourth = _mm256_subs_epu8(before<3>(input, prev), _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80)));
  __m256i due = _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
  return _mm256_xor_si256(due, special);
}

// The offset of a character boundary at most a block before `at`, from where the scalar check
// finds the first error (everything before it was found well formed).
size_t boundary_before(const unsigned char* s, size_t at) noexcept {
  size_t i = at > 64 ? at - 64 : 0;
  while (i > 0 && (s[i] & 0xC0) == 0x80) --i;
  return i;
}

__attribute__((target("avx2"))) size_t first_invalid_avx2(std::string_view bytes) noexcept {
  auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  const Avx2Tables t = avx2_tables();
  __m256i prev = _mm256_setzero_si256();
  __m256i incomplete = _mm256_setzero_si256();
  size_t i = 0;
  alignas(32) unsigned char tail[64];
  while (i < n) {
    const unsigned char* p = s + i;
    if (n - i < 64) {
      // The last bytes, padded with NULs, which are well formed and complete nothing.
      std::memset(tail, 0, sizeof tail);
      std::memcpy(tail, p, n - i);
      p = tail;
    }
    __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    __m256i error;
    if (_mm256_movemask_epi8(_mm256_or_si256(lo, hi)) == 0) {
      error = incomplete;  // ASCII here: whatever the previous block began stays unfinished
      prev = _mm256_setzero_si256();
      incomplete = _mm256_setzero_si256();
    } else {
      error = _mm256_or_si256(check32(t, lo, prev), check32(t, hi, lo));
      incomplete = _mm256_subs_epu8(hi, t.incomplete_max);
      prev = hi;
    }
    if (!_mm256_testz_si256(error, error)) return first_invalid_from(bytes, boundary_before(s, i));
    i += 64;
  }
  if (!_mm256_testz_si256(incomplete, incomplete)) return first_invalid_from(bytes, boundary_before(s, n));
  return n;
}

#endif

}  // namespace

size_t first_invalid_utf8(std::string_view bytes) noexcept {
#if defined(__x86_64__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return first_invalid_avx2(bytes);
#endif
  return first_invalid_dfa(bytes);
}

}  // namespace vx
