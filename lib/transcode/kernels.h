// The transcoders of lib/transcode.h, one file for each instruction set they
// need, each compiled for that set alone: plain.cpp for any processor,
// sse2.cpp, sse41.cpp (SSSE3 and SSE4.1), avx2.cpp and avx512.cpp.
// select.cpp, compiled for the baseline, asks the processor which of them it
// may run; nothing else calls a kernel of a file compiled for more than the
// baseline.
//
// The vector files keep all their own functions in an anonymous namespace
// and reach the plain code through the out-of-line functions below, so that
// no copy of a shared inline function compiled for AVX2 can stand in for the
// baseline one at link time (filters/common/simd.h names its copies by instruction
// set for the same reason).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "lib/transcode.h"

namespace tobble::lib::transcode {

// The plain transcoder's three jobs (plain.cpp), which the vector ones fall
// back on for what they leave: short ends, sequences that span their blocks,
// input that is not valid UTF-8.
size_t ValidUtf8Plain(const uint8_t* in, size_t n);
size_t DecodeUtf8Plain(const uint8_t* in, size_t n, char16_t* out);
Encoded EncodeUtf8Plain(const char16_t* in, size_t n, uint8_t* out);

// The valid prefix of in[0, n) where every byte before `checked` passed a
// vector check: the sequences before the one that holds byte checked - 1
// are whole and valid, and the plain check goes on from there to the exact
// end of the valid prefix.
size_t ValidUtf8From(const uint8_t* in, size_t n, size_t checked);

// SSE4.1's encoder, which the AVX2 and AVX-512 transcoders share (sse41.cpp).
// Precondition: the processor has SSSE3 and SSE4.1.
Encoded EncodeUtf8Sse41(const char16_t* in, size_t n, uint8_t* out);

// The transcoders, in the order of AvailableTranscoders: each runs only on a
// processor with the instructions its name says.
extern const Transcoder kPlainTranscoder;
extern const Transcoder kSse2Transcoder;
extern const Transcoder kSse41Transcoder;
extern const Transcoder kAvx2Transcoder;
extern const Transcoder kAvx512Transcoder;

}  // namespace tobble::lib::transcode
