// Runs a filter's conversion on std::u16string, from an input block of the
// text's own size into an output block sized exactly as the filter's factor
// allows, so a sanitizer catches any read or write beyond either.
#pragma once

#include <stdint.h>

#include <random>
#include <string>
#include <vector>

#include "core/filters.h"

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
// tail that goes in front of the next piece. Fails the current test if the
// tail grows beyond kMaxTail units (common/conversion.h).
std::u16string ConvertInPieces(const Filter& filter, const std::u16string& text,
                               const std::vector<size_t>& sizes);

// A random text of up to `most_pieces` pieces: each one of `pieces`, or, one
// time in `one_unit_in`, a single unit from 1 to 0xFFFF (lone surrogates
// included).
std::u16string RandomPieces(std::mt19937& rng, const std::vector<std::u16string>& pieces,
                            int most_pieces, int one_unit_in);

// Appends the UTF-8 form of a code point (a surrogate value too).
void AppendUtf8(std::string& out, uint32_t code_point);

}  // namespace tobble::testing
