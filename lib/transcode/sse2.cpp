// The SSE2 transcoder, for every x86-64 processor: runs of ASCII sixteen
// bytes or units at a time, everything else as the plain transcoder does it.
// Compiled with -msse2.
#include "filters/common/simd.h"
#include "filters/common/surrogate.h"
#include "lib/transcode/kernels.h"

namespace tobble::lib::transcode {
namespace {

using utf8::SequenceLength;

size_t ValidUtf8Sse2(const uint8_t* in, size_t n) {
  size_t i = 0;
  for (;;) {
    for (; i + 16 <= n; i += 16) {
      const unsigned high = simd::Mask(simd::LoadBytes(in + i));
      if (high != 0) {
        i += static_cast<size_t>(__builtin_ctz(high));
        break;
      }
    }
    if (i + 16 > n) return i + ValidUtf8Plain(in + i, n - i);
    // One sequence the plain way, then back to the ASCII scan.
    const size_t length = static_cast<size_t>(SequenceLength(in[i]));
    if (length == 0 || length > n - i || ValidUtf8Plain(in + i, length) != length) {
      return i + ValidUtf8Plain(in + i, n - i);
    }
    i += length;
  }
}

size_t DecodeUtf8Sse2(const uint8_t* in, size_t n, char16_t* out) {
  char16_t* o = out;
  size_t i = 0;
  while (i + 16 <= n) {
    const simd::Units v = simd::LoadBytes(in + i);
    const unsigned high = simd::Mask(v);
    if (high == 0) {
      simd::Store(o, simd::WidenLow(v));
      simd::Store(o + 8, simd::WidenHigh(v));
      o += 16;
      i += 16;
      continue;
    }
    // The ASCII bytes before the first other one, then that sequence.
    const size_t ascii = static_cast<size_t>(__builtin_ctz(high));
    for (size_t k = 0; k < ascii; ++k) o[k] = in[i + k];
    o += ascii;
    i += ascii;
    const size_t length = static_cast<size_t>(SequenceLength(in[i]));
    const size_t take = length == 0 || length > n - i ? 1 : length;
    o += DecodeUtf8Plain(in + i, take, o);
    i += take;
  }
  return static_cast<size_t>(o - out) + DecodeUtf8Plain(in + i, n - i, o);
}

Encoded EncodeUtf8Sse2(const char16_t* in, size_t n, uint8_t* out) {
  uint8_t* o = out;
  size_t i = 0;
  while (i + 16 <= n) {
    const simd::Units a = simd::Load(in + i);
    const simd::Units b = simd::Load(in + i + 8);
    if (simd::Mask(simd::Below(simd::Or(a, b), 0x80)) == 0xFFFF) {
      simd::StoreBytes(o, _mm_packus_epi16(a, b));
      o += 16;
      i += 16;
      continue;
    }
    // Up to 16 units the plain way, ending where a pair ends.
    const size_t take = IsHighSurrogate(in[i + 15]) ? 17 : 16;
    const Encoded done = EncodeUtf8Plain(in + i, take < n - i ? take : n - i, o);
    o += done.written;
    i += done.read;
    if (done.read < take) break;
  }
  const Encoded rest = EncodeUtf8Plain(in + i, n - i, o);
  return {i + rest.read, static_cast<size_t>(o - out) + rest.written};
}

}  // namespace

const Transcoder kSse2Transcoder = {"SSE2", ValidUtf8Sse2, DecodeUtf8Sse2, EncodeUtf8Sse2};

}  // namespace tobble::lib::transcode
