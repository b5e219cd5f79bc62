// Number fields in text: escape digits and numeric character references.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tobble {

// Reads the n units at field as a C library strtol in the C locale reads them
// in base 16 or 10, with a 32-bit result: white space (0x09 to 0x0D, 0x20),
// one optional sign, in base 16 an optional "0x" or "0X", then digits. A value
// beyond the 32-bit range is clamped to INT32_MAX or INT32_MIN. Returns true
// only when the parse consumes the whole field. With no digit at all the parse
// consumes nothing, so only the empty field is accepted then, as 0. Units
// above 0x7F are never white space, sign or digit.
bool ParseInteger(const char16_t* field, size_t n, int base, int32_t* value);

}  // namespace tobble
