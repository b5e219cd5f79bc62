// Percent-encoded UTF-8, as used in URLs: "%XX" bytes with upper-case digits,
// "+" for a space.
#pragma once

#include "filters/common/conversion.h"

namespace tobble {

// Keeps ASCII letters, digits, "-", ".", "_", "~", CR and LF; writes a space
// as "+" and every other character as the "%XX" bytes of its UTF-8 form. A
// high surrogate pairs only with a following low surrogate; otherwise it is
// written by itself, as a lone low surrogate is, in the three-byte form.
template <typename Unit>
Progress EncodeUrl(const Unit* in, size_t n, Unit* out, bool last);

// Reads "+" as a space and "%XX" escapes as UTF-8 bytes, either case; a
// broken byte sequence leaves one "?", and everything else is copied. No zero
// unit is ever written: "%00" is copied, and a sequence of the value 0 or of
// one above 0x10FFFF counts as broken.
template <typename Unit>
Progress DecodeUrl(const Unit* in, size_t n, Unit* out, bool last);

// The same two, unit by unit: the reference that the ones above, which skip
// runs of plain units and write and read escapes through tables, are held to.
template <typename Unit>
Progress EncodeUrlScalar(const Unit* in, size_t n, Unit* out, bool last);
template <typename Unit>
Progress DecodeUrlScalar(const Unit* in, size_t n, Unit* out, bool last);

}  // namespace tobble
