// stream_decoder.cpp: pieces of input transcoded as they arrive, and the pieces kept for mapping
// error offsets only while the walk still holds their UTF-8.
#include "stream/stream_decoder.hpp"

#include <algorithm>

namespace vx {

bool StreamDecoder::streams(Method method) noexcept {
  switch (method) {
    case Method::Ascii:
    case Method::Utf16LE:
    case Method::Utf16BE:
    case Method::Utf32LE:
    case Method::Utf32BE:
    case Method::Table:
    case Method::Pairs:
      return true;
    case Method::Utf8:
    case Method::Codec:
      return false;
  }
  return false;
}

StreamDecoder::StreamDecoder(const DecodePlan& plan) : plan_(plan), skip_left_(plan.skip) {
  plan_.skip = 0;
}

bool StreamDecoder::commit(size_t n, ElementStream* out) {
  raw_.commit(n);
  return decode(false, out);
}

bool StreamDecoder::append(const char* data, size_t n, ElementStream* out) {
  raw_.append(data, n);
  return decode(false, out);
}

bool StreamDecoder::end_input(ElementStream* out) { return decode(true, out); }

bool StreamDecoder::decode(bool final, ElementStream* out) {
  if (failed_) return false;
  if (skip_left_) {
    size_t mark = std::min(skip_left_, raw_.size());
    raw_.erase_front(mark);
    input_at_ += mark;
    skip_left_ -= mark;
  }
  const std::string_view held = raw_;
  const size_t whole = final ? held.size() : whole_characters(plan_, held);
  if (whole) {
    const std::string_view piece = held.substr(0, whole);
    char* w = out->input_space(transcoded_room(plan_, whole));
    Transcoded made = transcode_into(plan_, piece, w);
    out->commit(made.written);
    if (made.written) {
      pieces_.add({utf8_at_, input_at_, std::string(piece.substr(0, made.ok ? whole : made.invalid_at))});
      utf8_at_ += made.written;
    }
    if (!made.ok) {
      failed_ = true;
      failure_ = ReadError::syntax("invalid " + plan_.label, input_at_ + made.invalid_at);
      return false;
    }
    raw_.erase_front(whole);
    input_at_ += whole;
  }
  if (final) out->end_input();
  pieces_.forget_before(out->held_from());
  return true;
}

uint64_t StreamDecoder::input_offset(uint64_t utf8_offset) const {
  if (utf8_offset >= utf8_at_ || pieces_.empty()) return input_at_;
  auto piece = pieces_.holding(utf8_offset);
  if (piece == pieces_.end()) return pieces_.front().input_at;
  return piece->input_at +
         input_offset_native(plan_, piece->bytes, static_cast<size_t>(utf8_offset - piece->utf8_at));
}

ReadError StreamDecoder::to_input(ReadError error) const {
  if (error.has_offset()) error.offset = input_offset(error.offset);
  return error;
}

}  // namespace vx
