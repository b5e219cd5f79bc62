// Numeric references of eight units, the most common in encoded text of
// kana, kanji and most other scripts: "&#" and five decimal digits and ";",
// or "&#x" and four hex digits and ";". The encoders write eight of them from
// one vector of units, the decoder reads each from one vector, with no step
// that depends on where its digits end. Each kernel has its plain version
// beside it, which the tests hold it to.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "filters/common/digits.h"
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

// The leading units of in[0, 8) whose decimal references have five digits
// (10,000 and up, no surrogate), or whose hex references have four (0x1000
// and up, no surrogate). From 0 to 8.
inline size_t LeadingFiveDigitUnits(const char16_t* in) {
  using namespace simd;
  const Units v = Load(in);
  const Units fit = And(AtLeast(v, 10000), Not(InRange(v, 0xD800, 0xDFFF)));
  return static_cast<size_t>(__builtin_ctz(~LaneBits(fit)));
}
inline size_t LeadingFourHexDigitUnits(const char16_t* in) {
  using namespace simd;
  const Units v = Load(in);
  const Units fit = And(AtLeast(v, 0x1000), Not(InRange(v, 0xD800, 0xDFFF)));
  return static_cast<size_t>(__builtin_ctz(~LaneBits(fit)));
}

namespace detail {
// Writes eight references of eight units at out, one a column of the
// rows "&", "#", the five rows given, ";" (lane k of a row belongs to the
// reference of unit k): a transposition by unpacking, 16-bit lanes, then
// 32-bit, then 64-bit.
inline __attribute__((always_inline)) void StoreReferenceColumns(simd::Units r2, simd::Units r3,
                                                                 simd::Units r4, simd::Units r5,
                                                                 simd::Units r6, char16_t* out) {
  using namespace simd;
  const Units prefix = _mm_set1_epi32(static_cast<int>(u'&' | u'#' << 16));
  const Units semicolon = Splat(u';');
  const Units a2 = _mm_unpacklo_epi16(r2, r3), a3 = _mm_unpackhi_epi16(r2, r3);
  const Units a4 = _mm_unpacklo_epi16(r4, r5), a5 = _mm_unpackhi_epi16(r4, r5);
  const Units a6 = _mm_unpacklo_epi16(r6, semicolon), a7 = _mm_unpackhi_epi16(r6, semicolon);
  const Units b0 = _mm_unpacklo_epi32(prefix, a2), b1 = _mm_unpackhi_epi32(prefix, a2);
  const Units b2 = _mm_unpacklo_epi32(prefix, a3), b3 = _mm_unpackhi_epi32(prefix, a3);
  const Units b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
  const Units b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
  Store(out, _mm_unpacklo_epi64(b0, b4));
  Store(out + 8, _mm_unpackhi_epi64(b0, b4));
  Store(out + 16, _mm_unpacklo_epi64(b1, b5));
  Store(out + 24, _mm_unpackhi_epi64(b1, b5));
  Store(out + 32, _mm_unpacklo_epi64(b2, b6));
  Store(out + 40, _mm_unpackhi_epi64(b2, b6));
  Store(out + 48, _mm_unpacklo_epi64(b3, b7));
  Store(out + 56, _mm_unpackhi_epi64(b3, b7));
}

// Lane by lane, v / 10 (exact for every 16-bit value: 0xCCCD / 2^19 lies
// close enough above 1/10), and v less ten times that. Division by a
// constant as a multiplication by its rounded-up inverse follows Torbjorn
// Granlund and Peter L. Montgomery, "Division by Invariant Integers using
// Multiplication" (1994).
inline simd::Units DivideByTen(simd::Units v, simd::Units* remainder) {
  const simd::Units quotient = _mm_srli_epi16(_mm_mulhi_epu16(v, simd::Splat(0xCCCD)), 3);
  *remainder = simd::Sub(v, _mm_mullo_epi16(quotient, simd::Splat(10)));
  return quotient;
}
}  // namespace detail

// Writes each of the eight units at `in`, each 10,000 or more and no
// surrogate, as "&#" and its five decimal digits and ";": 64 units at out.
inline __attribute__((always_inline)) void WriteFiveDigitReferences(const char16_t* in,
                                                                    char16_t* out) {
  using namespace simd;
  Units d0, d1, d2, d3;
  const Units d4 = detail::DivideByTen(
      detail::DivideByTen(detail::DivideByTen(detail::DivideByTen(Load(in), &d0), &d1), &d2), &d3);
  const Units zero = Splat(u'0');
  detail::StoreReferenceColumns(Add(d4, zero), Add(d3, zero), Add(d2, zero), Add(d1, zero),
                                Add(d0, zero), out);
}

// Writes each of the eight units at `in`, each 0x1000 or more and no
// surrogate, as "&#x" and its four lower-case hex digits and ";": 64 units.
inline __attribute__((always_inline)) void WriteFourHexDigitReferences(const char16_t* in,
                                                                       char16_t* out) {
  using namespace simd;
  const Units v = Load(in);
  const Units nibble = Splat(0xF);
  // The digits as bytes: the high nibbles of the units in the low half, the
  // low ones in the high half.
  const Units high = _mm_packus_epi16(_mm_srli_epi16(v, 12), And(_mm_srli_epi16(v, 4), nibble));
  const Units low = _mm_packus_epi16(And(_mm_srli_epi16(v, 8), nibble), And(v, nibble));
  const Units high_digits = HexDigitBytes::Digits<false>(high);
  const Units low_digits = HexDigitBytes::Digits<false>(low);
  detail::StoreReferenceColumns(Splat(u'x'), WidenLow(high_digits), WidenLow(low_digits),
                                WidenHigh(high_digits), WidenHigh(low_digits), out);
}

// The same two, unit by unit.
inline void WriteFiveDigitReferencesPlain(const char16_t* in, char16_t* out) {
  for (size_t k = 0; k < kFixedReferenceUnits; ++k, out += 8) {
    out[0] = u'&';
    out[1] = u'#';
    for (uint32_t v = in[k], d = 6; d >= 2; --d, v /= 10)
      out[d] = static_cast<char16_t>(u'0' + v % 10);
    out[7] = u';';
  }
}

inline void WriteFourHexDigitReferencesPlain(const char16_t* in, char16_t* out) {
  for (size_t k = 0; k < kFixedReferenceUnits; ++k, out += 8) {
    out[0] = u'&';
    out[1] = u'#';
    out[2] = u'x';
    for (int d = 3; d < 7; ++d) out[d] = kLowerHexDigits[(in[k] >> (4 * (6 - d))) & 0xF];
    out[7] = u';';
  }
}

// The value of "&#NNNNN;" at in[0, 8), five decimal digits, or -1 for any
// other eight units.
inline int32_t ReadFiveDigitReference(const char16_t* in) {
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
inline int32_t ReadFourHexReference(const char16_t* in) {
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
