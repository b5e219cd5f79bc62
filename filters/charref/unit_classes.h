// The classes of units the character reference filters' fast paths tell
// apart, each as a plain predicate and over eight lanes (filters/common/simd.h).
#pragma once

#include "filters/common/simd.h"

namespace tobble::charref {

// The named reference of a markup character, or null for any other unit.
constexpr const char16_t* MarkupReference(char16_t u) {
  switch (u) {
    case u'"':
      return u"&quot;";
    case u'<':
      return u"&lt;";
    case u'>':
      return u"&gt;";
    case u'&':
      return u"&amp;";
    default:
      return nullptr;
  }
}

// The units the encoders write as references: from 0x80 up, and the markup
// characters.
struct NeedsReference {
  static constexpr bool Has(char16_t u) { return u >= 0x80 || MarkupReference(u) != nullptr; }
  // (u | 2) is ">" exactly for "<" and ">", (u | 4) is "&" exactly for '"'
  // and "&".
  static simd::Units Lanes(simd::Units v) {
    using namespace simd;
    return Or(AtLeast(v, 0x80), Or(Equal(Or(v, Splat(2)), u'>'), Equal(Or(v, Splat(4)), u'&')));
  }
  // Sixteen bytes of UTF-8 at once: the same test bytewise, where the bytes
  // from 0x80 up are those with the top bit set (all that movemask reads).
  static simd::Units Bytes(simd::Units bytes) {
    const simd::Units markup =
        _mm_or_si128(_mm_cmpeq_epi8(_mm_or_si128(bytes, simd::SplatByte(2)), simd::SplatByte('>')),
                     _mm_cmpeq_epi8(_mm_or_si128(bytes, simd::SplatByte(4)), simd::SplatByte('&')));
    return _mm_or_si128(markup, bytes);
  }
};

// The unit that begins a reference.
struct Ampersand {
  static constexpr bool Has(char16_t u) { return u == u'&'; }
  static simd::Units Lanes(simd::Units v) { return simd::Equal(v, u'&'); }
  // Sixteen bytes of UTF-8 at once, "&" being ASCII.
  static simd::Units Bytes(simd::Units bytes) {
    return _mm_cmpeq_epi8(bytes, simd::SplatByte('&'));
  }
};

// The units a name cannot hold: from 0x100 up, the zero unit, "&" and ";".
// Spaces and punctuation count as name units.
struct NotNameUnit {
  static constexpr bool Has(char16_t u) { return u >= 0x100 || u == 0 || u == u'&' || u == u';'; }
  static simd::Units Lanes(simd::Units v) {
    using namespace simd;
    return Or(Or(AtLeast(v, 0x100), Equal(v, 0)), Or(Equal(v, u'&'), Equal(v, u';')));
  }
};

}  // namespace tobble::charref
