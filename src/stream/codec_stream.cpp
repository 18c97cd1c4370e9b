// codec_stream.cpp: chunks through the codec's incremental decoder, at the same places as for a
// whole document, and offsets found again by feeding a kept chunk a byte at a time from the state
// the codec had before it.
#include "stream/codec_stream.hpp"

#include <algorithm>

#include "decode/document_decoder.hpp"

namespace vx {
namespace {

// Bytes given to the codec per call, as for a whole document, so that what depends on where a
// chunk starts (a lone surrogate is placed at its chunk) is the same.
constexpr size_t kCodecChunk = 32 * 1024;

// A fresh decoder of `codec` in `state` (none: the initial state). Null with no error set when
// either step fails.
PyRef decoder_in_state(const std::string& codec, PyObject* state) {
  PyRef decoder = PyRef::steal(PyCodec_IncrementalDecoder(codec.c_str(), "strict"));
  if (decoder && state) {
    PyRef set = PyRef::steal(PyObject_CallMethod(decoder.get(), "setstate", "(O)", state));
    if (!set) decoder = PyRef();
  }
  if (!decoder) PyErr_Clear();
  return decoder;
}

// The UTF-8 of a decode() result; false (no error set) when it is no str or has no UTF-8 form.
bool utf8_of(PyObject* text, std::string_view* out) {
  Py_ssize_t size = 0;
  const char* utf8 = text && PyUnicode_Check(text) ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
  if (!utf8) {
    PyErr_Clear();
    return false;
  }
  *out = {utf8, static_cast<size_t>(size)};
  return true;
}

}  // namespace

std::unique_ptr<CodecStream> CodecStream::open(const DecodePlan& plan, const Sniffed& sniffed) {
  PyRef decoder = PyRef::steal(PyCodec_IncrementalDecoder(plan.codec.c_str(), "strict"));
  if (!decoder) return nullptr;
  return std::unique_ptr<CodecStream>(new CodecStream(plan, sniffed, std::move(decoder)));
}

bool CodecStream::decode_with_gil(ElementStream* out) {
  while (!failed_ && !done_) {
    const size_t n = std::min(kCodecChunk, raw_.size());
    const bool final = ended_ && n == raw_.size();
    if (n < kCodecChunk && !final) break;  // a chunk is decoded once it is whole
    if (!decode_chunk_at_front(n, final, out)) return false;
  }
  pieces_.forget_before(out->held_from());
  return true;
}

bool CodecStream::decode_chunk_at_front(size_t n, bool final, ElementStream* out) {
  PyRef state = PyRef::steal(PyObject_CallMethod(decoder_.get(), "getstate", nullptr));
  if (!state) PyErr_Clear();
  const uint64_t held_back = std::min<uint64_t>(input_at_, pending_bytes(state.get()));
  Piece piece{utf8_at_, input_at_, input_at_ - held_back, std::string(raw_.data(), n), std::move(state)};
  PyRef text = decode_chunk(decoder_.get(), raw_.data(), n, final);
  if (!text) {
    if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
      uint64_t offset = decode_error_offset(static_cast<size_t>(input_at_), static_cast<size_t>(input_at_ + n));
      fail_after_good_part(offset, std::move(piece), out);
      return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeError) && !PyErr_ExceptionMatches(PyExc_LookupError)) {
      return false;
    }
    failed_ = true;
    failure_ = unsupported_encoding(sniffed_);
    return true;
  }
  if (!PyUnicode_Check(text.get())) {
    failed_ = true;
    failure_ = unsupported_encoding(sniffed_);
    return true;
  }
  std::string_view utf8;
  if (!utf8_of(text.get(), &utf8)) {
    // A lone surrogate from the codec is no character; it is placed at its chunk.
    failed_ = true;
    failure_ = ReadError::syntax("invalid " + plan_.label, piece.char_at);
    return true;
  }
  out->append(utf8.data(), utf8.size());
  utf8_at_ += utf8.size();
  pieces_.add(std::move(piece));
  raw_.erase_front(n);
  input_at_ += n;
  if (final) {
    done_ = true;
    out->end_input();
  }
  return true;
}

// The walk gets the characters before the bytes the encoding does not allow, decoded again from
// the state the codec had before their chunk.
void CodecStream::fail_after_good_part(uint64_t offset, Piece piece, ElementStream* out) {
  failed_ = true;
  failure_ = ReadError::syntax("invalid " + plan_.label, offset);
  if (offset <= piece.input_at) return;
  PyRef again = decoder_in_state(plan_.codec, piece.state.get());
  PyRef text = again ? decode_chunk(again.get(), piece.bytes.data(),
                                    static_cast<size_t>(offset - piece.input_at), false)
                     : PyRef();
  std::string_view utf8;
  if (!utf8_of(text.get(), &utf8)) return;
  out->append(utf8.data(), utf8.size());
  utf8_at_ += utf8.size();
  pieces_.add(std::move(piece));
}

// Feeds the bytes from the chunk before the offset one at a time until the character holding it
// comes out. On any failure the chunk's first character is the answer.
uint64_t CodecStream::input_offset(uint64_t utf8_offset) const {
  if (utf8_offset >= utf8_at_ || pieces_.empty()) return input_at_;
  const auto start = pieces_.holding(utf8_offset);
  if (start == pieces_.end()) return pieces_.front().char_at;
  const Piece& from = *start;
  PyRef decoder = decoder_in_state(plan_.codec, from.state.get());
  if (!decoder) return from.char_at;
  uint64_t made = from.utf8_at, char_start = from.char_at;
  for (auto piece = start; piece != pieces_.end(); ++piece) {
    const bool last_piece = piece + 1 == pieces_.end();
    for (size_t i = 0; i < piece->bytes.size(); ++i) {
      const bool final = done_ && last_piece && i + 1 == piece->bytes.size();
      PyRef text = decode_chunk(decoder.get(), piece->bytes.data() + i, 1, final);
      std::string_view utf8;
      if (!utf8_of(text.get(), &utf8)) return from.char_at;
      if (utf8.empty()) continue;
      made += utf8.size();
      if (made > utf8_offset) return char_start;
      char_start = piece->input_at + i + 1;
    }
  }
  return from.char_at;
}

ReadError CodecStream::to_input(ReadError error) const {
  if (error.has_offset()) error.offset = input_offset(error.offset);
  return error;
}

}  // namespace vx
