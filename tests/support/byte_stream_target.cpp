#include "tests/support/byte_stream_target.h"

#include <stdio.h>

#include <algorithm>
#include <memory>

#include "filters/common/surrogate.h"
#include "tests/support/convert.h"
#include "tests/support/utf.h"

namespace tobble::testing {
namespace {

using lib::Encoding;
using lib::Transcoder;
using Violations = std::vector<Violation>;

constexpr char16_t kReplacement = 0xFFFD;

// ---------------------------------------------------------------------------
// The plain reading and writing of bytes, by the tests' reference codec
// (tests/support/utf.h): UTF-8 taken apart by its bit layout alone, not by
// the ranges of lead and second bytes that the library's code works with.

// What the bytes hold: the units, with U+FFFD for each invalid part, the
// number of those, and where the first one begins.
struct Reading {
  std::u16string units;
  uint64_t replaced = 0;
  bool valid = true;
  uint64_t error_offset = 0;
  std::u16string prefix_units;  // the units before the first invalid part
};

Reading ReadPlainly(const std::string& text, Encoding encoding) {
  Reading reading;
  if (encoding == Encoding::kUtf8) {
    const Utf8Reading utf8 = ReadUtf8(text);
    reading.units = utf8.units;
    reading.replaced = utf8.replaced;
    reading.valid = utf8.replaced == 0;
    reading.error_offset = reading.valid ? 0 : utf8.first_invalid;
    reading.prefix_units = utf8.units.substr(0, utf8.units_before);
    return reading;
  }
  reading.units = ReadUtf16(text, encoding == Encoding::kUtf16be);
  reading.prefix_units = reading.units;
  if (text.size() % 2 != 0) {
    reading.valid = false;
    reading.error_offset = text.size() - 1;
    reading.units += kReplacement;
    reading.replaced = 1;
  }
  return reading;
}

// What the stream writes for converted units, and how it ended.
struct Written {
  std::string bytes;
  uint64_t replaced = 0;  // lone surrogates written as U+FFFD
  uint64_t replaced_input = 0;
  bool valid = true;
  uint64_t error_offset = 0;
  bool operator==(const Written& other) const {
    return bytes == other.bytes && replaced == other.replaced &&
           replaced_input == other.replaced_input;
  }
};

Written WritePlainly(const std::u16string& units, Encoding encoding) {
  Written written;
  written.bytes = encoding == Encoding::kUtf8 ? WriteUtf8(units, &written.replaced)
                                              : WriteUtf16(units, encoding == Encoding::kUtf16be);
  return written;
}

// The filter's plain version on the whole text at once.
std::u16string ConvertPlainly(const Filter& filter, const std::u16string& text) {
  std::unique_ptr<char16_t[]> out(new char16_t[OutputBound(filter, text.size())]);
  const Progress done = filter.scalar(text.data(), text.size(), out.get(), true);
  return std::u16string(out.get(), done.written);
}

// ---------------------------------------------------------------------------
// The stream on bytes.

const uint8_t* Data(const std::string& bytes) {
  return reinterpret_cast<const uint8_t*>(bytes.data());
}

// The stream's output for the bytes in pieces; false when it gave up for
// another reason than invalid input, which with a sink that takes
// everything it must not.
bool Stream(const ByteStreamRun& run, const Transcoder& transcoder, bool replace,
            const std::string& bytes, size_t piece, Written& written) {
  lib::StringSink sink;
  std::vector<uint8_t> workspace(lib::StreamConverter::WorkspaceBytes(*run.filter, run.sizes));
  lib::StreamConverter converter(*run.filter, run.encoding, replace, sink, workspace.data(),
                                 run.sizes, transcoder);
  piece = std::max<size_t>(piece, 1);
  tobble_status status = TOBBLE_OK;
  for (size_t at = 0; status == TOBBLE_OK && at < bytes.size(); at += piece) {
    status = converter.Feed(Data(bytes) + at, std::min(piece, bytes.size() - at));
  }
  if (status == TOBBLE_OK) status = converter.Finish();
  if (status != TOBBLE_OK && status != TOBBLE_ERROR_INVALID_INPUT) return false;
  written.bytes = sink.text;
  written.replaced = converter.replaced_surrogates();
  written.replaced_input = converter.replaced_input();
  written.valid = status == TOBBLE_OK;
  written.error_offset = converter.error_offset();
  return true;
}

// ---------------------------------------------------------------------------
// Messages: long inputs shortened, the whole input is in the crash file.

std::string ShowBytes(const std::string& bytes) {
  return Show(Bytes(bytes.begin(), bytes.end()));
}

std::string ShowVerdict(bool valid, uint64_t offset) {
  return valid ? "valid" : "refused at byte " + std::to_string(offset);
}

const char* EncodingName(Encoding encoding) {
  return encoding == Encoding::kUtf8      ? "UTF-8"
         : encoding == Encoding::kUtf16le ? "UTF-16LE"
                                          : "UTF-16BE";
}

std::string On(const ByteStreamRun& run, const Transcoder& transcoder, const std::string& bytes) {
  return std::string(run.filter->function) + " in " + EncodingName(run.encoding) + " with the " +
         transcoder.name + " transcoder on " + ShowBytes(bytes);
}

// ---------------------------------------------------------------------------
// The target: a header, then the bytes.

constexpr size_t kHeaderBytes = 4;
// The converter's smallest slice and output block (StreamConverter takes no
// smaller ones).
constexpr size_t kSmallestSlice = kMaxTail + 1;
constexpr size_t kSmallestBlock = 8;

const std::vector<const Transcoder*>& Transcoders() {
  static const std::vector<const Transcoder*> transcoders = [] {
    const lib::TranscoderList list = lib::AvailableTranscoders();
    return std::vector<const Transcoder*>(list.items, list.items + list.size);
  }();
  return transcoders;
}

// The encoding the first header byte picks with its two high bits.
constexpr Encoding kHeaderEncodings[] = {Encoding::kUtf8, Encoding::kUtf16le, Encoding::kUtf16be,
                                         Encoding::kUtf8};

Violations CheckByteStreamInput(const FuzzTarget&, const uint8_t* data, size_t size) {
  if (size < kHeaderBytes) return {};
  ByteStreamRun run;
  run.filter = &kFilters[(data[0] & 0x3F) % kFilterCount];
  run.encoding = kHeaderEncodings[data[0] >> 6];
  run.piece_bytes = 1 + size_t{data[1]};
  run.sizes.slice_units = kSmallestSlice + data[2];
  run.sizes.output_bytes = kSmallestBlock + data[3];
  const std::string bytes(reinterpret_cast<const char*>(data) + kHeaderBytes, size - kHeaderBytes);
  return CheckByteStream(run, bytes, Transcoders());
}

std::string Header(const Filter& filter, Encoding encoding, size_t piece_bytes, uint8_t slice,
                   uint8_t block) {
  const uint8_t first = static_cast<uint8_t>(&filter - kFilters) | static_cast<uint8_t>(encoding)
                                                                       << 6;
  return {static_cast<char>(first), static_cast<char>(piece_bytes - 1), static_cast<char>(slice),
          static_cast<char>(block)};
}

// The text in UTF-8, each lone surrogate in the three-byte form that is not
// valid UTF-8, so that such texts give invalid input: fed a byte at a time,
// and repeated to a few hundred bytes, which the vector code takes in blocks,
// fed in large pieces. And in UTF-16LE and UTF-16BE, fed three bytes at a
// time so that every other unit is cut.
std::vector<std::string> ByteStreamInputs(const Filter& filter, const std::u16string& text) {
  std::string utf8;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t code_point = text[i];
    if (IsHighSurrogate(code_point) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      code_point = CombineSurrogates(code_point, text[++i]);
    }
    AppendUtf8(utf8, code_point);
  }
  std::string repeated;
  while (!utf8.empty() && repeated.size() < 300) repeated += utf8;
  const std::string utf16le = WriteUtf16(text, false);
  const std::string utf16be = WriteUtf16(text, true);
  return {Header(filter, Encoding::kUtf8, 1, 0, 0) + utf8,
          Header(filter, Encoding::kUtf8, 200, 40, 100) + repeated,
          Header(filter, Encoding::kUtf16le, 3, 23, 5) + utf16le,
          Header(filter, Encoding::kUtf16be, 3, 7, 9) + utf16be};
}

// One mode's output against what it should be.
void CheckWritten(Violations& found, Property property, const std::string& where,
                  const Written& written, const Written& expected) {
  if (written == expected) return;
  const size_t at = static_cast<size_t>(std::mismatch(written.bytes.begin(), written.bytes.end(),
                                                      expected.bytes.begin(), expected.bytes.end())
                                            .first -
                                        written.bytes.begin());
  found.push_back({property, where + ": wrote " + ShowBytes(written.bytes) + " replacing " +
                                 std::to_string(written.replaced) + " surrogates and " +
                                 std::to_string(written.replaced_input) + " invalid parts, " +
                                 "plainly " + ShowBytes(expected.bytes) + " replacing " +
                                 std::to_string(expected.replaced) + " and " +
                                 std::to_string(expected.replaced_input) +
                                 ", first difference at byte " + std::to_string(at)});
}

}  // namespace

