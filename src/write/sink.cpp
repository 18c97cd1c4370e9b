// sink.cpp: growth of the memory sink and the buffered file sink's system calls.
#include "write/sink.hpp"

#include <emmintrin.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>

namespace vx {
namespace {

constexpr char kSpaces[256] = {
#define VX_S8 ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '
#define VX_S64 VX_S8, VX_S8, VX_S8, VX_S8, VX_S8, VX_S8, VX_S8, VX_S8
    VX_S64, VX_S64, VX_S64, VX_S64,
#undef VX_S64
#undef VX_S8
};

const char kWriteZero[] = "failed to write the buffered data";

ssize_t system_write(int fd, const void* data, size_t len) { return ::write(fd, data, len); }

}  // namespace

bool OutputSink::fill(char c, size_t count) {
  if (count <= static_cast<size_t>(end_ - pos_)) {
    std::memset(pos_, c, count);
    pos_ += count;
    return true;
  }
  char block[sizeof kSpaces];
  const char* source = kSpaces;
  if (c != ' ') {
    std::memset(block, c, sizeof block);
    source = block;
  }
  while (count > 0) {
    size_t n = count < sizeof kSpaces ? count : sizeof kSpaces;
    if (!append(source, n)) return false;
    count -= n;
  }
  return true;
}

MemorySink::~MemorySink() { std::free(begin_); }

void MemorySink::reserve(size_t total) {
  if (total <= static_cast<size_t>(end_ - begin_)) return;
  // As integers: g++ 12 otherwise takes the offset for a use of the freed block.
  size_t used = reinterpret_cast<uintptr_t>(pos_) - reinterpret_cast<uintptr_t>(begin_);
  // realloc of a large block can move pages instead of copying them.
  char* grown = static_cast<char*>(std::realloc(begin_, total));
  if (!grown) throw std::bad_alloc();
  begin_ = grown;
  pos_ = grown + used;
  end_ = grown + total;
}

bool MemorySink::overflow(const char* data, size_t len) {
  size_t used = size();
  size_t capacity = static_cast<size_t>(end_ - begin_);
  if (len > SIZE_MAX - used) throw std::bad_alloc();
  size_t need = used + len;
  size_t grown = capacity < 64 ? 64 : capacity;
  while (grown < need) grown = grown > SIZE_MAX / 2 ? need : grown * 2;
  reserve(grown);
  std::memcpy(pos_, data, len);
  pos_ += len;
  return true;
}

bool FixedSink::overflow(const char*, size_t len) {
  invariant_failed("the XML writer produced more than the " + std::to_string(size()) +
                   " bytes it measured (" + std::to_string(len) + " more)");
}

FileSink::FileSink(int fd, WriteCall call) : fd_(fd), call_(call ? call : &system_write) {
  begin_ = pos_ = buffer_;
  end_ = buffer_ + kBufferSize;
}

bool FileSink::write_all(const char* data, size_t len, size_t* written, OsError* error) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = call_(fd_, data + done, len - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = OsError{errno, {}};
      *written = done;
      return false;
    }
    if (n == 0) {
      *error = OsError{0, kWriteZero};
      *written = done;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  *written = done;
  return true;
}

bool FileSink::flush() {
  if (failed()) return false;
  size_t pending = buffered();
  if (pending == 0) return true;
  size_t written = 0;
  OsError error;
  bool ok = write_all(buffer_, pending, &written, &error);
  // Keep only what did not reach the file, so a last attempt never repeats bytes.
  std::memmove(buffer_, buffer_ + written, pending - written);
  pos_ = buffer_ + (pending - written);
  if (!ok) return fail(std::move(error));
  return true;
}

void FileSink::flush_ignoring_errors() noexcept {
  size_t pending = buffered();
  if (pending == 0) return;
  size_t written = 0;
  OsError error;
  (void)write_all(buffer_, pending, &written, &error);
  pos_ = buffer_;
  if (failed()) end_ = pos_;
}

bool FileSink::overflow(const char* data, size_t len) {
  if (failed()) return false;
  if (!flush()) return false;
  if (len >= kBufferSize) {
    size_t written = 0;
    OsError error;
    if (!write_all(data, len, &written, &error)) return fail(std::move(error));
    return true;
  }
  std::memcpy(pos_, data, len);
  pos_ += len;
  return true;
}

namespace {

// `at` is kept for a debugger: the staged byte where decoding stopped.
[[noreturn]] void bad_utf8([[maybe_unused]] size_t at) {
  invariant_failed("invariant: the XML writer only emits valid UTF-8");
}

// Stores 16 ASCII bytes as 16 code units.
template <class Unit>
inline void widen16(__m128i v, Unit* out) {
  if constexpr (sizeof(Unit) == 1) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
  } else {
    __m128i zero = _mm_setzero_si128();
    __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
    if constexpr (sizeof(Unit) == 2) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), lo);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), hi);
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(lo, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_unpackhi_epi16(lo, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpacklo_epi16(hi, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm_unpackhi_epi16(hi, zero));
    }
  }
}

inline bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

template <class Unit>
void TranscodingSink<Unit>::decode(const char* data, size_t len) {
  constexpr uint32_t kMax = sizeof(Unit) == 1 ? 0xFF : sizeof(Unit) == 2 ? 0xFFFF : 0x10FFFF;
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  const unsigned char* end = p + len;
  Unit* out = out_;
  while (p != end) {
    if (end - p >= 16 && out_end_ - out >= 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      if (_mm_movemask_epi8(v) == 0) {
        widen16(v, out);
        p += 16;
        out += 16;
        continue;
      }
    }
    if (out == out_end_) bad_utf8(static_cast<size_t>(p - reinterpret_cast<const unsigned char*>(data)));
    uint32_t c = *p;
    size_t n;
    if (c < 0x80) {
      n = 1;
    } else if (c >= 0xC2 && c < 0xE0) {
      n = 2;
      c &= 0x1F;
    } else if (c >= 0xE0 && c < 0xF0) {
      n = 3;
      c &= 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 4;
      c &= 0x07;
    } else {
      bad_utf8(static_cast<size_t>(p - reinterpret_cast<const unsigned char*>(data)));
    }
    if (static_cast<size_t>(end - p) < n) bad_utf8(len);
    for (size_t i = 1; i < n; ++i) {
      if (!continuation(p[i])) bad_utf8(static_cast<size_t>(p + i - reinterpret_cast<const unsigned char*>(data)));
      c = (c << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and characters wider than the str's kind are all refused.
    bool overlong = (n == 3 && c < 0x800) || (n == 4 && c < 0x10000);
    if (overlong || (c >= 0xD800 && c <= 0xDFFF) || c > kMax) {
      bad_utf8(static_cast<size_t>(p - reinterpret_cast<const unsigned char*>(data)));
    }
    *out++ = static_cast<Unit>(c);
    p += n;
  }
  out_ = out;
}

template class TranscodingSink<uint8_t>;
template class TranscodingSink<uint16_t>;
template class TranscodingSink<uint32_t>;

Result<int, OsError> open_for_writing(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return OsError{0, "file name contained an unexpected NUL byte"};
  }
  std::string terminated(path);
  for (;;) {
    int fd = ::open(terminated.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    if (errno != EINTR) return OsError{errno, {}};
  }
}

void close_quietly(int fd) noexcept { (void)::close(fd); }

}  // namespace vx
