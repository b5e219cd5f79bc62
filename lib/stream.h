// The command-line tool's streaming pipeline, free of any operating system
// call: input bytes are checked first, then decoded to UTF-16 units, converted
// piece by piece through the core and encoded again, in bounded memory.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

#include "lib/transcode.h"
#include "core/filters.h"

namespace tobble::cli {

enum class Encoding { kUtf8, kUtf16le };

// Checks an input given in pieces before anything of it is converted: UTF-8
// as the Unicode standard defines it (no overlong forms, no surrogates,
// nothing above U+10FFFF), or UTF-16LE, which only needs an even byte count.
class InputValidator {
 public:
  explicit InputValidator(Encoding encoding, const Transcoder& transcoder = FastestTranscoder())
      : encoding_(encoding), transcoder_(transcoder) {}

  // Checks the next n bytes. Returns false once the input is invalid.
  bool Check(const uint8_t* bytes, size_t n);

  // Whether the input may end here: false when it stops inside a sequence.
  bool CheckEnd();

  // Bytes checked so far.
  uint64_t size() const { return offset_; }

  // After a failure: the offset, counted from 0, of the first byte of the
  // sequence that is invalid or cut short (the odd byte for UTF-16LE).
  uint64_t error_offset() const { return error_offset_; }

 private:
  bool Fail(uint64_t offset);

  Encoding encoding_;
  const Transcoder& transcoder_;
  uint64_t offset_ = 0;          // bytes checked before the current piece
  uint64_t sequence_start_ = 0;  // where the unfinished sequence began
  int needed_ = 0;               // its continuation bytes still to come
  uint8_t low_ = 0x80;           // the range of its next continuation byte
  uint8_t high_ = 0xBF;
  uint64_t error_offset_ = 0;
  bool failed_ = false;
};

// Where converted bytes go.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Takes all n bytes, or returns false; the sink keeps the reason.
  virtual bool Write(const uint8_t* bytes, size_t n) = 0;
};

// Collects the output in memory.
class StringSink : public ByteSink {
 public:
  bool Write(const uint8_t* bytes, size_t n) override {
    text.append(reinterpret_cast<const char*>(bytes), n);
    ++writes;
    return true;
  }
  std::string text;
  int writes = 0;  // calls of Write
};

// The pipeline's buffer sizes; tests make them tiny.
struct StreamSizes {
  size_t slice_units = 1 << 15;   // input units per conversion call
  size_t output_bytes = 1 << 18;  // the output block handed to the sink
};

// Memory for a StreamConverter's buffers, given by its caller so that one
// block can serve every input (StreamConverter::WorkspaceBytes says how
// much). Without one, the converter allocates its own.
struct Workspace {
  void* bytes = nullptr;
  size_t size = 0;
};

// Converts one input, given in pieces, with one filter, and writes the result
// to a sink in blocks of at most StreamSizes::output_bytes. The input must
// have passed an InputValidator; bytes that are still not valid UTF-8 (a file
// changed between the two readings) are decoded safely: each byte that begins
// no whole, valid sequence as U+FFFD, out-of-range forms included. The output
// is exactly the whole-text conversion, in the input's encoding; in UTF-8
// each lone surrogate is written as U+FFFD and counted.
class StreamConverter {
 public:
  StreamConverter(const Filter& filter, Encoding encoding, ByteSink& sink, StreamSizes sizes = {},
                  const Transcoder& transcoder = FastestTranscoder(), Workspace workspace = {});
  ~StreamConverter();

  // The workspace a converter for this filter with these sizes uses.
  static size_t WorkspaceBytes(const Filter& filter, StreamSizes sizes = {});

  // Converts the next n bytes. Returns false when the sink failed.
  bool Feed(const uint8_t* bytes, size_t n);

  // Converts what is still held and hands all output to the sink. Returns
  // false when the sink failed.
  bool Finish();

  // Lone surrogates written as U+FFFD so far.
  uint64_t replaced() const { return replaced_; }

 private:
  size_t Decode(const uint8_t* bytes, size_t n, char16_t* out);
  bool ConvertPending(bool last);
  bool Emit(const char16_t* units, size_t n);
  bool EncodeUtf8(const char16_t* units, size_t n);
  bool Flush();

  const Filter& filter_;
  Encoding encoding_;
  ByteSink& sink_;
  const Transcoder& transcoder_;
  size_t slice_units_;

  // The buffers below, when the caller gave no workspace.
  std::unique_ptr<uint8_t[]> owned_;

  // Decoded units waiting for conversion: the tail the last conversion call
  // left, then new units.
  char16_t* pending_;
  size_t pending_capacity_;
  size_t pending_size_ = 0;

  // A UTF-8 sequence or UTF-16LE unit cut at the end of the last piece.
  uint8_t carry_[4] = {};
  size_t carry_size_ = 0;

  // One conversion call's output, sized by the filter's factor.
  char16_t* converted_;

  // A high surrogate at the end of the converted units so far: its partner
  // may come with the next call.
  char16_t held_high_ = 0;

  uint8_t* output_;
  size_t output_capacity_;
  size_t output_size_ = 0;

  uint64_t replaced_ = 0;
};

}  // namespace tobble::cli
