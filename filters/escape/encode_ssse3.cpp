// The escape encoders' loops in UTF-8 built for SSSE3, which write blocks
// of eight escapes, and of up to four emoji, with byte shuffles
// (filters/escape/shuffle.h). encode.cpp calls them where the processor has
// SSSE3. The plug-ins, which convert UTF-16 alone, and the WebAssembly
// build, which is no x86, compile nothing here.
#include "filters/escape/shuffle_choice.h"

#if TOBBLE_ESCAPE_SHUFFLES
#include "filters/escape/encode_loops.h"

namespace tobble::escape {

Progress EncodeEscapesJShuffled(const uint8_t* in, size_t n, uint8_t* out, bool last) {
  return EncodeJFast(in, n, out, last);
}

Progress EncodeEscapesCShuffled(const uint8_t* in, size_t n, uint8_t* out, bool last) {
  return EncodeCFast(in, n, out, last);
}

void WriteUnitEscapesShuffled(const char16_t* in, uint8_t* out) {
  StoreUnitEscapes(out, simd::Load(in));
}

}  // namespace tobble::escape
#endif
