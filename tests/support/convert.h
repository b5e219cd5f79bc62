// Calls of a filter's conversion on std::u16string, from an input block of
// the text's own size into an output block of exactly the units its bound
// allows less the terminating zero unit, so that a sanitizer catches any
// read or write beyond either. The native tests and the fuzzers' property
// checks both convert this way; each reports a fault in its own manner.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

#include "filters/filters.h"

namespace tobble::testing {

// What went wrong in a call, beyond what the output shows.
enum class CallFault {
  kNone,
  kBound,  // wrote more units than the block holds
  kRead,   // read more than it was given, or not all of it when last
  kTail,   // left more than kMaxTail units unread
};

struct CallResult {
  CallFault fault = CallFault::kNone;
  std::string message;  // what the fault was, with its figures
  std::u16string out;   // the output, when there was no fault
  Progress done = {0, 0};
};

// One call of `conversion` (the filter's own or a stand-in) on `in`.
CallResult ConvertOnce(const Filter& filter, Conversion conversion, const std::u16string& in,
                       bool last);

// The text in pieces of the given sizes (the rest as one last piece), the way
// a stream is converted: each call leaves a tail that goes in front of the
// next piece. Stops at the first faulty call.
CallResult ConvertPieces(const Filter& filter, Conversion conversion, const std::u16string& text,
                         const std::vector<size_t>& sizes);

// Units readably for messages: the text as ShowUnits shows it, long ones
// shortened.
std::string Show(const std::u16string& text);

}  // namespace tobble::testing
