// Blocks of eight escapes at a time, for text that is all escapes: the
// decoders read eight back-to-back "\uXXXX" into one vector. The kernel has
// its plain version beside it, which the tests hold it to. (Writing eight
// escapes from one vector with SSE2 alone measured slower on large texts
// than the encoders' table writes; with SSSE3's byte shuffle the encoders
// do it in UTF-8, filters/escape/shuffle.h.)
#pragma once

#include <stddef.h>

#include "filters/common/digits.h"
#include "filters/common/hex.h"
#include "filters/common/simd.h"

namespace tobble::escape {

inline constexpr size_t kBlockUnits = simd::kWidth;
// The escapes of a block: six units each.
inline constexpr size_t kBlockEscapeUnits = 6 * kBlockUnits;

// A quarter of a block of escapes read by ReadUnitEscapes below.
struct UnitEscapeQuarter {
  unsigned digits_ok;  // four bits an escape, one a digit
  unsigned marks_ok;   // the "\u" of escape k + 1 in bits 4k and 4k + 1
  simd::Units values;  // one a 32-bit lane
};

// The four escapes at in[0, 24), and the "\u" after them, at in[24, 26),
// only when kReadsNext: the last quarter of a block reads nothing past it.
template <bool kReadsNext, typename Unit>
inline __attribute__((always_inline)) UnitEscapeQuarter ReadUnitEscapeQuarter(const Unit* in) {
  using namespace simd;
  const Units l0 = Load(in + 2), l1 = Load(in + 8), l2 = Load(in + 14);
  const Units l3 = kReadsNext ? Load(in + 20) : _mm_srli_si128(Load(in + 16), 8);
  const Units digits = PackedBytes(_mm_unpacklo_epi64(l0, l1), _mm_unpacklo_epi64(l2, l3));
  const Units marks = PackedBytes(_mm_unpackhi_epi64(l0, l1), _mm_unpackhi_epi64(l2, l3));
  const Units expected_marks = _mm_set1_epi32(static_cast<int>(u'\\' | u'u' << 8));
  return {Mask(HexDigitBytes::Lanes(digits)), Mask(_mm_cmpeq_epi8(marks, expected_marks)),
          BytePairs(NibblePairs(HexDigitBytes::Values(digits)))};
}

// Reads up to eight back-to-back "\uXXXX" at in[0, 48) whose digits are
// plain hex digits (either case) of a value other than 0, as the decoders
// read each such escape, and returns how many lead the block: from 0 to 8.
// The caller has seen the "\u" of the first. Writes their values at out, and
// the rest of eight units with anything.
//
// The digits of escape k lie at in[6k + 2]: two loads give two escapes'
// digits in one vector, and the "\u" of the next escapes come along in the
// upper halves. Sixteen digits are checked and read as bytes. The escapes
// may also be UTF-8 (they are ASCII): each load then reads eight bytes into
// the same lanes.
template <typename Unit>
inline __attribute__((always_inline)) size_t ReadUnitEscapes(const Unit* in, char16_t* out) {
  using namespace simd;
  const UnitEscapeQuarter first = ReadUnitEscapeQuarter<true>(in);
  const UnitEscapeQuarter second = ReadUnitEscapeQuarter<false>(in + 24);
  // The marks of escape k + 1 came with escape k, and move to its bits;
  // those of escape 0 the caller has seen. Bits 2 and 3 of each escape
  // belong to its digits only.
  const unsigned marks_ok = (first.marks_ok | second.marks_ok << 16) << 4 | 0xF | 0xCCCCCCCCu;
  const unsigned ok = (first.digits_ok | second.digits_ok << 16) & marks_ok;
  const Units units = PackValues(first.values, second.values);
  Store(out, units);
  const unsigned zero = LaneBits(_mm_cmpeq_epi16(units, _mm_setzero_si128()));
  // With all eight good, ~ok has no bit set to count.
  const size_t good = ok == ~0u ? kBlockUnits : static_cast<size_t>(__builtin_ctz(~ok)) / 4;
  const size_t nonzero = static_cast<size_t>(__builtin_ctz(zero | 0x100));
  return good < nonzero ? good : nonzero;
}

// ReadUnitEscapes escape by escape, writing only the units it counts.
inline size_t ReadUnitEscapesPlain(const char16_t* in, char16_t* out) {
  size_t k = 0;
  for (; k < kBlockUnits; ++k) {
    const char16_t* escape = in + 6 * k;
    if (escape[0] != u'\\' || escape[1] != u'u') break;
    int value = 0;
    for (int d = 2; d < 6 && value >= 0; ++d) {
      const int digit = HexValue(escape[d]);
      value = digit < 0 ? -1 : value * 16 + digit;
    }
    if (value <= 0) break;
    out[k] = static_cast<char16_t>(value);
  }
  return k;
}

}  // namespace tobble::escape
