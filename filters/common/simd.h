// Eight UTF-16 units at a time with SSE2, the baseline of every build: the
// fast paths of the conversions skip runs of units that they pass unchanged.
#pragma once

#include <emmintrin.h>
#include <stddef.h>
#include <stdint.h>

#include "filters/common/conversion.h"
#include "filters/common/units.h"

// A file compiled for more instructions than the baseline (the transcoders
// of lib/transcode/) makes its own copy of any of these functions that it
// does not inline. Each instruction set's copies carry names of their own,
// so that the linker never hands code that must run on any processor a copy
// made for AVX2.
#if defined(__AVX2__)
#define TOBBLE_SIMD_TARGET avx2
#elif defined(__SSE4_1__)
#define TOBBLE_SIMD_TARGET sse41
#elif defined(__SSSE3__)
#define TOBBLE_SIMD_TARGET ssse3
#else
#define TOBBLE_SIMD_TARGET baseline
#endif

namespace tobble::simd {
inline namespace TOBBLE_SIMD_TARGET {

using Units = __m128i;  // eight UTF-16 units
inline constexpr size_t kWidth = 8;

inline Units Load(const char16_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const Units*>(p));
}
inline void Store(char16_t* p, Units v) {
  _mm_storeu_si128(reinterpret_cast<Units*>(p), v);
}
// The same for UTF-8: eight bytes, each widened to a lane, and eight lanes
// (each below 0x100) stored as eight bytes. So a conversion's lanes hold
// what it reads, one unit or byte a lane, in either encoding.
inline Units Load(const uint8_t* p) {
  return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const Units*>(p)), _mm_setzero_si128());
}
inline void Store(uint8_t* p, Units v) {
  _mm_storel_epi64(reinterpret_cast<Units*>(p), _mm_packus_epi16(v, v));
}
inline Units Splat(char16_t u) {
  return _mm_set1_epi16(static_cast<short>(u));
}

// Lanes that equal u: all ones; the others zero.
inline Units Equal(Units v, char16_t u) {
  return _mm_cmpeq_epi16(v, Splat(u));
}

// Lanes at or above `bound` as unsigned values: all ones.
inline Units AtLeast(Units v, char16_t bound) {
  // SSE2 compares signed 16-bit lanes; flipping the top bit orders unsigned.
  const Units flip = Splat(0x8000);
  return _mm_cmpgt_epi16(_mm_xor_si128(v, flip),
                         _mm_xor_si128(Splat(static_cast<char16_t>(bound - 1)), flip));
}

inline Units Or(Units a, Units b) {
  return _mm_or_si128(a, b);
}
inline Units And(Units a, Units b) {
  return _mm_and_si128(a, b);
}
// Lane by lane, modulo 0x10000.
inline Units Add(Units a, Units b) {
  return _mm_add_epi16(a, b);
}
inline Units Sub(Units a, Units b) {
  return _mm_sub_epi16(a, b);
}

// Lanes below `bound` (at least 1) as unsigned values: all ones. One
// saturating subtraction leaves zero exactly there.
inline Units Below(Units v, char16_t bound) {
  return _mm_cmpeq_epi16(_mm_subs_epu16(v, Splat(static_cast<char16_t>(bound - 1))),
                         _mm_setzero_si128());
}

// The lanes as 32-bit values (0 to 3): lane 0 holds the vector's first four
// bytes.
inline uint32_t Lane32(Units v, int lane) {
  switch (lane) {
    case 0:
      return static_cast<uint32_t>(_mm_cvtsi128_si32(v));
    case 1:
      return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(v, 4)));
    case 2:
      return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(v, 8)));
    default:
      return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(v, 12)));
  }
}

// Two bits a lane, set for the lanes that are all ones.
inline unsigned Mask(Units lanes) {
  return static_cast<unsigned>(_mm_movemask_epi8(lanes));
}

// One bit a lane, set for the lanes that are all ones: lane k is bit k.
inline unsigned LaneBits(Units lanes) {
  return Mask(_mm_packs_epi16(lanes, _mm_setzero_si128()));
}

// The first lane set in a non-zero mask.
inline size_t FirstLane(unsigned mask) {
  return static_cast<size_t>(__builtin_ctz(mask)) / 2;
}

