#include "testing/tool_target.h"

#include <stdio.h>

#include <algorithm>
#include <memory>

#include "core/surrogate.h"

namespace tobble::testing {
namespace {

using cli::Encoding;
using cli::Transcoder;
using Violations = std::vector<Violation>;

constexpr char16_t kReplacement = 0xFFFD;

// ---------------------------------------------------------------------------
// The plain reading and writing of bytes. UTF-8 is taken apart by its bit
// layout alone, each sequence decoded and then judged by its code point, not
// by the ranges of lead and second bytes that the tool's code works with.

// A whole, valid UTF-8 sequence: its code point and its length in bytes.
struct Sequence {
  uint32_t code_point;
  size_t length;  // 0: no whole, valid sequence begins here
};

Sequence ReadSequence(const uint8_t* in, size_t n) {
  const uint8_t lead = in[0];
  if (lead < 0x80) return {lead, 1};
  size_t length = 0;
  uint32_t code_point = 0;
  if (lead >> 5 == 0x6) {  // 110xxxxx
    length = 2;
    code_point = lead & 0x1F;
  } else if (lead >> 4 == 0xE) {  // 1110xxxx
    length = 3;
    code_point = lead & 0x0F;
  } else if (lead >> 3 == 0x1E) {  // 11110xxx
    length = 4;
    code_point = lead & 0x07;
  } else {  // a continuation byte, or F8 to FF
    return {0, 0};
  }
  if (length > n) return {0, 0};  // cut short by the end
  for (size_t k = 1; k < length; ++k) {
    if (in[k] >> 6 != 0x2) return {0, 0};  // 10xxxxxx
    code_point = code_point << 6 | (in[k] & 0x3F);
  }
  // Below the smallest code point of its length a form is overlong.
  constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code_point < kSmallest[length] || (code_point >= 0xD800 && code_point <= 0xDFFF) ||
      code_point > 0x10FFFF) {
    return {0, 0};
  }
  return {code_point, length};
}

// What the bytes hold: the units, and where the first invalid byte is.
struct Reading {
  std::u16string units;
  bool valid = true;
  uint64_t error_offset = 0;
};

// Each byte that begins no whole, valid UTF-8 sequence, and an odd last byte
// of UTF-16LE, reads as U+FFFD.
Reading ReadPlainly(const std::string& text, Encoding encoding) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
  Reading reading;
  const auto invalid = [&reading](size_t at) {
    if (reading.valid) reading.error_offset = at;
    reading.valid = false;
    reading.units += kReplacement;
  };
  if (encoding == Encoding::kUtf16le) {
    for (size_t i = 0; i + 1 < n; i += 2) {
      reading.units += static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
    }
    if (n % 2 != 0) invalid(n - 1);
    return reading;
  }
  for (size_t i = 0; i < n;) {
    const Sequence sequence = ReadSequence(bytes + i, n - i);
    if (sequence.length == 0) {
      invalid(i++);
    } else if (sequence.code_point < 0x10000) {
      reading.units += static_cast<char16_t>(sequence.code_point);
    } else {
      reading.units += HighSurrogateOf(sequence.code_point);
      reading.units += LowSurrogateOf(sequence.code_point);
    }
    i += sequence.length;
  }
  return reading;
}

void AppendUtf8(std::string& out, uint32_t code_point) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
    return;
  }
  constexpr uint8_t kLeadBits[] = {0, 0, 0xC0, 0xE0, 0xF0};
  const int length = code_point < 0x800 ? 2 : code_point < 0x10000 ? 3 : 4;
  out += static_cast<char>(kLeadBits[length] | code_point >> 6 * (length - 1));
  for (int k = length - 2; k >= 0; --k) {
    out += static_cast<char>(0x80 | (code_point >> 6 * k & 0x3F));
  }
}

void AppendUtf16le(std::string& out, char16_t unit) {
  out += static_cast<char>(unit & 0xFF);
  out += static_cast<char>(unit >> 8);
}

// What the tool writes for converted units.
struct Written {
  std::string bytes;
  uint64_t replaced = 0;  // lone surrogates written as U+FFFD
};

Written WritePlainly(const std::u16string& units, Encoding encoding) {
  Written written;
  for (size_t i = 0; i < units.size(); ++i) {
    if (encoding == Encoding::kUtf16le) {
      AppendUtf16le(written.bytes, units[i]);
      continue;
    }
    uint32_t code_point = units[i];
    if (IsHighSurrogate(code_point) && i + 1 < units.size() && IsLowSurrogate(units[i + 1])) {
      code_point = CombineSurrogates(code_point, units[++i]);
    } else if (IsHighSurrogate(code_point) || IsLowSurrogate(code_point)) {
      code_point = kReplacement;
      ++written.replaced;
    }
    AppendUtf8(written.bytes, code_point);
  }
  return written;
}

