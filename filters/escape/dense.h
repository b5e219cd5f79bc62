// Blocks of eight escapes at a time, for text that is all escapes: the
// decoders read eight back-to-back "\uXXXX" into one vector. The kernel has
// its plain version beside it, which the tests hold it to. (Writing eight
// escapes from one vector with SSE2 alone measured slower on large texts
// than the encoders' table writes; with SSSE3's byte shuffle the encoders
// do it in UTF-8, filters/escape/shuffle.h.)
#pragma once

#include <stddef.h>
#include <stdint.h>

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
  // With all eight good, the first bit clear is bit 32. Counted without a
  // branch: whether all eight are good is as likely as not in most text.
  const size_t good = static_cast<size_t>(__builtin_ctzll(~static_cast<uint64_t>(ok))) / 4;
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

// Dense text in UTF-16 goes a step at a time over a window of 64 units: the
// escapes that lead it, up to eight, and then the units up to the next
// backslash, up to eight, copied. Where the escapes end and where the next
// one begins come from one mask of the window's backslashes, so that the
// next step's loads wait on a few shifts only, not on reading the escapes,
// which only decides whether the step holds (the rare escape that breaks a
// run stops the steps there).
inline constexpr size_t kRunWindowUnits = 64;

// What a step read: escapes (six units each, one written), then plain units
// (copied), and whether it stopped at a backslash that ReadUnitEscapes does
// not read, before any plain units.
struct RunStep {
  size_t escapes;
  size_t plain;
  bool stopped;
};

// A bit a unit of in[0, 64), set for the backslashes.
inline uint64_t BackslashBits(const char16_t* in) {
  using namespace simd;
  uint64_t bits = 0;
  for (size_t k = 0; k < kRunWindowUnits; k += 2 * kWidth) {
    const Units pair =
        _mm_packs_epi16(Equal(Load(in + k), u'\\'), Equal(Load(in + k + kWidth), u'\\'));
    bits |= static_cast<uint64_t>(Mask(pair)) << k;
  }
  return bits;
}

// One step from in[0], from any unit, with 64 units readable there and room
// for sixteen units at out: writes anything in those past the count.
inline __attribute__((always_inline)) RunStep DecodeRunStep(const char16_t* in, char16_t* out) {
  using namespace simd;
  const uint64_t bits = BackslashBits(in);
  // The backslashes that would begin eight escapes back to back: the first
  // missing one, or the end of the eighth escape.
  constexpr uint64_t kStarts = 0x041041041041ull;
  const unsigned starts =
      static_cast<unsigned>(__builtin_ctzll((~bits & kStarts) | 1ull << kBlockEscapeUnits));
  const size_t escapes = starts / 6;
  // ReadUnitEscapes takes the first "\u" as seen.
  size_t read = ReadUnitEscapes(in, out);
  if (in[0] != u'\\' || in[1] != u'u') read = 0;
  const size_t plain = static_cast<size_t>(__builtin_ctzll(bits >> starts | 1u << kBlockUnits));
  Store(out + escapes, Load(in + starts));
  if (read != escapes) return {read, 0, true};
  return {escapes, plain, false};
}

// DecodeRunStep unit by unit, writing only the units it counts.
inline RunStep DecodeRunStepPlain(const char16_t* in, char16_t* out) {
  const size_t escapes = ReadUnitEscapesPlain(in, out);
  const size_t at = 6 * escapes;
  if (escapes < kBlockUnits && in[at] == u'\\') return {escapes, 0, true};
  size_t plain = 0;
  for (; plain < kBlockUnits && in[at + plain] != u'\\'; ++plain) {
    out[escapes + plain] = in[at + plain];
  }
  return {escapes, plain, false};
}

// The eight digits of a "\U" escape, read at once: true, with their value,
// when all eight are plain hex digits (either case), as the decoders read
// most such fields. Reads eight units (or bytes of UTF-8) at field.
template <typename Unit>
inline __attribute__((always_inline)) bool ReadEightHexDigits(const Unit* field, uint32_t* value) {
  using namespace simd;
  const Units units = Load(field);
  const Units letters = InRange(Or(units, Splat(0x20)), u'a', u'f');
  const Units hex = Or(InRange(units, u'0', u'9'), letters);
  // Two digits a byte, high digit first, then the four bytes in order.
  const Units digits = Add(And(units, Splat(0xF)), And(letters, Splat(9)));
  const Units pairs = _mm_madd_epi16(digits, _mm_set1_epi32(0x00010010));
  const Units packed = _mm_packus_epi16(_mm_packs_epi32(pairs, pairs), pairs);
  *value = __builtin_bswap32(static_cast<uint32_t>(_mm_cvtsi128_si32(packed)));
  return Mask(hex) == 0xFFFF;
}

// ReadEightHexDigits digit by digit.
inline bool ReadEightHexDigitsPlain(const char16_t* field, uint32_t* value) {
  uint32_t v = 0;
  for (size_t d = 0; d < 8; ++d) {
    const int digit = HexValue(field[d]);
    if (digit < 0) return false;
    v = v << 4 | static_cast<uint32_t>(digit);
  }
  *value = v;
  return true;
}

}  // namespace tobble::escape
