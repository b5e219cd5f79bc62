// The classes of units the URL filters' fast paths tell apart, each as a
// plain predicate and over vector lanes (filters/common/simd.h).
#pragma once

#include "filters/common/simd.h"

namespace tobble::url {

// The characters written as themselves: the C locale's ASCII letters and
// digits, four marks, and the line breaks, so each line is encoded by itself.
constexpr bool IsKept(char16_t u) {
  return (u >= u'0' && u <= u'9') || (u >= u'A' && u <= u'Z') || (u >= u'a' && u <= u'z') ||
         u == u'-' || u == u'.' || u == u'_' || u == u'~' || u == u'\n' || u == u'\r';
}

// The units the encoder escapes: neither kept nor a space (which becomes
// "+"). Over sixteen units at a time, as bytes: every unit above 0xFF packs
// into 0xFF, and every byte from 0x80 on, negative in the signed compares,
// lies in no range below.
struct Escaped {
  static constexpr bool Has(char16_t u) { return !IsKept(u) && u != u' '; }

  // A bit a unit of the sixteen in two vectors, the first unit lowest.
  static unsigned Bits(simd::Units first, simd::Units second) {
    const __m128i b = _mm_packus_epi16(first, second);
    const __m128i letters = InBytes(_mm_or_si128(b, _mm_set1_epi8(0x20)), 'a', 'z');
    const __m128i digits_and_marks = _mm_or_si128(InBytes(b, '0', '9'), InBytes(b, '-', '.'));
    const __m128i others =
        _mm_or_si128(_mm_or_si128(ByteIs(b, '_'), ByteIs(b, '~')),
                     _mm_or_si128(_mm_or_si128(ByteIs(b, '\n'), ByteIs(b, '\r')), ByteIs(b, ' ')));
    const __m128i kept = _mm_or_si128(letters, _mm_or_si128(digits_and_marks, others));
    return ~static_cast<unsigned>(_mm_movemask_epi8(kept)) & 0xFFFF;
  }

 private:
  static __m128i InBytes(__m128i bytes, char low, char high) {
    return _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8(static_cast<char>(low - 1))),
                         _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(high + 1)), bytes));
  }
  static __m128i ByteIs(__m128i bytes, char c) { return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)); }
};

// The unit that begins an escape, for the decoder's run copy, which writes
// "+" as a space on the way.
struct Percent {
  static constexpr bool Has(char16_t u) { return u == u'%'; }
  static simd::Units Lanes(simd::Units v) { return simd::Equal(v, u'%'); }
  static constexpr char16_t Map(char16_t u) { return u == u'+' ? u' ' : u; }
  static simd::Units Map(simd::Units v) {
    // " " is 0x0B below "+".
    return simd::Add(v, simd::And(simd::Equal(v, u'+'), simd::Splat(u' ' - u'+')));
  }
  // The same over sixteen bytes of UTF-8 at once, "%" and "+" being ASCII.
  static simd::Units Bytes(simd::Units bytes) {
    return _mm_cmpeq_epi8(bytes, simd::SplatByte('%'));
  }
  static simd::Units MapBytes(simd::Units bytes) {
    const simd::Units plus = _mm_cmpeq_epi8(bytes, simd::SplatByte('+'));
    return _mm_add_epi8(bytes,
                        _mm_and_si128(plus, simd::SplatByte(static_cast<uint8_t>(' ' - '+'))));
  }
};

}  // namespace tobble::url
