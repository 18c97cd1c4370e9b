// document_decoder.cpp: declared encodings resolved through the interpreter's codec registry;
// single-byte and double-byte codecs become native tables, the others decode through the codec in
// chunks.
#include "decode/document_decoder.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>

#include "decode/output_buffer.hpp"
#include "read/unicode.hpp"

namespace vx {
namespace {

// Bytes given to the codec per call. A failure's offset is found by feeding one chunk again a
// byte at a time, so this bounds that walk too.
constexpr size_t kCodecChunk = 32 * 1024;

// What a codec of the registry is to the reader; made once per codec and never freed, so its
// table is read without the GIL.
struct CodecEntry {
  enum class Kind : uint8_t { Utf8, Ascii, Table, Pairs, Codec } kind = Kind::Codec;
  std::string name;  // the registry's own name for it
  ByteTable table{};
  std::unique_ptr<PairTable> pairs;  // Pairs
  bool transparent[128] = {};  // Codec: bytes that always decode to themselves
};

// Guarded by the GIL.
std::unordered_map<std::string, std::unique_ptr<CodecEntry>>& codec_cache() {
  static auto* cache = new std::unordered_map<std::string, std::unique_ptr<CodecEntry>>();
  return *cache;
}

DecodeFailed read_failure(ReadError e) { return DecodeFailed{std::move(e)}; }
DecodeFailed python_failure() { return DecodeFailed{}; }

DecodeFailed unsupported(const Sniffed& s) { return read_failure(unsupported_encoding(s)); }

bool is_charmap_gap(PyObject* error_value) {
  // charmap codecs report a byte without a character under the codec name "charmap"; a
  // multi-byte codec reports a lone lead byte under its own name.
  PyRef encoding = PyRef::steal(PyUnicodeDecodeError_GetEncoding(error_value));
  return encoding && PyUnicode_CompareWithASCIIString(encoding.get(), "charmap") == 0;
}

// Decodes every byte alone: a table when each is one character or a charmap gap and the bytes
// together decode as the characters apart; else the codec decodes, and the table's ASCII part
// tells which bytes stand for themselves. False with a Python exception set on an unexpected
// failure; a codec that fails in any other way than a decoding error is "unsupported".
Result<bool, DecodeFailed> probe_bytes(CodecEntry* e, const Sniffed& s) {
  bool single = true;
  std::string together_in, together_out;
  e->table.widest = 1;
  for (unsigned b = 0; b < 256; ++b) {
    char byte = static_cast<char>(b);
    PyRef decoded = PyRef::steal(PyUnicode_Decode(&byte, 1, e->name.c_str(), "strict"));
    e->table.len[b] = 0;
    if (!decoded) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeError) || PyErr_ExceptionMatches(PyExc_LookupError)) {
          return unsupported(s);
        }
        return python_failure();
      }
      PyObject *type, *value, *tb;
      PyErr_Fetch(&type, &value, &tb);
      PyErr_NormalizeException(&type, &value, &tb);
      PyRef t = PyRef::steal(type), v = PyRef::steal(value), trace = PyRef::steal(tb);
      if (!is_charmap_gap(v.get())) single = false;
      PyErr_Clear();
      continue;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(decoded.get(), &size);
    if (!utf8) {
      PyErr_Clear();
      single = false;
      continue;
    }
    if (PyUnicode_GET_LENGTH(decoded.get()) != 1) {
      single = false;
      continue;
    }
    e->table.len[b] = static_cast<uint8_t>(size);
    std::memcpy(e->table.utf8[b], utf8, static_cast<size_t>(size));
    e->table.widest = std::max<uint8_t>(e->table.widest, static_cast<uint8_t>(size));
    if (b < 0x80) e->transparent[b] = size == 1 && utf8[0] == byte;
    together_in += byte;
    together_out.append(utf8, static_cast<size_t>(size));
  }
  if (single) {
    // A stateful codec could decode bytes alone one way and in company another.
    PyRef all = PyRef::steal(PyUnicode_Decode(together_in.data(), static_cast<Py_ssize_t>(together_in.size()),
                                              e->name.c_str(), "strict"));
    Py_ssize_t size = 0;
    const char* utf8 = all ? PyUnicode_AsUTF8AndSize(all.get(), &size) : nullptr;
    PyErr_Clear();
    single = utf8 && std::string_view(utf8, static_cast<size_t>(size)) == together_out;
  }
  e->table.ascii_identity = true;
  for (unsigned b = 0; b < 0x80; ++b) e->table.ascii_identity &= e->transparent[b];
  return single;
}

