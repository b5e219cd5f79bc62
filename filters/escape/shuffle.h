// Eight "\uXXXX" escapes at a time with SSSE3's byte shuffle: the hex
// digits of eight units looked up sixteen at a time in a register that holds
// "0123456789abcdef", and laid out among the backslashes and "u"s by three
// more shuffles, where a surrogate pair's lanes may make one "\U00XXXXXX"
// between them; and up to four code points above U+FFFF at a time, read
// from their four-byte sequences and written either as surrogate pairs of
// such escapes or as "\U00XXXXXX". Built only into encode_ssse3.cpp.
#pragma once

#include <tmmintrin.h>

#include "filters/common/simd.h"

namespace tobble::escape {
inline namespace TOBBLE_SIMD_TARGET {

// The escapes of the eight units in `units` as 48 bytes, in three vectors.
struct UnitEscapeBytes {
  __m128i part[3];
};

// The hex digits of the sixteen bytes of `v`, two a byte (its high nibble's
// first): those of bytes 0-7 in `first`, of bytes 8-15 in `second`.
struct HexDigitPairs {
  __m128i first, second;
};

inline __attribute__((always_inline)) HexDigitPairs HexDigitsOf(__m128i v) {
  const __m128i low4 = _mm_set1_epi8(0x0F);
  const __m128i hex =
      _mm_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f');
  const __m128i high_nibbles = _mm_and_si128(_mm_srli_epi16(v, 4), low4);
  const __m128i low_nibbles = _mm_and_si128(v, low4);
  return {_mm_shuffle_epi8(hex, _mm_unpacklo_epi8(high_nibbles, low_nibbles)),
          _mm_shuffle_epi8(hex, _mm_unpackhi_epi8(high_nibbles, low_nibbles))};
}

// The escapes with the bytes of `marks` (three vectors) laid over them:
// escape k fills bytes 6k to 6k + 5, and its first two, left zero, take the
// marks' there.
inline __attribute__((always_inline)) UnitEscapeBytes UnitEscapeBlock(__m128i units,
                                                                      const __m128i (&marks)[3]) {
  // The digits of units 0-3 and 4-7, four bytes a unit: for 0xABCD the
  // digits C, D, A, B (its low byte comes first).
  const auto [first, second] = HexDigitsOf(units);
  // A shuffle index of -1 gives a zero byte.
  UnitEscapeBytes out;
  out.part[0] = _mm_or_si128(
      marks[0], _mm_shuffle_epi8(
                    first, _mm_setr_epi8(-1, -1, 2, 3, 0, 1, -1, -1, 6, 7, 4, 5, -1, -1, 10, 11)));
  out.part[1] = _mm_or_si128(
      _mm_or_si128(marks[1], _mm_shuffle_epi8(first, _mm_setr_epi8(8, 9, -1, -1, 14, 15, 12, 13, -1,
                                                                   -1, -1, -1, -1, -1, -1, -1))),
      _mm_shuffle_epi8(second,
                       _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 3, 0, 1, -1, -1)));
  out.part[2] =
      _mm_or_si128(marks[2], _mm_shuffle_epi8(second, _mm_setr_epi8(6, 7, 4, 5, -1, -1, 10, 11, 8,
                                                                    9, -1, -1, 14, 15, 12, 13)));
  return out;
}

inline __attribute__((always_inline)) UnitEscapeBytes UnitEscapeBlock(__m128i units) {
  const __m128i marks[3] = {
      _mm_setr_epi8('\\', 'u', 0, 0, 0, 0, '\\', 'u', 0, 0, 0, 0, '\\', 'u', 0, 0),
      _mm_setr_epi8(0, 0, '\\', 'u', 0, 0, 0, 0, '\\', 'u', 0, 0, 0, 0, '\\', 'u'),
      _mm_setr_epi8(0, 0, 0, 0, '\\', 'u', 0, 0, 0, 0, '\\', 'u', 0, 0, 0, 0)};
  return UnitEscapeBlock(units, marks);
}

// The output of eight units of which those in the lanes of `plain` (all
// ones) stay as they are: their escapes, each but with the unit itself as
// its first byte where it is plain. A plain unit is below 0x80.
inline __attribute__((always_inline)) UnitEscapeBytes MixedEscapeBlock(__m128i units,
                                                                       __m128i plain) {
  const __m128i firsts16 =
      _mm_or_si128(_mm_and_si128(plain, units), _mm_andnot_si128(plain, _mm_set1_epi16('\\')));
  const __m128i firsts = _mm_packus_epi16(firsts16, firsts16);
  const __m128i marks[3] = {
      _mm_or_si128(_mm_setr_epi8(0, 'u', 0, 0, 0, 0, 0, 'u', 0, 0, 0, 0, 0, 'u', 0, 0),
                   _mm_shuffle_epi8(firsts, _mm_setr_epi8(0, -1, -1, -1, -1, -1, 1, -1, -1, -1, -1,
                                                          -1, 2, -1, -1, -1))),
      _mm_or_si128(_mm_setr_epi8(0, 0, 0, 'u', 0, 0, 0, 0, 0, 'u', 0, 0, 0, 0, 0, 'u'),
                   _mm_shuffle_epi8(firsts, _mm_setr_epi8(-1, -1, 3, -1, -1, -1, -1, -1, 4, -1, -1,
                                                          -1, -1, -1, 5, -1))),
      _mm_or_si128(_mm_setr_epi8(0, 0, 0, 0, 0, 'u', 0, 0, 0, 0, 0, 'u', 0, 0, 0, 0),
                   _mm_shuffle_epi8(firsts, _mm_setr_epi8(-1, -1, -1, -1, 6, -1, -1, -1, -1, -1, 7,
                                                          -1, -1, -1, -1, -1)))};
  return UnitEscapeBlock(units, marks);
}

// Eight units for tobbleC, whose pairs become "\U00XXXXXX": lanes in
// `plain` (all ones, units below 0x80) stay as they are, and every other
// unit is "\uXXXX" but for surrogate pairs. A pair is written across its
// two lanes, which may lie in two blocks: the high one's escape is cut to
// "\U00" (`pair_high` has its lane), and the low one's (`pair_low`) holds
// the code point's six digits, the two above its low 16 bits taking the
// place of its "\u". `before` holds the units one lane back (lane k unit
// k - 1).
inline __attribute__((always_inline)) UnitEscapeBytes PairEscapeBlock(__m128i units, __m128i before,
                                                                      __m128i pair_high,
                                                                      __m128i pair_low,
                                                                      __m128i plain) {
  // A low lane's four digits are those of the code point's low 16 bits; a
  // high lane's, never written, are zeros.
  const __m128i low16 = simd::PairCodePointLow16(before, units);
  const __m128i values = _mm_or_si128(_mm_and_si128(pair_low, low16),
                                      _mm_andnot_si128(_mm_or_si128(pair_low, pair_high), units));
  // The code point's bits above 16, from 1 to 16, as two digits.
  const __m128i above = simd::PairCodePointTop(before);
  const __m128i nibble = _mm_and_si128(above, _mm_set1_epi16(15));
  const __m128i first_digit = _mm_add_epi16(_mm_srli_epi16(above, 4), _mm_set1_epi16('0'));
  const __m128i second_digit = _mm_add_epi16(
      _mm_add_epi16(nibble, _mm_set1_epi16('0')),
      _mm_and_si128(_mm_cmpgt_epi16(nibble, _mm_set1_epi16(9)), _mm_set1_epi16('a' - '0' - 10)));
  const auto choose = [](__m128i lanes, __m128i yes, __m128i no) {
    return _mm_or_si128(_mm_and_si128(lanes, yes), _mm_andnot_si128(lanes, no));
  };
  const __m128i firsts = choose(plain, units, choose(pair_low, first_digit, _mm_set1_epi16('\\')));
  const __m128i seconds =
      choose(pair_high, _mm_set1_epi16('U'), choose(pair_low, second_digit, _mm_set1_epi16('u')));
  const __m128i marks16 = _mm_or_si128(firsts, _mm_slli_epi16(seconds, 8));
  const __m128i marks[3] = {
      _mm_shuffle_epi8(marks16,
                       _mm_setr_epi8(0, 1, -1, -1, -1, -1, 2, 3, -1, -1, -1, -1, 4, 5, -1, -1)),
      _mm_shuffle_epi8(marks16,
                       _mm_setr_epi8(-1, -1, 6, 7, -1, -1, -1, -1, 8, 9, -1, -1, -1, -1, 10, 11)),
      _mm_shuffle_epi8(
          marks16, _mm_setr_epi8(-1, -1, -1, -1, 12, 13, -1, -1, -1, -1, 14, 15, -1, -1, -1, -1))};
  return UnitEscapeBlock(values, marks);
}

// The six bytes of escape k (0 to 7) of a block, as the first six bytes.
template <int k>
inline __attribute__((always_inline)) __m128i EscapeBytesOf(const UnitEscapeBytes& bytes) {
  constexpr int at = 6 * k % 16, part = 6 * k / 16;
  if constexpr (at + 6 <= 16) {
    return _mm_srli_si128(bytes.part[part], at);
  } else {
    return _mm_alignr_epi8(bytes.part[part + 1], bytes.part[part], at);
  }
}

// Escape k stored with one store: eight units of UTF-16, or eight bytes.
template <int k>
inline __attribute__((always_inline)) void StoreEscapeOf(char16_t* out,
                                                         const UnitEscapeBytes& bytes) {
  simd::Store(out, simd::WidenLow(EscapeBytesOf<k>(bytes)));
}
template <int k>
inline __attribute__((always_inline)) void StoreEscapeOf(uint8_t* out,
                                                         const UnitEscapeBytes& bytes) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), EscapeBytesOf<k>(bytes));
}