// The filter's plain version on the whole text at once.
std::u16string ConvertPlainly(const Filter& filter, const std::u16string& text) {
  std::unique_ptr<char16_t[]> out(new char16_t[(text.size() + 1) * filter.factor / 2]);
  const Progress done = filter.scalar(text.data(), text.size(), out.get(), true);
  return std::u16string(out.get(), done.written);
}

// ---------------------------------------------------------------------------
// The tool's pipeline.

const uint8_t* Data(const std::string& bytes) {
  return reinterpret_cast<const uint8_t*>(bytes.data());
}

// The validator's verdict: valid after so many bytes, or refused at an offset.
struct Verdict {
  bool valid;
  uint64_t offset;
  bool operator==(const Verdict& other) const {
    return valid == other.valid && offset == other.offset;
  }
};

Verdict Validate(const Transcoder& transcoder, Encoding encoding, const std::string& bytes,
                 size_t piece) {
  piece = std::max<size_t>(piece, 1);
  cli::InputValidator validator(encoding, transcoder);
  bool valid = true;
  size_t at = 0;
  do {  // an empty input is checked once too
    const size_t size = std::min(piece, bytes.size() - at);
    valid = validator.Check(Data(bytes) + at, size);
    at += size;
  } while (valid && at < bytes.size());
  valid = valid && validator.CheckEnd();
  return {valid, valid ? validator.size() : validator.error_offset()};
}

// The converter's output for the bytes in pieces; false when it gave up,
// which with a sink that takes everything it must not.
bool Stream(const ToolRun& run, const Transcoder& transcoder, const std::string& bytes,
            size_t piece, Written& written) {
  cli::StringSink sink;
  cli::StreamConverter converter(*run.filter, run.encoding, sink, run.sizes, transcoder);
  piece = std::max<size_t>(piece, 1);
  for (size_t at = 0; at < bytes.size(); at += piece) {
    if (!converter.Feed(Data(bytes) + at, std::min(piece, bytes.size() - at))) return false;
  }
  if (!converter.Finish()) return false;
  written = {sink.text, converter.replaced()};
  return true;
}

// ---------------------------------------------------------------------------
// Messages: long inputs shortened, the whole input is in the crash file.

std::string ShowBytes(const std::string& bytes) {
  constexpr size_t kShown = 160;
  std::string shown = "\"";
  for (size_t i = 0; i < bytes.size() && i < kShown; ++i) {
    const uint8_t b = static_cast<uint8_t>(bytes[i]);
    if (b >= 0x20 && b < 0x7F && b != '\\' && b != '"') {
      shown += static_cast<char>(b);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", b);
      shown += hex;
    }
  }
  shown += "\"";
  if (bytes.size() > kShown) shown += "... (" + std::to_string(bytes.size()) + " bytes)";
  return shown;
}

std::string ShowVerdict(const Verdict& verdict) {
  return verdict.valid ? "valid, " + std::to_string(verdict.offset) + " bytes"
                       : "refused at byte " + std::to_string(verdict.offset);
}

std::string On(const ToolRun& run, const Transcoder& transcoder, const std::string& bytes) {
  return std::string(run.filter->function) + " in " +
         (run.encoding == Encoding::kUtf8 ? "UTF-8" : "UTF-16LE") + " with the " + transcoder.name +
         " transcoder on " + ShowBytes(bytes);
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
    const cli::TranscoderList list = cli::AvailableTranscoders();
    return std::vector<const Transcoder*>(list.items, list.items + list.size);
  }();
  return transcoders;
}

Violations CheckToolInput(const FuzzTarget&, const uint8_t* data, size_t size) {
  if (size < kHeaderBytes) return {};
  ToolRun run;
  run.filter = &kFilters[(data[0] & 0x7F) % kFilterCount];
  run.encoding = (data[0] & 0x80) != 0 ? Encoding::kUtf16le : Encoding::kUtf8;
  run.piece_bytes = 1 + size_t{data[1]};
  run.sizes.slice_units = kSmallestSlice + data[2];
  run.sizes.output_bytes = kSmallestBlock + data[3];
  const std::string bytes(reinterpret_cast<const char*>(data) + kHeaderBytes, size - kHeaderBytes);
  return CheckTool(run, bytes, Transcoders());
}