// How a few bytes decode alone: to one character (its UTF-8 in `utf8`), to none by an illegal
// sequence, as the start of a longer one, or otherwise (several characters, another message).
enum class Few : uint8_t { One, Illegal, Incomplete, Other, Failed };

Few decode_few(const CodecEntry& e, const char* bytes, size_t n, std::string* utf8) {
  PyRef decoded = PyRef::steal(PyUnicode_Decode(bytes, static_cast<Py_ssize_t>(n), e.name.c_str(), "strict"));
  if (decoded) {
    Py_ssize_t size = 0;
    const char* p = PyUnicode_GET_LENGTH(decoded.get()) == 1 ? PyUnicode_AsUTF8AndSize(decoded.get(), &size) : nullptr;
    if (!p) {
      PyErr_Clear();
      return Few::Other;
    }
    utf8->assign(p, static_cast<size_t>(size));
    return Few::One;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return Few::Failed;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef t = PyRef::steal(type), v = PyRef::steal(value), trace = PyRef::steal(tb);
  // The messages of the interpreter's multi-byte codecs; any other codec is left to decode
  // itself.
  PyRef reason = PyRef::steal(PyUnicodeDecodeError_GetReason(v.get()));
  PyErr_Clear();
  if (!reason) return Few::Other;
  if (PyUnicode_CompareWithASCIIString(reason.get(), "illegal multibyte sequence") == 0) return Few::Illegal;
  if (PyUnicode_CompareWithASCIIString(reason.get(), "incomplete multibyte sequence") == 0) return Few::Incomplete;
  return Few::Other;
}

// A double-byte codec as a PairTable: ASCII bytes are characters alone, bytes from 0x80 are
// characters alone, illegal, or leads whose every pair is a character or illegal. Null when the
// codec is anything else (longer sequences, pairs making two characters, a state): it keeps
// decoding through the codec. False with a Python exception set on an unexpected failure.
bool probe_pairs(CodecEntry* e) {
  auto table = std::make_unique<PairTable>();
  table->single = e->table;
  std::string utf8, together_in, together_out;
  bool any_lead = false;
  for (unsigned b = 0; b < 256; ++b) {
    table->lead[b] = false;
    if (table->single.len[b]) {
      together_in += static_cast<char>(b);
      together_out.append(table->single.utf8[b], table->single.len[b]);
      continue;
    }
    char byte = static_cast<char>(b);
    Few alone = decode_few(*e, &byte, 1, &utf8);
    if (alone == Few::Failed) return false;
    if (b < 0x80 || (alone != Few::Illegal && alone != Few::Incomplete)) return true;
    if (alone == Few::Illegal) continue;
    table->lead[b] = any_lead = true;
    for (unsigned trail = 0; trail < 256; ++trail) {
      char pair[2] = {byte, static_cast<char>(trail)};
      Few both = decode_few(*e, pair, 2, &utf8);
      if (both == Few::Failed) return false;
      table->pair_len[b - 0x80][trail] = 0;
      if (both == Few::Illegal) continue;
      if (both != Few::One || utf8.size() > 4) return true;
      table->pair_len[b - 0x80][trail] = static_cast<uint8_t>(utf8.size());
      std::memcpy(table->pair_utf8[b - 0x80][trail], utf8.data(), utf8.size());
      together_in.append(pair, 2);
      together_out += utf8;
    }
  }
  if (!any_lead) return true;
  // As with single bytes: the characters together must be the characters apart.
  PyRef all = PyRef::steal(PyUnicode_Decode(together_in.data(), static_cast<Py_ssize_t>(together_in.size()),
                                            e->name.c_str(), "strict"));
  Py_ssize_t size = 0;
  const char* p = all ? PyUnicode_AsUTF8AndSize(all.get(), &size) : nullptr;
  PyErr_Clear();
  if (p && std::string_view(p, static_cast<size_t>(size)) == together_out) e->pairs = std::move(table);
  return true;
}

// XML's EncName: a letter, then letters, digits, '.', '_' and '-'. The registry would also take
// spaces and leading digits ("latin 1", "8859-1"), which no declaration may hold.
bool is_encoding_name(std::string_view name) {
  auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (name.empty() || !letter(name[0])) return false;
  for (char c : name) {
    if (!letter(c) && !(c >= '0' && c <= '9') && c != '.' && c != '_' && c != '-') return false;
  }
  return true;
}

// The registry's entry for a declared name, or why there is none.
Result<const CodecEntry*, DecodeFailed> lookup_codec(const Sniffed& s) {
  if (!is_encoding_name(s.name)) return unsupported(s);
  PyRef codecs = PyRef::steal(PyImport_ImportModule("codecs"));
  if (!codecs) return python_failure();
  PyRef info = PyRef::steal(PyObject_CallMethod(codecs.get(), "lookup", "s", s.name.c_str()));
  if (!info) {
    if (PyErr_ExceptionMatches(PyExc_LookupError)) return unsupported(s);
    return python_failure();
  }
  // Codecs from bytes to bytes (base64, zlib...) are in the registry too; they are no text
  // encoding.
  PyRef text_encoding = PyRef::steal(PyObject_GetAttrString(info.get(), "_is_text_encoding"));
  if (!text_encoding) {
    PyErr_Clear();
  } else if (text_encoding.get() == Py_False) {
    return unsupported(s);
  }
  PyRef name_obj = PyRef::steal(PyObject_GetAttrString(info.get(), "name"));
  if (!name_obj) return python_failure();
  const char* name = PyUnicode_Check(name_obj.get()) ? PyUnicode_AsUTF8(name_obj.get()) : nullptr;
  if (!name) return unsupported(s);
  auto& cache = codec_cache();
  if (auto found = cache.find(name); found != cache.end()) return found->second.get();

  auto entry = std::make_unique<CodecEntry>();
  entry->name = name;
  NameFamily family = name_family(entry->name);
  if (family != NameFamily::Other || entry->name == "utf-8-sig") {
    // The declaration was read as 8-bit text, so a UTF-16 or UTF-32 name cannot be right; and
    // UTF-8 with a mark is UTF-8 (a mark present was seen before any name).
    entry->kind = CodecEntry::Kind::Utf8;
  } else if (entry->name == "ascii") {
    entry->kind = CodecEntry::Kind::Ascii;
  } else {
    Result<bool, DecodeFailed> single = probe_bytes(entry.get(), s);
    if (!single) return std::move(single.error());
    entry->kind = single.value() ? CodecEntry::Kind::Table : CodecEntry::Kind::Codec;
    if (!single.value()) {
      if (!probe_pairs(entry.get())) return python_failure();
      if (entry->pairs) entry->kind = CodecEntry::Kind::Pairs;
    }
  }
  // Probing ran Python code, which may have let another thread put the same codec in.
  auto [it, inserted] = cache.emplace(entry->name, std::move(entry));
  (void)inserted;
  return it->second.get();
}

// A growing UTF-8 buffer, handed to a SourceText at the end.
class GrowingText {
 public:
  explicit GrowingText(size_t capacity) : out_(std::max<size_t>(capacity, 64)) {}

  void append(const char* p, size_t n) {
    if (out_.capacity() - size_ < n) out_.resize(std::max(out_.capacity() * 2, size_ + n));
    std::memcpy(out_.data() + size_, p, n);
    size_ += n;
  }
  size_t size() const { return size_; }
  SourceText* finish() { return out_.finish(size_); }

 private:
  decode_detail::Output out_;
  size_t size_ = 0;
};

}  // namespace

