// The sizes every filter call works with.
#pragma once

#include <stddef.h>

namespace tobble {

// Result blocks are sized as 32-bit signed integers.
inline constexpr size_t kMaxBlockBytes = 0x7FFFFFFF;

// Whether a text of n units fits a block of (n + 1) * factor bytes.
constexpr bool FitsInBlock(size_t n, unsigned factor) {
  return n < kMaxBlockBytes / factor;
}

}  // namespace tobble
