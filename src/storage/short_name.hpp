// short_name.hpp: texts of up to 16 bytes held as two words, for comparing and hashing them.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vx {

// The bytes of a short name (or any text of up to 16 bytes) as two words, zero beyond its length:
// such texts are equal exactly when their lengths and words are, which settles a comparison with
// two word compares instead of a call to memcmp. `limit` is the end of the readable bytes; whole
// words are read whenever they lie before it, and only the text's own bytes near it.
struct ShortName {
  static constexpr size_t kMaxLen = 16;
  uint64_t head = 0, tail = 0;

  [[gnu::always_inline]] static ShortName of(const char* p, size_t len, const char* limit) noexcept {
    ShortName n;
    if (len > 8) {
      std::memcpy(&n.head, p, 8);
      n.tail = word(p + 8, len - 8, limit);
    } else {
      n.head = word(p, len, limit);
    }
    return n;
  }
  // The first and the last eight bytes of a name longer than 16 bytes.
  static ShortName of_ends(const char* p, size_t len) noexcept {
    ShortName n;
    std::memcpy(&n.head, p, 8);
    std::memcpy(&n.tail, p + len - 8, 8);
    return n;
  }
  bool operator==(const ShortName&) const = default;

  // Mixed with the length; the high bits are the well-mixed ones.
  uint64_t hash(uint64_t len) const noexcept {
    return (head ^ (tail * 0x9E3779B97F4A7C15ULL) ^ len) * 0xFF51AFD7ED558CCDULL;
  }

 private:
  [[gnu::always_inline]] static uint64_t word(const char* p, size_t len, const char* limit) noexcept {
    uint64_t w = 0;
    if constexpr (std::endian::native == std::endian::little) {
      if (limit - p >= 8) {
        std::memcpy(&w, p, 8);
        return len >= 8 ? w : w & ((uint64_t{1} << (8 * len)) - 1);
      }
      return tail_word(p, len);
    }
    for (size_t i = 0; i < len; ++i) w |= uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
    return w;
  }
  // The `len` (0 to 8) bytes at p, none past them read, as overlapping loads of fixed size. A
  // memcpy of variable length into a word is a call that stores byte by byte, and the load of
  // the word right after it cannot be forwarded from those stores: a stall on every text that
  // ends near `limit` (every owned text, every lookup bounded by the text itself).
  [[gnu::always_inline]] static uint64_t tail_word(const char* p, size_t len) noexcept {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    if (len >= 4) {
      uint32_t lo, hi;
      std::memcpy(&lo, p, 4);
      std::memcpy(&hi, p + len - 4, 4);
      return uint64_t{lo} | (uint64_t{hi} << (8 * (len - 4)));
    }
    if (len == 0) return 0;
    // One, two or three bytes: the first, the middle and the last (some of them the same byte).
    return uint64_t{u[0]} | (uint64_t{u[len / 2]} << (8 * (len / 2))) |
           (uint64_t{u[len - 1]} << (8 * (len - 1)));
  }
};

// Whether the `len` bytes at `a` and at `b` are the same; both lie in an input ending at `limit`.
inline bool same_name(const char* a, const char* b, size_t len, const char* limit) noexcept {
  if (len <= ShortName::kMaxLen) return ShortName::of(a, len, limit) == ShortName::of(b, len, limit);
  return std::memcmp(a, b, len) == 0;
}

}  // namespace vx