// A class of units that a fast path tells apart is written twice, as a
// plain predicate and over eight lanes, and tests/unit_class_test.cpp holds
// the two together for every unit value in every lane:
//
//   static constexpr bool Has(char16_t u);
//   static Units Lanes(Units v);  // all ones exactly in the lanes that Has
//
// Copies the leading units of in[0, n) up to the first that is in `Special`
// (a class as above) and returns how many it copied: n when none is. Whole
// vectors go first, then the last few units one by one. It stores whole
// vectors, so it may write up to eight units past the count it returns, all
// within out[0, n): the caller needs room for n units at out, and overwrites
// the rest.
template <typename Special>
inline size_t CopyPlainUnits(const char16_t* in, size_t n, char16_t* out) {
  // Two vectors a step, so that the loop's own steps count for less.
  size_t i = 0;
  for (; n - i >= 2 * kWidth; i += 2 * kWidth) {
    const Units first = Load(in + i);
    Store(out + i, first);
    unsigned mask = Mask(Special::Lanes(first));
    if (mask != 0) return i + FirstLane(mask);
    const Units second = Load(in + i + kWidth);
    Store(out + i + kWidth, second);
    mask = Mask(Special::Lanes(second));
    if (mask != 0) return i + kWidth + FirstLane(mask);
  }
  if (n - i >= kWidth) {
    const Units v = Load(in + i);
    Store(out + i, v);
    const unsigned mask = Mask(Special::Lanes(v));
    if (mask != 0) return i + FirstLane(mask);
    i += kWidth;
  }
  for (; i < n && !Special::Has(in[i]); ++i) out[i] = in[i];
  return i;
}

// Whether a unit is in `Special`, where a code point above 0xFFFF is in
// every class that reads it (the encoders' classes hold every unit from
// 0x80 up).
template <typename Special, typename Unit>
constexpr bool InClass(Unit u) {
  if constexpr (sizeof(Unit) == 4) {
    if (u > 0xFFFF) return true;
  }
  return Special::Has(static_cast<char16_t>(u));
}

// As CopyPlainUnits, from UTF-16 units or code points into bytes, for an
// encoder whose output is ASCII: its class holds every unit from 0x80 up,
// so that the units copied are ASCII. Code points are narrowed with signed
// saturation first, which keeps every one from 0x80 up at 0x80 or more.
template <typename Special>
inline size_t CopyPlainUnits(const char16_t* in, size_t n, uint8_t* out) {
  size_t i = 0;
  for (; n - i >= 2 * kWidth; i += 2 * kWidth) {
    const Units first = Load(in + i), second = Load(in + i + kWidth);
    _mm_storeu_si128(reinterpret_cast<Units*>(out + i), _mm_packus_epi16(first, second));
    const unsigned mask = Mask(_mm_packs_epi16(Special::Lanes(first), Special::Lanes(second)));
    if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(mask));
  }
  for (; i < n && !Special::Has(in[i]); ++i) out[i] = static_cast<uint8_t>(in[i]);
  return i;
}
template <typename Special>
inline size_t CopyPlainUnits(const char32_t* in, size_t n, uint8_t* out) {
  size_t i = 0;
  const auto load = [in](size_t at) {
    return _mm_loadu_si128(reinterpret_cast<const Units*>(in + at));
  };
  for (; n - i >= kWidth; i += kWidth) {
    const Units v = _mm_packs_epi32(load(i), load(i + 4));
    Store(out + i, v);
    const unsigned mask = Mask(Special::Lanes(v));
    if (mask != 0) return i + FirstLane(mask);
  }
  for (; i < n && !InClass<Special>(in[i]); ++i) out[i] = static_cast<uint8_t>(in[i]);
  return i;
}

// Eight code points at in[0, 8) as units: each below 0x10000 as itself,
// each above 0xFFFF as 0xFFFF, and those have their bits (lane k bit k) in
// *above.
inline Units NarrowCodePoints(const char32_t* in, unsigned* above) {
  const Units a = _mm_loadu_si128(reinterpret_cast<const Units*>(in));
  const Units b = _mm_loadu_si128(reinterpret_cast<const Units*>(in + 4));
  const Units top = _mm_set1_epi32(0xFFFF), bias = _mm_set1_epi32(0x8000);
  *above = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(a, top))) |
                                 _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(b, top))) << 4);
  // Each less 0x8000 fits a signed 16-bit lane below 0x10000, and the sum
  // wraps back; those above saturate.
  return _mm_add_epi16(_mm_packs_epi32(_mm_sub_epi32(a, bias), _mm_sub_epi32(b, bias)),
                       Splat(0x8000));
}

// Lanes from `low` to `high` as unsigned values: all ones.
inline Units InRange(Units v, char16_t low, char16_t high) {
  // v - low wraps below zero for units under `low`, so one unsigned bound
  // check covers both ends; saturating subtraction leaves zero only within.
  const Units above =
      _mm_subs_epu16(_mm_sub_epi16(v, Splat(low)), Splat(static_cast<char16_t>(high - low)));
  return _mm_cmpeq_epi16(above, _mm_setzero_si128());
}

// Lanes of all ones for the zero lanes of a mask of lanes, and the reverse.
inline Units Not(Units lanes) {
  return _mm_cmpeq_epi16(lanes, _mm_setzero_si128());
}

