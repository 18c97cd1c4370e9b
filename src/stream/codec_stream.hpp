// codec_stream.hpp: the streaming reader's decoding through a codec of the interpreter's registry,
// for encodings whose characters take more than two bytes or depend on a state (EUC-JP, GB18030,
// ISO-2022-JP...). Bytes are gathered without the GIL and decoded with it, a chunk at a time, and
// the walk's error offsets go back to offsets of the bytes as given.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "decode/decode.hpp"
#include "pyref.hpp"
#include "read/read_error.hpp"
#include "stream/element_stream.hpp"

namespace vx {

class CodecStream {
 public:
  // GIL held. Null with the Python error set when the codec's decoder cannot be made.
  static std::unique_ptr<CodecStream> open(const DecodePlan& plan, const Sniffed& sniffed);
  CodecStream(const CodecStream&) = delete;
  CodecStream& operator=(const CodecStream&) = delete;

  // Without the GIL: the bytes read wait here for decode().
  char* input_space(size_t n);
  void commit(size_t n) { raw_.resize(filled_ + n); }
  void append(const char* data, size_t n) { raw_.append(data, n); }
  void end_input() { ended_ = true; }

  // GIL held: decodes what waits and appends its UTF-8 to `out`, whose input ends after the
  // last. Bytes the encoding does not allow stop it: the characters before them go to `out`, and
  // failure() says where they start. False with a Python error set when the codec failed in
  // another way.
  bool decode(ElementStream* out);
  bool failed() const noexcept { return failed_; }
  const ReadError& failure() const noexcept { return failure_; }

  // GIL held: an error of the walk over the UTF-8, its offset moved to the input.
  ReadError to_input(ReadError error) const;

 private:
  // A chunk given to the codec: its bytes, where they start in the input and in the UTF-8, the
  // input offset of the first character it completes (earlier when the codec held bytes back)
  // and the codec's state before it. Kept while the walk may still report an offset inside it.
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
  size_t filled_ = 0;    // size of raw_ before input_space
  bool ended_ = false;   // no more bytes will come
  bool done_ = false;    // the last chunk was decoded
  uint64_t input_at_ = 0;  // input offset of raw_[0]
  uint64_t utf8_at_ = 0;   // UTF-8 made so far
  std::deque<Piece> pieces_;
  bool failed_ = false;
  ReadError failure_;
};

}  // namespace vx
