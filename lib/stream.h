// The library's stream: bytes in UTF-8, UTF-16LE or UTF-16BE, checked and
// converted piece by piece through the core, in one pass and in memory fixed
// when the stream is made. UTF-8 goes through the conversions' UTF-8
// instantiations as it is; UTF-16 (and UTF-8 for a filter without a UTF-8
// conversion) is converted as UTF-16 units and encoded again.
// tobble_stream_* (lib/api.cpp) is this class behind the C interface; the
// tests use it directly, with tiny buffers and a chosen transcoder, to put
// every token across every boundary.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "filters/filters.h"
#include "include/tobble.h"
#include "lib/transcode.h"

namespace tobble::lib {

enum class Encoding { kUtf8, kUtf16le, kUtf16be };

// Lead bytes of UTF-8, from `lowest` to `highest`.
// Invariant: 0xC0 <= lowest <= highest.
struct LeadRange {
  uint8_t lowest, highest;
};

// Where converted bytes go.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Takes all n bytes (n > 0), or returns false; the sink keeps the reason.
  virtual bool Write(const uint8_t* bytes, size_t n) = 0;
};

// Collects the output in memory (tests and fuzzers).
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

// The stream's buffer sizes; tests make them tiny.
struct StreamSizes {
  size_t slice_units = 1 << 15;   // input units per conversion call
  size_t output_bytes = 1 << 18;  // the output block handed to the sink
};

// Converts one input at a time, given in pieces, with one filter, and writes
// the result to a sink in blocks of at most StreamSizes::output_bytes. The
// output is exactly the whole-text conversion of the input, in the input's
// encoding; in UTF-8 each lone surrogate the filter writes becomes U+FFFD
// and is counted.
//
// Invalid input (UTF-8 that is not well-formed, an odd byte count in UTF-16)
// either stops the input, after everything before it has been converted as
// the end of the text and written (strict), or becomes U+FFFD (replace): in
// UTF-8 one for each maximal subpart of an ill-formed sequence, the longest
// start of a well-formed sequence or else one byte, found across pieces too.
//
// The converter works in a workspace its caller gives, of WorkspaceBytes()
// bytes, and allocates nothing.
class StreamConverter {
 public:
  // Precondition: workspace holds WorkspaceBytes(filter, sizes) bytes and
  // outlives the converter.
  StreamConverter(const Filter& filter, Encoding encoding, bool replace, ByteSink& sink,
                  void* workspace, StreamSizes sizes = {},
                  const Transcoder& transcoder = FastestTranscoder());
  StreamConverter(const StreamConverter&) = delete;
  StreamConverter& operator=(const StreamConverter&) = delete;

  // The workspace a converter for this filter with these sizes uses.
  static size_t WorkspaceBytes(const Filter& filter, StreamSizes sizes = {});

  // Each returns TOBBLE_OK, TOBBLE_ERROR_INVALID_INPUT (strict only),
  // TOBBLE_ERROR_WRITE, or TOBBLE_ERROR_FINISHED once the input has ended or
  // an error has stopped it; see tobble_stream_feed() and the functions after
  // it in include/tobble.h.
  tobble_status Feed(const uint8_t* bytes, size_t n);
  tobble_status Flush();
  tobble_status Finish();

  // Ready for a new input; what the last one left is dropped.
  void Reset();

  uint64_t error_offset() const { return error_offset_; }
  uint64_t bytes_in() const { return bytes_in_; }
  uint64_t bytes_out() const { return bytes_out_; }
  uint64_t replaced_input() const { return replaced_input_; }
  uint64_t replaced_surrogates() const { return replaced_surrogates_; }