// Stores the output of a block of eight units, each as itself or its
// escape (`escaped` has bit k set for lane k escaped), one store a lane,
// each at the end of the lane before; returns the end of what they write,
// which reaches up to eight units (or bytes) past it.
template <int k = 0, typename Unit>
inline __attribute__((always_inline)) Unit* StoreMixedEscapes(Unit* out,
                                                              const UnitEscapeBytes& bytes,
                                                              unsigned escaped) {
  if constexpr (k == 8) {
    return out;
  } else {
    StoreEscapeOf<k>(out, bytes);
    out += 1 + 5 * (escaped >> k & 1);
    return StoreMixedEscapes<k + 1>(out, bytes, escaped);
  }
}

// The same with a pair's high lane (bit k of `pair_highs`) moving the output
// on by four, "\U00".
template <int k = 0, typename Unit>
inline __attribute__((always_inline)) Unit* StorePairEscapes(Unit* out,
                                                             const UnitEscapeBytes& bytes,
                                                             unsigned escaped,
                                                             unsigned pair_highs) {
  if constexpr (k == 8) {
    return out;
  } else {
    StoreEscapeOf<k>(out, bytes);
    out += 1 + 5 * (escaped >> k & 1) - 2 * (pair_highs >> k & 1);
    return StorePairEscapes<k + 1>(out, bytes, escaped, pair_highs);
  }
}

