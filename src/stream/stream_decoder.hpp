// stream_decoder.hpp: the streaming reader's decoding stage: a document in UTF-16, UTF-32, ASCII or
// a single- or double-byte encoding becomes UTF-8 a piece at a time as its bytes arrive, and the
// walk's error offsets go back to offsets of the bytes as given. Runs without the GIL.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "decode/decode.hpp"
#include "read/read_error.hpp"
#include "stream/element_stream.hpp"

namespace vx {

class StreamDecoder {
 public:
  // The methods transcode_into takes; the others are decoded whole.
  static bool streams(Method method) noexcept;

  explicit StreamDecoder(const DecodePlan& plan);
  StreamDecoder(const StreamDecoder&) = delete;
  StreamDecoder& operator=(const StreamDecoder&) = delete;

  // Room for at least `n` more input bytes; `commit` then decodes those written, after any held
  // back, and appends the UTF-8 of the whole characters to `out`. False at an ill-formed
  // sequence: the characters before it went to `out`, failure() says where it starts, and
  // nothing more is decoded.
  char* input_space(size_t n);
  bool commit(size_t n, ElementStream* out);
  bool append(const char* data, size_t n, ElementStream* out);
  // No more input: a character cut short is an ill-formed sequence; else `out`'s input ends too.
  bool end_input(ElementStream* out);

  bool failed() const noexcept { return failed_; }
  const ReadError& failure() const noexcept { return failure_; }

  // An error of the walk over the UTF-8, its offset moved to the input.
  ReadError to_input(ReadError error) const;

 private:
  // The UTF-8 made from `bytes`, whole characters starting at input offset `input_at`: kept for
  // mapping offsets as long as the walk may still report one inside it.
  struct Piece {
    uint64_t utf8_at;
    uint64_t input_at;
    std::string bytes;
  };

  bool decode(bool final, ElementStream* out);
  uint64_t input_offset(uint64_t utf8_offset) const;

  DecodePlan plan_;  // with no byte-order mark to skip: skip_left_ does that
  size_t skip_left_;
  ByteBuffer raw_;       // input not yet decoded: a character cut short, then what arrived
  size_t filled_ = 0;    // size of raw_ before input_space
  uint64_t input_at_ = 0;  // input offset of raw_[0]
  uint64_t utf8_at_ = 0;   // UTF-8 made so far
  std::deque<Piece> pieces_;
  bool failed_ = false;
  ReadError failure_;
};

}  // namespace vx
