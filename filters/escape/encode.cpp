#include "filters/common/hex.h"
#include "filters/common/simd.h"
#include "filters/common/surrogate.h"
#include "filters/common/units.h"
#include "filters/escape/escape.h"
#include "filters/escape/unit_classes.h"

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

}  // namespace

Progress EncodeEscapesJScalar(const char16_t* in, size_t n, char16_t* out, bool) {
  char16_t* o = out;
  for (size_t i = 0; i < n; ++i) {
    const char16_t u = in[i];
    if (!escape::NotAscii::Has(u)) {
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
  while (i < n) {
    if (!escape::NotAscii::Has(in[i])) {
      *o++ = in[i++];
      continue;
    }
    const Character c = CharacterAt(in, n, i, last);
    if (c.units == 0) break;
    o = c.units == 2 ? WriteEscape(o, u'U', c.value, 8) : WriteEscape(o, u'u', c.value, 4);
    i += c.units;
  }
  return {i, static_cast<size_t>(o - out)};
}

// Runs of ASCII are copied eight units at a time, and the units above 0x7F
// after each run escaped one by one.
Progress EncodeEscapesJ(const char16_t* in, size_t n, char16_t* out, bool) {
  return simd::ConvertAroundRuns<escape::NotAscii>(in, n, out, [&](size_t& i, char16_t*& o) {
    o = WriteUnitEscape(o, in[i++]);
    return true;
  });
}

Progress EncodeEscapesC(const char16_t* in, size_t n, char16_t* out, bool last) {
  return simd::ConvertAroundRuns<escape::NotAscii>(in, n, out, [&](size_t& i, char16_t*& o) {
    const Character c = CharacterAt(in, n, i, last);
    if (c.units == 0) return false;  // its partner may start the next piece
    o = c.units == 2 ? WriteCodePointEscape(o, c.value)
                     : WriteUnitEscape(o, static_cast<char16_t>(c.value));
    i += c.units;
    return true;
  });
}

}  // namespace tobble
