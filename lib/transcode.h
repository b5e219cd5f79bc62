// UTF-8 checking, decoding to UTF-16 and encoding from it, for the library's
// stream over bytes (lib/stream.h). Each transcoder does the same three jobs to one
// contract: the plain one unit by unit, which the tests hold the others to,
// and faster ones that take the processor's vector instructions where it has
// them (lib/transcode/, one file for each instruction set).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "filters/common/utf8.h"

namespace tobble::lib {

// The pieces of UTF-8 that every plain path shares.
namespace utf8 {

// The length of the UTF-8 sequence that byte b starts: 1 for ASCII, 2 to 4
// for a lead byte, 0 for a continuation byte or a byte that starts nothing.
constexpr int SequenceLength(uint8_t b) {
  return b < 0x80 ? 1 : b < 0xC2 ? 0 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : b < 0xF5 ? 4 : 0;
}

constexpr bool IsContinuation(uint8_t b) {
  return (b & 0xC0) == 0x80;
}

// The range of the second byte after lead byte b: narrower than 0x80-0xBF
// where a wider one would allow an overlong form, a surrogate or a code
// point above U+10FFFF.
constexpr void SecondByteRange(uint8_t b, uint8_t* low, uint8_t* high) {
  *low = b == 0xE0 ? 0xA0 : b == 0xF0 ? 0x90 : 0x80;
  *high = b == 0xED ? 0x9F : b == 0xF4 ? 0x8F : 0xBF;
}

// The code point of a sequence of `length` (2 to 4) bytes with the right
// framing.
inline uint32_t DecodeSequence(const uint8_t* s, int length) {
  switch (length) {
    case 2:
      return (s[0] & 0x1Fu) << 6 | (s[1] & 0x3Fu);
    case 3:
      return (s[0] & 0x0Fu) << 12 | (s[1] & 0x3Fu) << 6 | (s[2] & 0x3Fu);
    default:
      return (s[0] & 0x07u) << 18 | (s[1] & 0x3Fu) << 12 | (s[2] & 0x3Fu) << 6 | (s[3] & 0x3Fu);
  }
}

// Writes a code point up to U+10FFFF and returns the position after it: the
// conversions' own writer.
using ::tobble::WriteUtf8;

}  // namespace utf8

// How far an encoding call got: units read, bytes written.
struct Encoded {
  size_t read;
  size_t written;
};

struct Transcoder {
  const char* name;

  // The length of the longest prefix of in[0, n) made of whole, valid UTF-8
  // sequences (no overlong forms, no surrogates, nothing above U+10FFFF): n,
  // or the offset of the first sequence that is invalid or cut short by the
  // end.
  size_t (*valid_utf8)(const uint8_t* in, size_t n);

  // Decodes in[0, n), which must be whole, valid UTF-8 sequences, into out
  // (room for n units) and returns the units written. Given anything else it
  // still reads and writes only within those bounds.
  size_t (*decode_utf8)(const uint8_t* in, size_t n, char16_t* out);

  // Encodes in[0, n) as UTF-8 into out (room for 3 * n bytes), a surrogate
  // pair as its code point, and stops before the first surrogate that has no
  // partner within the input: a lone one, or a high surrogate at the end.
  Encoded (*encode_utf8)(const char16_t* in, size_t n, uint8_t* out);
};

// The transcoders this processor can run, the plain one first and the
// fastest last.
struct TranscoderList {
  const Transcoder* const* items;
  size_t size;
};
TranscoderList AvailableTranscoders();

// The fastest transcoder this processor can run.
const Transcoder& FastestTranscoder();

}  // namespace tobble::lib