// 48 bytes of escapes stored as they are, in UTF-8, or each widened to a
// unit, as 48 units of UTF-16.
inline __attribute__((always_inline)) void StoreEscapeBytes(uint8_t* out,
                                                            const UnitEscapeBytes& bytes) {
  for (int k = 0; k < 3; ++k) simd::StoreBytes(out + 16 * k, bytes.part[k]);
}
inline __attribute__((always_inline)) void StoreEscapeBytes(char16_t* out,
                                                            const UnitEscapeBytes& bytes) {
  for (int k = 0; k < 3; ++k) {
    simd::Store(out + 16 * k, simd::WidenLow(bytes.part[k]));
    simd::Store(out + 16 * k + 8, simd::WidenHigh(bytes.part[k]));
  }
}

// The escapes stored as 48 bytes of UTF-8 or 48 units of UTF-16.
template <typename Unit>
inline __attribute__((always_inline)) Unit* StoreUnitEscapes(Unit* out, __m128i units) {
  StoreEscapeBytes(out, UnitEscapeBlock(units));
  return out + 48;
}
// Characters of one or two bytes of UTF-8 (ASCII, and the letters of the
// Greek, Cyrillic, Armenian, Hebrew and Arabic alphabets) read eight bytes
// at a time: of the characters that start among eight bytes, lane j takes
// the bytes of the j-th start and of the one after it, by one byte shuffle
// that the starts' bits pick; the lanes after the last start take zeros.
// A shuffle picked from a table by the bits of where characters lie is the
// idea of Daniel Lemire and Wojciech Muła, "Transcoding Billions of Unicode
// Characters per Second with SIMD Instructions", Software: Practice and
// Experience, 2022; this table, of eight bytes' starts, is made here.
struct NarrowStartTable {
  alignas(16) int8_t pairs[256][16];
  uint8_t count[256];
  constexpr NarrowStartTable() : pairs(), count() {
    for (int starts = 0; starts < 256; ++starts) {
      int j = 0;
      for (int at = 0; at < 8; ++at) {
        if ((starts >> at & 1) == 0) continue;
        pairs[starts][2 * j] = static_cast<int8_t>(at);
        pairs[starts][2 * j + 1] = static_cast<int8_t>(at + 1);
        ++j;
      }
      count[starts] = static_cast<uint8_t>(j);
      for (int k = 2 * j; k < 16; ++k) pairs[starts][k] = -1;
    }
  }
};
inline constexpr NarrowStartTable kNarrowStarts;

