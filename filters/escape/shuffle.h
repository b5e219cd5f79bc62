// Eight "\uXXXX" escapes at a time with SSSE3's byte shuffle: the hex
// digits of eight units looked up sixteen at a time in a register that holds
// "0123456789abcdef", and laid out among the backslashes and "u"s by three
// more shuffles. Built only into encode_ssse3.cpp.
#pragma once

#include <tmmintrin.h>

#include "filters/common/simd.h"

namespace tobble::escape {
inline namespace TOBBLE_SIMD_TARGET {

// The escapes of the eight units in `units` as 48 bytes, in three vectors.
struct UnitEscapeBytes {
  __m128i part[3];
};

inline __attribute__((always_inline)) UnitEscapeBytes UnitEscapeBlock(__m128i units) {
  const __m128i low4 = _mm_set1_epi8(0x0F);
  const __m128i hex =
      _mm_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f');
  const __m128i high_nibbles = _mm_and_si128(_mm_srli_epi16(units, 4), low4);
  const __m128i low_nibbles = _mm_and_si128(units, low4);
  // The digits of units 0-3 and 4-7, four bytes a unit: for 0xABCD the
  // digits C, D, A, B (its low byte comes first).
  const __m128i first = _mm_shuffle_epi8(hex, _mm_unpacklo_epi8(high_nibbles, low_nibbles));
  const __m128i second = _mm_shuffle_epi8(hex, _mm_unpackhi_epi8(high_nibbles, low_nibbles));
  // Escape k fills bytes 6k to 6k + 5; a shuffle index of -1 gives a zero
  // byte, where the "\u" goes in.
  const __m128i marks0 =
      _mm_setr_epi8('\\', 'u', 0, 0, 0, 0, '\\', 'u', 0, 0, 0, 0, '\\', 'u', 0, 0);
  const __m128i marks1 =
      _mm_setr_epi8(0, 0, '\\', 'u', 0, 0, 0, 0, '\\', 'u', 0, 0, 0, 0, '\\', 'u');
  const __m128i marks2 = _mm_setr_epi8(0, 0, 0, 0, '\\', 'u', 0, 0, 0, 0, '\\', 'u', 0, 0, 0, 0);
  UnitEscapeBytes out;
  out.part[0] = _mm_or_si128(
      marks0, _mm_shuffle_epi8(
                  first, _mm_setr_epi8(-1, -1, 2, 3, 0, 1, -1, -1, 6, 7, 4, 5, -1, -1, 10, 11)));
  out.part[1] = _mm_or_si128(
      _mm_or_si128(marks1, _mm_shuffle_epi8(first, _mm_setr_epi8(8, 9, -1, -1, 14, 15, 12, 13, -1,
                                                                 -1, -1, -1, -1, -1, -1, -1))),
      _mm_shuffle_epi8(second,
                       _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 3, 0, 1, -1, -1)));
  out.part[2] = _mm_or_si128(
      marks2, _mm_shuffle_epi8(
                  second, _mm_setr_epi8(6, 7, 4, 5, -1, -1, 10, 11, 8, 9, -1, -1, 14, 15, 12, 13)));
  return out;
}

// The escapes stored as 48 bytes of UTF-8.
inline __attribute__((always_inline)) uint8_t* StoreUnitEscapes(uint8_t* out, __m128i units) {
  const UnitEscapeBytes bytes = UnitEscapeBlock(units);
  for (int k = 0; k < 3; ++k) simd::StoreBytes(out + 16 * k, bytes.part[k]);
  return out + 48;
}
// The three-byte sequences of UTF-8 that lead in[0, 24), up to eight, as
// units; returns how many lead. Reads in[0, 28) and gives the lanes after
// the sequences any value. Valid UTF-8 is taken for granted: only the lead
// and continuation marks are looked at.
inline __attribute__((always_inline)) size_t ThreeByteUnits(const uint8_t* in, __m128i* units) {
  const __m128i a = simd::LoadBytes(in), b = simd::LoadBytes(in + 12);
  const __m128i marks = _mm_setr_epi8(
      static_cast<char>(0xF0), static_cast<char>(0xC0), static_cast<char>(0xC0),
      static_cast<char>(0xF0), static_cast<char>(0xC0), static_cast<char>(0xC0),
      static_cast<char>(0xF0), static_cast<char>(0xC0), static_cast<char>(0xC0),
      static_cast<char>(0xF0), static_cast<char>(0xC0), static_cast<char>(0xC0), 0, 0, 0, 0);
  const __m128i expected = _mm_setr_epi8(
      static_cast<char>(0xE0), static_cast<char>(0x80), static_cast<char>(0x80),
      static_cast<char>(0xE0), static_cast<char>(0x80), static_cast<char>(0x80),
      static_cast<char>(0xE0), static_cast<char>(0x80), static_cast<char>(0x80),
      static_cast<char>(0xE0), static_cast<char>(0x80), static_cast<char>(0x80), 0, 0, 0, 0);
  // One bit a byte of in[0, 24), clear from the first byte out of place:
  // the sequences before it are whole.
  const unsigned ok =
      (static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(a, marks), expected))) &
       0xFFF) |
      (static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(b, marks), expected))) &
       0xFFF)
          << 12;
  // Each sequence's lead and last byte into one 16-bit lane (lead high),
  // and its middle byte into another.
  const __m128i ends = _mm_setr_epi8(2, 0, 5, 3, 8, 6, 11, 9, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i middles =
      _mm_setr_epi8(1, -1, 4, -1, 7, -1, 10, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i lead_last =
      _mm_unpacklo_epi64(_mm_shuffle_epi8(a, ends), _mm_shuffle_epi8(b, ends));
  const __m128i middle =
      _mm_unpacklo_epi64(_mm_shuffle_epi8(a, middles), _mm_shuffle_epi8(b, middles));
  *units =
      _mm_or_si128(_mm_or_si128(_mm_slli_epi16(_mm_and_si128(lead_last, _mm_set1_epi16(0x0F00)), 4),
                                _mm_and_si128(lead_last, _mm_set1_epi16(0x3F))),
                   _mm_slli_epi16(_mm_and_si128(middle, _mm_set1_epi16(0x3F)), 6));
  return static_cast<size_t>(__builtin_ctz(~ok)) / 3;
}

}  // namespace TOBBLE_SIMD_TARGET
}  // namespace tobble::escape
