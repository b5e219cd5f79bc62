// Hexadecimal digit tables, as UTF-16 units.
#pragma once

#include <stdint.h>

#include "filters/common/units.h"

namespace tobble {

inline constexpr char16_t kLowerHexDigits[] = u"0123456789abcdef";
inline constexpr char16_t kUpperHexDigits[] = u"0123456789ABCDEF";

namespace detail {
struct HexValueTable {
  int8_t value[128];
  constexpr HexValueTable() : value() {
    for (int c = 0; c < 128; ++c) {
      value[c] = c >= '0' && c <= '9'   ? c - '0'
                 : c >= 'a' && c <= 'f' ? c - 'a' + 10
                 : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                        : -1;
    }
  }
};
inline constexpr HexValueTable kHexValues;

struct HexPairTable {
  uint32_t pair[256];
  constexpr explicit HexPairTable(const char16_t* digits) : pair() {
    for (int byte = 0; byte < 256; ++byte)
      pair[byte] = PackUnits(digits[byte >> 4], digits[byte & 0xF]);
  }
};
struct HexBytePairTable {
  uint16_t pair[256];
  constexpr explicit HexBytePairTable(const char16_t* digits) : pair() {
    for (int byte = 0; byte < 256; ++byte)
      pair[byte] = static_cast<uint16_t>(digits[byte >> 4] | digits[byte & 0xF] << 8);
  }
};
}  // namespace detail

// The two lower-case hex digits of every byte, the high one first, packed
// for StorePair; and the same as two bytes of UTF-8, the first the low one.
inline constexpr detail::HexPairTable kLowerHexPairs(kLowerHexDigits);
inline constexpr detail::HexBytePairTable kLowerHexBytePairs(kLowerHexDigits);

// The value of a hexadecimal digit unit, either case, or -1 for any other
// unit. Only the ASCII digits count: a fullwidth digit is no digit.
constexpr int HexValue(char16_t u) {
  return u < 128 ? detail::kHexValues.value[u] : -1;
}

}  // namespace tobble
