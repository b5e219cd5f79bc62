// The shape shared by every conversion of the core.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tobble {

// How far one call of a conversion got: units read from the input and units
// written to the output; in UTF-8 also the surrogates without a partner that
// a decoder wrote as U+FFFD (always 0 in UTF-16, which keeps them).
struct Progress {
  size_t read;
  size_t written;
  size_t replaced = 0;
};

// Every conversion reads and writes either encoding: UTF-16 units
// (char16_t) or UTF-8 bytes (uint8_t, whole valid sequences). In UTF-8 it
// writes exactly the UTF-8 form of what it writes for the same text in
// UTF-16, with each surrogate without a partner as U+FFFD.
//
// A conversion reads the units in[0, n) and writes into out, which the caller
// has sized by the filter's factor: at least OutputBound(factor, n) units.
//
// With `last` true the input ends at n: everything is read and converted.
// With `last` false more input follows in a later call, and the conversion may
// stop before a short tail whose output the following units could still
// change (an escape cut short, a high surrogate at the end, ...). The caller
// passes that tail again, in front of the next units. Converting a text in
// such pieces gives exactly the output of converting it whole.
//
// Conversions allocate nothing, call no library function and never fail.
template <typename Unit>
using ConversionOf = Progress (*)(const Unit* in, size_t n, Unit* out, bool last);
using Conversion = ConversionOf<char16_t>;
using Utf8Conversion = ConversionOf<uint8_t>;

// An encoder whose output is ASCII for every text also writes it as bytes
// straight from UTF-16 units (In = char16_t) or from code points (In =
// char32_t, a Python str's four-byte storage), read as the UTF-16 units
// they make: a code point above U+FFFF as its pair, any other as one unit,
// so that a high surrogate code point and a low one after it make a pair
// too. It writes the bytes of what its UTF-16 conversion writes for those
// units, needs AsciiOutputBound bytes of room and reads and leaves a tail
// as the UTF-16 conversion does, in units of In.
template <typename In>
using AsciiConversionOf = Progress (*)(const In* in, size_t n, uint8_t* out, bool last);

// Each conversion is one function template, instantiated for both encodings
// in its own file. The plug-ins, built with TOBBLE_UTF16_ONLY, carry the
// UTF-16 instantiations alone.
#define TOBBLE_INSTANTIATE_UNIT(conversion, Unit) \
  template Progress conversion<Unit>(const Unit* in, size_t n, Unit* out, bool last);
#ifdef TOBBLE_UTF16_ONLY
#define TOBBLE_INSTANTIATE(conversion) TOBBLE_INSTANTIATE_UNIT(conversion, char16_t)
#else
#define TOBBLE_INSTANTIATE(conversion)          \
  TOBBLE_INSTANTIATE_UNIT(conversion, char16_t) \
  TOBBLE_INSTANTIATE_UNIT(conversion, uint8_t)
#endif

// Such an encoder's ASCII instantiations, beside the two above; the
// plug-ins, which never call them, leave them out.
#if defined(TOBBLE_UTF16_ONLY)
#define TOBBLE_INSTANTIATE_ASCII(conversion)
#else
#define TOBBLE_INSTANTIATE_ASCII(conversion)                                                  \
  template Progress conversion<char16_t, uint8_t>(const char16_t* in, size_t n, uint8_t* out, \
                                                  bool last);                                 \
  template Progress conversion<char32_t, uint8_t>(const char32_t* in, size_t n, uint8_t* out, \
                                                  bool last);
#endif

// The units of output room converting n units needs, for a filter whose
// worst case is `factor` bytes per input unit and one more: the host's
// result block of (n + 1) * factor bytes, its terminating zero unit included.
constexpr size_t OutputBound(unsigned factor, size_t n) {
  return (n + 1) * factor / 2;
}

// The bytes of output room converting n bytes of UTF-8 needs, for a filter
// whose worst case is `factor` bytes out for each byte in. The fast paths
// store whole vectors and tables' entries a little past what they write.
constexpr size_t Utf8OutputBound(unsigned factor, size_t n) {
  return n * factor + 16;
}

// The longest tail a conversion with `last` false may leave unread, so that a
// caller converting a stream knows how much to keep: in UTF-16 units, and in
// UTF-8 bytes (a name of two-byte characters, after a decoded high
// surrogate that waits for its partner).
inline constexpr size_t kMaxTail = 64;
inline constexpr size_t kMaxUtf8Tail = 128;

// The bytes of room an ASCII encoder with that factor needs for n units of
// In: as many as the units of its UTF-16 output, a code point being two
// units at most.
template <typename In>
constexpr size_t AsciiOutputBound(unsigned factor, size_t n) {
  return OutputBound(factor, sizeof(In) == 4 ? 2 * n : n);
}

template <typename Unit>
inline constexpr size_t kMaxTailOf = sizeof(Unit) == 1 ? kMaxUtf8Tail : kMaxTail;

}  // namespace tobble
