#include <stdint.h>

#include "filters/common/simd.h"
#include "plugin/contract.h"

namespace tobble {

// Eight units at a time from the aligned 16 bytes that hold the text's first
// unit on. An aligned load never crosses a page, so reading the whole block
// around the first unit and around the terminating zero is safe wherever the
// text lies, even right before a page that may not be read; the address
// sanitizer, which knows nothing of pages, is told not to check these loads.
// At an odd address the units straddle the blocks: byte pairs, one by one.
__attribute__((no_sanitize_address)) size_t CountUnits(const char16_t* text) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(text);
  if (address % 2 != 0) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t n = 0;
    while ((bytes[2 * n] | bytes[2 * n + 1]) != 0) ++n;
    return n;
  }
  const size_t skipped = address % 16;  // bytes of the first block before the text
  const auto* block = reinterpret_cast<const simd::Units*>(address - skipped);
  // The bits of the bytes before the text are shifted out.
  unsigned zeros = simd::Mask(simd::Equal(_mm_load_si128(block), 0)) >> skipped;
  if (zeros != 0) return simd::FirstLane(zeros);
  size_t n = (16 - skipped) / 2;  // the text's units in the first block
  for (;; n += simd::kWidth) {
    zeros = simd::Mask(simd::Equal(_mm_load_si128(++block), 0));
    if (zeros != 0) return n + simd::FirstLane(zeros);
  }
}

}  // namespace tobble
