// untobbleJ's and untobbleC's passes over dense UTF-16 built for AVX-512
// (decode_avx512.cpp): windows of 32 units, each decoded in the same few
// steps however its escapes and plain units lie, where the SSE2 steps
// (dense.h) take a run of escapes and the plain units after it, and so stop
// at every short run. The decoders take them where the processor has the
// instructions (processor.h), the plug-in's included. The plain version is
// beside them, for the tests.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "filters/common/hex.h"
#include "filters/common/processor.h"

namespace tobble::escape::avx512 {

// The units of a window, and the units a window's pass reads: the last
// escape that begins in a window may end up to nine units past it, and a
// pass loads 64 units at once.
inline constexpr size_t kWindowUnits = 32;
inline constexpr size_t kReadUnits = 64;

// Reads UTF-16 from in[at] on, a window at a time while the text has room
// to read one, and returns true when it read any; at and out move on past
// what it read. Each "\u" and four plain hex digits (either case) of a
// value other than 0 becomes its unit; with `long_form`, each "\U" and
// eight such digits of a value from 1 to 0x10FFFF becomes its unit, or its
// surrogate pair above 0xFFFF; every other unit but a backslash is copied.
// Stops before any other backslash, and after a window in which no escape
// begins (where a run without escapes may begin, which the caller copies
// faster). An escape that begins in a window and ends past it is read
// whole. So it reads as the decoders do, which read other fields leniently.
// Precondition: the output has room for the units from in[at] on, out is no
// further into it than at is into the text, and in[at] is not within an
// escape.
#if TOBBLE_AVX512
bool ReadEscapeWindows(const char16_t* in, size_t n, size_t& at, char16_t*& out, bool long_form);
#else
inline bool ReadEscapeWindows(const char16_t*, size_t, size_t&, char16_t*&, bool) {
  return false;
}
#endif

// The value of the `digits` plain hex digits (either case) at field, or -1.
inline int32_t PlainHexValue(const char16_t* field, size_t digits) {
  int32_t value = 0;
  for (size_t d = 0; d < digits; ++d) {
    const int digit = HexValue(field[d]);
    if (digit < 0) return -1;
    value = value > 0x7FFFFFF ? 0x7FFFFFFF : value * 16 + digit;
  }
  return value;
}

// ReadEscapeWindows unit by unit.
inline bool ReadEscapeWindowsPlain(const char16_t* in, size_t n, size_t& at, char16_t*& out,
                                   bool long_form) {
  size_t i = at;  // the window's first unit
  size_t q = at;  // the next unit to read, in this window or up to nine past it
  char16_t* o = out;
  while (n - i >= kReadUnits) {
    bool escapes = false;
    for (; q < i + kWindowUnits; ++q) {
      if (in[q] != u'\\') {
        *o++ = in[q];
        continue;
      }
      const bool long_escape = long_form && in[q + 1] == u'U';
      const int32_t value = in[q + 1] == u'u' ? PlainHexValue(in + q + 2, 4)
                            : long_escape     ? PlainHexValue(in + q + 2, 8)
                                              : -1;
      if (value <= 0 || value > 0x10FFFF) {
        const bool read = q != at;
        at = q;
        out = o;
        return read;
      }
      if (value > 0xFFFF) {
        *o++ = static_cast<char16_t>(0xD7C0 + (value >> 10));
        *o++ = static_cast<char16_t>(0xDC00 | (value & 0x3FF));
      } else {
        *o++ = static_cast<char16_t>(value);
      }
      q += long_escape ? 9 : 5;
      escapes = true;
    }
    i += kWindowUnits;
    if (!escapes) break;
  }
  const bool read = q != at;
  at = q;
  out = o;
  return read;
}

}  // namespace tobble::escape::avx512
