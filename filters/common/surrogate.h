// UTF-16 surrogate arithmetic.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tobble {

constexpr bool IsHighSurrogate(uint32_t u) {
  return (u & 0xFFFFFC00u) == 0xD800;
}
constexpr bool IsLowSurrogate(uint32_t u) {
  return (u & 0xFFFFFC00u) == 0xDC00;
}

// The code point of the pair hi, lo (0x10000 to 0x10FFFF for a true pair).
constexpr uint32_t CombineSurrogates(uint32_t hi, uint32_t lo) {
  return (hi << 10) + lo - 0x35FDC00u;
}

// The two units of a code point from 0x10000 to 0x10FFFF.
constexpr char16_t HighSurrogateOf(uint32_t code_point) {
  return static_cast<char16_t>((code_point >> 10) + 0xD7C0);
}
constexpr char16_t LowSurrogateOf(uint32_t code_point) {
  return static_cast<char16_t>((code_point & 0x3FF) | 0xDC00);
}

// A character of a text as the encoders read it: its value and its units.
struct Character {
  uint32_t value;
  size_t units;  // 1 or 2; 0 for a high surrogate that must wait
};

// The character at in[i] (i < n), of UTF-16 units or of code points (read
// as the units they make: one above U+FFFF is a character of its own).
// Only a true pair makes one code point; a high surrogate before anything
// else stands alone, as a lone low one does. A high surrogate that ends a
// piece before the last has `units` 0: its partner may start the next
// piece. (UTF-8 has its own, filters/common/utf8.h.)
template <typename Unit>
inline Character CharacterAt(const Unit* in, size_t n, size_t i, bool last) {
  static_assert(sizeof(Unit) == 2 || sizeof(Unit) == 4, "UTF-16 units or code points");
  const uint32_t u = in[i];
  if (!IsHighSurrogate(u)) return {u, 1};
  if (i + 1 < n) {
    if (IsLowSurrogate(in[i + 1])) return {CombineSurrogates(u, in[i + 1]), 2};
    return {u, 1};
  }
  return {u, last ? size_t{1} : size_t{0}};
}

// Writes a code point up to 0x10FFFF as one unit or a surrogate pair and
// returns the position after it.
inline char16_t* WriteCodePoint(char16_t* out, uint32_t code_point) {
  if (code_point < 0x10000) {
    *out++ = static_cast<char16_t>(code_point);
  } else {
    *out++ = HighSurrogateOf(code_point);
    *out++ = LowSurrogateOf(code_point);
  }
  return out;
}

}  // namespace tobble
