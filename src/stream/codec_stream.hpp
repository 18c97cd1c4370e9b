// codec_stream.hpp: the streaming reader's decoding through a codec of the interpreter's registry,
// for encodings whose characters take more than two bytes or depend on a state (EUC-JP, GB18030,
// ISO-2022-JP...). Bytes are gathered without the GIL and decoded with it, a chunk at a time, and
// the walk's error offsets go back to offsets of the bytes as given.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "decode/decode.hpp"
#include "pyref.hpp"
#include "read/read_error.hpp"
#include "stream/element_stream.hpp"
#include "stream/input_decoder.hpp"
#include "stream/piece_log.hpp"

namespace vx {

class CodecStream final : public InputDecoder {
 public:
  // GIL held. Null with the Python error set when the codec's decoder cannot be made.
  static std::unique_ptr<CodecStream> open(const DecodePlan& plan, const Sniffed& sniffed);
  CodecStream(const CodecStream&) = delete;
  CodecStream& operator=(const CodecStream&) = delete;

  // Without the GIL: the bytes read wait here for decode_with_gil().
  char* input_space(size_t n) override { return raw_.input_space(n); }
  bool commit(size_t n, ElementStream*) override {
    raw_.commit(n);
    return !failed_;
  }
  bool append(const char* data, size_t n, ElementStream*) override {
    raw_.append(data, n);
    return !failed_;
  }
  bool end_input(ElementStream*) override {
    ended_ = true;
    return !failed_;
  }

  bool needs_gil() const noexcept override { return true; }
  // Decodes what waits, in whole chunks (the last one at the end), and appends its UTF-8 to `out`.
  bool decode_with_gil(ElementStream* out) override;
  ReadError to_input(ReadError error) const override;

 private:
  // A chunk given to the codec: its bytes, where they start in the input and in the UTF-8, the
  // input offset of the first character it completes (earlier when the codec held bytes back)
  // and the codec's state before it.
  struct Piece {
    uint64_t utf8_at;
    uint64_t input_at;
    uint64_t char_at;
    std::string bytes;
    PyRef state;
  };

  CodecStream(const DecodePlan& plan, const Sniffed& sniffed, PyRef decoder)
      : plan_(plan), sniffed_(sniffed), decoder_(std::move(decoder)) {}
  bool decode_chunk_at_front(size_t n, bool final, ElementStream* out);
  void fail_after_good_part(uint64_t offset, Piece piece, ElementStream* out);
  uint64_t input_offset(uint64_t utf8_offset) const;

  DecodePlan plan_;
  Sniffed sniffed_;
  PyRef decoder_;
  ByteBuffer raw_;       // bytes read and not yet decoded
  bool ended_ = false;   // no more bytes will come
  bool done_ = false;    // the last chunk was decoded
  uint64_t input_at_ = 0;  // input offset of raw_[0]
  uint64_t utf8_at_ = 0;   // UTF-8 made so far
  PieceLog<Piece> pieces_;
};

}  // namespace vx
