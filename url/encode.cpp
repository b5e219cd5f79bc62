#include "common/hex.h"
#include "common/surrogate.h"
#include "url/url.h"

namespace tobble {
namespace {

// The characters written as themselves: the C locale's ASCII letters and
// digits, four marks, and the line breaks, so each line is encoded by itself.
constexpr bool IsKept(char16_t u) {
  return (u >= u'0' && u <= u'9') || (u >= u'A' && u <= u'Z') || (u >= u'a' && u <= u'z') ||
         u == u'-' || u == u'.' || u == u'_' || u == u'~' || u == u'\n' || u == u'\r';
}

// Writes one byte as "%" and two upper-case hex digits.
char16_t* WriteByte(char16_t* out, uint32_t byte) {
  *out++ = u'%';
  *out++ = kUpperHexDigits[(byte >> 4) & 0xF];
  *out++ = kUpperHexDigits[byte & 0xF];
  return out;
}

// The first byte's marker bits, by the number of continuation bytes.
constexpr uint32_t kLeadMarks[] = {0x00, 0xC0, 0xE0, 0xF0};

// Writes the escaped UTF-8 bytes of a value up to 0x10FFFF. Surrogate code
// points take the three-byte form like any other value below 0x10000.
char16_t* WriteEscapedUtf8(char16_t* out, uint32_t value) {
  const int continuation = value < 0x80 ? 0 : value < 0x800 ? 1 : value < 0x10000 ? 2 : 3;
  out = WriteByte(out, kLeadMarks[continuation] | value >> (6 * continuation));
  for (int shift = 6 * (continuation - 1); shift >= 0; shift -= 6) {
    out = WriteByte(out, 0x80 | ((value >> shift) & 0x3F));
  }
  return out;
}

}  // namespace

Progress EncodeUrl(const char16_t* in, size_t n, char16_t* out, bool last) {
  char16_t* o = out;
  size_t i = 0;
  for (; i < n; ++i) {
    const char16_t u = in[i];
    if (IsKept(u)) {
      *o++ = u;
    } else if (u == u' ') {
      *o++ = u'+';
    } else if (!IsHighSurrogate(u)) {
      o = WriteEscapedUtf8(o, u);
    } else if (i + 1 < n) {
      // Only a true pair makes one code point; a high surrogate before
      // anything else is written alone, and the next unit stands by itself.
      if (IsLowSurrogate(in[i + 1])) {
        o = WriteEscapedUtf8(o, CombineSurrogates(u, in[i + 1]));
        ++i;
      } else {
        o = WriteEscapedUtf8(o, u);
      }
    } else if (last) {
      o = WriteEscapedUtf8(o, u);
    } else {
      break;  // its partner may start the next piece
    }
  }
  return {i, static_cast<size_t>(o - out)};
}

}  // namespace tobble
