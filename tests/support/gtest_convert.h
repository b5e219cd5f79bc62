// The native tests' conversions: a filter's output on std::u16string through
// the bounded calls of tests/support/convert.h, with any fault of a call failing
// the current test.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "filters/filters.h"

namespace tobble::testing {

// The filter with its plain unit-by-unit conversion in place of `convert`,
// to convert with as the reference for the fast one.
inline Filter ScalarOf(const Filter& filter) {
  Filter scalar = filter;
  scalar.convert = filter.scalar;
  return scalar;
}

// The filter's output for the whole text.
std::u16string Convert(const Filter& filter, const std::u16string& text);

// The filter's output when the text comes in pieces of the given sizes (the
// rest as one last piece), the way a stream is converted: each call leaves a
// tail that goes in front of the next piece. Fails the current test if a
// call writes or reads beyond its bounds or leaves a tail longer than
// kMaxTail units (filters/common/conversion.h).
std::u16string ConvertInPieces(const Filter& filter, const std::u16string& text,
                               const std::vector<size_t>& sizes);

}  // namespace tobble::testing
