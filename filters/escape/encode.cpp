#include "filters/escape/encode_loops.h"
#include "filters/escape/shuffle_choice.h"

#if TOBBLE_ESCAPE_SHUFFLES
#include <cpuid.h>
#endif

namespace tobble {

template <typename In, typename Out>
Progress EncodeEscapesJScalar(const In* in, size_t n, Out* out, bool last) {
  Out* o = out;
  size_t i = 0;
  while (i < n) {
    if (!simd::InClass<escape::NotAscii>(in[i])) {
      *o++ = static_cast<Out>(in[i++]);
      continue;
    }
    const size_t read = EscapeUnitsAt(
        in, n, i, last, o, [](Out* at, char16_t u) { return WriteEscape(at, u'u', u, 4); });
    if (read == 0) break;
    i += read;
  }
  return {i, static_cast<size_t>(o - out)};
}

template <typename In, typename Out>
Progress EncodeEscapesCScalar(const In* in, size_t n, Out* out, bool last) {
  Out* o = out;
  size_t i = 0;
  while (i < n) {
    if (!simd::InClass<escape::NotAscii>(in[i])) {
      *o++ = static_cast<Out>(in[i++]);
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
template <typename In, typename Out>
Progress EncodeEscapesJ(const In* in, size_t n, Out* out, bool last) {
#if TOBBLE_ESCAPE_SHUFFLES
  if (escape::UseShuffles()) return escape::EncodeEscapesJShuffled(in, n, out, last);
#endif
  return EncodeJFast(in, n, out, last);
}

template <typename In, typename Out>
Progress EncodeEscapesC(const In* in, size_t n, Out* out, bool last) {
#if TOBBLE_ESCAPE_SHUFFLES
  if (escape::UseShuffles()) return escape::EncodeEscapesCShuffled(in, n, out, last);
#endif
  return EncodeCFast(in, n, out, last);
}

TOBBLE_INSTANTIATE(EncodeEscapesJScalar)
TOBBLE_INSTANTIATE(EncodeEscapesCScalar)
TOBBLE_INSTANTIATE(EncodeEscapesJ)
TOBBLE_INSTANTIATE(EncodeEscapesC)
TOBBLE_INSTANTIATE_ASCII(EncodeEscapesJScalar)
TOBBLE_INSTANTIATE_ASCII(EncodeEscapesCScalar)
TOBBLE_INSTANTIATE_ASCII(EncodeEscapesJ)
TOBBLE_INSTANTIATE_ASCII(EncodeEscapesC)

}  // namespace tobble
