// The escape encoders' loops built for SSSE3, which write blocks of eight
// escapes, and of up to four emoji, with byte shuffles
// (filters/escape/shuffle.h), in UTF-8 and in UTF-16, and from UTF-16 units
// or code points into bytes. encode.cpp calls them
// where the processor has SSSE3. The plug-ins, which keep to the baseline,
// and the WebAssembly build, which is no x86, compile nothing here.
#include "filters/escape/shuffle_choice.h"

#if TOBBLE_ESCAPE_SHUFFLES
#include "filters/escape/encode_loops.h"

namespace tobble::escape {

template <typename In, typename Out>
Progress EncodeEscapesJShuffled(const In* in, size_t n, Out* out, bool last) {
  return EncodeJFast(in, n, out, last);
}

template <typename In, typename Out>
Progress EncodeEscapesCShuffled(const In* in, size_t n, Out* out, bool last) {
  return EncodeCFast(in, n, out, last);
}

#define TOBBLE_SHUFFLED(In, Out)                                                                  \
  template Progress EncodeEscapesJShuffled<In, Out>(const In* in, size_t n, Out* out, bool last); \
  template Progress EncodeEscapesCShuffled<In, Out>(const In* in, size_t n, Out* out, bool last);
TOBBLE_SHUFFLED(uint8_t, uint8_t)
TOBBLE_SHUFFLED(char16_t, char16_t)
TOBBLE_SHUFFLED(char16_t, uint8_t)
TOBBLE_SHUFFLED(char32_t, uint8_t)
#undef TOBBLE_SHUFFLED

void WriteUnitEscapesShuffled(const char16_t* in, uint8_t* out) {
  StoreUnitEscapes(out, simd::Load(in));
}

}  // namespace tobble::escape
#endif