// The lanes one back: lane k of `lanes` in lane k + 1, and the last lane of
// `last` (the eight before them) in lane 0.
inline Units LanesBefore(Units lanes, Units last) {
  return Or(_mm_slli_si128(lanes, 2), _mm_srli_si128(last, 14));
}

// Of a surrogate pair's code point, in each lane: from the high surrogate,
// its bits above the low 16 (1 to 16); from both, the low 16 bits.
inline Units PairCodePointTop(Units high) {
  return _mm_add_epi16(_mm_srli_epi16(And(high, Splat(0x3FF)), 6), Splat(1));
}
inline Units PairCodePointLow16(Units high, Units low) {
  return Or(_mm_slli_epi16(high, 10), And(low, Splat(0x3FF)));
}

// As CopyPlainUnits, for conversions that write some units as one other unit
// each (a space as "+", say): `Special` also has Map(char16_t) and
// Map(Units), which it stores instead of the units, right for every unit
// that is not in the class.
template <typename Special>
inline size_t CopyMappedUnits(const char16_t* in, size_t n, char16_t* out) {
  size_t i = 0;
  for (; i + kWidth <= n; i += kWidth) {
    const Units v = Load(in + i);
    Store(out + i, Special::Map(v));
    const unsigned mask = Mask(Special::Lanes(v));
    if (mask != 0) return i + FirstLane(mask);
  }
  for (; i < n && !Special::Has(in[i]); ++i) out[i] = Special::Map(in[i]);
  return i;
}

// As CopyPlainUnits and CopyMappedUnits, over UTF-8: sixteen bytes a step,
// copied as they are (mapped), and their two halves widened to lanes for
// `Special`. Bytes from 0x80 on are tested as the units 0x80 to 0xFF.
template <typename Special>
inline size_t CopyPlainUnits(const uint8_t* in, size_t n, uint8_t* out) {
  size_t i = 0;
  for (; n - i >= 2 * kWidth; i += 2 * kWidth) {
    const Units v = _mm_loadu_si128(reinterpret_cast<const Units*>(in + i));
    _mm_storeu_si128(reinterpret_cast<Units*>(out + i), v);
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_packs_epi16(Special::Lanes(_mm_unpacklo_epi8(v, _mm_setzero_si128())),
                        Special::Lanes(_mm_unpackhi_epi8(v, _mm_setzero_si128())))));
    if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(mask));
  }
  for (; i < n && !Special::Has(in[i]); ++i) out[i] = in[i];
  return i;
}
template <typename Special>
inline size_t CopyMappedUnits(const uint8_t* in, size_t n, uint8_t* out) {
  size_t i = 0;
  for (; n - i >= 2 * kWidth; i += 2 * kWidth) {
    const Units v = _mm_loadu_si128(reinterpret_cast<const Units*>(in + i));
    const Units low = _mm_unpacklo_epi8(v, _mm_setzero_si128());
    const Units high = _mm_unpackhi_epi8(v, _mm_setzero_si128());
    _mm_storeu_si128(reinterpret_cast<Units*>(out + i),
                     _mm_packus_epi16(Special::Map(low), Special::Map(high)));
    const unsigned mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_packs_epi16(Special::Lanes(low), Special::Lanes(high))));
    if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(mask));
  }
  for (; i < n && !Special::Has(in[i]); ++i) out[i] = static_cast<uint8_t>(Special::Map(in[i]));
  return i;
}

// The same registers as sixteen bytes, for code that reads or writes UTF-8.
inline Units LoadBytes(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const Units*>(p));
}
inline void StoreBytes(uint8_t* p, Units v) {
  _mm_storeu_si128(reinterpret_cast<Units*>(p), v);
}
inline Units SplatByte(uint8_t b) {
  return _mm_set1_epi8(static_cast<char>(b));
}

// Bytes 0-7 (WidenLow) or 8-15 (WidenHigh) of v, each as a unit.
inline Units WidenLow(Units bytes) {
  return _mm_unpacklo_epi8(bytes, _mm_setzero_si128());
}
inline Units WidenHigh(Units bytes) {
  return _mm_unpackhi_epi8(bytes, _mm_setzero_si128());
}

