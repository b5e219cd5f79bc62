// Random texts for the tests, from fixed seeds: one maker of every kind of
// text the tests feed the filters, built from the same few ingredients.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <random>
#include <string>
#include <vector>

namespace tobble::testing {

class RandomText {
 public:
  explicit RandomText(uint32_t seed) : rng_(seed) {}

  // A number from low to high, both included.
  int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
  // A number below n (n > 0).
  size_t Below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  // One of the units of a list.
  char16_t OneOf(const std::u16string& units) { return units[Below(units.size())]; }

  // Piece sizes from 0 to `largest` that cover a text of `length` units.
  std::vector<size_t> PieceSizes(size_t length, int largest);

  // Plain text of at least `length` units: ASCII (often one of "%+ \r\n-._~"
  // and hex digits), two- and three-byte UTF-8 units, true pairs, and lone
  // surrogates of both kinds; never a zero unit.
  std::u16string Plain(size_t length);

  // Up to `most_pieces` pieces: each one of `pieces`, or, one time in
  // `one_unit_in`, a single unit from 1 to 0xFFFF (lone surrogates included).
  std::u16string Pieces(const std::vector<std::u16string>& pieces, int most_pieces,
                        int one_unit_in);

  // Made of what the filters' special paths look at: escapes, percent signs,
  // references and their parts, digits, runs of plain units that end around
  // the vector width, and any unit.
  std::u16string Special();

  // At least `length` units of what any filter treats specially, so that
  // every fast path meets its slow one: escapes of each filter with good,
  // lenient and broken fields, escaped UTF-8 of every length, whole and cut
  // short, runs of plain ASCII around the vector width, non-ASCII units,
  // pairs and lone surrogates.
  std::u16string Tricky(size_t length);

  // At least `length` units of percent-encoded text: escapes of bytes from
  // every class, in either case, mixed with lone "%" signs, half escapes, "+"
  // and other units.
  std::u16string PercentEncoded(size_t length);

  // Rich in what character references are made of: names, digits, "&", "#",
  // ";", spaces, and any unit.
  std::u16string References();

  // For the reference decoder's fast paths: the given names whole, cut or
  // changed, with and without ";"; numbers of every length, leading zeros,
  // signs, spaces and bad digits; runs of name units up to and past 36; "&"
  // chains; plain runs around the vector width; and any unit.
  std::u16string ReferenceFastPaths(const std::vector<std::u16string>& names);

 private:
  // The low `digits` hex digits of value, now and then in upper case.
  std::u16string Hex(uint32_t value, int digits);

  std::mt19937 rng_;
};

}  // namespace tobble::testing