PyRef decode_chunk(PyObject* decoder, const char* data, size_t size, bool final) {
  if (size == 0) data = "";  // a memoryview is never made of a null pointer
  PyRef view = PyRef::steal(PyMemoryView_FromMemory(const_cast<char*>(data),
                                                    static_cast<Py_ssize_t>(size), PyBUF_READ));
  if (!view) return view;
  return PyRef::steal(PyObject_CallMethod(decoder, "decode", "OO", view.get(),
                                          final ? Py_True : Py_False));
}

// The first item of the state.
size_t pending_bytes(PyObject* state) {
  if (!state || !PyTuple_Check(state) || PyTuple_GET_SIZE(state) < 1) return 0;
  PyObject* buffered = PyTuple_GET_ITEM(state, 0);
  return PyBytes_Check(buffered) ? static_cast<size_t>(PyBytes_GET_SIZE(buffered)) : 0;
}

size_t decode_error_offset(size_t chunk_at, size_t chunk_end) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef t = PyRef::steal(type), v = PyRef::steal(value), trace = PyRef::steal(tb);
  Py_ssize_t start = 0;
  PyRef seen = PyRef::steal(PyUnicodeDecodeError_GetObject(v.get()));
  if (PyUnicodeDecodeError_GetStart(v.get(), &start) < 0 || !seen || !PyBytes_Check(seen.get())) {
    PyErr_Clear();
    return chunk_at;
  }
  // The error counts in the bytes the decoder saw: those it held back, then the chunk.
  size_t seen_size = static_cast<size_t>(PyBytes_GET_SIZE(seen.get()));
  size_t first = chunk_end >= seen_size ? chunk_end - seen_size : 0;
  return std::min(first + static_cast<size_t>(start), chunk_end);
}

