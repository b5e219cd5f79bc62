// The choice between the escape encoders' loops built for SSE2,
// which every x86 processor runs, and the ones built for SSSE3
// (encode_ssse3.cpp), which write blocks of eight escapes with byte
// shuffles.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "filters/common/conversion.h"

// The SSSE3 loops exist on x86 only, and not in the plug-ins, which keep to
// the baseline; the WebAssembly build keeps SSE2's.
#if (defined(__x86_64__) || defined(__i386__)) && !defined(TOBBLE_UTF16_ONLY)
#define TOBBLE_ESCAPE_SHUFFLES 1
#else
#define TOBBLE_ESCAPE_SHUFFLES 0
#endif

namespace tobble::escape {

#if TOBBLE_ESCAPE_SHUFFLES
// Whether the encoders take the SSSE3 loops: the processor is asked once,
// and the answer kept.
bool UseShuffles();

// For the tests: takes the SSSE3 loops (where the processor has SSSE3) or
// the SSE2 ones from now on, and returns whether the SSSE3 ones are taken.
bool ChooseShuffles(bool wanted);

// The encoders built for SSSE3, in UTF-8 and in UTF-16, and from UTF-16
// units or code points into bytes.
template <typename In, typename Out>
Progress EncodeEscapesJShuffled(const In* in, size_t n, Out* out, bool last);
template <typename In, typename Out>
Progress EncodeEscapesCShuffled(const In* in, size_t n, Out* out, bool last);

// The block writer of the SSSE3 loops: the eight units at in, each as its
// "\uXXXX", at out[0, 48). Only where the processor has SSSE3.
void WriteUnitEscapesShuffled(const char16_t* in, uint8_t* out);
#else
inline bool UseShuffles() {
  return false;
}
inline bool ChooseShuffles(bool) {
  return false;
}
#endif

// The same, escape by escape: the writer above is held to it.
inline void WriteUnitEscapesPlain(const char16_t* in, uint8_t* out) {
  constexpr char kDigits[] = "0123456789abcdef";
  for (size_t k = 0; k < 8; ++k, out += 6) {
    out[0] = '\\';
    out[1] = 'u';
    for (int d = 0; d < 4; ++d) out[2 + d] = kDigits[(in[k] >> (12 - 4 * d)) & 0xF];
  }
}

}  // namespace tobble::escape
