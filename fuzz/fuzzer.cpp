// One libFuzzer target, the one named by TOBBLE_FUZZ_TARGET
// (tests/support/properties.h lists them). Every input is checked for each property of the target;
// a violation ends the run like a crash, so libFuzzer keeps the input as a regression case.
#include <cstdio>
#include <cstdlib>

#include "tests/support/properties.h"

using tobble::testing::Describe;
using tobble::testing::FindFuzzTarget;
using tobble::testing::FuzzTarget;
using tobble::testing::Violation;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const FuzzTarget* const target = FindFuzzTarget(TOBBLE_FUZZ_TARGET);
  if (target == nullptr) {
    std::fprintf(stderr, "no fuzz target \"%s\"\n", TOBBLE_FUZZ_TARGET);
    std::abort();
  }
  const std::vector<Violation> found = target->check(*target, data, size);
  for (const Violation& v : found) {
    std::fprintf(stderr, "property \"%s\" violated: %s\n", Describe(v.property).name,
                 v.message.c_str());
  }
  if (!found.empty()) std::abort();
  return 0;
}
