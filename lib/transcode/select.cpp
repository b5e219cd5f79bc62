// Which transcoders this processor runs. Compiled for the baseline like the
// rest of the program, so that the asking itself runs on any processor.
#include "lib/transcode/kernels.h"

namespace tobble::lib {
namespace {

// SSSE3's byte shuffles and SSE4.1's blends and tests.
bool HasSse41() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1");
}

// AVX2, which the compiler's probe reports only where the system also saves
// the 32-byte registers.
bool HasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

// The AVX-512 instructions the transcoder of that name uses, which the
// compiler's probe also reports only where the system saves the 64-byte
// registers, and the bit instructions it uses beside them.
bool HasAvx512() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
         __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2") &&
         __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
}

// Each needs the instructions of the ones before it: the AVX2 and AVX-512
// transcoders encode with SSE4.1's code.
constexpr const Transcoder* kAll[] = {&transcode::kPlainTranscoder, &transcode::kSse2Transcoder,
                                      &transcode::kSse41Transcoder, &transcode::kAvx2Transcoder,
                                      &transcode::kAvx512Transcoder};

}  // namespace

TranscoderList AvailableTranscoders() {
  static const size_t count = !HasSse41() ? 2 : !HasAvx2() ? 3 : !HasAvx512() ? 4 : 5;
  return {kAll, count};
}

const Transcoder& FastestTranscoder() {
  const TranscoderList list = AvailableTranscoders();
  return *list.items[list.size - 1];
}

}  // namespace tobble::lib
