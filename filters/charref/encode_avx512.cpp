// The reference encoders' blocks built for AVX-512 (BW, VL, VBMI, VBMI2 and
// CD): sixteen UTF-16 units a block, made code points in 32-bit lanes (a
// surrogate pair joined in its first lane, its second lane dropped). Each
// code point gets a slot of sixteen bytes, "&#", eight digits and ";" (hex:
// "&#x", eight digits and ";"), or a unit below 0x80 itself in the last of
// those bytes; one byte compress a four slots then keeps the bytes each
// slot writes (no leading zero digits) and packs them for one store. So a
// block goes out in the same few steps whether it holds ASCII, kana or
// emoji, where the SSE2 loops branch on each character's kind and length.
// The compress-and-store follows Clausecker and Lemire, "Transcoding
// Unicode Characters with AVX-512 Instructions" (2023); the digits of four
// decimal places at a time by multiplications that divide exactly are the
// usual ones (Granlund and Montgomery, "Division by Invariant Integers
// using Multiplication", 1994).
#include "filters/charref/encode_avx512.h"

#if TOBBLE_CHARREF_AVX512
#include <immintrin.h>

// GCC 12's AVX-512 headers fill the lanes of an operation without a mask
// from a vector left uninitialized on purpose, which its own warning then
// reports wherever such an operation is inlined; every lane is computed.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace tobble::charref {
namespace {

// The eight decimal digits of each 64-bit lane (below 10^8), most
// significant first, as ASCII bytes of the lane.
__m512i DecimalDigits(__m512i v) {
  // v / 10^4 exactly for v below 4.9 * 10^8: 109951163 = ceil(2^40 / 10^4).
  const __m512i high = _mm512_srli_epi64(_mm512_mul_epu32(v, _mm512_set1_epi64(109951163)), 40);
  const __m512i low = _mm512_sub_epi64(v, _mm512_mul_epu32(high, _mm512_set1_epi64(10000)));
  // Four places in each 32-bit lane, the high ones first in memory.
  const __m512i fours = _mm512_or_si512(high, _mm512_slli_epi64(low, 32));
  // Two places in each 16-bit lane, from values below 10^4 in the low
  // halves of the 32-bit lanes (the high halves stay 0): x / 100 =
  // (x / 4) / 25, and y / 25 exactly for y below 4,681 as the high half of
  // y * 2622.
  const __m512i hundreds = _mm512_mulhi_epu16(_mm512_srli_epi16(fours, 2), _mm512_set1_epi16(2622));
  const __m512i rest =
      _mm512_sub_epi16(fours, _mm512_mullo_epi16(hundreds, _mm512_set1_epi16(100)));
  const __m512i twos = _mm512_or_si512(hundreds, _mm512_slli_epi32(rest, 16));
  // One place in each byte: x / 10 exactly for x below 100.
  const __m512i tens = _mm512_mulhi_epu16(twos, _mm512_set1_epi16(6554));
  const __m512i ones = _mm512_sub_epi16(twos, _mm512_mullo_epi16(tens, _mm512_set1_epi16(10)));
  return _mm512_add_epi8(_mm512_or_si512(tens, _mm512_slli_epi16(ones, 8)), _mm512_set1_epi8('0'));
}

// The eight hex digits of each 64-bit lane's low 32 bits, most significant
// first, lower case.
__m512i HexDigits(__m512i v) {
  // Byte k of a lane takes the bits from 28 - 4k up.
  const __m512i shifts = _mm512_set1_epi64(0x0004080C1014181C);
  const __m512i nibbles =
      _mm512_and_si512(_mm512_multishift_epi64_epi8(shifts, v), _mm512_set1_epi8(0x0F));
  const __m512i digits = _mm512_broadcast_i32x4(_mm_setr_epi8(
      '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'));
  return _mm512_shuffle_epi8(digits, nibbles);
}

// How each kind of reference lays out its slot of sixteen bytes: the
// prefix ("&#" or "&#x"), the eight digits, then ";" or the unit below 0x80.
template <bool kHex>
struct Layout {
  static constexpr unsigned kPrefix = kHex ? 3 : 2;
  static constexpr unsigned kLast = kPrefix + 8;  // the byte after the digits
  // The lane of tails: byte 0 ";" or the unit, then the prefix.
  static constexpr uint64_t kTail = kHex ? 0x7823263B : 0x23263B;
  static constexpr uint64_t kPrefixBytes = kTail & ~uint64_t{0xFF};
  // The largest count of digits a reference has: 1,114,111 and 0x10FFFF.
  static constexpr unsigned kMaxDigits = kHex ? 6 : 7;
};

// Indexes for the byte permute of two vectors, digits (lanes of eight
// bytes) and tails (bit 6 set): slot s of the four takes lane `first + s`.
template <bool kHex>
struct SlotIndexes {
  alignas(64) uint8_t bytes[2][64];
  constexpr SlotIndexes() : bytes() {
    using L = Layout<kHex>;
    for (unsigned half = 0; half < 2; ++half) {
      for (unsigned s = 0; s < 4; ++s) {
        const unsigned lane = 4 * half + s;
        for (unsigned b = 0; b < 16; ++b) {
          uint8_t index = 0;
          if (b < L::kPrefix) {
            index = static_cast<uint8_t>(0x40 | (8 * lane + 1 + b));
          } else if (b < L::kLast) {
            index = static_cast<uint8_t>(8 * lane + b - L::kPrefix);
          } else if (b == L::kLast) {
            index = static_cast<uint8_t>(0x40 | 8 * lane);
          }
          bytes[half][16 * s + b] = index;
        }
      }
    }
  }
};
template <bool kHex>
inline constexpr SlotIndexes<kHex> kSlotIndexes{};

// The bytes a slot writes for each count of digits (1 to kMaxDigits): the
// prefix, the digits, ";"; sixteen bits a slot.
template <bool kHex>
struct SlotBytes {
  alignas(64) uint32_t counts[16];
  constexpr SlotBytes() : counts() {
    using L = Layout<kHex>;
    for (unsigned count = 1; count <= L::kMaxDigits; ++count) {
      counts[count] =
          ((1u << L::kPrefix) - 1) | (((1u << count) - 1) << (L::kLast - count)) | 1u << L::kLast;
    }
  }
};
template <bool kHex>
inline constexpr SlotBytes<kHex> kSlotBytes{};

// The count of digits of each 32-bit lane's value, at least 1.
template <bool kHex>
__m512i DigitCounts(__m512i values) {
  if constexpr (kHex) {
    // (bits + 3) / 4 with bits = 32 - leading zeros; one digit for 0.
    const __m512i zeros = _mm512_lzcnt_epi32(_mm512_or_si512(values, _mm512_set1_epi32(1)));
    return _mm512_srli_epi32(_mm512_sub_epi32(_mm512_set1_epi32(35), zeros), 2);
  } else {
    // g = floor(bits * log10(2)) is the count of digits or one less: one
    // more where the value reaches 10^g.
    alignas(64) static constexpr uint32_t kPowers[16] = {1, 10, 100, 1000, 10000, 100000, 1000000};
    const __m512i zeros = _mm512_lzcnt_epi32(_mm512_or_si512(values, _mm512_set1_epi32(1)));
    const __m512i bits = _mm512_sub_epi32(_mm512_set1_epi32(32), zeros);
    const __m512i g = _mm512_srli_epi32(_mm512_mullo_epi16(bits, _mm512_set1_epi32(1233)), 12);
    const __mmask16 reached =
        _mm512_cmpge_epu32_mask(values, _mm512_permutexvar_epi32(g, _mm512_load_si512(kPowers)));
    return _mm512_mask_add_epi32(g, reached, g, _mm512_set1_epi32(1));
  }
}

// Writes the eight slots of one half block: the code points (as 64-bit
// lanes) and which of them are below 0x80; `keep` holds the bytes each of
// the eight slots writes, sixteen bits a slot.
template <bool kHex>
__attribute__((always_inline)) inline uint8_t* WriteHalf(uint8_t* o, __m512i code_points,
                                                         __mmask8 ascii, __m256i keep) {
  using L = Layout<kHex>;
  const __m512i digits = kHex ? HexDigits(code_points) : DecimalDigits(code_points);
  const __m512i tails =
      _mm512_or_si512(_mm512_set1_epi64(static_cast<int64_t>(L::kPrefixBytes)),
                      _mm512_mask_mov_epi64(_mm512_set1_epi64(';'), ascii, code_points));
  for (unsigned quarter = 0; quarter < 2; ++quarter) {
    const __m512i index =
        _mm512_load_si512(reinterpret_cast<const void*>(kSlotIndexes<kHex>.bytes[quarter]));
    const __m512i slots = _mm512_permutex2var_epi8(digits, index, tails);
    const uint64_t bits = static_cast<uint64_t>(quarter == 0 ? _mm256_extract_epi64(keep, 0)
                                                             : _mm256_extract_epi64(keep, 1));
    _mm512_storeu_si512(reinterpret_cast<void*>(o),
                        _mm512_maskz_compress_epi8(_cvtu64_mask64(bits), slots));
    o += _mm_popcnt_u64(bits);
  }
  return o;
}

template <bool kHex>
size_t WriteBlocks(const char16_t* in, size_t n, size_t p, uint8_t*& out) {
  using L = Layout<kHex>;
  const size_t start = p;
  uint8_t* o = out;
  const __m256i below_ascii = _mm256_set1_epi16(0x80);
  const __m256i surrogate_bits = _mm256_set1_epi16(static_cast<short>(0xFC00));
  const __m512i counts_to_keep = _mm512_load_si512(kSlotBytes<kHex>.counts);
  const __m512i ascii_keep = _mm512_set1_epi32(1 << L::kLast);
  // Sixteen units a block, and the seventeenth for a pair that the last
  // one begins.
  while (n - p >= kAvx512RoomUnits) {
    const __m256i units = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + p));
    const __mmask16 ascii = _mm256_cmplt_epu16_mask(units, below_ascii);
    if (ascii == 0xFFFF) break;  // a run of ASCII, for the caller's copy
    const __mmask16 markup = _mm256_cmpeq_epi16_mask(units, _mm256_set1_epi16('"')) |
                             _mm256_cmpeq_epi16_mask(units, _mm256_set1_epi16('&')) |
                             _mm256_cmpeq_epi16_mask(units, _mm256_set1_epi16('<')) |
                             _mm256_cmpeq_epi16_mask(units, _mm256_set1_epi16('>'));
    if (markup != 0) break;
    const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + p + 1));
    const __mmask16 high = _mm256_cmpeq_epi16_mask(_mm256_and_si256(units, surrogate_bits),
                                                   _mm256_set1_epi16(static_cast<short>(0xD800)));
    const __mmask16 low_next = _mm256_cmpeq_epi16_mask(
        _mm256_and_si256(next, surrogate_bits), _mm256_set1_epi16(static_cast<short>(0xDC00)));
    const unsigned pairs = static_cast<unsigned>(high & low_next);
    // A pair that the last lane begins goes whole into the next block.
    const unsigned taken = pairs >> 15 ? 0x7FFFu : 0xFFFFu;
    const __mmask16 written = static_cast<__mmask16>(taken & ~(pairs << 1));
    // Code points: a pair's is (high << 10) + low - (0xD800 << 10) - 0xDC00
    // + 0x10000.
    const __m512i wide = _mm512_cvtepu16_epi32(units);
    const __m512i joined =
        _mm512_add_epi32(_mm512_add_epi32(_mm512_slli_epi32(wide, 10), _mm512_cvtepu16_epi32(next)),
                         _mm512_set1_epi32(0x10000 - (0xD800 << 10) - 0xDC00));
    const __m512i code_points = _mm512_mask_mov_epi32(wide, static_cast<__mmask16>(pairs), joined);
    // What each slot keeps: the reference's bytes, the unit below 0x80, or
    // nothing (a pair's second lane).
    __m512i keep = _mm512_permutexvar_epi32(DigitCounts<kHex>(code_points), counts_to_keep);
    keep = _mm512_mask_mov_epi32(keep, ascii, ascii_keep);
    keep = _mm512_maskz_mov_epi32(written, keep);
    const __m256i keep16 = _mm512_cvtepi32_epi16(keep);
    o = WriteHalf<kHex>(o, _mm512_cvtepu32_epi64(_mm512_castsi512_si256(code_points)),
                        static_cast<__mmask8>(ascii), keep16);
    o = WriteHalf<kHex>(o, _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(code_points, 1)),
                        static_cast<__mmask8>(ascii >> 8), _mm256_permute4x64_epi64(keep16, 0xEE));
    p += taken == 0xFFFF ? 16 : 15;
  }
  out = o;
  // Every vector register cleared, not only the upper halves: measured on
  // this machine, the SSE2 loops that run next took three times as long
  // after these blocks with the upper halves alone cleared (Japanese from
  // units, 16 MiB: 7.7 ms before, 24.2 after; 7.9 after clearing all).
  _mm256_zeroall();
  return p - start;
}

}  // namespace

size_t WriteDecimalBlocksAvx512(const char16_t* in, size_t n, size_t p, uint8_t*& out) {
  return WriteBlocks<false>(in, n, p, out);
}

size_t WriteHexBlocksAvx512(const char16_t* in, size_t n, size_t p, uint8_t*& out) {
  return WriteBlocks<true>(in, n, p, out);
}

}  // namespace tobble::charref
#endif