Violations CheckByteStream(const ByteStreamRun& run, const std::string& bytes,
                           const std::vector<const Transcoder*>& transcoders) {
  Violations found;
  const Reading reading = ReadPlainly(bytes, run.encoding);
  // Strict mode: the valid prefix, converted as the whole text. Replace mode:
  // everything, with U+FFFD for each invalid part.
  const Written strict =
      WritePlainly(ConvertPlainly(*run.filter, reading.prefix_units), run.encoding);
  Written replaced = WritePlainly(ConvertPlainly(*run.filter, reading.units), run.encoding);
  replaced.replaced_input = reading.replaced;
  // Whole, and in the pieces the header asks for.
  std::vector<size_t> pieces = {bytes.size()};
  if (run.piece_bytes < bytes.size()) pieces.push_back(run.piece_bytes);
  // UTF-8 goes through the filter's UTF-8 conversion, and also, as for a
  // filter without one, decoded to UTF-16 and encoded again.
  Filter through_utf16 = *run.filter;
  through_utf16.convert8 = nullptr;
  through_utf16.scalar8 = nullptr;
  std::vector<ByteStreamRun> routes = {run};
  if (run.encoding == Encoding::kUtf8 && run.filter->convert8 != nullptr) {
    routes.push_back(run);
    routes.back().filter = &through_utf16;
  }
  for (const Transcoder* transcoder : transcoders) {
    for (const ByteStreamRun& route : routes) {
      for (const size_t piece : pieces) {
        const std::string where = On(route, *transcoder, bytes) +
                                  (route.filter == &through_utf16 ? " through UTF-16" : "") +
                                  " in pieces of " + std::to_string(piece) + " bytes, slices of " +
                                  std::to_string(run.sizes.slice_units) + " units, blocks of " +
                                  std::to_string(run.sizes.output_bytes) + " bytes";
        Written written;
        if (!Stream(route, *transcoder, false, bytes, piece, written)) {
          found.push_back(
              {Property::kStreamOutput, where + ": gave up with a sink that takes all"});
        } else {
          if (written.valid != reading.valid ||
              (!reading.valid && written.error_offset != reading.error_offset)) {
            found.push_back({Property::kValidation,
                             where + ": " + ShowVerdict(written.valid, written.error_offset) +
                                 ", plain check " +
                                 ShowVerdict(reading.valid, reading.error_offset)});
          }
          CheckWritten(found, Property::kStreamOutput, where + ", strict", written, strict);
        }
        if (!Stream(route, *transcoder, true, bytes, piece, written) || !written.valid) {
          found.push_back({Property::kReplaced, where + ": replace mode gave up"});
          continue;
        }
        CheckWritten(found, Property::kReplaced, where + ", replace mode", written, replaced);
      }
    }
  }
  return found;
}

