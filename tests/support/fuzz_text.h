// How a fuzzer's bytes become a text of UTF-16 units, and the places where
// the fuzzer cuts it into pieces.
//
//   01 to 7F   the ASCII unit of that value, so escapes, references and
//              percent sequences are typed as they are written ("\u00e9",
//              "&amp;", "%C3%A9"), in seeds and dictionaries alike;
//   00 lo hi   the unit hi * 256 + lo, any unit at all (a zero unit is
//              dropped: no text holds one);
//   80 to FE   one unit of a table of awkward units: surrogates of both
//              kinds, the edges of each UTF-8 length, fullwidth digits,
//              units whose low byte is "&", ";", "\" or "%";
//   FF         a cut: the text is converted in pieces that end there.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace tobble::testing {

struct FuzzText {
  std::u16string units;
  std::vector<size_t> cuts;  // positions in `units`, ascending, repeats allowed
};

FuzzText ReadFuzzText(const uint8_t* data, size_t size);

// Bytes that ReadFuzzText reads back as these units, without cuts. Zero units
// are left out.
std::string WriteFuzzText(const std::u16string& units);

}  // namespace tobble::testing