// The units of the characters that start among in[0, 8), where `starts`
// has bit k set (k below 8): kNarrowStarts.count[starts] lanes, zero after
// them. Each is one byte, or two ending by in[8]; valid UTF-8 is taken for
// granted. Reads in[0, 16).
inline __attribute__((always_inline)) __m128i NarrowUnits(const uint8_t* in, unsigned starts) {
  const __m128i pairs = _mm_shuffle_epi8(
      simd::LoadBytes(in),
      _mm_load_si128(reinterpret_cast<const __m128i*>(kNarrowStarts.pairs[starts])));
  const __m128i lead = _mm_and_si128(pairs, _mm_set1_epi16(0xFF));
  const __m128i two = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(lead, _mm_set1_epi16(0x1F)), 6),
                                   _mm_and_si128(_mm_srli_epi16(pairs, 8), _mm_set1_epi16(0x3F)));
  const __m128i leads_two = _mm_cmpgt_epi16(lead, _mm_set1_epi16(0x7F));
  return _mm_or_si128(_mm_and_si128(leads_two, two), _mm_andnot_si128(leads_two, lead));
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

// The four-byte sequences of UTF-8 (emoji and the rest above U+FFFF) that
// lead in[0, 16), up to four, as their code points in 32-bit lanes; returns
// how many lead, and gives the lanes after them any value. Valid UTF-8 is
// taken for granted: only the lead and continuation marks are looked at.
inline __attribute__((always_inline)) size_t FourByteCodePoints(const uint8_t* in,
                                                                __m128i* code_points) {
  const __m128i v = simd::LoadBytes(in);
  const __m128i marks = _mm_set1_epi32(static_cast<int>(0xC0C0C0F8u));
  const unsigned ok = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(
      _mm_cmpeq_epi32(_mm_and_si128(v, marks), _mm_set1_epi32(static_cast<int>(0x808080F0u))))));
  // The payload bits, then each byte pair as lead * 64 + next in a 16-bit
  // lane, then the two pairs as high * 4096 + low.
  const __m128i bits = _mm_and_si128(v, _mm_set1_epi32(0x3F3F3F07));
  const __m128i pairs = _mm_maddubs_epi16(bits, _mm_set1_epi16(0x0140));
  *code_points = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
  return static_cast<size_t>(__builtin_ctz(~ok));
}

