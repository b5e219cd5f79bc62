// The fuzz target of the library's stream (lib/stream.h) on raw input bytes,
// as the tool uses it: every transcoder the processor runs, strict and
// replace modes, UTF-8, UTF-16LE and UTF-16BE, fed in pieces through buffers
// of a few dozen units and bytes, each held to a plain reading of the bytes
// written here, apart from the library's own UTF-8 code.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "lib/stream.h"
#include "lib/transcode.h"
#include "tests/support/properties.h"

namespace tobble::testing {

// How one input goes through the stream.
struct ByteStreamRun {
  const Filter* filter;
  lib::Encoding encoding;
  size_t piece_bytes;      // the pieces the bytes are fed in
  lib::StreamSizes sizes;  // the converter's slice and output block
};

// Checks the stream with each of the transcoders on the bytes, in strict and
// in replace mode: the verdict and error offset against the plain check;
// the output of strict mode against the plain decoding of the valid prefix,
// the filter's `scalar` version on it and the plain encoding; the output of
// replace mode the same way on the whole input, with one U+FFFD for each
// maximal subpart of an ill-formed sequence.
std::vector<Violation> CheckByteStream(const ByteStreamRun& run, const std::string& bytes,
                                       const std::vector<const lib::Transcoder*>& transcoders);

// What a stream with the filter writes for the whole of `bytes` in the
// encoding, finished, by the plain model: the bytes read by the reference
// codec, the filter's `scalar` version on all the units at once, the units
// written again. Strict mode converts the units before the first invalid part
// and reports its offset; replace mode puts U+FFFD for each invalid part.
struct PlainStream {
  std::string bytes;
  uint64_t replaced_surrogates = 0;  // lone surrogates written as U+FFFD
  uint64_t replaced_input = 0;       // U+FFFD for invalid input (replace mode)
  bool valid = true;
  uint64_t error_offset = 0;  // of the first invalid part (strict mode)
};
PlainStream StreamPlainly(const Filter& filter, lib::Encoding encoding, bool replace,
                          const std::string& bytes);

// The byte stream's row in FuzzTargets(): its input is a header of four bytes
// (filter and encoding, piece size, slice, output block), then the bytes.
FuzzTarget MakeByteStreamTarget();

}  // namespace tobble::testing
