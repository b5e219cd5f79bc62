// The encoders' fast loops, included by encode.cpp, built for SSE2, and by
// encode_ssse3.cpp, built for SSSE3, where they also write blocks of eight
// escapes, and of up to four emoji, with byte shuffles
// (filters/escape/shuffle.h). Everything here has internal linkage: each of
// the two files has its own copies, and code built for SSSE3 never stands
// in for the baseline's.
#pragma once

#include "filters/common/encode_avx512.h"
#include "filters/common/hex.h"
#include "filters/common/simd.h"
#include "filters/common/surrogate.h"
#include "filters/common/units.h"
#include "filters/common/utf8.h"
#include "filters/escape/escape.h"
#include "filters/escape/unit_classes.h"
#if defined(__SSSE3__)
#include "filters/escape/shuffle.h"
#endif

namespace tobble {
namespace {

// Writes a backslash, `letter` and the `digits` low hex digits of value.
template <typename Unit>
Unit* WriteEscape(Unit* out, char16_t letter, uint32_t value, int digits) {
  *out++ = u'\\';
  *out++ = static_cast<Unit>(letter);
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
    *out++ = static_cast<Unit>(kLowerHexDigits[(value >> shift) & 0xF]);
  }
  return out;
}

// The same escapes from the table of digit pairs, a few units a store:
// "\uXXXX" for one unit, and "\UXXXXXXXX" for a code point up to 0x10FFFF,
// whose first two digits are always "00".
inline char16_t* WriteUnitEscape(char16_t* out, char16_t u) {
  StoreQuad(out, PackUnits(u'\\', u'u') | static_cast<uint64_t>(kLowerHexPairs.pair[u >> 8]) << 32);
  StorePair(out + 4, kLowerHexPairs.pair[u & 0xFF]);
  return out + 6;
}
inline char16_t* WriteCodePointEscape(char16_t* out, uint32_t code_point) {
  StoreQuad(out, PackUnits(u'\\', u'U', u'0', u'0'));
  StorePair(out + 4, kLowerHexPairs.pair[code_point >> 16]);
  StorePair(out + 6, kLowerHexPairs.pair[(code_point >> 8) & 0xFF]);
  StorePair(out + 8, kLowerHexPairs.pair[code_point & 0xFF]);
  return out + 10;
}
// In UTF-8 one eight-byte store an escape, reaching up to two bytes past it:
// the output bound leaves room for that.
inline uint8_t* WriteUnitEscape(uint8_t* out, char16_t u) {
  StoreBytes(out, uint64_t{'\\' | 'u' << 8} | uint64_t{kLowerHexBytePairs.pair[u >> 8]} << 16 |
                      uint64_t{kLowerHexBytePairs.pair[u & 0xFF]} << 32);
  return out + 6;
}
inline uint8_t* WriteCodePointEscape(uint8_t* out, uint32_t code_point) {
  StoreBytes(out, uint64_t{'\\' | 'U' << 8 | '0' << 16 | '0' << 24} |
                      uint64_t{kLowerHexBytePairs.pair[code_point >> 16]} << 32 |
                      uint64_t{kLowerHexBytePairs.pair[(code_point >> 8) & 0xFF]} << 48);
  StoreBytes(out + 8, uint32_t{kLowerHexBytePairs.pair[code_point & 0xFF]});
  return out + 10;
}

// Escapes the units of the character at in[i]: one "\uXXXX" for each of its
// UTF-16 units. Returns the input units read, 0 for a character that must
// wait for the next piece.
template <typename In, typename Out, typename Write>
size_t EscapeUnitsAt(const In* in, size_t n, size_t i, bool last, Out*& o, Write write) {
  const UnitsAt units = Utf16UnitsAt(in, n, i, last);
  if (units.read == 0) return 0;
  o = write(o, units.unit[0]);
  if (units.count == 2) o = write(o, units.unit[1]);
  return units.read;
}

#if defined(__SSSE3__)
// Lanes moved up by 0 to 8: entry k moves lane j to lane j + k, zero below.
struct LaneShiftTable {
  alignas(16) int8_t shuffle[9][16];
  constexpr LaneShiftTable() : shuffle() {
    for (int k = 0; k <= 8; ++k) {
      for (int b = 0; b < 16; ++b) shuffle[k][b] = static_cast<int8_t>(b < 2 * k ? -1 : b - 2 * k);
    }
  }
};
inline constexpr LaneShiftTable kLaneShifts;

// Whether three two-byte sequences lead in[i, i + 6), with the 32 bytes
// left that EscapeNarrowSteps needs: a word of Greek, Cyrillic, Hebrew or
// Arabic letters, where its steps pay.
inline bool LeadsNarrowWord(const uint8_t* in, size_t n, size_t i) {
  return n - i >= 32 && (in[i] & 0xE0) == 0xC0 && (in[i + 2] & 0xE0) == 0xC0 &&
         (in[i + 4] & 0xE0) == 0xC0;
}

// In UTF-8: from in[i], text of one- and two-byte characters (letters of the
// Greek, Cyrillic, Hebrew or Arabic alphabets among spaces and punctuation)
// eight characters a step, whatever they hold: the characters that start in
// each half of sixteen bytes decoded to units (escape::NarrowUnits), the
// second half's moved up after the first's, and the first eight written as
// EscapeUnitStep writes units, those above 0x7F escaped and the others as
// they are. Stops at a byte from 0xE0 up among a step's sixteen (a longer
// sequence), after a step with fewer than four escapes (ASCII text with a
// letter here and there, where copying its runs costs less), and where
// fewer than 32 bytes are left; returns the bytes read. A step's stores
// reach 50 bytes past its output, within the three bytes a byte that the
// output bound gives the 32 or more bytes it starts from.
inline size_t EscapeNarrowSteps(const uint8_t* in, size_t n, size_t i, uint8_t*& o) {
  const size_t start = i;
  while (n - i >= 32) {
    const simd::Units v = simd::LoadBytes(in + i);
    const simd::Units longer = simd::SplatByte(0xE0);
    if (simd::Mask(_mm_cmpeq_epi8(_mm_max_epu8(v, longer), v)) != 0) break;
    // Continuation bytes, 0x80 to 0xBF, are those below 0xC0 as signed bytes.
    const unsigned starts =
        ~static_cast<unsigned>(simd::Mask(_mm_cmplt_epi8(v, simd::SplatByte(0xC0)))) & 0xFFFF;
    const unsigned low = starts & 0xFF, high = starts >> 8;
    const size_t first = escape::kNarrowStarts.count[low];
    const simd::Units units = _mm_or_si128(
        escape::NarrowUnits(in + i, low),
        _mm_shuffle_epi8(
            escape::NarrowUnits(in + i + 8, high),
            _mm_load_si128(reinterpret_cast<const __m128i*>(kLaneShifts.shuffle[first]))));
    const size_t count = first + escape::kNarrowStarts.count[high];
    // The step ends at the ninth start, or else after the sixteen bytes:
    // a character that started at the last byte would be a ninth.
    size_t end = 16;
    if (count > simd::kWidth) {
      unsigned later = starts;
      for (size_t k = 0; k < simd::kWidth; ++k) later &= later - 1;
      end = static_cast<size_t>(__builtin_ctz(later));
    }
    const size_t kept = count < simd::kWidth ? count : simd::kWidth;
    const simd::Units escaped_lanes = escape::NotAscii::Lanes(units);
    const unsigned escaped = simd::LaneBits(escaped_lanes);
    // The lanes after the characters hold zero, each written as one byte
    // that is taken back.
    o = escape::StoreMixedEscapes(o, escape::MixedEscapeBlock(units, simd::Not(escaped_lanes)),
                                  escaped) -
        (simd::kWidth - kept);
    i += end;
    // Fewer than four escapes among the eight (kNarrowStarts counts the set
    // bits of any eight): ASCII with a letter here and there, whose runs
    // cost less to copy.
    if (escape::kNarrowStarts.count[escaped] < 4) break;
  }
  return i - start;
}
#endif

// In UTF-8: escapes the run of sequences of two to four bytes at in[i], the
// bulk of most non-Latin text, each as the "\uXXXX" of its UTF-16 units, or
// with kCodePoints a four-byte one as "\UXXXXXXXX", and returns the bytes
// read; 0 when in[i] begins no such sequence. Short ASCII gaps stay in the
// run: text in emoji or Japanese has a space or a newline every few
// characters. Stops near the text's end, where a sequence may be cut. The
// eight-byte store of a gap reaches at most seven bytes past it, and the
// escape that follows covers them.
template <bool kCodePoints>
inline size_t EscapeSequences(const uint8_t* in, size_t n, size_t i, uint8_t*& o) {
  const size_t start = i;
  while (n - i >= 4) {
    const uint32_t lead = in[i];
    if (lead < 0xC0) {
      // A gap of up to seven ASCII bytes before the next sequence (a space,
      // a newline, a short word) is copied here rather than ending the run.
      if (lead >= 0x80 || n - i < 12) break;
      uint64_t bytes;
      __builtin_memcpy(&bytes, in + i, sizeof bytes);
      const uint64_t high = bytes & 0x8080808080808080u;
      if (high == 0) break;  // a longer run of ASCII: the caller copies it
      const size_t gap = static_cast<size_t>(__builtin_ctzll(high)) / 8;
      tobble::StoreBytes(o, bytes);
      o += gap;
      i += gap;
#if defined(__SSSE3__)
      // A word of two-byte letters goes eight characters a step, from the
      // caller.
      if (LeadsNarrowWord(in, n, i)) break;
#endif
      continue;
    }
    const uint32_t second = in[i + 1] & 0x3Fu;
    if (lead >= 0xF0) {
#if defined(__SSSE3__)
      // Up to four in one block, which stores 48 bytes: three output
      // bytes for each of the 16 input bytes left and 16 more leave room.
      if (n - i >= 16) {
        __m128i code_points;
        const size_t count = escape::FourByteCodePoints(in + i, &code_points);
        if (kCodePoints) {
          escape::StoreCodePointEscapes(o, code_points);
          o += 10 * count;
        } else {
          escape::StoreUnitEscapes(o, escape::SurrogatePairs(code_points));
          o += 12 * count;
        }
        i += 4 * count;
        continue;
      }
#endif
      const uint32_t code_point =
          (lead & 0x07) << 18 | second << 12 | (in[i + 2] & 0x3Fu) << 6 | (in[i + 3] & 0x3Fu);
      if (kCodePoints) {
        o = WriteCodePointEscape(o, code_point);
      } else {
        o = WriteUnitEscape(o, HighSurrogateOf(code_point));
        o = WriteUnitEscape(o, LowSurrogateOf(code_point));
      }
      i += 4;
      continue;
    }
    if (lead < 0xE0) {
      o = WriteUnitEscape(o, static_cast<char16_t>((lead & 0x1F) << 6 | second));
      i += 2;
      continue;
    }
    o = WriteUnitEscape(
        o, static_cast<char16_t>((lead & 0x0F) << 12 | second << 6 | (in[i + 2] & 0x3Fu)));
    i += 3;
#if defined(__SSSE3__)
    // Then eight more at a time as long as they come: each block writes
    // eight escapes and counts those of the sequences that lead it, within
    // the room the output bound leaves (some 28 bytes of input remain).
    for (__m128i units; n - i >= 28 && (in[i] & 0xF0) == 0xE0;) {
      const size_t count = escape::ThreeByteUnits(in + i, &units);
      if (count == simd::kWidth) {
        o = escape::StoreUnitEscapes(o, units);
        i += 24;
        continue;
      }
      if (count >= 2) {
        escape::StoreUnitEscapes(o, units);
        o += 6 * count;
        i += 3 * count;
      }
      break;
    }
#endif
    // After a three-byte sequence, two more at a time from one load of
    // eight bytes, as long as they come.
    for (; n - i >= 8; i += 6) {
      uint64_t bytes;
      __builtin_memcpy(&bytes, in + i, sizeof bytes);
      if ((bytes & 0xC0C0F0C0C0F0u) != 0x8080E08080E0u) break;
      const uint32_t first = static_cast<uint32_t>(bytes),
                     next = static_cast<uint32_t>(bytes >> 24);
      o = WriteUnitEscape(o, static_cast<char16_t>((first & 0x0F) << 12 | (first >> 8 & 0x3F) << 6 |
                                                   (first >> 16 & 0x3F)));
      o = WriteUnitEscape(o, static_cast<char16_t>((next & 0x0F) << 12 | (next >> 8 & 0x3F) << 6 |
                                                   (next >> 16 & 0x3F)));
    }
  }
  return i - start;
}

#if defined(__SSSE3__)
// Eight units, each above 0x7F as its "\uXXXX" and the others as they are,
// one store a unit at the end of the one before. False, writing nothing, for
// eight ASCII units. Stores up to 48 units (or bytes).
template <typename Out>
inline __attribute__((always_inline)) bool EscapeUnitStep(simd::Units v, Out*& o) {
  const simd::Units escaped_lanes = escape::NotAscii::Lanes(v);
  const unsigned escaped = simd::LaneBits(escaped_lanes);
  if (escaped == 0) return false;  // a run of ASCII: the caller copies it
  // Eight escapes and a mix go the same way: in Japanese text, with
  // punctuation every ten characters or so, they alternate as likely as
  // not, and a branch between them cost more than the mix's eight stores.
  const escape::UnitEscapeBytes bytes = escape::MixedEscapeBlock(v, simd::Not(escaped_lanes));
  o = escape::StoreMixedEscapes(o, bytes, escaped);
  return true;
}

// In UTF-16: from in[i], a unit above 0x7F, eight units a step whatever
// they hold (EscapeUnitStep): a step's length in the input never depends on
// the text, so the next load never waits for this one, and where a run of
// escapes ends costs no branch. Stops at eight ASCII units, which the
// caller copies; returns the units read. A step stores up to 48 units,
// within the six a unit that the output bound gives, and never reaches
// in[n - 1], so that a high surrogate that ends a piece waits for its
// partner.
template <typename Out>
inline size_t EscapeUnitBlocks(const char16_t* in, size_t n, size_t i, Out*& o) {
  const size_t start = i;
  while (n - i > simd::kWidth && EscapeUnitStep(simd::Load(in + i), o)) i += simd::kWidth;
  return i - start;
}

// The same for tobbleC, whose pairs are each one "\UXXXXXXXX"
// (escape::PairEscapeBlock): a pair that starts in a step's last unit is
// written across that step and the next, so that every step still takes
// eight units. Reads in[i, i + 9) a step; where the steps stop after such a
// pair's "\U00", the output and the input go back to where it starts.
template <typename Out>
inline size_t EscapePairBlocks(const char16_t* in, size_t n, size_t i, Out*& o) {
  const size_t start = i;
  simd::Units last_units = _mm_setzero_si128(), last_pair_highs = _mm_setzero_si128();
  while (n - i > simd::kWidth) {
    const simd::Units units = simd::Load(in + i);
    const simd::Units escaped_lanes = escape::NotAscii::Lanes(units);
    const unsigned escaped = simd::LaneBits(escaped_lanes);
    if (escaped == 0) break;  // a run of ASCII: the caller copies it
    if (simd::Mask(simd::InRange(units, 0xD800, 0xDFFF)) == 0) {
      o = escape::StoreMixedEscapes(o, escape::MixedEscapeBlock(units, simd::Not(escaped_lanes)),
                                    escaped);
      last_pair_highs = _mm_setzero_si128();
      i += simd::kWidth;
      continue;
    }
    const simd::Units pair_high = simd::And(simd::InRange(units, 0xD800, 0xDBFF),
                                            simd::InRange(simd::Load(in + i + 1), 0xDC00, 0xDFFF));
    const escape::UnitEscapeBytes bytes = escape::PairEscapeBlock(
        units, _mm_alignr_epi8(units, last_units, 14), pair_high,
        _mm_alignr_epi8(pair_high, last_pair_highs, 14), simd::Not(escaped_lanes));
    o = escape::StorePairEscapes(o, bytes, escaped, simd::LaneBits(pair_high));
    last_units = units;
    last_pair_highs = pair_high;
    i += simd::kWidth;
  }
  if (simd::LaneBits(last_pair_highs) >> 7) {
    o -= 4;
    --i;
  }
  return i - start;
}

// The same over code points (a str's four-byte storage), from in[i]: the
// eight that begin there, narrowed to units, each as its escape or as
// itself, while they all lie below 0x10000 and are not all ASCII; then of
// eight that hold a code point above 0xFFFF (which became 0xFFFF in the
// narrowing, no surrogate), those before it. Stops where kCodePoints finds
// a surrogate among the eight, which may pair; returns the code points read.
// A step stores up to 56 bytes, within the twelve a code point that the
// output bound gives, and reads nine code points.
template <bool kCodePoints>
inline size_t EscapeCodePointBlocks(const char32_t* in, size_t n, size_t i, uint8_t*& o) {
  const size_t start = i;
  while (n - i > simd::kWidth) {
    unsigned above;
    const simd::Units units = simd::NarrowCodePoints(in + i, &above);
    if (kCodePoints && simd::Mask(simd::InRange(units, 0xD800, 0xDFFF)) != 0) break;
    const simd::Units escaped_lanes = escape::NotAscii::Lanes(units);
    const unsigned escaped = simd::LaneBits(escaped_lanes);
    if (escaped == 0) break;  // a run of ASCII: the caller copies it
    if (above == 0) {
      // The rule in such text, taken by a branch, so that where the next
      // block starts never waits on this one's lanes; eight escapes or a
      // mix, alike (as in EscapeUnitStep).
      o = escape::StoreMixedEscapes(o, escape::MixedEscapeBlock(units, simd::Not(escaped_lanes)),
                                    escaped);
      i += simd::kWidth;
      continue;
    }
    const size_t kept = static_cast<size_t>(__builtin_ctz(above));
    // The lanes from `kept` on move the output on by one each.
    o = escape::StoreMixedEscapes(o, escape::MixedEscapeBlock(units, simd::Not(escaped_lanes)),
                                  escaped & ((1u << kept) - 1)) -
        (simd::kWidth - kept);
    i += kept;
    break;
  }
  return i - start;
}
#endif

#if defined(__SSSE3__)
// From code points: from in[i], four code points a step whatever they hold,
// ASCII, others below 0x10000 and above it as emoji text mixes them
// (escape::StoreFourCodePoints), so that where the next step starts never
// waits on a branch on this one's kinds. Stops at four ASCII code points,
// which the caller copies, at four from 0x80 to 0xFFFF (kana and kanji),
// which its blocks take eight at a time, with kCodePoints at a surrogate,
// which may pair with the next, and where eight code points are not left
// after in[i]; returns the code points read. A step stores 48 bytes, within
// the twelve a code point that the output bound gives.
template <bool kCodePoints>
inline size_t EscapeFourCodePointSteps(const char32_t* in, size_t n, size_t i, uint8_t*& o) {
  const size_t start = i;
  while (n - i > simd::kWidth) {
    const __m128i code_points = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const auto lanes_above = [&code_points](int value) {
      return static_cast<unsigned>(
          _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(code_points, _mm_set1_epi32(value)))));
    };
    const unsigned escaped = lanes_above(0x7F), above = lanes_above(0xFFFF);
    if (escaped == 0 || (escaped == 0xF && above == 0)) break;
    if (kCodePoints && (lanes_above(0xD7FF) & ~lanes_above(0xDFFF)) != 0) break;
    o += escape::StoreFourCodePoints<kCodePoints>(o, code_points, above, escaped);
    i += 4;
  }
  return i - start;
}
#endif