std::string Header(const Filter& filter, Encoding encoding, size_t piece_bytes, uint8_t slice,
                   uint8_t block) {
  const uint8_t first =
      static_cast<uint8_t>(&filter - kFilters) | (encoding == Encoding::kUtf16le ? 0x80 : 0);
  return {static_cast<char>(first), static_cast<char>(piece_bytes - 1), static_cast<char>(slice),
          static_cast<char>(block)};
}

// The text in UTF-8, each lone surrogate in the three-byte form that is not
// valid UTF-8, so that such texts give invalid input: fed a byte at a time,
// and repeated to a few hundred bytes, which the vector code takes in blocks,
// fed in large pieces. And in UTF-16LE, fed three bytes at a time so that
// every other unit is cut.
std::vector<std::string> ToolInputs(const Filter& filter, const std::u16string& text) {
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
  std::string utf16le;
  for (const char16_t unit : text) AppendUtf16le(utf16le, unit);
  return {Header(filter, Encoding::kUtf8, 1, 0, 0) + utf8,
          Header(filter, Encoding::kUtf8, 200, 40, 100) + repeated,
          Header(filter, Encoding::kUtf16le, 3, 23, 5) + utf16le};
}

}  // namespace

Violations CheckTool(const ToolRun& run, const std::string& bytes,
                     const std::vector<const Transcoder*>& transcoders) {
  Violations found;
  const Reading reading = ReadPlainly(bytes, run.encoding);
  const Verdict plain_verdict = {reading.valid,
                                 reading.valid ? bytes.size() : reading.error_offset};
  const Written expected = WritePlainly(ConvertPlainly(*run.filter, reading.units), run.encoding);
  // The tool converts only what it found valid; what it promises for the
  // rest is checked as a property of its own.
  const Property output = reading.valid ? Property::kToolOutput : Property::kUnchecked;
  // Whole, as the tool checks and converts a short input, and in the pieces
  // the header asks for.
  std::vector<size_t> pieces = {bytes.size()};
  if (run.piece_bytes < bytes.size()) pieces.push_back(run.piece_bytes);
  for (const Transcoder* transcoder : transcoders) {
    for (const size_t piece : pieces) {
      const std::string where =
          On(run, *transcoder, bytes) + " in pieces of " + std::to_string(piece) + " bytes";
      const Verdict verdict = Validate(*transcoder, run.encoding, bytes, piece);
      if (!(verdict == plain_verdict)) {
        found.push_back({Property::kValidation, where + ": " + ShowVerdict(verdict) +
                                                    ", plain check " + ShowVerdict(plain_verdict)});
      }
      const std::string fed = where + ", slices of " + std::to_string(run.sizes.slice_units) +
                              " units, blocks of " + std::to_string(run.sizes.output_bytes) +
                              " bytes";
      Written written;
      if (!Stream(run, *transcoder, bytes, piece, written)) {
        found.push_back({output, fed + ": gave up with a sink that takes everything"});
        continue;
      }
      if (written.bytes == expected.bytes && written.replaced == expected.replaced) continue;
      const size_t at =
          static_cast<size_t>(std::mismatch(written.bytes.begin(), written.bytes.end(),
                                            expected.bytes.begin(), expected.bytes.end())
                                  .first -
                              written.bytes.begin());
      found.push_back({output, fed + ": wrote " + ShowBytes(written.bytes) + " replacing " +
                                   std::to_string(written.replaced) + ", plainly " +
                                   ShowBytes(expected.bytes) + " replacing " +
                                   std::to_string(expected.replaced) +
                                   ", first difference at byte " + std::to_string(at)});
    }
  }
  return found;
}

FuzzTarget MakeToolTarget() {
  std::string transcoders;
  for (const Transcoder* transcoder : Transcoders()) {
    transcoders += (transcoders.empty() ? "" : ", ") + std::string(transcoder->name);
  }
  return {"tool",
          nullptr,
          CheckToolInput,
          ToolInputs,
          "a header of four bytes, then bytes for the command-line tool: the first byte picks the "
          "filter (its low 7 bits, modulo " +
              std::to_string(kFilterCount) +
              ") and the encoding (its high bit: UTF-16LE, else UTF-8), the second the size of the "
              "pieces the bytes come in (1 to 256), the third and fourth what the converter's "
              "slice and output block take beyond their smallest (" +
              std::to_string(kSmallestSlice) + " units, " + std::to_string(kSmallestBlock) +
              " bytes); each transcoder the processor runs (here " + transcoders +
              ") checks and converts the bytes in those pieces and whole",
          {Property::kValidation, Property::kToolOutput, Property::kUnchecked}};
}

}  // namespace tobble::testing
