// The tests' one plain UTF-8 and UTF-16 codec, the reference the library's
// transcoders and streams are held to. It is written from the encodings'
// bit layouts alone, apart from the library's own code, and takes no
// faster path.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace tobble::testing {

// Appends the UTF-8 form of a code point (a surrogate value too, as the
// three bytes of its bit layout).
void AppendUtf8(std::string& out, uint32_t code_point);

// Appends the UTF-16 units of a code point: one, or a surrogate pair above
// U+FFFF.
void AppendUnits(std::u16string& units, uint32_t code_point);

// UTF-8 read back: each well-formed sequence as its code point in UTF-16,
// and U+FFFD for each maximal subpart of an ill-formed one (the longest
// start of a well-formed sequence, or else one byte).
struct Utf8Reading {
  std::u16string units;
  uint64_t replaced = 0;     // the U+FFFD put in
  size_t first_invalid = 0;  // the byte the first ill-formed part begins at, or the size
  size_t units_before = 0;   // the units before that part, or all of them
};
Utf8Reading ReadUtf8(const std::string& bytes);

// UTF-16 units as UTF-8, a surrogate pair as one code point and each lone
// surrogate as U+FFFD, counted in `lone` when it is given.
std::string WriteUtf8(const std::u16string& units, uint64_t* lone = nullptr);

// The units as code points, as a str holds them: each pair joined into one
// (with join_pairs), every other unit a code point of its own value.
std::u32string CodePointsOf(const std::u16string& units, bool join_pairs);

// UTF-16 units as bytes in either order, and bytes back as units (an odd
// last byte left out).
std::string WriteUtf16(const std::u16string& units, bool big_endian);
std::u16string ReadUtf16(const std::string& bytes, bool big_endian);

}  // namespace tobble::testing