PlainStream StreamPlainly(const Filter& filter, Encoding encoding, bool replace,
                          const std::string& bytes) {
  const Reading reading = ReadPlainly(bytes, encoding);
  const Written written = WritePlainly(
      ConvertPlainly(filter, replace ? reading.units : reading.prefix_units), encoding);
  PlainStream plain;
  plain.bytes = written.bytes;
  plain.replaced_surrogates = written.replaced;
  plain.replaced_input = replace ? reading.replaced : 0;
  plain.valid = replace || reading.valid;
  plain.error_offset = plain.valid ? 0 : reading.error_offset;
  return plain;
}

FuzzTarget MakeByteStreamTarget() {
  std::string transcoders;
  for (const Transcoder* transcoder : Transcoders()) {
    transcoders += (transcoders.empty() ? "" : ", ") + std::string(transcoder->name);
  }
  return {"byte_stream",
          nullptr,
          CheckByteStreamInput,
          ByteStreamInputs,
          "a header of four bytes, then bytes for the library's stream: the first byte picks the "
          "filter (its low 6 bits, modulo " +
              std::to_string(kFilterCount) +
              ") and the encoding (its high 2 bits: UTF-8, UTF-16LE, UTF-16BE, UTF-8), the second "
              "the size of the pieces the bytes come in (1 to 256), the third and fourth what the "
              "converter's slice and output block take beyond their smallest (" +
              std::to_string(kSmallestSlice) + " units, " + std::to_string(kSmallestBlock) +
              " bytes); each transcoder the processor runs (here " + transcoders +
              ") converts the bytes in those pieces and whole, in strict and in replace mode; "
              "UTF-8 both through the filter's UTF-8 conversion and decoded to UTF-16 and "
              "encoded again",
          {Property::kValidation, Property::kStreamOutput, Property::kReplaced}};
}

}  // namespace tobble::testing
