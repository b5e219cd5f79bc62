#include "filters/common/count_units.h"

#include <stdint.h>

#include "filters/common/simd.h"

namespace tobble {

// Eight units at a time from the aligned 16 bytes that hold the text's first
// unit on, then 32 at a time from an aligned 64 bytes on: the filter calls
// this on every text before converting it, and one vector a step is held to
// a step a cycle by its branch. An aligned load never crosses a page, nor
// does an aligned 64 bytes, so reading the whole block around the first
// unit and around the terminating zero is safe wherever the text lies, even
// right before a page that may not be read; the address sanitizer, which
// knows nothing of pages, is told not to check these loads. At an odd
// address the units straddle the blocks: byte pairs, one by one.
__attribute__((no_sanitize_address)) size_t CountUnits(const char16_t* text) {
  using simd::Units;
  const uintptr_t address = reinterpret_cast<uintptr_t>(text);
  if (address % 2 != 0) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t n = 0;
    while ((bytes[2 * n] | bytes[2 * n + 1]) != 0) ++n;
    return n;
  }
  const size_t skipped = address % 16;  // bytes of the first block before the text
  const auto* block = reinterpret_cast<const Units*>(address - skipped);
  // The bits of the bytes before the text are shifted out.
  unsigned zeros = simd::Mask(simd::Equal(_mm_load_si128(block), 0)) >> skipped;
  if (zeros != 0) return simd::FirstLane(zeros);
  size_t n = (16 - skipped) / 2;  // the text's units in the first block
  for (; reinterpret_cast<uintptr_t>(block + 1) % 64 != 0; n += simd::kWidth) {
    zeros = simd::Mask(simd::Equal(_mm_load_si128(++block), 0));
    if (zeros != 0) return n + simd::FirstLane(zeros);
  }
  for (;; n += 4 * simd::kWidth, block += 4) {
    const Units z0 = simd::Equal(_mm_load_si128(block + 1), 0);
    const Units z1 = simd::Equal(_mm_load_si128(block + 2), 0);
    const Units z2 = simd::Equal(_mm_load_si128(block + 3), 0);
    const Units z3 = simd::Equal(_mm_load_si128(block + 4), 0);
    if (simd::Mask(simd::Or(simd::Or(z0, z1), simd::Or(z2, z3))) != 0) {
      const uint64_t all = simd::Mask(z0) | simd::Mask(z1) << 16 |
                           static_cast<uint64_t>(simd::Mask(z2) | simd::Mask(z3) << 16) << 32;
      return n + static_cast<size_t>(__builtin_ctzll(all)) / 2;
    }
  }
}

}  // namespace tobble