 private:
  // What decoding a piece came to: bytes used and units written; `invalid`
  // when it stopped (strict) at an invalid sequence, whose first byte is at
  // error_offset_.
  struct Decoded {
    size_t read;
    size_t written;
    bool invalid;
  };
  Decoded DecodeUtf8(const uint8_t* in, size_t n, char16_t* out);
  Decoded DecodeUtf16(const uint8_t* in, size_t n, char16_t* out);
  // The same for UTF-8 converted as it is: the valid bytes copied, each
  // invalid part (replace mode) as the bytes of U+FFFD.
  Decoded CopyUtf8(const uint8_t* in, size_t n, uint8_t* out);
  // Takes the bytes that may complete a sequence carried from the last
  // piece, writing units or (Unit uint8_t) bytes.
  template <typename Unit>
  Decoded ContinueCarried(const uint8_t* in, size_t n, Unit* out);
  template <typename Unit>
  Decoded ReadUtf8(const uint8_t* in, size_t n, Unit* out);
  // The input is invalid at `offset`: converts and writes what came before it
  // as the end of the text, and stops.
  tobble_status StopInvalid(uint64_t offset);
  // Converts the pending units, all when `last`, else up to the tail the
  // filter leaves.
  bool ConvertPending(bool last);
  bool ConvertPendingUtf8(bool last);
  // Converts in[0, size) with the filter's UTF-8 conversion, all when
  // `last`, else up to the tail it leaves; *read gets the bytes converted.
  bool ConvertUtf8(const uint8_t* in, size_t size, bool last, size_t* read);
  // The same for one piece, whose output fits at `out`: by the filter's
  // UTF-8 conversion, or, where the filter gains by it on text dense with
  // characters that become escapes, made UTF-16 by the transcoder and
  // converted from units into bytes. Notes how dense the piece was.
  Progress ConvertUtf8Piece(const uint8_t* in, size_t n, uint8_t* out, bool last);
  // The bytes of input a piece may have for its output to fit in `room`.
  size_t FittingBytes(size_t room) const;
  bool Emit(const char16_t* units, size_t n);
  bool EmitBytes(const uint8_t* bytes, size_t n);
  bool EmitUtf16(const char16_t* units, size_t n);
  bool EncodeUtf8(const char16_t* units, size_t n);
  // Writes a held high surrogate without its partner, at the end of a text.
  bool EndHeldHigh();
  bool WriteOut();
  tobble_status Stop(tobble_status status);

  const Filter& filter_;
  Encoding encoding_;
  bool replace_;
  ByteSink& sink_;
  const Transcoder& transcoder_;
  // UTF-8 converted as it is, by the filter's UTF-8 conversion.
  bool native_utf8_;
  // The filter converts dense text faster from UTF-16 units into bytes
  // (UnitsFasterWhenDense)...
  bool units_when_dense_;
  // ...but only after a piece whose leads all lie in this range
  // (LeadsForUnits)...
  LeadRange units_leads_;
  // ...and the last piece was dense: the next one goes that way.
  bool dense_ = false;
  size_t slice_units_;  // in bytes for native UTF-8

  // Decoded units (bytes, for native UTF-8) waiting for conversion: the tail
  // the last conversion call left, then new ones.
  char16_t* pending_;
  uint8_t* pending_bytes_;  // the same block
  size_t pending_capacity_;
  size_t pending_size_ = 0;

  // A UTF-8 sequence or UTF-16 unit cut at the end of the last piece. For
  // UTF-8 the bytes so far are always the start of a well-formed sequence.
  uint8_t carry_[4] = {};
  size_t carry_size_ = 0;
  uint64_t carry_offset_ = 0;  // its first byte's offset in the input

  // One conversion call's output, sized by the filter's factor.
  char16_t* converted_;
  uint8_t* converted_bytes_;  // the same block

  // A high surrogate at the end of the converted units so far: its partner
  // may come with the next call.
  char16_t held_high_ = 0;

  uint8_t* output_;
  size_t output_capacity_;
  size_t output_size_ = 0;

  bool stopped_ = false;  // finished, or stopped by an error
  uint64_t error_offset_ = 0;
  uint64_t bytes_in_ = 0;
  uint64_t bytes_out_ = 0;
  uint64_t replaced_input_ = 0;
  uint64_t replaced_surrogates_ = 0;
};

// Whether bytes[0, n) hold a byte from 0xC0 up outside `leads`: a lead
// byte outside it, or an invalid byte above it. A dense piece without one
// sends the reference encoders (the leads of characters their steps in
// UTF-16 take) the units' way.
bool HasLeadOutside(const uint8_t* bytes, size_t n, LeadRange leads);

}  // namespace tobble::lib
