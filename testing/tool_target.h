// The fuzz target of the command-line tool's pipeline (cli/stream.h) on raw
// input bytes: the InputValidator of every transcoder the processor runs,
// then its StreamConverter fed in pieces through buffers of a few dozen units
// and bytes, each held to a plain reading of the bytes written here, apart
// from the tool's own UTF-8 code.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "lib/stream.h"
#include "lib/transcode.h"
#include "testing/properties.h"

namespace tobble::testing {

// How one input goes through the pipeline.
struct ToolRun {
  const Filter* filter;
  cli::Encoding encoding;
  size_t piece_bytes;      // the pieces the bytes are checked and fed in
  cli::StreamSizes sizes;  // the converter's slice and output block
};

// Checks the validator and the converter with each of the transcoders on the
// bytes: the verdict and error offset against the plain check; for valid
// bytes the output against the plain decoding, the filter's `scalar` version
// and the plain encoding; for invalid bytes the same with one U+FFFD for each
// byte that begins no whole valid sequence.
std::vector<Violation> CheckTool(const ToolRun& run, const std::string& bytes,
                                 const std::vector<const cli::Transcoder*>& transcoders);

// The tool's row in FuzzTargets(): its input is a header of four bytes
// (filter and encoding, piece size, slice, output block), then the bytes.
FuzzTarget MakeToolTarget();

}  // namespace tobble::testing