// The same code points as the UTF-16 units of their surrogate pairs, the
// high one first.
inline __attribute__((always_inline)) __m128i SurrogatePairs(__m128i code_points) {
  const __m128i high = _mm_add_epi32(_mm_srli_epi32(code_points, 10), _mm_set1_epi32(0xD7C0));
  const __m128i low =
      _mm_or_si128(_mm_and_si128(code_points, _mm_set1_epi32(0x3FF)), _mm_set1_epi32(0xDC00));
  return _mm_or_si128(high, _mm_slli_epi32(low, 16));
}

// The layout of four "\U00XXXXXX" escapes (ten bytes each) in 48 bytes:
// for each byte, its mark, or where its digit lies among the digits of the
// code points of lanes 0-1 (`first`) or 2-3 (`second`), -1 elsewhere. The
// digits of a lane are its three low bytes' nibbles, high nibble first in
// each byte pair, at eight bytes a lane.
struct CodePointEscapeLayout {
  int8_t marks[48], first[48], second[48];
  constexpr CodePointEscapeLayout() : marks(), first(), second() {
    constexpr char kMarks[] = "\\U00";
    for (int j = 0; j < 48; ++j) {
      const int k = j / 10, at = j % 10;
      marks[j] = k < 4 && at < 4 ? kMarks[at] : 0;
      first[j] = second[j] = -1;
      if (k >= 4 || at < 4) continue;
      const int digit = at - 4;  // from the most significant of six
      const int8_t index = static_cast<int8_t>((k % 2) * 8 + 2 * (2 - digit / 2) + digit % 2);
      (k < 2 ? first : second)[j] = index;
    }
  }
};
inline constexpr CodePointEscapeLayout kCodePointEscapeLayout;

inline __m128i LoadLayout(const int8_t* row) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(row));
}

// The "\U00XXXXXX" escapes of the four code points (up to 0x10FFFF) in
// `code_points`, stored as 48 bytes of UTF-8 or 48 units of UTF-16, of
// which the first 40 are theirs.
template <typename Unit>
inline __attribute__((always_inline)) Unit* StoreCodePointEscapes(Unit* out, __m128i code_points) {
  const auto [first, second] = HexDigitsOf(code_points);
  const CodePointEscapeLayout& layout = kCodePointEscapeLayout;
  UnitEscapeBytes bytes;
  for (int part = 0; part < 3; ++part) {
    const int at = 16 * part;
    bytes.part[part] =
        _mm_or_si128(_mm_or_si128(LoadLayout(layout.marks + at),
                                  _mm_shuffle_epi8(first, LoadLayout(layout.first + at))),
                     _mm_shuffle_epi8(second, LoadLayout(layout.second + at)));
  }
  StoreEscapeBytes(out, bytes);
  return out + 40;
}

// Four code points of any kind, one after another, each ASCII as itself,
// from 0x80 to 0xFFFF as "\uXXXX", and from 0x10000 up as "\UXXXXXXXX"
// (kCodePoints) or as the "\uXXXX" of each of its two surrogates. The
// lanes' kinds (0 ASCII, 1 up to 0xFFFF, 2 above) make a number from 0 to 80,
// lane k's kind times 3^k; its layout gives for each output byte where it
// comes from: a hex digit of lanes 0-1 (`first`), one of lanes 2-3
// (`second`), or (`marks`) a lane's low byte or a mark, -1 elsewhere. The
// value of a lane is the code point, or without kCodePoints for kind 2 its
// surrogates' units, the high one low; HexDigitsOf gives the two digits of
// lane k's byte m (from the lowest), the high one first, at
// 2 * ((4k + m) % 8) of first (k below 2) or second. The layouts are
// shuffles picked from a table by the lanes' kinds, as NarrowStartTable's
// by where characters start.
inline constexpr int kFourCodePointKinds = 81;

template <bool kCodePoints>
struct FourCodePointLayout {
  alignas(16) int8_t first[kFourCodePointKinds][48];
  alignas(16) int8_t second[kFourCodePointKinds][48];
  alignas(16) int8_t marks[kFourCodePointKinds][48];
  uint8_t length[kFourCodePointKinds];

  // Where the marks register holds its marks; lane k's low byte is at 4k.
  static constexpr int8_t kBackslash = 1, kLowerU = 2, kUpperU = 3;

