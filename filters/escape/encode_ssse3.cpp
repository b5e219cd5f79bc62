// The escape encoders' loops built for SSSE3, which write blocks of eight
// escapes, and of up to four emoji, with byte shuffles
// (filters/escape/shuffle.h), in UTF-8 and in UTF-16. encode.cpp calls them
// where the processor has SSSE3. The plug-ins, which keep to the baseline,
// and the WebAssembly build, which is no x86, compile nothing here.
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

Progress EncodeEscapesJShuffled(const char16_t* in, size_t n, char16_t* out, bool last) {
  return EncodeJFast(in, n, out, last);
}

Progress EncodeEscapesCShuffled(const char16_t* in, size_t n, char16_t* out, bool last) {
  return EncodeCFast(in, n, out, last);
}

void WriteUnitEscapesShuffled(const char16_t* in, uint8_t* out) {
  StoreUnitEscapes(out, simd::Load(in));
}

}  // namespace tobble::escape
#endif
