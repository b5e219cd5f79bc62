#include "common/number.h"
#include "escape/escape.h"

namespace tobble {
namespace {

// Decodes the escapes at in[0, n), the long form only when `long_form`.
//
// An escape is a backslash, "u" and a four-unit field, or a backslash, "U"
// and an eight-unit field. The field is read by ParseInteger and must be
// accepted whole, and its value must name a character other than U+0000. A
// refused escape is copied: its backslash goes out as it is and scanning
// resumes right after it.
Progress DecodeEscapes(const char16_t* in, size_t n, char16_t* out, bool last, bool long_form) {
  char16_t* o = out;
  size_t i = 0;
  while (i < n) {
    const char16_t u = in[i];
    if (u != u'\\') {
      *o++ = u;
      ++i;
      continue;
    }
    if (i + 1 == n && !last) break;
    const char16_t letter = i + 1 < n ? in[i + 1] : 0;
    const size_t digits = letter == u'u' ? 4 : letter == u'U' && long_form ? 8 : 0;
    if (digits != 0) {
      if (i + 2 + digits > n && !last) break;
      int32_t value;
      char16_t* end;
      if (i + 2 + digits <= n && ParseInteger(in + i + 2, digits, 16, &value) &&
          (end = WriteNumberedCharacter(o, value)) != nullptr) {
        o = end;
        i += 2 + digits;
        continue;
      }
    }
    *o++ = u;
    ++i;
  }
  return {i, static_cast<size_t>(o - out)};
}

}  // namespace

Progress DecodeEscapesJ(const char16_t* in, size_t n, char16_t* out, bool last) {
  return DecodeEscapes(in, n, out, last, false);
}

Progress DecodeEscapesC(const char16_t* in, size_t n, char16_t* out, bool last) {
  return DecodeEscapes(in, n, out, last, true);
}

}  // namespace tobble
