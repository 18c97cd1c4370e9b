// document_decoder.hpp: the decoding stage as the reading entry points use it: a document's
// bytes in, the UTF-8 text its tree is built from out, and read errors mapped back to offsets
// of the bytes as given. Needs the GIL (the codec registry is Python's).
#pragma once
#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "decode/decode.hpp"
#include "pyref.hpp"
#include "read/read_error.hpp"
#include "result.hpp"
#include "storage/source_text.hpp"

namespace vx {

// Why a document cannot be decoded: a read error to raise as ValueError, or (none) a Python
// exception that is already set.
struct DecodeFailed {
  std::optional<ReadError> read_error;
};

class DecodedDocument {
 public:
  DecodedDocument() = default;
  DecodedDocument(const DecodedDocument&) = delete;
  DecodedDocument& operator=(const DecodedDocument&) = delete;

  // The UTF-8 text to build the tree from.
  SourceText* text() const noexcept { return text_.get(); }
  // The text is the input, still to be checked as UTF-8 while it is read.
  bool check_utf8() const noexcept { return check_utf8_; }
  // The error with its offsets moved from the text to the input. GIL held.
  ReadError to_input(ReadError error) const;

 private:
  friend Status<DecodeFailed> decode_document(SourceRef input, const Sniffed& sniffed,
                                              DecodedDocument* out);
  // Where a chunk given to the codec started: its position, the input offset of the first
  // character it completes (earlier when bytes were pending) and the UTF-8 made before it.
  struct Checkpoint {
    size_t chunk_at;
    size_t input_at;
    size_t utf8_at;
  };
  size_t codec_input_offset(size_t utf8_offset) const;

  DecodePlan plan_;
  SourceRef text_;
  SourceRef input_;  // kept for mapping offsets when the text is not the input
  bool check_utf8_ = false;
  std::string codec_;
  std::vector<Checkpoint> checkpoints_;
  std::vector<PyRef> states_;  // the codec decoder's state at each checkpoint
};

// The steps of decoding through a codec of the registry, for whole documents and for streams.
// GIL held.
//
// One call of an incremental decoder's decode() on `size` bytes at `data`.
PyRef decode_chunk(PyObject* decoder, const char* data, size_t size, bool final);
// Bytes the decoder holds back from its last call, by its getstate() result.
size_t pending_bytes(PyObject* state);
// The input offset of the UnicodeDecodeError that is set (and cleared here), raised by a decode()
// of the chunk from input offset `chunk_at` to `chunk_end`.
size_t decode_error_offset(size_t chunk_at, size_t chunk_end);
// The error for a declared name that no codec of the registry decodes as text. Clears the
// Python error.
ReadError unsupported_encoding(const Sniffed& sniffed);

// How a document is to be decoded, by what sniff_encoding found in it: a declared name is looked
// up in the codec registry. GIL held.
Status<DecodeFailed> plan_encoding(const Sniffed& sniffed, DecodePlan* plan);

// Decodes `input` (one count handed over) by what sniff_encoding found in it: a declared name
// is looked up in the codec registry, UTF-8 is left to be checked as it is read, ASCII is checked, UTF-16, UTF-32,
// single-byte and double-byte encodings are transcoded with the GIL released, others through
// the codec. GIL held on entry and return.
Status<DecodeFailed> decode_document(SourceRef input, const Sniffed& sniffed, DecodedDocument* out);

}  // namespace vx
