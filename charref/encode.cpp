#include "charref/charref.h"
#include "common/hex.h"
#include "common/surrogate.h"

namespace tobble {
namespace {

// The named reference of a markup character, or null for any other unit.
constexpr const char16_t* MarkupReference(char16_t u) {
  switch (u) {
    case u'"':
      return u"&quot;";
    case u'<':
      return u"&lt;";
    case u'>':
      return u"&gt;";
    case u'&':
      return u"&amp;";
    default:
      return nullptr;
  }
}

char16_t* WriteString(char16_t* out, const char16_t* text) {
  while (*text != 0) *out++ = *text++;
  return out;
}

// Values reach at most 0x111FFF (1,122,303): seven decimal digits.
constexpr uint32_t kDecimalDivisors[] = {1000000, 100000, 10000, 1000, 100, 10};

// "&#", the digits of v without leading zeros, ";".
char16_t* WriteDecimalReference(char16_t* out, uint32_t v) {
  *out++ = u'&';
  *out++ = u'#';
  for (uint32_t d : kDecimalDivisors) {
    if (v >= d) *out++ = static_cast<char16_t>(u'0' + v / d % 10);
  }
  *out++ = static_cast<char16_t>(u'0' + v % 10);
  *out++ = u';';
  return out;
}

// "&#x", the lower-case hex digits of v without leading zeros, ";".
char16_t* WriteHexReference(char16_t* out, uint32_t v) {
  *out++ = u'&';
  *out++ = u'#';
  *out++ = u'x';
  for (int shift = 20; shift > 0; shift -= 4) {
    if (v >> shift != 0) *out++ = kLowerHexDigits[(v >> shift) & 0xF];
  }
  *out++ = kLowerHexDigits[v & 0xF];
  *out++ = u';';
  return out;
}

// Both encoders: they differ only in how a numeric reference is written.
Progress Encode(const char16_t* in, size_t n, char16_t* out, bool last,
                char16_t* (*write_reference)(char16_t*, uint32_t)) {
  char16_t* o = out;
  size_t i = 0;
  for (; i < n; ++i) {
    const char16_t u = in[i];
    if (u < 0x80) {
      const char16_t* named = MarkupReference(u);
      if (named == nullptr) {
        *o++ = u;
      } else {
        o = WriteString(o, named);
      }
      continue;
    }
    uint32_t v = u;
    // Only a true pair makes one code point; a high surrogate before anything
    // else is written by itself, and the next unit stands alone.
    if (IsHighSurrogate(u)) {
      if (i + 1 < n) {
        if (IsLowSurrogate(in[i + 1])) v = CombineSurrogates(u, in[++i]);
      } else if (!last) {
        break;  // its partner may start the next piece
      }
    }
    o = write_reference(o, v);
  }
  return {i, static_cast<size_t>(o - out)};
}

}  // namespace

Progress EncodeCharrefs(const char16_t* in, size_t n, char16_t* out, bool last) {
  return Encode(in, n, out, last, WriteDecimalReference);
}

Progress EncodeCharrefsHex(const char16_t* in, size_t n, char16_t* out, bool last) {
  return Encode(in, n, out, last, WriteHexReference);
}

}  // namespace tobble
