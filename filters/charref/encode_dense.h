// The encoders' blocks: in UTF-8, runs of characters of three bytes written
// as references eight at a time, each kernel with its plain version beside
// it, which the tests hold it to for every character in every lane; and
// from UTF-16 units, steps of eight that mix ASCII with references, which
// the tests hold to the plain encoders with every kind of unit in every
// lane.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "filters/common/hex.h"
#include "filters/common/simd.h"

namespace tobble::charref {

// Blocks of up to eight characters of three bytes each in UTF-8 (kana,
// kanji and the rest of most scripts' text) whose references have eight
// bytes: five decimal digits, or four hex digits. The characters at the
// start of 24 bytes are read into the lanes of a vector, their digits found
// in all lanes at once, and eight references made as 64 bytes with four
// stores, of which the output keeps as many as lead the block and qualify.
// Which qualify follows from the lead bytes alone, so that how far a block
// moves the input on is known early.
inline constexpr size_t kBlockCharacters = simd::kWidth;
inline constexpr size_t kBlockBytes = 3 * kBlockCharacters;
inline constexpr size_t kBlockReferenceBytes = 8 * kBlockCharacters;

// The lead bytes of the characters that qualify: from 0xE3 (U+3000 up, five
// decimal digits) or from 0xE1 (U+1000 up, four hex digits), to 0xEF.
inline constexpr uint8_t kFiveDigitLead = 0xE3;
inline constexpr uint8_t kFourHexLead = 0xE1;

// How many of the eight characters that would begin at in[0, 3), in[3, 6),
// ... in[21, 24) lead it with lead bytes from `low_lead` to 0xEF (0 to 8),
// their code points in those lanes (the other lanes hold anything). The
// text is valid UTF-8, so two continuation bytes follow each such lead.
// Reads 25 bytes.
inline size_t ReadThreeByteBlock(const uint8_t* in, uint8_t low_lead, simd::Units& values) {
  using namespace simd;
  // Bytes from 0x80 on are negative in the signed compares.
  const Units above = SplatByte(static_cast<uint8_t>(low_lead - 1)), below = SplatByte(0xF0);
  const auto leads = [&](Units bytes) {
    return Mask(And(_mm_cmpgt_epi8(bytes, above), _mm_cmpgt_epi8(below, bytes)));
  };
  const unsigned qualified =
      leads(LoadBytes(in)) | leads(_mm_loadl_epi64(reinterpret_cast<const Units*>(in + 16))) << 16;
  // The first lead position (a multiple of three) that fails, times 11 / 32,
  // is the count before it.
  const unsigned failed = (~qualified & 0x249249) | 1u << 24;
  const size_t count = static_cast<size_t>(__builtin_ctz(failed)) * 11 >> 5;
  // Each character's bytes in a 32-bit lane, lead byte lowest.
  const auto word = [in](size_t k) {
    return _mm_cvtsi32_si128(
        static_cast<int>(*reinterpret_cast<const tobble::detail::ByteQuad*>(in + 3 * k)));
  };
  const auto four = [&word](size_t k) {
    return _mm_unpacklo_epi64(_mm_unpacklo_epi32(word(k), word(k + 1)),
                              _mm_unpacklo_epi32(word(k + 2), word(k + 3)));
  };
  // Values up to 0xFFFF, made signed 16-bit values so that the signed pack
  // keeps them.
  const auto decode = [](Units w) {
    const Units low6 = _mm_set1_epi32(0x3F);
    const Units v =
        _mm_or_si128(_mm_or_si128(_mm_slli_epi32(_mm_and_si128(w, _mm_set1_epi32(0x0F)), 12),
                                  _mm_slli_epi32(_mm_and_si128(_mm_srli_epi32(w, 8), low6), 6)),
                     _mm_and_si128(_mm_srli_epi32(w, 16), low6));
    return _mm_srai_epi32(_mm_slli_epi32(v, 16), 16);
  };
  values = _mm_packs_epi32(decode(four(0)), decode(four(4)));
  return count;
}

inline size_t ReadThreeByteBlockPlain(const uint8_t* in, uint8_t low_lead,
                                      char16_t values[kBlockCharacters]) {
  size_t k = 0;
  for (const uint8_t* c = in; k < kBlockCharacters && c[0] >= low_lead && c[0] <= 0xEF;
       ++k, c += 3) {
    values[k] = static_cast<char16_t>((c[0] & 0x0F) << 12 | (c[1] & 0x3F) << 6 | (c[2] & 0x3F));
  }
  return k;
}

namespace detail {
// Each lane divided by 10, exact for every 16-bit value: the high half of
// the product with 0xCCCD (2^19 / 10 rounded up), shifted by three more.
inline simd::Units DivideBy10(simd::Units v) {
  return _mm_srli_epi16(_mm_mulhi_epu16(v, simd::Splat(0xCCCD)), 3);
}

}  // namespace detail

// The references of eight lanes, each as four 16-bit parts in memory order:
// part[0] holds every lane's first two bytes, part[3] its last two.
struct ReferenceParts {
  simd::Units part[4];
};

// The same laid out as the 64 bytes of the eight references, two a vector.
struct ReferenceBytes {
  simd::Units pair[4];
};

inline ReferenceBytes InterleaveParts(const ReferenceParts& parts) {
  const simd::Units low01 = _mm_unpacklo_epi16(parts.part[0], parts.part[1]);
  const simd::Units low23 = _mm_unpacklo_epi16(parts.part[2], parts.part[3]);
  const simd::Units high01 = _mm_unpackhi_epi16(parts.part[0], parts.part[1]);
  const simd::Units high23 = _mm_unpackhi_epi16(parts.part[2], parts.part[3]);
  return {{_mm_unpacklo_epi32(low01, low23), _mm_unpackhi_epi32(low01, low23),
           _mm_unpacklo_epi32(high01, high23), _mm_unpackhi_epi32(high01, high23)}};
}

inline void StoreReferenceParts(uint8_t* out, const ReferenceParts& parts) {
  const ReferenceBytes bytes = InterleaveParts(parts);
  for (int k = 0; k < 4; ++k) simd::StoreBytes(out + 16 * k, bytes.pair[k]);
}

// The references "&#" five digits ";" of the eight lanes (from 10,000 up).
inline ReferenceParts FiveDigitReferences(simd::Units values) {
  using namespace simd;
  const Units ten = Splat(10);
  const Units q1 = detail::DivideBy10(values), q2 = detail::DivideBy10(q1);
  const Units q3 = detail::DivideBy10(q2), q4 = detail::DivideBy10(q3);
  const Units d0 = Sub(values, _mm_mullo_epi16(q1, ten));
  const Units d1 = Sub(q1, _mm_mullo_epi16(q2, ten));
  const Units d2 = Sub(q2, _mm_mullo_epi16(q3, ten));
  const Units d3 = Sub(q3, _mm_mullo_epi16(q4, ten));
  return {{Splat('&' | '#' << 8), Add(Or(q4, _mm_slli_epi16(d3, 8)), Splat(0x3030)),
           Add(Or(d2, _mm_slli_epi16(d1, 8)), Splat(0x3030)), Add(d0, Splat(';' << 8 | '0'))}};
}

// The same at out[0, 64).
inline void WriteFiveDigitReferences(uint8_t* out, simd::Units values) {
  StoreReferenceParts(out, FiveDigitReferences(values));
}

// The references "&#x" four lower-case hex digits ";" of the eight lanes
// (from 0x1000 up).
inline ReferenceParts FourHexReferences(simd::Units values) {
  using namespace simd;
  // Nibble values as bytes, then as digits: from 10 up, letters.
  const auto digits = [](Units nibbles) {
    return _mm_add_epi8(_mm_add_epi8(nibbles, SplatByte('0')),
                        And(_mm_cmpgt_epi8(nibbles, SplatByte(9)), SplatByte('a' - '0' - 10)));
  };
  const Units nibble = Splat(0x0F), high_nibble = Splat(0x0F00);
  // The first and last digit in one lane, the middle two in another.
  const Units outer =
      digits(Or(_mm_srli_epi16(And(values, Splat(0xF000)), 4), And(values, nibble)));
  const Units middle = digits(
      Or(And(_mm_srli_epi16(values, 8), nibble), And(_mm_slli_epi16(values, 4), high_nibble)));
  return {{Splat('&' | '#' << 8), Or(And(outer, Splat(0xFF00)), Splat('x')), middle,
           Or(And(outer, Splat(0x00FF)), Splat(';' << 8))}};
}

// The same at out[0, 64).
inline void WriteFourHexReferences(uint8_t* out, simd::Units values) {
  StoreReferenceParts(out, FourHexReferences(values));
}

// Eight lanes of references, each stored with one store of eight bytes at
// the end of the one before: a lane with bit k of `referenced` set moves the
// output on by eight, any other by one. Returns the end of the output, which
// the stores reach up to seven bytes past.
inline uint8_t* StoreReferenceLanes(uint8_t* out, const ReferenceParts& parts,
                                    unsigned referenced) {
  const ReferenceBytes bytes = InterleaveParts(parts);
  for (int k = 0; k < 4; ++k) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes.pair[k]);
    out += 1 + 7 * (referenced >> (2 * k) & 1);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out),
                     _mm_unpackhi_epi64(bytes.pair[k], bytes.pair[k]));
    out += 1 + 7 * (referenced >> (2 * k + 1) & 1);
  }
  return out;
}

