// Backslash escapes: "\uXXXX" for one UTF-16 unit, "\UXXXXXXXX" for a code
// point, lower-case digits.
#pragma once

#include "filters/common/conversion.h"

namespace tobble {

// Every unit above 0x7F becomes "\uXXXX"; surrogates are escaped one by one.
Progress EncodeEscapesJ(const char16_t* in, size_t n, char16_t* out, bool last);

// As EncodeEscapesJ, but a surrogate pair becomes one "\UXXXXXXXX".
Progress EncodeEscapesC(const char16_t* in, size_t n, char16_t* out, bool last);

// Decodes "\uXXXX"; everything else is copied.
Progress DecodeEscapesJ(const char16_t* in, size_t n, char16_t* out, bool last);

// Decodes "\uXXXX" and "\UXXXXXXXX"; everything else is copied.
Progress DecodeEscapesC(const char16_t* in, size_t n, char16_t* out, bool last);

// The same four, unit by unit: the reference that the ones above, which
// skip runs of plain units and write and read escapes through tables, are
// held to.
Progress EncodeEscapesJScalar(const char16_t* in, size_t n, char16_t* out, bool last);
Progress EncodeEscapesCScalar(const char16_t* in, size_t n, char16_t* out, bool last);
Progress DecodeEscapesJScalar(const char16_t* in, size_t n, char16_t* out, bool last);
Progress DecodeEscapesCScalar(const char16_t* in, size_t n, char16_t* out, bool last);

}  // namespace tobble
