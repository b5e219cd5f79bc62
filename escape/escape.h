// Backslash escapes: "\uXXXX" for one UTF-16 unit, "\UXXXXXXXX" for a code
// point, lower-case digits.
#pragma once

#include "common/conversion.h"

namespace tobble {

// Every unit above 0x7F becomes "\uXXXX"; surrogates are escaped one by one.
Progress EncodeEscapesJ(const char16_t* in, size_t n, char16_t* out, bool last);

// As EncodeEscapesJ, but a surrogate pair becomes one "\UXXXXXXXX".
Progress EncodeEscapesC(const char16_t* in, size_t n, char16_t* out, bool last);

// Decodes "\uXXXX"; everything else is copied.
Progress DecodeEscapesJ(const char16_t* in, size_t n, char16_t* out, bool last);

// Decodes "\uXXXX" and "\UXXXXXXXX"; everything else is copied.
Progress DecodeEscapesC(const char16_t* in, size_t n, char16_t* out, bool last);

}  // namespace tobble
