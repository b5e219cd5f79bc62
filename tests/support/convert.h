// Calls of a filter's conversion on std::u16string (UTF-16) or Bytes
// (UTF-8), from an input block of the text's own size into an output block
// of exactly the room its bound allows (less the terminating zero unit, in
// UTF-16), so that a sanitizer catches any read or write beyond either. The
// native tests and the fuzzers' property checks both convert this way; each
// reports a fault in its own manner.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "filters/filters.h"

namespace tobble::testing {

// UTF-8 text, as the conversions read and write it.
using Bytes = std::basic_string<uint8_t>;

// What went wrong in a call, beyond what the output shows.
enum class CallFault {
  kNone,
  kBound,  // wrote more units than the block holds
  kRead,   // read more than it was given, or not all of it when last
  kTail,   // left more than kMaxTail units (kMaxUtf8Tail bytes) unread
};

template <typename Unit>
struct CallResultOf {
  CallFault fault = CallFault::kNone;
  std::string message;          // what the fault was, with its figures
  std::basic_string<Unit> out;  // the output, when there was no fault
  Progress done = {0, 0};
};
using CallResult = CallResultOf<char16_t>;

// One call of `conversion` (the filter's own or a stand-in) on `in`: a
// conversion within one encoding, or an ASCII one from UTF-16 units or code
// points into bytes.
template <typename In, typename Out>
CallResultOf<Out> ConvertOnce(const Filter& filter,
                              Progress (*conversion)(const In*, size_t, Out*, bool),
                              const std::basic_string<In>& in, bool last);

// The text in pieces of the given sizes (the rest as one last piece), the way
// a stream is converted: each call leaves a tail that goes in front of the
// next piece. Stops at the first faulty call. `done.replaced` sums the calls'.
template <typename In, typename Out>
CallResultOf<Out> ConvertPieces(const Filter& filter,
                                Progress (*conversion)(const In*, size_t, Out*, bool),
                                const std::basic_string<In>& text,
                                const std::vector<size_t>& sizes);

// Units readably for messages: the text as ShowUnits shows it, long ones
// shortened; bytes as ASCII with the others in hex.
std::string Show(const std::u16string& text);
std::string Show(const Bytes& text);

// The UTF-8 form of a text, each surrogate without its partner as U+FFFD,
// and how many those were: what the library's stream writes for the units.
struct Utf8Text {
  Bytes bytes;
  size_t replaced = 0;
};
Utf8Text ToUtf8(const std::u16string& text);

}  // namespace tobble::testing
