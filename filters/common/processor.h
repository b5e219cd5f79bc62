// Whether the conversions take their AVX-512 paths: the encoders' blocks
// into bytes (encode_avx512.h) and the escape decoders' steps over UTF-16
// (filters/escape/decode_avx512.h). processor.cpp, built for the baseline,
// asks the processor.
#pragma once

// On x86-64 only: the 32-bit plug-in keeps to SSE2, and the WebAssembly
// build compiles none of it.
#if defined(__x86_64__)
#define TOBBLE_AVX512 1
#else
#define TOBBLE_AVX512 0
#endif

namespace tobble::avx512 {

#if TOBBLE_AVX512
// Whether to take the AVX-512 paths: the processor (and the system, which
// must save the 64-byte registers) is asked once, and the answer kept.
bool Use();

// For the tests: takes the AVX-512 paths (where the processor has them) or
// not from now on, and returns whether they are taken.
bool Choose(bool wanted);
#else
inline bool Use() {
  return false;
}
inline bool Choose(bool) {
  return false;
}
#endif

}  // namespace tobble::avx512
