#include "filters/common/number.h"

#include "filters/common/hex.h"

namespace tobble {
namespace {

constexpr bool IsSpace(char16_t u) {
  return u == 0x20 || (u >= 0x09 && u <= 0x0D);
}

// The digit's value in `base`, or -1.
int DigitValue(char16_t u, int base) {
  int v = HexValue(u);
  return v < base ? v : -1;
}

}  // namespace

template <typename Unit>
bool ParseInteger(const Unit* field, size_t n, int base, int32_t* value) {
  size_t i = 0;
  while (i < n && IsSpace(field[i])) ++i;
  bool negative = false;
  if (i < n && (field[i] == u'+' || field[i] == u'-')) {
    negative = field[i] == u'-';
    ++i;
  }
  // strtol takes "0x" as a prefix only when a hex digit follows it; otherwise
  // the "0" is the number and the parse stops at the "x".
  if (base == 16 && i + 2 < n && field[i] == u'0' && (field[i + 1] | 0x20) == u'x' &&
      HexValue(field[i + 2]) >= 0) {
    i += 2;
  }
  const size_t digits_start = i;
  // Past 0x80000000 the exact value no longer matters: it clamps either way.
  uint64_t magnitude = 0;
  for (int d; i < n && (d = DigitValue(field[i], base)) >= 0; ++i) {
    magnitude = magnitude * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    if (magnitude > 0x80000000u) magnitude = 0x80000001u;
  }
  if (i == digits_start) {  // no digit: strtol consumed nothing
    *value = 0;
    return n == 0;
  }
  if (negative) {
    *value = magnitude >= 0x80000000u ? INT32_MIN : -static_cast<int32_t>(magnitude);
  } else {
    *value = magnitude > 0x7FFFFFFFu ? INT32_MAX : static_cast<int32_t>(magnitude);
  }
  return i == n;
}

template <typename Unit>
bool MayStartInteger(const Unit* field, size_t n, int base) {
  size_t i = 0;
  while (i < n && IsSpace(field[i])) ++i;
  if (i < n && (field[i] == u'+' || field[i] == u'-')) ++i;
  // "0x" counts as a prefix only once a digit follows it, and a digit can.
  if (base == 16 && i + 1 < n && field[i] == u'0' && (field[i + 1] | 0x20) == u'x') i += 2;
  while (i < n && DigitValue(field[i], base) >= 0) ++i;
  return i == n;
}

template bool ParseInteger<char16_t>(const char16_t* field, size_t n, int base, int32_t* value);
template bool MayStartInteger<char16_t>(const char16_t* field, size_t n, int base);
#ifndef TOBBLE_UTF16_ONLY
template bool ParseInteger<uint8_t>(const uint8_t* field, size_t n, int base, int32_t* value);
template bool MayStartInteger<uint8_t>(const uint8_t* field, size_t n, int base);
#endif

}  // namespace tobble
