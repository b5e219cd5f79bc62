#include "filters/escape/encode_loops.h"
#include "filters/escape/shuffle_choice.h"

#if TOBBLE_ESCAPE_SHUFFLES
#include <cpuid.h>
#endif

namespace tobble {

template <typename Unit>
Progress EncodeEscapesJScalar(const Unit* in, size_t n, Unit* out, bool last) {
  Unit* o = out;
  size_t i = 0;
  while (i < n) {
    if (!escape::NotAscii::Has(in[i])) {
      *o++ = in[i++];
      continue;
    }
    const size_t read = EscapeUnitsAt(
        in, n, i, last, o, [](Unit* at, char16_t u) { return WriteEscape(at, u'u', u, 4); });
    if (read == 0) break;
    i += read;
  }
  return {i, static_cast<size_t>(o - out)};
}

template <typename Unit>
Progress EncodeEscapesCScalar(const Unit* in, size_t n, Unit* out, bool last) {
  Unit* o = out;
  size_t i = 0;
  while (i < n) {
    if (!escape::NotAscii::Has(in[i])) {
      *o++ = in[i++];
      continue;
    }
    const Character c = CharacterAt(in, n, i, last);
    if (c.units == 0) break;
    o = c.value >= 0x10000 ? WriteEscape(o, u'U', c.value, 8) : WriteEscape(o, u'u', c.value, 4);
    i += c.units;
  }
  return {i, static_cast<size_t>(o - out)};
}

#if TOBBLE_ESCAPE_SHUFFLES
namespace escape {
namespace {

// 0 until the processor is asked, then 1 for the SSE2 loops, 2 for SSSE3's.
int shuffle_choice = 0;

bool HasSsse3() {
  unsigned eax, ebx, ecx, edx;
  return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_SSSE3) != 0;
}

}  // namespace

bool UseShuffles() {
  int choice = __atomic_load_n(&shuffle_choice, __ATOMIC_RELAXED);
  if (choice == 0) {
    choice = HasSsse3() ? 2 : 1;
    __atomic_store_n(&shuffle_choice, choice, __ATOMIC_RELAXED);
  }
  return choice == 2;
}

bool ChooseShuffles(bool wanted) {
  const int choice = wanted && HasSsse3() ? 2 : 1;
  __atomic_store_n(&shuffle_choice, choice, __ATOMIC_RELAXED);
  return choice == 2;
}

}  // namespace escape
#endif

// Where the processor has SSSE3, the loops built for it (encode_ssse3.cpp).
template <typename Unit>
Progress EncodeEscapesJ(const Unit* in, size_t n, Unit* out, bool last) {
#if TOBBLE_ESCAPE_SHUFFLES
  if (escape::UseShuffles()) return escape::EncodeEscapesJShuffled(in, n, out, last);
#endif
  return EncodeJFast(in, n, out, last);
}

template <typename Unit>
Progress EncodeEscapesC(const Unit* in, size_t n, Unit* out, bool last) {
#if TOBBLE_ESCAPE_SHUFFLES
  if (escape::UseShuffles()) return escape::EncodeEscapesCShuffled(in, n, out, last);
#endif
  return EncodeCFast(in, n, out, last);
}

TOBBLE_INSTANTIATE(EncodeEscapesJScalar)
TOBBLE_INSTANTIATE(EncodeEscapesCScalar)
TOBBLE_INSTANTIATE(EncodeEscapesJ)
TOBBLE_INSTANTIATE(EncodeEscapesC)

}  // namespace tobble
