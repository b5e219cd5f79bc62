// Two or four UTF-16 units packed into one integer in memory order, and
// written with one store wherever they fall: the conversions write escapes
// from precomputed tables this way, with few stores.
#pragma once

#include <stdint.h>

namespace tobble {

// Both targets are little-endian: the first unit is the low half.
constexpr uint32_t PackUnits(char16_t first, char16_t second) {
  return first | static_cast<uint32_t>(second) << 16;
}
constexpr uint64_t PackUnits(char16_t a, char16_t b, char16_t c, char16_t d) {
  return PackUnits(a, b) | static_cast<uint64_t>(PackUnits(c, d)) << 32;
}

namespace detail {
// Integers that may lie at any unit and alias the units they overlap.
typedef uint32_t __attribute__((may_alias, aligned(2))) UnitPair;
typedef uint64_t __attribute__((may_alias, aligned(2))) UnitQuad;
typedef uint32_t __attribute__((may_alias, aligned(1))) ByteQuad;
typedef uint64_t __attribute__((may_alias, aligned(1))) ByteOctet;
}  // namespace detail

inline void StorePair(char16_t* out, uint32_t packed) {
  *reinterpret_cast<detail::UnitPair*>(out) = packed;
}
inline void StoreQuad(char16_t* out, uint64_t packed) {
  *reinterpret_cast<detail::UnitQuad*>(out) = packed;
}
// Four bytes of UTF-8 output, the first the low byte.
inline void StoreBytes(uint8_t* out, uint32_t packed) {
  *reinterpret_cast<detail::ByteQuad*>(out) = packed;
}
inline void StoreBytes(uint8_t* out, uint64_t packed) {
  *reinterpret_cast<detail::ByteOctet*>(out) = packed;
}

}  // namespace tobble
