// Hex digits in vectors, with SSE2 only (no byte shuffle), sixteen at a time
// as bytes: digits checked and read as values, in pairs and pairs of pairs.
// The escape decoders' blocks (filters/escape/dense.h) build on these.
#pragma once

#include "filters/common/hex.h"
#include "filters/common/simd.h"

namespace tobble::simd {
inline namespace TOBBLE_SIMD_TARGET {

// Sixteen units packed into bytes for the hex classes below: units above 0xFF
// become 0xFF (from 0x8000 on, 0), neither a digit nor a letter.
inline Units PackedBytes(Units first, Units second) {
  return _mm_packus_epi16(first, second);
}

// Bytes from `low` to `high`: all ones. Bytes from 0x80 on are negative in
// the signed compares and lie in no range of ASCII.
inline Units BytesInRange(Units bytes, char low, char high) {
  return And(_mm_cmpgt_epi8(bytes, SplatByte(static_cast<uint8_t>(low - 1))),
             _mm_cmpgt_epi8(SplatByte(static_cast<uint8_t>(high + 1)), bytes));
}

// The hex digits of either case among sixteen bytes.
struct HexDigitBytes {
  static constexpr bool Has(uint8_t b) { return HexValue(b) >= 0; }
  static Units Letters(Units bytes) { return BytesInRange(Or(bytes, SplatByte(0x20)), 'a', 'f'); }
  static Units Lanes(Units bytes) { return Or(BytesInRange(bytes, '0', '9'), Letters(bytes)); }
  // The value of each digit byte; other bytes get some value up to 24.
  static Units Values(Units bytes) {
    return _mm_add_epi8(And(bytes, SplatByte(0xF)), And(Letters(bytes), SplatByte(9)));
  }
};

// Pairs of nibble values in bytes, the first the high one: each pair as the
// byte value, one a 16-bit lane.
inline Units NibblePairs(Units values) {
  return And(Add(_mm_slli_epi16(values, 4), _mm_srli_epi16(values, 8)), Splat(0xFF));
}

// Pairs of byte values in 16-bit lanes, the first the high one: each pair as
// a 16-bit value, one a 32-bit lane.
inline Units BytePairs(Units bytes) {
  return _mm_madd_epi16(bytes, _mm_set1_epi32(0x00010100));
}

// Eight 16-bit values, one a 32-bit lane of two vectors, as eight units.
// SSE2 packs 32-bit lanes with signed saturation only, so each value is
// made signed first.
inline Units PackValues(Units first, Units second) {
  return _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(first, 16), 16),
                         _mm_srai_epi32(_mm_slli_epi32(second, 16), 16));
}

}  // namespace TOBBLE_SIMD_TARGET
}  // namespace tobble::simd