  constexpr FourCodePointLayout() : first(), second(), marks(), length() {
    for (int kinds = 0; kinds < kFourCodePointKinds; ++kinds) {
      for (int j = 0; j < 48; ++j) first[kinds][j] = second[kinds][j] = marks[kinds][j] = -1;
      int at = 0;
      int rest = kinds;
      for (int lane = 0; lane < 4; ++lane, rest /= 3) {
        const int kind = rest % 3;
        if (kind == 0) {
          marks[kinds][at++] = static_cast<int8_t>(4 * lane);
        } else if (kind == 1 || !kCodePoints) {
          at = Escape(kinds, at, lane, kLowerU, 1, 0);
          if (kind == 2) at = Escape(kinds, at, lane, kLowerU, 3, 2);
        } else {
          // Bytes 3 and 2, then 1 and 0: the first two digits are "00".
          at = Escape(kinds, at, lane, kUpperU, 3, 2);
          at = Digits(kinds, at, lane, 1, 0);
        }
      }
      length[kinds] = static_cast<uint8_t>(at);
    }
  }

 private:
  // A backslash, the letter and the digits of bytes `high` and `low`.
  constexpr int Escape(int kinds, int at, int lane, int8_t letter, int high, int low) {
    marks[kinds][at++] = kBackslash;
    marks[kinds][at++] = letter;
    return Digits(kinds, at, lane, high, low);
  }
  constexpr int Digits(int kinds, int at, int lane, int high, int low) {
    for (int k = 0; k < 2; ++k) {
      const int byte = k == 0 ? high : low;
      for (int nibble = 0; nibble < 2; ++nibble) {
        (lane < 2 ? first : second)[kinds][at++] =
            static_cast<int8_t>(2 * ((4 * lane + byte) % 8) + nibble);
      }
    }
    return at;
  }
};
template <bool kCodePoints>
inline constexpr FourCodePointLayout<kCodePoints> kFourCodePointLayout;

// Bit k of a four-bit mask as 3^k, for the number of the lanes' kinds.
inline constexpr uint8_t kPowersOfThree[16] = {0,  1,  3,  4,  9,  10, 12, 13,
                                               27, 28, 30, 31, 36, 37, 39, 40};

// Stores the output of the four code points, `above` and `escaped` having
// bit k set for lane k above 0xFFFF and above 0x7F, as 48 bytes, and
// returns how many of them are the output: 4 to 48. The output of four
// code points in a row thus needs no branch on what they are, as emoji text
// mixes them (spaces, joiners, variation selectors among pairs).
template <bool kCodePoints>
inline __attribute__((always_inline)) size_t StoreFourCodePoints(uint8_t* out, __m128i code_points,
                                                                 unsigned above, unsigned escaped) {
  const FourCodePointLayout<kCodePoints>& layout = kFourCodePointLayout<kCodePoints>;
  const __m128i pairs = _mm_cmpgt_epi32(code_points, _mm_set1_epi32(0xFFFF));
  const __m128i values = kCodePoints
                             ? code_points
                             : _mm_or_si128(_mm_and_si128(pairs, SurrogatePairs(code_points)),
                                            _mm_andnot_si128(pairs, code_points));
  const auto [first, second] = HexDigitsOf(values);
  const __m128i marks = _mm_or_si128(_mm_and_si128(values, _mm_set1_epi32(0xFF)),
                                     _mm_set1_epi32('\\' << 8 | 'u' << 16 | 'U' << 24));
  const size_t kinds = kPowersOfThree[escaped] + kPowersOfThree[above];
  for (int part = 0; part < 3; ++part) {
    const int at = 16 * part;
    simd::StoreBytes(
        out + at,
        _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(first, LoadLayout(layout.first[kinds] + at)),
                                  _mm_shuffle_epi8(second, LoadLayout(layout.second[kinds] + at))),
                     _mm_shuffle_epi8(marks, LoadLayout(layout.marks[kinds] + at))));
  }
  return layout.length[kinds];
}

}  // namespace TOBBLE_SIMD_TARGET
}  // namespace tobble::escape
