// Numeric references of eight units, the most common in encoded text of
// kana, kanji and most other scripts: "&#" and five decimal digits and ";",
// or "&#x" and four hex digits and ";". The decoder reads each from one
// vector, with no step that depends on where its digits end. Each kernel has
// its plain version beside it, which the tests hold it to. (Writing eight of
// them from one vector of units measured slower on large texts than the
// encoders' one store a reference, and is not done.)
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "filters/common/hex.h"
#include "filters/common/simd.h"

namespace tobble::charref {

inline constexpr size_t kFixedReferenceUnits = simd::kWidth;

namespace detail {
inline simd::Units LoadLanes(const int16_t* lanes) {
  return _mm_load_si128(reinterpret_cast<const simd::Units*>(lanes));
}

// The sum of the four 32-bit lanes.
inline uint32_t SumLanes(simd::Units v) {
  const simd::Units pairs = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
  return static_cast<uint32_t>(
      _mm_cvtsi128_si32(_mm_add_epi32(pairs, _mm_shuffle_epi32(pairs, _MM_SHUFFLE(2, 3, 0, 1)))));
}
}  // namespace detail

// The value of "&#NNNNN;" at in[0, 8), five decimal digits, or -1 for any
// other eight units (or bytes of UTF-8: the references are ASCII).
template <typename Unit>
inline int32_t ReadFiveDigitReference(const Unit* in) {
  using namespace simd;
  alignas(16) static constexpr int16_t kMarks[8] = {'&', '#', 0, 0, 0, 0, 0, ';'};
  alignas(16) static constexpr int16_t kWeights[8] = {0, 0, 10000, 1000, 100, 10, 1, 0};
  const Units v = Load(in);
  const Units digits = Sub(v, Splat(u'0'));
  const unsigned marks = Mask(_mm_cmpeq_epi16(v, detail::LoadLanes(kMarks)));
  const unsigned decimal = Mask(Below(digits, 10));
  if (((marks & 0xC00F) | (decimal & 0x3FF0)) != 0xFFFF) return -1;
  return static_cast<int32_t>(
      detail::SumLanes(_mm_madd_epi16(digits, detail::LoadLanes(kWeights))));
}

// The value of "&#xHHHH;" or "&#XHHHH;" at in[0, 8), four hex digits of
// either case, or -1 for any other eight units.
template <typename Unit>
inline int32_t ReadFourHexReference(const Unit* in) {
  using namespace simd;
  alignas(16) static constexpr int16_t kMarks[8] = {'&', '#', 'x', 0, 0, 0, 0, ';'};
  alignas(16) static constexpr int16_t kWeights[8] = {0, 0, 0, 4096, 256, 16, 1, 0};
  const Units v = Load(in);
  const Units lower = Or(v, Splat(0x20));
  const Units letters = InRange(lower, u'a', u'f');
  const Units hex = Or(InRange(v, u'0', u'9'), letters);
  // "&", "#" and ";" as they are, "x" in either case.
  const Units pattern = detail::LoadLanes(kMarks);
  const unsigned exact = Mask(_mm_cmpeq_epi16(v, pattern));
  const unsigned folded = Mask(_mm_cmpeq_epi16(lower, pattern));
  if (((exact & 0xC00F) | (folded & 0x0030) | (Mask(hex) & 0x3FC0)) != 0xFFFF) return -1;
  const Units values = Add(And(v, Splat(0xF)), And(letters, Splat(9)));
  return static_cast<int32_t>(
      detail::SumLanes(_mm_madd_epi16(values, detail::LoadLanes(kWeights))));
}

// The same two, unit by unit.
inline int32_t ReadFiveDigitReferencePlain(const char16_t* in) {
  if (in[0] != u'&' || in[1] != u'#' || in[7] != u';') return -1;
  int32_t value = 0;
  for (int k = 2; k < 7; ++k) {
    if (in[k] < u'0' || in[k] > u'9') return -1;
    value = value * 10 + (in[k] - u'0');
  }
  return value;
}

inline int32_t ReadFourHexReferencePlain(const char16_t* in) {
  if (in[0] != u'&' || in[1] != u'#' || (in[2] != u'x' && in[2] != u'X') || in[7] != u';') {
    return -1;
  }
  int32_t value = 0;
  for (int k = 3; k < 7; ++k) {
    const int digit = HexValue(in[k]);
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

}  // namespace tobble::charref
