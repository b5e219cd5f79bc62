// The SSE2 transcoder, for every x86-64 processor: runs of ASCII sixteen
// bytes or units at a time, everything else as the plain transcoder does it,
// a stretch of bytes to a call (one call a sequence took twice the plain
// transcoder's time on Japanese text).
// Compiled with -msse2.
#include "filters/common/simd.h"
#include "filters/common/surrogate.h"
#include "lib/transcode/kernels.h"

namespace tobble::lib::transcode {
namespace {

// Past a byte from 0x80 up the plain way takes this many bytes at a call,
// less what it takes to end between sequences: non-ASCII text seldom has
// runs of ASCII long enough to pay for looking.
constexpr size_t kPlainStretch = 512;

// Where the stretch from in[i] ends between sequences: before the lead of
// the sequence that its end would cut, or at its end. (A stretch that ends
// in more continuation bytes than a sequence has is no valid UTF-8, and is
// cut anywhere.)
size_t WholeSequencesEnd(const uint8_t* in, size_t i) {
  size_t end = i + kPlainStretch;
  while (end > i + kPlainStretch - 4 && utf8::IsContinuation(in[end])) --end;
  return end;
}

size_t ValidUtf8Sse2(const uint8_t* in, size_t n) {
  size_t i = 0;
  // Runs of ASCII sixteen bytes at a time; a block with other bytes, up to
  // a lead byte, the plain way in one call.
  while (i + kPlainStretch + 1 <= n) {
    const unsigned high = simd::Mask(simd::LoadBytes(in + i));
    if (high == 0) {
      i += 16;
      continue;
    }
    const size_t end = WholeSequencesEnd(in, i);
    if (ValidUtf8Plain(in + i, end - i) != end - i) break;
    i = end;
  }
  return i + ValidUtf8Plain(in + i, n - i);
}

size_t DecodeUtf8Sse2(const uint8_t* in, size_t n, char16_t* out) {
  char16_t* o = out;
  size_t i = 0;
  while (i + kPlainStretch + 1 <= n) {
    const simd::Units v = simd::LoadBytes(in + i);
    if (simd::Mask(v) == 0) {
      simd::Store(o, simd::WidenLow(v));
      simd::Store(o + 8, simd::WidenHigh(v));
      o += 16;
      i += 16;
      continue;
    }
    const size_t end = WholeSequencesEnd(in, i);
    o += DecodeUtf8Plain(in + i, end - i, o);
    i = end;
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
