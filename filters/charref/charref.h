// HTML character references: "&lt;", "&#233;", "&#xe9;" and the named
// references of the HTML standard.
#pragma once

#include "filters/common/conversion.h"

namespace tobble {

// The four markup characters " < > & become "&quot;", "&lt;", "&gt;",
// "&amp;"; every unit from 0x80 up becomes a decimal reference ("&#233;"), a
// surrogate pair one reference to its code point. Everything else is copied.
// Out is In, or bytes from UTF-16 units or code points (AsciiConversionOf).
template <typename In, typename Out = In>
Progress EncodeCharrefs(const In* in, size_t n, Out* out, bool last);

// As EncodeCharrefs, with hexadecimal references ("&#xe9;").
template <typename In, typename Out = In>
Progress EncodeCharrefsHex(const In* in, size_t n, Out* out, bool last);

// Decodes numeric references ("&#65;", "&#x41;") and named ones ("&amp;",
// and the legacy names also without ";": "&amp"). What is no reference is
// copied.
template <typename Unit>
Progress DecodeCharrefs(const Unit* in, size_t n, Unit* out, bool last);

// The same three conversions unit by unit, without the fast paths: the
// reference that the tests hold the fast ones to.
template <typename In, typename Out = In>
Progress EncodeCharrefsScalar(const In* in, size_t n, Out* out, bool last);
template <typename In, typename Out = In>
Progress EncodeCharrefsHexScalar(const In* in, size_t n, Out* out, bool last);
template <typename Unit>
Progress DecodeCharrefsScalar(const Unit* in, size_t n, Unit* out, bool last);

}  // namespace tobble