// The same with lanes of other lengths: lane k's reference is `lengths`
// lane k bytes long (1 to 8). Where each store goes is the sum of the
// lengths before it, all eight sums at once in the vector: worked out from
// the bits of three masks a lane after another, as the loop above does with
// one, they made a block of emoji in hex take a quarter longer, and a third
// longer in WebAssembly. (With one mask, that loop costs less than the sums
// in WebAssembly.)
inline uint8_t* StoreReferenceLanes(uint8_t* out, const ReferenceParts& parts,
                                    simd::Units lengths) {
  using namespace simd;
  const ReferenceBytes bytes = InterleaveParts(parts);
  Units ends = Add(lengths, _mm_slli_si128(lengths, 2));
  ends = Add(ends, _mm_slli_si128(ends, 4));
  ends = Add(ends, _mm_slli_si128(ends, 8));
  // The starts of lanes 0 to 7 as bytes, then the end of lane 7.
  const Units at = _mm_packus_epi16(_mm_slli_si128(ends, 2), _mm_srli_si128(ends, 14));
  const uint32_t low = Lane32(at, 0), high = Lane32(at, 1);
  for (int k = 0; k < 4; ++k) {
    const uint32_t starts = k < 2 ? low : high;
    const int shift = 16 * (k % 2);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + (starts >> shift & 0xFF)), bytes.pair[k]);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + (starts >> (shift + 8) & 0xFF)),
                     _mm_unpackhi_epi64(bytes.pair[k], bytes.pair[k]));
  }
  return out + (Lane32(at, 2) & 0xFF);
}

