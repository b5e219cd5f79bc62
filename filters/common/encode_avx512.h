// The encoders' blocks built for AVX-512 (encode_avx512.cpp): from UTF-16
// units or code points into bytes, sixteen a block whatever characters they
// hold, for text2charref, text2charrefx and tobbleC. Their loops call them
// where the processor has the instructions (processor.h).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "filters/common/processor.h"

// Not in the plug-ins, which write UTF-16 only.
#if TOBBLE_AVX512 && !defined(TOBBLE_UTF16_ONLY)
#define TOBBLE_AVX512_BLOCKS 1
#else
#define TOBBLE_AVX512_BLOCKS 0
#endif

namespace tobble::avx512 {

#if TOBBLE_AVX512_BLOCKS
// The escapes of the units from in[p] on, written a block of sixteen units
// at a time at `out`, which moves on past them: decimal references
// ("&#233;"), hex references ("&#xe9;") or tobbleC's escapes ("\u00e9",
// "\U0001f600"). Each unit from 0x80 up becomes the escape of its value, a
// surrogate pair one escape of its code point; a unit below 0x80 is written
// as it is. Stops before a block of sixteen units below 0x80 (where a run
// that needs no escape may begin, which the caller copies faster), for the
// references before a block that holds a markup character (" < > &), and
// where fewer than kRoomUnits units are left. Returns the units read, whole
// characters. (Stopping where two units below 0x80 begin a block made the
// tool slower: on 16 MiB of French 25.2 ms against 22.0, of emoji 23.4
// against 22.9.)
//
// Precondition: the buffer at `out` has room for three bytes for each unit
// from in[p] on. (The stream's units come from UTF-8, with room for three
// bytes a byte at least, six for the references; AsciiOutputBound gives six
// or eight a unit.) A block stores 64 bytes from where the output of its
// lanes 0, 4, 8 and 12 begins: with 34 units left from the block's start
// the last store stays within the room.
inline constexpr size_t kRoomUnits = 40;
size_t WriteDecimalReferences(const char16_t* in, size_t n, size_t p, uint8_t*& out);
size_t WriteHexReferences(const char16_t* in, size_t n, size_t p, uint8_t*& out);
size_t WriteCEscapes(const char16_t* in, size_t n, size_t p, uint8_t*& out);

// The same from code points (a str's four-byte storage), sixteen a block:
// two surrogate code points that make a pair are written as one escape, as
// from units, and kRoomUnits counts code points.
size_t WriteDecimalReferences(const char32_t* in, size_t n, size_t p, uint8_t*& out);
size_t WriteHexReferences(const char32_t* in, size_t n, size_t p, uint8_t*& out);
size_t WriteCEscapes(const char32_t* in, size_t n, size_t p, uint8_t*& out);
#endif

}  // namespace tobble::avx512
