// The classes of units the escape filters' fast paths tell apart, each as a
// plain predicate and over eight lanes (filters/common/simd.h).
#pragma once

#include "filters/common/simd.h"

namespace tobble::escape {

// The units both encoders escape: everything above 0x7F.
struct NotAscii {
  static constexpr bool Has(char16_t u) { return u >= 0x80; }
  static simd::Units Lanes(simd::Units v) { return simd::AtLeast(v, 0x80); }
};

// The unit that begins an escape.
struct Backslash {
  static constexpr bool Has(char16_t u) { return u == u'\\'; }
  static simd::Units Lanes(simd::Units v) { return simd::Equal(v, u'\\'); }
};

}  // namespace tobble::escape
