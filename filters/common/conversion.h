// The shape shared by every conversion of the core.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tobble {

// How far one call of a conversion got: units read from the input and units
// written to the output.
struct Progress {
  size_t read;
  size_t written;
};

// A conversion reads the units in[0, n) and writes into out, which the caller
// has sized by the filter's factor: at least OutputBound(factor, n) units.
//
// With `last` true the input ends at n: everything is read and converted.
// With `last` false more input follows in a later call, and the conversion may
// stop before a short tail whose output the following units could still
// change (an escape cut short, a high surrogate at the end, ...). The caller
// passes that tail again, in front of the next units. Converting a text in
// such pieces gives exactly the output of converting it whole.
//
// Conversions allocate nothing, call no library function and never fail.
using Conversion = Progress (*)(const char16_t* in, size_t n, char16_t* out, bool last);

// The units of output room converting n units needs, for a filter whose
// worst case is `factor` bytes per input unit and one more: the host's
// result block of (n + 1) * factor bytes, its terminating zero unit included.
constexpr size_t OutputBound(unsigned factor, size_t n) {
  return (n + 1) * factor / 2;
}

// The longest tail a conversion with `last` false may leave unread, so that a
// caller converting a stream knows how much to keep.
inline constexpr size_t kMaxTail = 64;

}  // namespace tobble
