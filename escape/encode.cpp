#include "common/hex.h"
#include "common/surrogate.h"
#include "escape/escape.h"

namespace tobble {
namespace {

// Writes a backslash, `letter` and the `digits` low hex digits of value.
char16_t* WriteEscape(char16_t* out, char16_t letter, uint32_t value, int digits) {
  *out++ = u'\\';
  *out++ = letter;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
    *out++ = kLowerHexDigits[(value >> shift) & 0xF];
  }
  return out;
}

}  // namespace

Progress EncodeEscapesJ(const char16_t* in, size_t n, char16_t* out, bool) {
  char16_t* o = out;
  for (size_t i = 0; i < n; ++i) {
    const char16_t u = in[i];
    if (u < 0x80) {
      *o++ = u;
    } else {
      o = WriteEscape(o, u'u', u, 4);
    }
  }
  return {n, static_cast<size_t>(o - out)};
}

Progress EncodeEscapesC(const char16_t* in, size_t n, char16_t* out, bool last) {
  char16_t* o = out;
  size_t i = 0;
  for (; i < n; ++i) {
    const char16_t u = in[i];
    if (u < 0x80) {
      *o++ = u;
    } else if (!IsHighSurrogate(u)) {
      o = WriteEscape(o, u'u', u, 4);
    } else if (i + 1 < n) {
      // Only a true pair makes one code point; a high surrogate before
      // anything else is escaped alone, and the next unit stands by itself.
      if (IsLowSurrogate(in[i + 1])) {
        o = WriteEscape(o, u'U', CombineSurrogates(u, in[i + 1]), 8);
        ++i;
      } else {
        o = WriteEscape(o, u'u', u, 4);
      }
    } else if (last) {
      o = WriteEscape(o, u'u', u, 4);
    } else {
      break;  // its partner may start the next piece
    }
  }
  return {i, static_cast<size_t>(o - out)};
}

}  // namespace tobble