// From code points (a str's four-byte storage): from in[i], one above 0x7F,
// each such code point escaped, a lone ASCII one between two of them (a
// space between emoji) written as it is; with SSSE3, from two below 0x10000
// eight at a time (EscapeCodePointBlocks), and elsewhere four at a time
// whatever they hold (EscapeFourCodePointSteps). Stops
// before two ASCII code points in a row, which the caller copies, and with
// kCodePoints at a surrogate code point, which may pair with the next;
// returns the code points read.
template <bool kCodePoints>
inline size_t EscapeCodePoints(const char32_t* in, size_t n, size_t i, uint8_t*& o) {
  const size_t start = i;
  while (i < n) {
    const char32_t c = in[i];
#if defined(__SSSE3__)
    if (n - i > simd::kWidth) {
      if (c - 0x80 < 0xFF80 && in[i + 1] - 0x80 < 0xFF80) {
        if (const size_t run = EscapeCodePointBlocks<kCodePoints>(in, n, i, o)) {
          i += run;
          continue;
        }
      } else if (const size_t run = EscapeFourCodePointSteps<kCodePoints>(in, n, i, o)) {
        i += run;
        continue;
      }
    }
#endif
    if (c < 0x80) {
      if (n - i < 2 || in[i + 1] < 0x80) break;
      *o++ = static_cast<uint8_t>(c);
    } else if (c >= 0x10000) {
      if (kCodePoints) {
        o = WriteCodePointEscape(o, c);
      } else {
        o = WriteUnitEscape(o, HighSurrogateOf(c));
        o = WriteUnitEscape(o, LowSurrogateOf(c));
      }
    } else {
      if (kCodePoints && (c & 0xF800) == 0xD800) break;
      o = WriteUnitEscape(o, static_cast<char16_t>(c));
    }
    ++i;
  }
  return i - start;
}

