// stream_decoder.hpp: the streaming reader's decoding stage: a document in UTF-16, UTF-32, ASCII or
// a single- or double-byte encoding becomes UTF-8 a piece at a time as its bytes arrive, and the
// walk's error offsets go back to offsets of the bytes as given. Runs without the GIL.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "decode/decode.hpp"
#include "read/read_error.hpp"
#include "stream/element_stream.hpp"
#include "stream/input_decoder.hpp"
#include "stream/piece_log.hpp"

namespace vx {

class StreamDecoder final : public InputDecoder {
 public:
  // The methods transcode_into takes; the others are decoded whole.
  static bool streams(Method method) noexcept;

  explicit StreamDecoder(const DecodePlan& plan);
  StreamDecoder(const StreamDecoder&) = delete;
  StreamDecoder& operator=(const StreamDecoder&) = delete;

  // What arrives is decoded right away, after any character cut short before it; at the end, a
  // character still cut short is an ill-formed sequence.
  char* input_space(size_t n) override { return raw_.input_space(n); }
  bool commit(size_t n, ElementStream* out) override;
  bool append(const char* data, size_t n, ElementStream* out) override;
  bool end_input(ElementStream* out) override;
  ReadError to_input(ReadError error) const override;

 private:
  // The UTF-8 made from `bytes`, whole characters starting at input offset `input_at`.
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
  uint64_t input_at_ = 0;  // input offset of raw_[0]
  uint64_t utf8_at_ = 0;   // UTF-8 made so far
  PieceLog<Piece> pieces_;
};

}  // namespace vx
