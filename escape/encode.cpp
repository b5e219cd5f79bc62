#include "core/hex.h"
#include "core/simd.h"
#include "core/surrogate.h"
#include "core/units.h"
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

// The same escapes from the table of digit pairs, a few units a store:
// "\uXXXX" for one unit, and "\UXXXXXXXX" for a code point up to 0x10FFFF,
// whose first two digits are always "00".
char16_t* WriteUnitEscape(char16_t* out, char16_t u) {
  StoreQuad(out, PackUnits(u'\\', u'u') | static_cast<uint64_t>(kLowerHexPairs.pair[u >> 8]) << 32);
  StorePair(out + 4, kLowerHexPairs.pair[u & 0xFF]);
  return out + 6;
}
char16_t* WriteCodePointEscape(char16_t* out, uint32_t code_point) {
  StoreQuad(out, PackUnits(u'\\', u'U', u'0', u'0'));
  StorePair(out + 4, kLowerHexPairs.pair[code_point >> 16]);
  StorePair(out + 6, kLowerHexPairs.pair[(code_point >> 8) & 0xFF]);
  StorePair(out + 8, kLowerHexPairs.pair[code_point & 0xFF]);
  return out + 10;
}

// The units both encoders escape: everything above 0x7F.
simd::Units NotAscii(simd::Units v) {
  return simd::AtLeast(v, 0x80);
}

}  // namespace

Progress EncodeEscapesJScalar(const char16_t* in, size_t n, char16_t* out, bool) {
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

Progress EncodeEscapesCScalar(const char16_t* in, size_t n, char16_t* out, bool last) {
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

// Runs of ASCII are copied eight units at a time; from the first unit above
// 0x7F on, units are escaped one by one until ASCII comes back with at least
// a vector's width of input left.
Progress EncodeEscapesJ(const char16_t* in, size_t n, char16_t* out, bool) {
  char16_t* o = out;
  size_t i = 0;
  while (i < n) {
    const size_t plain = simd::CopyPlainUnits(in + i, n - i, o, NotAscii);
    i += plain;
    o += plain;
    for (; i < n; ++i) {
      const char16_t u = in[i];
      if (u >= 0x80) {
        o = WriteUnitEscape(o, u);
      } else if (n - i >= simd::kWidth) {
        break;
      } else {
        *o++ = u;
      }
    }
  }
  return {n, static_cast<size_t>(o - out)};
}

Progress EncodeEscapesC(const char16_t* in, size_t n, char16_t* out, bool last) {
  char16_t* o = out;
  size_t i = 0;
  while (i < n) {
    const size_t plain = simd::CopyPlainUnits(in + i, n - i, o, NotAscii);
    i += plain;
    o += plain;
    for (; i < n; ++i) {
      const char16_t u = in[i];
      if (u < 0x80) {
        if (n - i >= simd::kWidth) break;
        *o++ = u;
      } else if (!IsHighSurrogate(u)) {
        o = WriteUnitEscape(o, u);
      } else if (i + 1 < n && IsLowSurrogate(in[i + 1])) {
        o = WriteCodePointEscape(o, CombineSurrogates(u, in[i + 1]));
        ++i;
      } else if (i + 1 < n || last) {
        o = WriteUnitEscape(o, u);
      } else {
        return {i, static_cast<size_t>(o - out)};  // its partner may start the next piece
      }
    }
  }
  return {i, static_cast<size_t>(o - out)};
}

}  // namespace tobble