// In UTF-8: from in[i], a sequence of two to four bytes, a word of two-byte
// letters by EscapeNarrowSteps, else the run that EscapeSequences takes;
// returns the bytes read.
template <bool kCodePoints>
inline size_t EscapeUtf8Run(const uint8_t* in, size_t n, size_t i, uint8_t*& o) {
#if defined(__SSSE3__)
  if (LeadsNarrowWord(in, n, i)) {
    if (const size_t run = EscapeNarrowSteps(in, n, i, o)) return run;
  }
#endif
  return EscapeSequences<kCodePoints>(in, n, i, o);
}

// Runs of ASCII are copied eight units at a time, and the units above 0x7F
// after each run escaped one by one (with SSSE3, in UTF-8 and UTF-16, in
// blocks where they can). The output is the input's encoding, or bytes
// (ASCII conversions).
template <typename In, typename Out>
Progress EncodeJFast(const In* in, size_t n, Out* out, bool last) {
  return simd::ConvertAroundRuns<escape::NotAscii>(in, n, out, [&](size_t& i, Out*& o) {
    if constexpr (sizeof(In) == 1) {
      if (const size_t run = EscapeUtf8Run<false>(in, n, i, o)) {
        i += run;
        return true;
      }
    }
    if constexpr (sizeof(In) == 4) {
      if (const size_t run = EscapeCodePoints<false>(in, n, i, o)) {
        i += run;
        return true;
      }
    }
#if defined(__SSSE3__)
    if constexpr (sizeof(In) == 2) {
      if (const size_t run = EscapeUnitBlocks(in, n, i, o)) {
        i += run;
        return true;
      }
    }
#endif
    const size_t read = EscapeUnitsAt(in, n, i, last, o,
                                      [](Out* at, char16_t u) { return WriteUnitEscape(at, u); });
    i += read;
    return read != 0;  // a character cut by the end of the piece waits
  });
}

