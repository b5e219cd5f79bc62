// Backslash escapes: "\uXXXX" for one UTF-16 unit, "\UXXXXXXXX" for a code
// point, lower-case digits.
#pragma once

#include "filters/common/conversion.h"

namespace tobble {

// Every unit above 0x7F becomes "\uXXXX"; surrogates are escaped one by one
// (in UTF-8 a character above U+FFFF gives the escapes of its two units).
template <typename Unit>
Progress EncodeEscapesJ(const Unit* in, size_t n, Unit* out, bool last);

// As EncodeEscapesJ, but a surrogate pair becomes one "\UXXXXXXXX".
template <typename Unit>
Progress EncodeEscapesC(const Unit* in, size_t n, Unit* out, bool last);

// Decodes "\uXXXX"; everything else is copied.
template <typename Unit>
Progress DecodeEscapesJ(const Unit* in, size_t n, Unit* out, bool last);

// Decodes "\uXXXX" and "\UXXXXXXXX"; everything else is copied.
template <typename Unit>
Progress DecodeEscapesC(const Unit* in, size_t n, Unit* out, bool last);

// The same four, unit by unit: the reference that the ones above, which
// skip runs of plain units and write and read escapes through tables, are
// held to.
template <typename Unit>
Progress EncodeEscapesJScalar(const Unit* in, size_t n, Unit* out, bool last);
template <typename Unit>
Progress EncodeEscapesCScalar(const Unit* in, size_t n, Unit* out, bool last);
template <typename Unit>
Progress DecodeEscapesJScalar(const Unit* in, size_t n, Unit* out, bool last);
template <typename Unit>
Progress DecodeEscapesCScalar(const Unit* in, size_t n, Unit* out, bool last);

}  // namespace tobble