// Writes eight units that all lie from 0x800 up and are no surrogates, the
// bulk of most non-Latin text, as their three bytes of UTF-8 each at
// out[0, 24), and returns true; stores reach one byte past. Returns false,
// writing nothing, when any unit lies outside that range.
inline bool StoreThreeByteUtf8(uint8_t* out, Units units) {
  const Units outside = Or(Below(units, 0x800), InRange(units, 0xD800, 0xDFFF));
  if (Mask(outside) != 0) return false;
  const Units low6 = Splat(0x3F);
  const Units lead = Or(_mm_srli_epi16(units, 12), Splat(0xE0));
  const Units middle = Or(And(_mm_srli_epi16(units, 6), low6), Splat(0x80));
  const Units last = Or(And(units, low6), Splat(0x80));
  const Units first_two = Or(lead, _mm_slli_epi16(middle, 8));
  alignas(16) uint32_t words[kWidth];
  _mm_store_si128(reinterpret_cast<Units*>(words), _mm_unpacklo_epi16(first_two, last));
  _mm_store_si128(reinterpret_cast<Units*>(words + 4), _mm_unpackhi_epi16(first_two, last));
  for (size_t k = 0; k < kWidth; ++k) tobble::StoreBytes(out + 3 * k, words[k]);
  return true;
}

// The loop of a conversion that passes most units unchanged: runs of units
// outside `Special` copied by CopyPlainUnits (by CopyMappedUnits when
// kMapped), and each unit of the class after a run handed to
// `convert(i, o)`, which converts what begins at in[i] into o, moves both
// on, and returns false to stop there (a piece that more input follows may
// leave a tail so). Units of the class one after another go to `convert`
// without a run copy between them. Returns how far the conversion got.
//
// A decoder passes `before_run`, which writes whatever must come out before
// the next run (a waiting high surrogate, in UTF-8) and returns the new
// output position.
//
// The output may be bytes where the input is UTF-16 units or code points:
// an encoder's that writes ASCII alone.
struct NothingBeforeRuns {
  template <typename Unit>
  Unit* operator()(Unit* o) const {
    return o;
  }
};
template <typename Special, bool kMapped = false, typename In, typename Out, typename Convert,
          typename BeforeRun = NothingBeforeRuns>
inline Progress ConvertAroundRuns(const In* in, size_t n, Out* out, Convert convert,
                                  BeforeRun before_run = {}) {
  size_t i = 0;
  Out* o = out;
  while (i < n) {
    o = before_run(o);
    size_t plain;
    if constexpr (kMapped) {
      plain = CopyMappedUnits<Special>(in + i, n - i, o);
    } else {
      plain = CopyPlainUnits<Special>(in + i, n - i, o);
    }
    i += plain;
    o += plain;
    while (i < n && InClass<Special>(in[i])) {
      if (!convert(i, o)) return {i, static_cast<size_t>(o - out)};
    }
  }
  return {i, static_cast<size_t>(o - out)};
}

// Over UTF-8, the run copies for a class of ASCII units alone that also
// tells sixteen bytes at once: `Special::Bytes(Units)` gives all ones in the
// bytes of the class, and with kMapped `Special::MapBytes(Units)` maps
// sixteen bytes as Map maps each. One compare of bytes a step, where
// CopyPlainUnits widens both halves to lanes first. Stores and returns as
// CopyPlainUnits does.
template <typename Special, bool kMapped>
inline size_t CopyAsciiClassBytes(const uint8_t* in, size_t n, uint8_t* out) {
  size_t i = 0;
  for (; n - i >= 2 * kWidth; i += 2 * kWidth) {
    const Units v = LoadBytes(in + i);
    if constexpr (kMapped) {
      StoreBytes(out + i, Special::MapBytes(v));
    } else {
      StoreBytes(out + i, v);
    }
    const unsigned mask = Mask(Special::Bytes(v));
    if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(mask));
  }
  for (; i < n && !Special::Has(in[i]); ++i) {
    if constexpr (kMapped) {
      out[i] = static_cast<uint8_t>(Special::Map(in[i]));
    } else {
      out[i] = in[i];
    }
  }
  return i;
}

// ConvertAroundRuns for such a class: in UTF-8 its runs are copied by
// CopyAsciiClassBytes; in UTF-16 it is ConvertAroundRuns itself.
template <typename Special, bool kMapped = false, typename Unit, typename Convert,
          typename BeforeRun = NothingBeforeRuns>
inline Progress ConvertAroundAsciiRuns(const Unit* in, size_t n, Unit* out, Convert convert,
                                       BeforeRun before_run = {}) {
  if constexpr (sizeof(Unit) == 2) {
    return ConvertAroundRuns<Special, kMapped>(in, n, out, convert, before_run);
  } else {
    size_t i = 0;
    Unit* o = out;
    while (i < n) {
      o = before_run(o);
      const size_t plain = CopyAsciiClassBytes<Special, kMapped>(in + i, n - i, o);
      i += plain;
      o += plain;
      while (i < n && Special::Has(in[i])) {
        if (!convert(i, o)) return {i, static_cast<size_t>(o - out)};
      }
    }
    return {i, static_cast<size_t>(o - out)};
  }
}

}  // namespace TOBBLE_SIMD_TARGET
}  // namespace tobble::simd
