// The properties every conversion must have on every input, in one place for
// the fuzzers (fuzz/fuzzer.cpp) and for the native test that replays each
// input left under fuzz/regressions/ (tests/fuzz_properties_test.cpp).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "filters/filters.h"

namespace tobble::testing {

enum class Property {
  kBound,       // output within the factor's bound
  kNoLonger,    // decoders: no more units out than in
  kAscii,       // encoders: ASCII only
  kNoZeroUnit,  // no zero unit written
  kRoundTrip,   // decoding the encoded text gives it back
  kPieces,      // streamed output equals whole-text output
  kTail,        // what a call reads: at most 64 units left, all when last
  kScalar,      // `convert` equals `scalar`
  // The library's stream on bytes, as the tool uses it:
  kValidation,    // strict mode stops where the plain check finds invalid bytes
  kStreamOutput,  // strict mode: the valid prefix read plainly, converted, written
  kReplaced,      // replace mode: the same with U+FFFD for each maximal subpart
  kUtf8,          // UTF-8 conversion: the UTF-16 output in UTF-8, surrogates counted
  kBytes,         // ASCII conversions from units and code points: the UTF-16 output as bytes
  // The library's public calls (api_target.h):
  kStreamCalls,  // any sequence of stream calls writes what the plain model does
  kFailedWrite,  // a failing callback stops the stream with TOBBLE_ERROR_WRITE
  kOneShot,      // tobble_convert_bytes writes what a finished stream does
};
inline constexpr int kPropertyCount = 16;

struct PropertyInfo {
  const char* name;
  const char* checks;  // one sentence, for docs/reliability.md
};

const PropertyInfo& Describe(Property property);

// Whether the filter writes the encoded side of a round trip (tobbleJ,
// text2charref, URLencode, ...) or reads it back (untobbleJ, charref2text,
// URLdecode, ...).
bool IsEncoder(const Filter& filter);
bool IsDecoder(const Filter& filter);

struct Violation {
  Property property;
  std::string message;
};

// Checks a filter on one text: the whole-text conversion (bound, ASCII or
// length, zero units, `convert` against `scalar`), the round trips the filter
// takes part in, and the conversion in pieces of the given sizes (the rest of
// the text as one last piece); then the same text in UTF-8 (each surrogate
// without a partner as U+FFFD): its conversion whole against the UTF-16
// output in UTF-8, `convert8` against `scalar8`, and in pieces of the same
// sizes in bytes; and where the filter has them, its conversions from UTF-16
// units and from code points into bytes, whole and in the same pieces,
// against the UTF-16 output.
std::vector<Violation> CheckFilter(const Filter& filter, const std::u16string& text,
                                   const std::vector<size_t>& piece_sizes);

// Checks the streaming path of a filter on one text: cut at the given
// positions, at every single position and one unit at a time (short texts),
// by `convert` and by `scalar`, against the whole text's output; and the
// same in UTF-8, by `convert8` and `scalar8`, cut at the same positions in
// bytes.
std::vector<Violation> CheckStreaming(const Filter& filter, const std::u16string& text,
                                      const std::vector<size_t>& cuts);

// A fuzz target: how it reads an input and what it checks.
struct FuzzTarget {
  std::string name;
  const Filter* filter;  // the conversion of a per-filter target, else null
  std::vector<Violation> (*check)(const FuzzTarget& target, const uint8_t* data, size_t size);
  // The inputs that give this target a text to convert with a filter: its
  // seeds (fuzz_helper), and how the native test runs the case file through it.
  std::vector<std::string> (*inputs)(const Filter& filter, const std::u16string& text);
  std::string input;  // how the bytes are read, for the report
  std::vector<Property> properties;
};

// Every target, in the order of the build's fuzzer list: one per filter, in
// table order, then the streaming path through the core, then the
// library's stream on bytes, as the tool uses it (byte_stream_target.h), then
// the library's public calls (api_target.h).
//
// A path that reads its input otherwise is one more target, as the byte
// stream's is: a row here with its own check function, in a file of its own that
// links whatever the path needs, and its name in TOBBLE_FUZZ_TARGETS
// (CMakeLists.txt). The build then makes its fuzzer, tools/fuzz.py runs and
// reports it, and tests/fuzz_properties_test.cpp replays what it leaves under
// fuzz/regressions/ by that name.
const std::vector<FuzzTarget>& FuzzTargets();

// The target of that name, or null.
const FuzzTarget* FindFuzzTarget(const std::string& name);

}  // namespace tobble::testing
