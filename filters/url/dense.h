// Blocks of eight units at a time for URLencode, for text that is all
// three-byte characters (kana, kanji, most scripts of the first plane): the
// eight units become their 24 UTF-8 bytes as "%XX", 72 units, from one
// vector, and nine vector stores write them. The kernel has its plain
// version beside it, which the tests hold it to.
#pragma once

#include <stddef.h>

#include "filters/common/hex.h"
#include "filters/common/simd.h"

namespace tobble::url {

inline constexpr size_t kBlockUnits = simd::kWidth;
// The escapes of a block: three bytes a unit, three units a byte.
inline constexpr size_t kBlockEscapeUnits = 9 * kBlockUnits;

// The units that UTF-8 writes in three bytes: from 0x800 on, surrogates
// excepted.
struct ThreeByteUnit {
  static constexpr bool Has(char16_t u) { return u >= 0x800 && (u < 0xD800 || u > 0xDFFF); }
  static simd::Units Lanes(simd::Units v) {
    return simd::And(simd::AtLeast(v, 0x800), simd::Not(simd::InRange(v, 0xD800, 0xDFFF)));
  }
};

// How many of the eight units at `in` lead the block and are three-byte
// units: from 0 to 8.
inline size_t LeadingThreeByteUnits(const char16_t* in) {
  using namespace simd;
  return static_cast<size_t>(__builtin_ctz(~LaneBits(ThreeByteUnit::Lanes(Load(in)))));
}

namespace detail {

// Nibble values (0 to 15, one a lane) as upper-case hex digit units: "0" on,
// and the seven units from ":" to "@" skipped above "9".
inline simd::Units UpperHexDigits(simd::Units nibbles) {
  using namespace simd;
  const Units digits = Add(nibbles, Splat(u'0'));
  return Add(digits, And(_mm_cmpgt_epi16(digits, Splat(u'9')), Splat(u'A' - u'9' - 1)));
}

// Escape k of a block takes units 9k to 9k + 8 and begins with "%"; its
// other eight units, "E" d0 "%" d1 d2 "%" d3 d4, one vector each.
struct Tails {
  simd::Units escape[kBlockUnits];
};

inline __attribute__((always_inline)) Tails EscapeTails(simd::Units v) {
  using namespace simd;
  // The bytes are 1110aaaa 10bbbbcc 10ddeeee for the unit aaaabbbbccddeeee,
  // and the digits d0 to d4 a, 8 + bb, bbcc's low nibble... as below.
  const Units nibble = Splat(0xF);
  const Units d0 = UpperHexDigits(_mm_srli_epi16(v, 12));
  const Units d1 = UpperHexDigits(Or(And(_mm_srli_epi16(v, 10), Splat(3)), Splat(8)));
  const Units d2 = UpperHexDigits(And(_mm_srli_epi16(v, 6), nibble));
  const Units d3 = UpperHexDigits(Or(And(_mm_srli_epi16(v, 4), Splat(3)), Splat(8)));
  const Units d4 = UpperHexDigits(And(v, nibble));
  const Units e = Splat(u'E'), percent = Splat(u'%');
  // Pairs of units, one a 32-bit lane: "E" d0, "%" d1, d2 "%", d3 d4.
  const Units p0l = _mm_unpacklo_epi16(e, d0), p0h = _mm_unpackhi_epi16(e, d0);
  const Units p1l = _mm_unpacklo_epi16(percent, d1), p1h = _mm_unpackhi_epi16(percent, d1);
  const Units p2l = _mm_unpacklo_epi16(d2, percent), p2h = _mm_unpackhi_epi16(d2, percent);
  const Units p3l = _mm_unpacklo_epi16(d3, d4), p3h = _mm_unpackhi_epi16(d3, d4);
  // Quads, one a 64-bit lane: the first and second half of each tail.
  const Units a01 = _mm_unpacklo_epi32(p0l, p1l), a23 = _mm_unpackhi_epi32(p0l, p1l);
  const Units a45 = _mm_unpacklo_epi32(p0h, p1h), a67 = _mm_unpackhi_epi32(p0h, p1h);
  const Units b01 = _mm_unpacklo_epi32(p2l, p3l), b23 = _mm_unpackhi_epi32(p2l, p3l);
  const Units b45 = _mm_unpacklo_epi32(p2h, p3h), b67 = _mm_unpackhi_epi32(p2h, p3h);
  return {{_mm_unpacklo_epi64(a01, b01), _mm_unpackhi_epi64(a01, b01), _mm_unpacklo_epi64(a23, b23),
           _mm_unpackhi_epi64(a23, b23), _mm_unpacklo_epi64(a45, b45), _mm_unpackhi_epi64(a45, b45),
           _mm_unpacklo_epi64(a67, b67), _mm_unpackhi_epi64(a67, b67)}};
}

// Output vector r of a block (units 8r to 8r + 7): the last r units of
// escape r - 1, then the "%" of escape r in lane r, then the first 7 - r
// units of its tail.
template <int r>
inline __attribute__((always_inline)) simd::Units OutputVector(const Tails& tails) {
  using namespace simd;
  if constexpr (r == kBlockUnits) {
    return tails.escape[r - 1];
  } else {
    const Units percent = _mm_slli_si128(_mm_cvtsi32_si128(u'%'), 2 * r);
    const Units head = Or(_mm_slli_si128(tails.escape[r], 2 * (r + 1)), percent);
    if constexpr (r == 0) {
      return head;
    } else {
      return Or(head, _mm_srli_si128(tails.escape[r - 1], 2 * (8 - r)));
    }
  }
}

}  // namespace detail

// Writes the eight units at `in`, each a three-byte unit, as the "%XX" of
// their UTF-8 bytes, upper-case digits: 72 units at out. Each unit's escape
// is put together in vector lanes, and the nine output vectors cut out of
// the escapes by byte shifts (SSE2 has no byte shuffle).
inline __attribute__((always_inline)) void WriteThreeByteEscapes(const char16_t* in,
                                                                 char16_t* out) {
  using namespace simd;
  const detail::Tails tails = detail::EscapeTails(Load(in));
  Store(out + 0, detail::OutputVector<0>(tails));
  Store(out + 8, detail::OutputVector<1>(tails));
  Store(out + 16, detail::OutputVector<2>(tails));
  Store(out + 24, detail::OutputVector<3>(tails));
  Store(out + 32, detail::OutputVector<4>(tails));
  Store(out + 40, detail::OutputVector<5>(tails));
  Store(out + 48, detail::OutputVector<6>(tails));
  Store(out + 56, detail::OutputVector<7>(tails));
  Store(out + 64, detail::OutputVector<8>(tails));
}

// WriteThreeByteEscapes unit by unit.
inline void WriteThreeByteEscapesPlain(const char16_t* in, char16_t* out) {
  for (size_t k = 0; k < kBlockUnits; ++k) {
    const uint32_t bytes[3] = {0xE0u | in[k] >> 12, 0x80u | ((in[k] >> 6) & 0x3F),
                               0x80u | (in[k] & 0x3F)};
    for (const uint32_t byte : bytes) {
      *out++ = u'%';
      *out++ = kUpperHexDigits[byte >> 4];
      *out++ = kUpperHexDigits[byte & 0xF];
    }
  }
}

}  // namespace tobble::url
