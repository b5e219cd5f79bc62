// untobbleJ's and untobbleC's windows over dense UTF-16 with AVX-512 (BW,
// VL, VBMI, VBMI2 and BMI2). A window's 32 units and the 32 after them are
// narrowed to bytes, where byte permutes look up each one's hex value in a
// table, make bytes of pairs of digits, and put each escape's four digits
// into the 16-bit lane of its backslash (a long escape's other four into
// another vector). Which backslashes begin an escape is a few shifts of the
// masks of backslashes, "u"s (or "U"s) and digits; the escapes' lanes take
// their values, and one compress keeps the lanes that go out (the escapes
// and the plain units, not the units within an escape). A window moves on
// by a constant, and an escape that ends past it hands the units it covers
// on to the next window as a mask, so that the next window's loads wait on
// nothing. The compress follows Clausecker and Lemire, "Transcoding Unicode
// Characters with AVX-512 Instructions" (2023).
#include "filters/escape/decode_avx512.h"

#if TOBBLE_AVX512
#include <immintrin.h>
#include <stdint.h>

// GCC 12's AVX-512 headers fill the lanes of an operation without a mask
// from a vector left uninitialized on purpose, which its own warning then
// reports wherever such an operation is inlined; every lane is computed.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace tobble::escape::avx512 {
namespace {

// Byte permutes: the next byte's (byte q takes byte q + 1); an escape's
// four digits into the 16-bit lane of its backslash (lane p takes the two
// bytes of digits at p + 4 and p + 5 as its low byte, those at p + 2 and
// p + 3 as its high one); a long escape's last four digits (from p + 6 on)
// the same way; and the lane before's (lane p takes lane p - 1).
struct Permutes {
  alignas(64) uint8_t next[64];
  alignas(64) uint8_t digits[64];
  alignas(64) uint8_t long_digits[64];
  alignas(64) uint8_t lane_before[64];
};
constexpr Permutes kPermutes = [] {
  Permutes table{};
  for (int q = 0; q < 64; ++q) table.next[q] = static_cast<uint8_t>((q + 1) % 64);
  for (int p = 0; p < 32; ++p) {
    table.digits[2 * p] = static_cast<uint8_t>(p + 4);
    table.digits[2 * p + 1] = static_cast<uint8_t>(p + 2);
    table.long_digits[2 * p] = static_cast<uint8_t>(p + 8);
    table.long_digits[2 * p + 1] = static_cast<uint8_t>(p + 6);
    table.lane_before[2 * p] = static_cast<uint8_t>((p + 31) % 32);  // 16-bit lane indices
  }
  return table;
}();

__m512i Load64(const uint8_t* bytes) {
  return _mm512_load_si512(reinterpret_cast<const __m512i*>(bytes));
}

// The kUnits units after each start: the starts moved on by kUnits + 1 less
// the starts moved on by one, which sets the bits between. Exact where no
// start lies within the kUnits after another, as no escape begins within
// another. One subtraction, where spreading the bits a step at a time took
// four steps in a row that every window's store waited on (a window took a
// third longer).
template <int kUnits>
uint64_t Following(uint64_t starts) {
  return (starts << (kUnits + 1)) - (starts << 1);
}

template <bool kLongForm>
bool Windows(const char16_t* in, size_t n, size_t& at, char16_t*& out) {
  constexpr size_t kUnits = kWindowUnits;  // 32, the lanes of a vector of units
  constexpr uint64_t kWindow = (1ull << kUnits) - 1;
  // Each ASCII byte's hex value, -1 (bit 7 set) for the bytes that are no
  // hex digit: the decoders' own table.
  const int8_t* hex_values = detail::kHexValues.value;
  const __m512i low_values = _mm512_loadu_si512(hex_values),
                high_values = _mm512_loadu_si512(hex_values + 64);
  const __m512i next_byte = Load64(kPermutes.next), digit_bytes = Load64(kPermutes.digits);
  // Kept in registers: the vector stores may write anything, as the
  // compiler sees them, at and out among it.
  size_t i = at;
  char16_t* o = out;
  uint64_t covered_next = 0;  // the window's first units, within an escape of the last
  // A pair whose escape begins in a window's last unit: its low surrogate
  // goes out first in the next window, in the lane of the "U".
  uint64_t carried = 0;
  short carried_unit = 0;
  while (n - i >= kReadUnits) {
    const __m512i units = _mm512_loadu_si512(in + i);
    // Units from 0x100 up narrow to 0xFF: no unit from 0x80 up reads as a
    // backslash, a letter or a digit.
    const __m512i bytes =
        _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtusepi16_epi8(units)),
                           _mm512_cvtusepi16_epi8(_mm512_loadu_si512(in + i + 32)), 1);
    const uint64_t backslashes =
        _cvtmask64_u64(_mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\\')));
    const uint64_t us = _cvtmask64_u64(_mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('u')));
    const __m512i values = _mm512_permutex2var_epi8(low_values, bytes, high_values);
    const uint64_t digits = ~_cvtmask64_u64(_mm512_movepi8_mask(_mm512_or_si512(values, bytes)));
    // Two digits a byte, the first high: then each backslash's lane holds
    // the value of the four digits two units on.
    const __m512i nibbles = _mm512_and_si512(values, _mm512_set1_epi8(0x0F));
    const __m512i pairs =
        _mm512_or_si512(_mm512_slli_epi16(nibbles, 4), _mm512_permutexvar_epi8(next_byte, nibbles));
    const __m512i decoded = _mm512_permutexvar_epi8(digit_bytes, pairs);
    // Four digits two units on: digits in pairs, then pairs of pairs.
    const uint64_t two_digits = digits & digits >> 1;
    const uint64_t four_digits = (two_digits & two_digits >> 2) >> 2;
    const uint64_t zero = _cvtmask32_u32(_mm512_testn_epi16_mask(decoded, decoded));
    const uint64_t short_starts = backslashes & us >> 1 & four_digits & ~zero & kWindow;
    __m512i lanes = _mm512_mask_blend_epi16(static_cast<__mmask32>(short_starts), units, decoded);
    uint64_t starts = short_starts, covered = Following<5>(short_starts), low_surrogates = 0;
    uint64_t carry = 0;
    short carry_unit = 0;
    const uint64_t big_us =
        kLongForm ? _cvtmask64_u64(_mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('U'))) : 0;
    // Long escapes are worked out only in the windows that hold a "\U":
    // that takes twice as long.
    if (kLongForm && (backslashes & big_us >> 1 & kWindow) != 0) {
      // A long escape's value: its first four digits (in decoded) above its
      // last four.
      const __m512i low = _mm512_permutexvar_epi8(Load64(kPermutes.long_digits), pairs);
      const uint64_t low_zero = _cvtmask32_u32(_mm512_testn_epi16_mask(low, low));
      const uint64_t planes =
          _cvtmask32_u32(_mm512_cmple_epu16_mask(decoded, _mm512_set1_epi16(0x10)));
      const uint64_t long_starts = backslashes & big_us >> 1 & four_digits & four_digits >> 4 &
                                   planes & ~(zero & low_zero) & kWindow;
      // Above 0xFFFF a pair: its high surrogate in the escape's lane, its
      // low one in the next (the lane of the "U").
      const uint64_t astral = long_starts & ~zero;
      const __m512i high_surrogate = _mm512_add_epi16(
          _mm512_set1_epi16(static_cast<short>(0xD7C0)),
          _mm512_or_si512(_mm512_slli_epi16(decoded, 6), _mm512_srli_epi16(low, 10)));
      const __m512i low_surrogate = _mm512_ternarylogic_epi32(
          low, _mm512_set1_epi16(0x3FF), _mm512_set1_epi16(static_cast<short>(0xDC00)), 0xEA);
      lanes = _mm512_mask_blend_epi16(static_cast<__mmask32>(long_starts & zero), lanes, low);
      lanes = _mm512_mask_blend_epi16(static_cast<__mmask32>(astral), lanes, high_surrogate);
      lanes = _mm512_mask_blend_epi16(
          static_cast<__mmask32>(astral << 1), lanes,
          _mm512_permutexvar_epi16(Load64(kPermutes.lane_before), low_surrogate));
      starts |= long_starts;
      covered |= Following<9>(long_starts);
      low_surrogates = astral << 1 & kWindow;
      carry = astral >> (kUnits - 1);
      carry_unit =
          static_cast<short>(_mm_extract_epi16(_mm512_extracti32x4_epi32(low_surrogate, 3), 7));
    }
    if constexpr (kLongForm) {
      lanes = _mm512_mask_set1_epi16(lanes, static_cast<__mmask32>(carried), carried_unit);
    }
    covered |= covered_next;
    uint64_t kept = ((starts | ~covered) & kWindow) | low_surrogates | carried;
    // A backslash that begins no escape ends the windows before it; no
    // backslash lies within an escape.
    const uint64_t others = backslashes & ~starts & kWindow;
    if (others != 0) kept &= (1ull << __builtin_ctzll(others)) - 1;
    _mm512_storeu_si512(o, _mm512_maskz_compress_epi16(static_cast<__mmask32>(kept), lanes));
    o += __builtin_popcountll(kept);
    if (others != 0) {
      i += static_cast<size_t>(__builtin_ctzll(others));
      covered_next = 0;
      carried = 0;
      break;
    }
    i += kUnits;
    covered_next = covered >> kUnits;
    carried = carry;
    carried_unit = carry_unit;
    if (starts == 0) break;
  }
  if (carried != 0) *o++ = static_cast<char16_t>(carried_unit);
  // An escape that ended past the last window: the units it covers there.
  i += static_cast<size_t>(__builtin_ctzll(~covered_next));
  const bool read = i != at;
  at = i;
  out = o;
  return read;
}

}  // namespace

bool ReadEscapeWindows(const char16_t* in, size_t n, size_t& at, char16_t*& out, bool long_form) {
  return long_form ? Windows<true>(in, n, at, out) : Windows<false>(in, n, at, out);
}

}  // namespace tobble::escape::avx512
#endif
