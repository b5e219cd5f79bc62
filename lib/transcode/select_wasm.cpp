// Which transcoders the WebAssembly build runs: the plain one, and with
// 128-bit SIMD (emscripten maps SSE2 onto it) the SSE2 one. The module
// itself fails to load on an engine without SIMD, so there is nothing to
// ask at run time.
#include "lib/transcode/kernels.h"

namespace tobble::lib {
namespace {

constexpr const Transcoder* kAll[] = {
    &transcode::kPlainTranscoder,
#if defined(__wasm_simd128__) && !defined(TOBBLE_SCALAR_ONLY)
    &transcode::kSse2Transcoder,
#endif
};

}  // namespace

TranscoderList AvailableTranscoders() {
  return {kAll, sizeof(kAll) / sizeof(kAll[0])};
}

const Transcoder& FastestTranscoder() {
  return *kAll[sizeof(kAll) / sizeof(kAll[0]) - 1];
}

}  // namespace tobble::lib
