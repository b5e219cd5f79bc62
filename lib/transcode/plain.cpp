// The plain transcoder: one sequence or unit at a time, on any processor.
// The tests hold every vector transcoder to it.
#include "filters/common/surrogate.h"
#include "lib/transcode/kernels.h"

namespace tobble::lib::transcode {
namespace {

using utf8::DecodeSequence;
using utf8::IsContinuation;
using utf8::SecondByteRange;
using utf8::SequenceLength;
using utf8::WriteUtf8;

// Whether the second byte of a sequence fits its lead byte.
constexpr bool FitsLead(uint8_t lead, uint8_t second) {
  uint8_t low = 0, high = 0;
  SecondByteRange(lead, &low, &high);
  return second >= low && second <= high;
}

}  // namespace

size_t ValidUtf8Plain(const uint8_t* in, size_t n) {
  size_t i = 0;
  while (i < n) {
    const uint8_t lead = in[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    const size_t length = static_cast<size_t>(SequenceLength(lead));
    if (length == 0 || length > n - i || !FitsLead(lead, in[i + 1])) return i;
    for (size_t k = 2; k < length; ++k) {
      if (!IsContinuation(in[i + k])) return i;
    }
    i += length;
  }
  return n;
}

size_t ValidUtf8From(const uint8_t* in, size_t n, size_t checked) {
  size_t start = checked;
  if (start > 0) {
    --start;
    while (start > 0 && IsContinuation(in[start])) --start;
  }
  return start + ValidUtf8Plain(in + start, n - start);
}

size_t DecodeUtf8Plain(const uint8_t* in, size_t n, char16_t* out) {
  char16_t* o = out;
  for (size_t i = 0; i < n;) {
    const uint8_t lead = in[i];
    const size_t length = static_cast<size_t>(SequenceLength(lead));
    if (length == 1) {
      *o++ = lead;
      ++i;
    } else if (length == 0 || length > n - i) {  // not valid UTF-8: never read beyond
      *o++ = 0xFFFD;
      ++i;
    } else {
      o = WriteCodePoint(o, DecodeSequence(in + i, static_cast<int>(length)));
      i += length;
    }
  }
  return static_cast<size_t>(o - out);
}

Encoded EncodeUtf8Plain(const char16_t* in, size_t n, uint8_t* out) {
  uint8_t* o = out;
  size_t i = 0;
  while (i < n) {
    const char16_t u = in[i];
    if (IsHighSurrogate(u)) {
      if (i + 1 == n || !IsLowSurrogate(in[i + 1])) break;
      o = WriteUtf8(o, CombineSurrogates(u, in[i + 1]));
      i += 2;
    } else if (IsLowSurrogate(u)) {
      break;
    } else {
      o = WriteUtf8(o, u);
      ++i;
    }
  }
  return {i, static_cast<size_t>(o - out)};
}

const Transcoder kPlainTranscoder = {"plain", ValidUtf8Plain, DecodeUtf8Plain, EncodeUtf8Plain};

}  // namespace tobble::lib::transcode
