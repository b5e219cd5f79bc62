// UTF-8 as the conversions read and write it: whole, valid sequences in the
// input (the library checks the bytes before it converts them), and UTF-16
// units that a decoder writes turned into UTF-8 on the way out.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "filters/common/conversion.h"
#include "filters/common/surrogate.h"
#include "filters/common/units.h"

namespace tobble {

inline constexpr char16_t kReplacementCharacter = 0xFFFD;

// The length of the sequence a valid lead byte b begins: 1 to 4.
constexpr size_t Utf8Length(uint8_t b) {
  return b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
}

// Writes a code point up to U+10FFFF (a surrogate value too, in the
// three-byte form) and returns the position after it.
inline uint8_t* WriteUtf8(uint8_t* out, uint32_t code_point) {
  if (code_point < 0x80) {
    *out++ = static_cast<uint8_t>(code_point);
  } else if (code_point < 0x800) {
    *out++ = static_cast<uint8_t>(0xC0 | code_point >> 6);
    *out++ = static_cast<uint8_t>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    *out++ = static_cast<uint8_t>(0xE0 | code_point >> 12);
    *out++ = static_cast<uint8_t>(0x80 | (code_point >> 6 & 0x3F));
    *out++ = static_cast<uint8_t>(0x80 | (code_point & 0x3F));
  } else {
    *out++ = static_cast<uint8_t>(0xF0 | code_point >> 18);
    *out++ = static_cast<uint8_t>(0x80 | (code_point >> 12 & 0x3F));
    *out++ = static_cast<uint8_t>(0x80 | (code_point >> 6 & 0x3F));
    *out++ = static_cast<uint8_t>(0x80 | (code_point & 0x3F));
  }
  return out;
}

// The character at in[i] (i < n) as the encoders read it, in either
// encoding. In UTF-16 as CharacterAt reads it. In UTF-8 the code point of
// the sequence there, which is valid; `units` is 0 for a sequence that the
// end of a piece before the last cuts, whose rest starts the next piece. (A
// sequence cut by the end of the text is invalid input; it is read as
// U+FFFD, and only within the text.)
inline Character CharacterAt(const uint8_t* in, size_t n, size_t i, bool last) {
  const uint32_t b = in[i];
  if (b < 0x80) return {b, 1};
  const size_t length = Utf8Length(static_cast<uint8_t>(b));
  if (n - i < length) return {kReplacementCharacter, last ? n - i : 0};
  const uint32_t c1 = in[i + 1] & 0x3Fu;
  if (length == 2) return {(b & 0x1F) << 6 | c1, 2};
  const uint32_t c2 = in[i + 2] & 0x3Fu;
  if (length == 3) return {(b & 0x0F) << 12 | c1 << 6 | c2, 3};
  return {(b & 0x07) << 18 | c1 << 12 | c2 << 6 | (in[i + 3] & 0x3Fu), 4};
}

// The UTF-16 units of the character at in[i] (i < n), as the encoders that
// write a unit at a time read them: in UTF-16 the unit itself, in UTF-8 and
// from a code point the one or two units of the code point. `read` is 0 where
// CharacterAt gives no units.
struct UnitsAt {
  char16_t unit[2];
  size_t count;
  size_t read;
};
inline UnitsAt Utf16UnitsAt(const char16_t* in, size_t, size_t i, bool) {
  return {{in[i], 0}, 1, 1};
}
inline UnitsAt Utf16UnitsAt(const char32_t* in, size_t, size_t i, bool) {
  const char32_t c = in[i];
  if (c < 0x10000) return {{static_cast<char16_t>(c), 0}, 1, 1};
  return {{HighSurrogateOf(c), LowSurrogateOf(c)}, 2, 1};
}
inline UnitsAt Utf16UnitsAt(const uint8_t* in, size_t n, size_t i, bool last) {
  const Character c = CharacterAt(in, n, i, last);
  if (c.value < 0x10000) return {{static_cast<char16_t>(c.value), 0}, 1, c.units};
  return {{HighSurrogateOf(c.value), LowSurrogateOf(c.value)}, 2, c.units};
}

// Where a decoder's output goes. In UTF-16 each unit it writes is stored as
// it is. In UTF-8 it is encoded, where a decoded high surrogate and the
// decoded low surrogate right after it make one four-byte character, and any
// other surrogate becomes U+FFFD and is counted: exactly what the UTF-16
// output gives when it is encoded as UTF-8 afterwards.
//
// A high surrogate waits for what comes after it. A piece before the last
// that ends while one waits stops before the escape that wrote it
// (StopBefore), so that the next piece decides.
template <typename Unit>
struct DecodedOutput;

template <>
struct DecodedOutput<char16_t> {
  // A decoded unit, from the token that starts at input position `at`.
  char16_t* Unit(char16_t* out, char16_t u, size_t) {
    *out++ = u;
    return out;
  }
  // A decoded code point above U+FFFF (up to U+10FFFF).
  char16_t* Pair(char16_t* out, uint32_t code_point) {
    *out++ = HighSurrogateOf(code_point);
    *out++ = LowSurrogateOf(code_point);
    return out;
  }
  // Before anything that is no decoded unit is written.
  char16_t* Settle(char16_t* out) { return out; }
  bool Waiting() const { return false; }
  size_t WaitingSince() const { return 0; }
  // At the end of the text.
  char16_t* Finish(char16_t* out) { return out; }
  size_t replaced = 0;
};

// Writes the UTF-8 form of a unit that is no surrogate with one store of
// four bytes, reaching up to two bytes past it (output bounds leave room).
inline uint8_t* WriteUnitUtf8(uint8_t* out, char16_t u) {
  if (u < 0x80) {
    *out = static_cast<uint8_t>(u);
    return out + 1;
  }
  if (u < 0x800) {
    StoreBytes(out, static_cast<uint32_t>(0xC0 | u >> 6 | (0x80 | (u & 0x3F)) << 8));
    return out + 2;
  }
  StoreBytes(out, static_cast<uint32_t>(0xE0 | u >> 12 | (0x80 | (u >> 6 & 0x3F)) << 8 |
                                        (0x80 | (u & 0x3F)) << 16));
  return out + 3;
}

// Writes a code point from U+10000 up with one store.
inline uint8_t* WriteFourByteUtf8(uint8_t* out, uint32_t code_point) {
  StoreBytes(out, 0xF0 | code_point >> 18 | (0x80 | (code_point >> 12 & 0x3F)) << 8 |
                      (0x80 | (code_point >> 6 & 0x3F)) << 16 | (0x80 | (code_point & 0x3F)) << 24);
  return out + 4;
}

template <>
struct DecodedOutput<uint8_t> {
  uint8_t* Unit(uint8_t* out, char16_t u, size_t at) {
    if (high == 0 && (u < 0xD800 || u > 0xDFFF)) return WriteUnitUtf8(out, u);
    if (high != 0) {
      if (IsLowSurrogate(u)) {
        out = WriteFourByteUtf8(out, CombineSurrogates(high, u));
        high = 0;
        return out;
      }
      out = Replace(out);
    }
    if (IsHighSurrogate(u)) {
      high = u;
      high_at = at;
      return out;
    }
    if (IsLowSurrogate(u)) return Replace(out);
    return WriteUtf8(out, u);
  }
  uint8_t* Pair(uint8_t* out, uint32_t code_point) {
    return WriteFourByteUtf8(Settle(out), code_point);
  }
  uint8_t* Settle(uint8_t* out) { return high != 0 ? Replace(out) : out; }
  bool Waiting() const { return high != 0; }
  size_t WaitingSince() const { return high_at; }
  uint8_t* Finish(uint8_t* out) { return Settle(out); }

  uint8_t* Replace(uint8_t* out) {
    high = 0;
    ++replaced;
    return WriteUtf8(out, kReplacementCharacter);
  }

  size_t replaced = 0;
  char16_t high = 0;   // a high surrogate that waits, or 0
  size_t high_at = 0;  // where the escape that wrote it begins
};

// The end of a decoder's call: with `last` the waiting high surrogate, if
// any, is written; otherwise the call stops before the escape that wrote it.
template <typename Unit>
inline Progress EndDecoding(size_t read, Unit* out, Unit* o, bool last,
                            DecodedOutput<Unit>& output) {
  if (output.Waiting()) {
    if (last) {
      o = output.Finish(o);
    } else {
      read = output.WaitingSince();
    }
  }
  return {read, static_cast<size_t>(o - out), output.replaced};
}

}  // namespace tobble