// A plain lane's unit (below 0x80, in the lanes of `plain`) in the place of
// its reference's "&#", of which the store after it overwrites the "#".
inline void PutPlainUnits(ReferenceParts& parts, simd::Units units, simd::Units plain) {
  parts.part[0] = simd::Or(simd::And(plain, units), _mm_andnot_si128(plain, parts.part[0]));
}

// Eight lanes of which those in `plain` hold a unit below 0x80 that stays as
// it is, and the others have the references in `parts` (bit k of
// `referenced` set for lane k).
inline uint8_t* StoreMixedReferences(uint8_t* out, ReferenceParts parts, simd::Units units,
                                     simd::Units plain, unsigned referenced) {
  PutPlainUnits(parts, units, plain);
  return StoreReferenceLanes(out, parts, referenced);
}

// The same in hex with surrogate pairs of code points below 0x100000 (five
// digits), each written across its two lanes, which may lie in two blocks:
// the high one's "&#x" and first digit (`pair_high` has its lane), and the
// low one's (`pair_low`) other four digits and ";". Every other lane that is
// not plain has a unit from 0x1000 up. `before` holds the units one lane
// back (lane k unit k - 1).
inline uint8_t* StoreMixedHexPairReferences(uint8_t* out, simd::Units units, simd::Units before,
                                            simd::Units plain, simd::Units pair_high,
                                            simd::Units pair_low) {
  using namespace simd;
  // A high lane's value has the code point's digit above its low 16 bits
  // (1 to 15) as its first digit; a low lane's is those 16 bits.
  const Units first_digit = _mm_slli_epi16(PairCodePointTop(units), 12);
  const Units low16 = PairCodePointLow16(before, units);
  const Units values = Or(Or(And(pair_high, first_digit), And(pair_low, low16)),
                          _mm_andnot_si128(Or(pair_high, pair_low), units));
  ReferenceParts parts = FourHexReferences(values);
  // A low lane's reference moved down by three bytes: its digits and ";".
  const auto down = [&](int k) {
    return Or(_mm_srli_epi16(parts.part[k + 1], 8),
              k + 2 < 4 ? _mm_slli_epi16(parts.part[k + 2], 8) : _mm_setzero_si128());
  };
  const Units moved[3] = {down(0), down(1), down(2)};
  for (int k = 0; k < 3; ++k) {
    parts.part[k] = Or(And(pair_low, moved[k]), _mm_andnot_si128(pair_low, parts.part[k]));
  }
  PutPlainUnits(parts, units, plain);
  // Eight bytes a reference, less four in a pair's high lane and three in
  // its low one; one a plain lane.
  const Units lengths = Sub(Sub(Sub(Splat(8), And(plain, Splat(7))), And(pair_high, Splat(4))),
                            And(pair_low, Splat(3)));
  return StoreReferenceLanes(out, parts, lengths);
}

// The plain versions, a lane at a time.
inline void WriteFiveDigitReferencesPlain(uint8_t* out, const char16_t values[kBlockCharacters]) {
  for (size_t k = 0; k < kBlockCharacters; ++k, out += 8) {
    out[0] = '&';
    out[1] = '#';
    uint32_t v = values[k];
    for (size_t d = 6; d >= 2; --d, v /= 10) out[d] = static_cast<uint8_t>('0' + v % 10);
    out[7] = ';';
  }
}

inline void WriteFourHexReferencesPlain(uint8_t* out, const char16_t values[kBlockCharacters]) {
  for (size_t k = 0; k < kBlockCharacters; ++k, out += 8) {
    out[0] = '&';
    out[1] = '#';
    out[2] = 'x';
    for (size_t d = 0; d < 4; ++d) {
      out[3 + d] = static_cast<uint8_t>(kLowerHexDigits[values[k] >> (12 - 4 * d) & 0xF]);
    }
    out[7] = ';';
  }
}

}  // namespace tobble::charref