template <typename In, typename Out>
Progress EncodeCFast(const In* in, size_t n, Out* out, bool last) {
#if defined(__SSSE3__) && TOBBLE_AVX512_BLOCKS
  // From units or code points into bytes, the AVX-512 blocks where the
  // processor runs them.
  const bool use_avx512 = sizeof(In) >= 2 && sizeof(Out) == 1 && avx512::Use();
#endif
  return simd::ConvertAroundRuns<escape::NotAscii>(in, n, out, [&](size_t& i, Out*& o) {
    if constexpr (sizeof(In) == 1) {
      if (const size_t run = EscapeUtf8Run<true>(in, n, i, o)) {
        i += run;
        return true;
      }
    }
#if defined(__SSSE3__) && TOBBLE_AVX512_BLOCKS
    if constexpr (sizeof(In) == 4) {
      if (use_avx512) {
        if (const size_t run = avx512::WriteCEscapes(in, n, i, o)) {
          i += run;
          return true;
        }
      }
    }
#endif
    if constexpr (sizeof(In) == 4) {
      if (const size_t run = EscapeCodePoints<true>(in, n, i, o)) {
        i += run;
        return true;
      }
    }
#if defined(__SSSE3__) && TOBBLE_AVX512_BLOCKS
    if constexpr (sizeof(In) == 2 && sizeof(Out) == 1) {
      if (use_avx512) {
        if (const size_t run = avx512::WriteCEscapes(in, n, i, o)) {
          i += run;
          return true;
        }
      }
    }
#endif
#if defined(__SSSE3__)
    if constexpr (sizeof(In) == 2) {
      if (const size_t run = EscapePairBlocks(in, n, i, o)) {
        i += run;
        return true;
      }
    }
#endif
    const Character c = CharacterAt(in, n, i, last);
    if (c.units == 0) return false;  // the rest may start the next piece
    o = c.value >= 0x10000 ? WriteCodePointEscape(o, c.value)
                           : WriteUnitEscape(o, static_cast<char16_t>(c.value));
    i += c.units;
    return true;
  });
}

}  // namespace
}  // namespace tobble