ReadError unsupported_encoding(const Sniffed& s) {
  PyErr_Clear();
  return ReadError::syntax("unsupported encoding '" + s.name + "'", s.name_at);
}

// Feeds the bytes from the checkpoint before the offset one at a time until the character
// holding it comes out. On any failure the checkpoint's own offset is the answer.
size_t DecodedDocument::codec_input_offset(size_t utf8_offset) const {
  if (utf8_offset >= text_->size() || checkpoints_.empty()) return input_->size();
  auto after = std::upper_bound(checkpoints_.begin(), checkpoints_.end(), utf8_offset,
                                [](size_t v, const Checkpoint& c) { return v < c.utf8_at; });
  const Checkpoint& from = *(after - 1);
  const size_t k = static_cast<size_t>(after - 1 - checkpoints_.begin());
  PyRef decoder = PyRef::steal(PyCodec_IncrementalDecoder(codec_.c_str(), "strict"));
  if (decoder && states_[k]) {
    PyRef set = PyRef::steal(PyObject_CallMethod(decoder.get(), "setstate", "(O)", states_[k].get()));
    if (!set) decoder = PyRef();
  }
  if (!decoder) {
    PyErr_Clear();
    return from.input_at;
  }
  size_t made = from.utf8_at, char_start = from.input_at;
  const char* data = input_->data();
  for (size_t i = from.chunk_at; i < input_->size(); ++i) {
    PyRef out = decode_chunk(decoder.get(), data + i, 1, i + 1 == input_->size());
    Py_ssize_t size = 0;
    const char* utf8 = out ? PyUnicode_AsUTF8AndSize(out.get(), &size) : nullptr;
    if (!utf8) break;
    if (size == 0) continue;
    made += static_cast<size_t>(size);
    if (made > utf8_offset) return char_start;
    char_start = i + 1;
  }
  PyErr_Clear();
  return from.input_at;
}

ReadError DecodedDocument::to_input(ReadError error) const {
  if (!input_.get() || !error.has_offset()) return error;  // without input, the text is the input
  size_t at = static_cast<size_t>(error.offset);
  error.offset = plan_.method == Method::Codec ? codec_input_offset(at)
                                                : input_offset_native(plan_, input_->view(), at);
  return error;
}

namespace {

// The plan for a declared name, and the registry's entry it came from.
Result<const CodecEntry*, DecodeFailed> declared_plan(const Sniffed& sniffed, DecodePlan* plan) {
  Result<const CodecEntry*, DecodeFailed> found = lookup_codec(sniffed);
  if (!found) return std::move(found.error());
  const CodecEntry* codec = found.value();
  plan->label = sniffed.name;
  switch (codec->kind) {
    case CodecEntry::Kind::Utf8: plan->method = Method::Utf8, plan->label = "UTF-8"; break;
    case CodecEntry::Kind::Ascii: plan->method = Method::Ascii; break;
    case CodecEntry::Kind::Table: plan->method = Method::Table, plan->table = &codec->table; break;
    case CodecEntry::Kind::Pairs: plan->method = Method::Pairs, plan->pairs = codec->pairs.get(); break;
    case CodecEntry::Kind::Codec: plan->method = Method::Codec, plan->codec = codec->name; break;
  }
  return codec;
}

}  // namespace

