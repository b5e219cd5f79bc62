// Backslash escapes: "\uXXXX" for one UTF-16 unit, "\UXXXXXXXX" for a code
// point, lower-case digits.
#pragma once

#include "filters/common/conversion.h"

namespace tobble {

// Every unit above 0x7F becomes "\uXXXX"; surrogates are escaped one by one
// (in UTF-8 a character above U+FFFF gives the escapes of its two units).
// Out is In, or bytes from UTF-16 units or code points (AsciiConversionOf).
template <typename In, typename Out = In>
Progress EncodeEscapesJ(const In* in, size_t n, Out* out, bool last);

// As EncodeEscapesJ, but a surrogate pair becomes one "\UXXXXXXXX".
template <typename In, typename Out = In>
Progress EncodeEscapesC(const In* in, size_t n, Out* out, bool last);

// Decodes "\uXXXX"; everything else is copied.
template <typename Unit>
Progress DecodeEscapesJ(const Unit* in, size_t n, Unit* out, bool last);

// Decodes "\uXXXX" and "\UXXXXXXXX"; everything else is copied.
template <typename Unit>
Progress DecodeEscapesC(const Unit* in, size_t n, Unit* out, bool last);

// The same four, unit by unit: the reference that the ones above, which
// skip runs of plain units and write and read escapes through tables, are
// held to.
template <typename In, typename Out = In>
Progress EncodeEscapesJScalar(const In* in, size_t n, Out* out, bool last);
template <typename In, typename Out = In>
Progress EncodeEscapesCScalar(const In* in, size_t n, Out* out, bool last);
template <typename Unit>
Progress DecodeEscapesJScalar(const Unit* in, size_t n, Unit* out, bool last);
template <typename Unit>
Progress DecodeEscapesCScalar(const Unit* in, size_t n, Unit* out, bool last);

}  // namespace tobble
