// input_decoder.hpp: what the streaming reader asks of a decoding stage: the bytes read go in, the
// UTF-8 to walk comes out into the walk's buffer, and the walk's error offsets go back to the
// bytes as given.
#pragma once
#include <cstddef>

#include "read/read_error.hpp"
#include "stream/element_stream.hpp"

namespace vx {

class InputDecoder {
 public:
  virtual ~InputDecoder() = default;

  // Room for at least `n` more input bytes; `commit` then takes the first `n` written there, and
  // `append` takes bytes given. False once bytes the encoding does not allow were met: the
  // characters before them went to `out`, failure() says where they start, and nothing more is
  // decoded.
  virtual char* input_space(size_t n) = 0;
  virtual bool commit(size_t n, ElementStream* out) = 0;
  virtual bool append(const char* data, size_t n, ElementStream* out) = 0;
  // No more input: `out`'s input ends once the rest is decoded.
  virtual bool end_input(ElementStream* out) = 0;

  // A stage that decodes with the GIL keeps what it takes until decode_with_gil(); the others
  // decode as they take it, without the GIL.
  virtual bool needs_gil() const noexcept { return false; }
  // GIL held. False with a Python error set when decoding failed otherwise than on bytes.
  virtual bool decode_with_gil(ElementStream*) { return true; }

  bool failed() const noexcept { return failed_; }
  const ReadError& failure() const noexcept { return failure_; }

  // An error of the walk over the UTF-8, its offset moved to the input (with the GIL held, for a
  // stage that needs it).
  virtual ReadError to_input(ReadError error) const = 0;

 protected:
  bool failed_ = false;
  ReadError failure_;
};

}  // namespace vx