Status<DecodeFailed> plan_encoding(const Sniffed& sniffed, DecodePlan* plan) {
  if (plan_from_bytes(sniffed, plan)) return {};
  Result<const CodecEntry*, DecodeFailed> found = declared_plan(sniffed, plan);
  if (!found) return std::move(found.error());
  return {};
}

Status<DecodeFailed> decode_document(SourceRef input, const Sniffed& sniffed, DecodedDocument* out) {
  DecodePlan& plan = out->plan_;
  const CodecEntry* codec = nullptr;
  if (!plan_from_bytes(sniffed, &plan)) {
    Result<const CodecEntry*, DecodeFailed> found = declared_plan(sniffed, &plan);
    if (!found) return std::move(found.error());
    codec = found.value();
  }

  if (plan.method == Method::Utf8) {
    // Checked by the reader as it goes, while each part is in cache: as fast as read_string.
    out->text_ = std::move(input);
    out->check_utf8_ = true;
    return {};
  }
  if (plan.method == Method::Ascii) {
    size_t invalid_at;
    {
      GilRelease unlocked;
      invalid_at = first_non_ascii(input->view());
    }
    if (invalid_at < input->size()) {
      return read_failure(ReadError::syntax("invalid " + plan.label, invalid_at));
    }
    out->text_ = std::move(input);
    return {};
  }

  if (plan.method != Method::Codec) {
    NativeDecoded decoded;
    {
      GilRelease unlocked;
      decoded = transcode_native(plan, input->view());
    }
    if (!decoded.text && !decoded.unchanged) {
      return read_failure(ReadError::syntax("invalid " + plan.label, decoded.invalid_at));
    }
    if (decoded.unchanged) {
      out->text_ = std::move(input);
    } else {
      out->text_ = SourceRef(decoded.text);
      out->input_ = std::move(input);
    }
    return {};
  }

  // A document that only uses bytes the codec leaves as they are is its own UTF-8.
  const std::string_view bytes = input->view();
  bool plain = true;
  for (char c : bytes) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b >= 0x80 || !codec->transparent[b]) {
      plain = false;
      break;
    }
  }
  if (plain) {
    out->text_ = std::move(input);
    return {};
  }

  out->codec_ = codec->name;
  PyRef decoder = PyRef::steal(PyCodec_IncrementalDecoder(codec->name.c_str(), "strict"));
  if (!decoder) return python_failure();
  GrowingText text(bytes.size() + bytes.size() / 2 + 64);
  size_t at = 0;
  do {
    size_t n = std::min(kCodecChunk, bytes.size() - at);
    bool final = at + n == bytes.size();
    PyRef state = PyRef::steal(PyObject_CallMethod(decoder.get(), "getstate", nullptr));
    if (!state) PyErr_Clear();
    out->checkpoints_.push_back({at, at - std::min(at, pending_bytes(state.get())), text.size()});
    out->states_.push_back(std::move(state));
    PyRef chunk = decode_chunk(decoder.get(), bytes.data() + at, n, final);
    if (!chunk) {
      if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        return read_failure(ReadError::syntax("invalid " + plan.label, decode_error_offset(at, at + n)));
      }
      if (PyErr_ExceptionMatches(PyExc_UnicodeError) || PyErr_ExceptionMatches(PyExc_LookupError)) {
        return unsupported(sniffed);
      }
      return python_failure();
    }
    if (!PyUnicode_Check(chunk.get())) return unsupported(sniffed);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(chunk.get(), &size);
    if (!utf8) {
      // A lone surrogate from the codec is no character; it is placed at its chunk.
      PyErr_Clear();
      return read_failure(ReadError::syntax("invalid " + plan.label, out->checkpoints_.back().input_at));
    }
    text.append(utf8, static_cast<size_t>(size));
    at += n;
  } while (at < bytes.size());
  out->text_ = SourceRef(text.finish());
  out->input_ = std::move(input);
  return {};
}

}  // namespace vx
