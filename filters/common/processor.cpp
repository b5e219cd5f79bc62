// Whether this processor runs the conversions' AVX-512 paths. Built for the
// baseline like the rest of the conversions, so that the asking itself runs
// on any processor.
#include "filters/common/processor.h"

#if TOBBLE_AVX512
#include <cpuid.h>

namespace tobble::avx512 {
namespace {

// 0 until the processor is asked, then 1 for the other paths alone, 2 for
// the AVX-512 paths besides.
int choice = 0;

// BW, VL, VBMI, VBMI2 and CD, with BMI2, and a system that saves the 64-byte
// registers (XCR0: x87, SSE, AVX and the three AVX-512 states).
bool HasAvx512() {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || (ecx & bit_OSXSAVE) == 0) return false;
  unsigned xcr0_low, xcr0_high;
  __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  if ((xcr0_low & 0xE7) != 0xE7) return false;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  const unsigned wanted_ebx = bit_AVX512F | bit_AVX512CD | bit_AVX512BW | bit_AVX512VL | bit_BMI2;
  const unsigned wanted_ecx = bit_AVX512VBMI | bit_AVX512VBMI2;
  return (ebx & wanted_ebx) == wanted_ebx && (ecx & wanted_ecx) == wanted_ecx;
}

}  // namespace

bool Use() {
  int chosen = __atomic_load_n(&choice, __ATOMIC_RELAXED);
  if (chosen == 0) {
    chosen = HasAvx512() ? 2 : 1;
    __atomic_store_n(&choice, chosen, __ATOMIC_RELAXED);
  }
  return chosen == 2;
}

bool Choose(bool wanted) {
  const int chosen = wanted && HasAvx512() ? 2 : 1;
  __atomic_store_n(&choice, chosen, __ATOMIC_RELAXED);
  return chosen == 2;
}

}  // namespace tobble::avx512
#endif
