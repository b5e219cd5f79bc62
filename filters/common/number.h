// Number fields in text: escape digits and numeric character references.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "filters/common/surrogate.h"
#include "filters/common/utf8.h"

namespace tobble {

// Reads the n units at field as a C library strtol in the C locale reads them
// in base 16 or 10, with a 32-bit result: white space (0x09 to 0x0D, 0x20),
// one optional sign, in base 16 an optional "0x" or "0X", then digits. A value
// beyond the 32-bit range is clamped to INT32_MAX or INT32_MIN. Returns true
// only when the parse consumes the whole field. With no digit at all the parse
// consumes nothing, so only the empty field is accepted then, as 0. Units
// above 0x7F are never white space, sign or digit.
template <typename Unit>
bool ParseInteger(const Unit* field, size_t n, int base, int32_t* value);

// Whether field[0, n) is the start of a field that ParseInteger accepts with
// at least one digit: white space, a sign, in base 16 "0x", digits, each part
// only where the parse allows it. When it is not, no units added after it
// can make it a number. The value is not looked at.
template <typename Unit>
bool MayStartInteger(const Unit* field, size_t n, int base);

// Writes the character a parsed number stands for: below 0x10000 (negative
// values too) its low 16 bits as one unit, up to 0x10FFFF a surrogate pair,
// through a decoder's output (the escape or reference begins at input
// position `at`). Returns null, writing nothing, for a value that would give
// a zero unit (it would end the text for whoever reads it) or that lies above
// 0x10FFFF (it names no character).
template <typename Unit>
inline Unit* WriteNumberedCharacter(Unit* out, int32_t value, DecodedOutput<Unit>& output,
                                    size_t at) {
  const uint32_t v = static_cast<uint32_t>(value);
  if (value < 0x10000) {
    if ((v & 0xFFFF) == 0) return nullptr;
    return output.Unit(out, static_cast<char16_t>(v), at);
  }
  return v <= 0x10FFFF ? output.Pair(out, v) : nullptr;
}

}  // namespace tobble
