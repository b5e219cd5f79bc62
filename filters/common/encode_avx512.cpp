// The encoders' blocks built for AVX-512 (BW, VL, VBMI, VBMI2 and CD), from
// UTF-16 units or code points into bytes: sixteen a block, made code points
// in 32-bit lanes (a surrogate pair joined in its first lane, its second
// lane dropped). Each code point gets a slot of sixteen bytes: its prefix
// ("&#", "&#x", "\u" or "\U"), eight digits and the byte after them (";", or
// the code point itself where it is below 0x80). One byte compress a four slots
// keeps the bytes each slot writes (no leading zero digits, no prefix for a
// unit below 0x80) and packs them for one store. So a block goes out in the
// same few steps whether it holds ASCII, kana or emoji, where the SSE2 and
// SSSE3 loops branch on each character's kind and length.
// The compress-and-store follows Clausecker and Lemire, "Transcoding
// Unicode Characters with AVX-512 Instructions" (2023); the digits of four
// decimal places at a time by multiplications that divide exactly are the
// usual ones (Granlund and Montgomery, "Division by Invariant Integers
// using Multiplication", 1994).
#include "filters/common/encode_avx512.h"

#if TOBBLE_AVX512_BLOCKS
#include <immintrin.h>

// GCC 12's AVX-512 headers fill the lanes of an operation without a mask
// from a vector left uninitialized on purpose, which its own warning then
// reports wherever such an operation is inlined; every lane is computed.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace tobble::avx512 {
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

// The formats: how each lays out a slot of sixteen bytes (its prefix, the
// eight digits, then the byte after them), which bytes of a slot a code
// point from 0x80 up writes, and which units stop the blocks.
//
// A lane of tails holds byte 0, the byte after the digits (";" or the code
// point below 0x80), then the prefix.
template <typename Format>
__m512i Tails(__m512i code_points, __mmask8 ascii) {
  return _mm512_or_si512(
      Format::Prefixes(code_points),
      _mm512_mask_mov_epi64(_mm512_set1_epi64(Format::kAfterDigits), ascii, code_points));
}

// Decimal references: "&#", the digits without leading zeros, ";".
struct DecimalReferences {
  static constexpr unsigned kPrefix = 2;
  static constexpr int64_t kAfterDigits = ';';
  static constexpr bool kStopsAtMarkup = true;
  static __m512i Prefixes(__m512i) { return _mm512_set1_epi64(0x232600); }
  static __m512i Digits(__m512i code_points) { return DecimalDigits(code_points); }
  // The slot's bytes for each count of digits (1 to 7, up to 1,114,111).
  static __m512i Written(__m512i values);
};

// Hex references: "&#x", the lower-case digits without leading zeros, ";".
struct HexReferences {
  static constexpr unsigned kPrefix = 3;
  static constexpr int64_t kAfterDigits = ';';
  static constexpr bool kStopsAtMarkup = true;
  static __m512i Prefixes(__m512i) { return _mm512_set1_epi64(0x78232600); }
  static __m512i Digits(__m512i code_points) { return HexDigits(code_points); }
  static __m512i Written(__m512i values);
};

// tobbleC's escapes: "\u" and four lower-case hex digits, or "\U" and eight
// above U+FFFF; nothing after them.
struct CEscapes {
  static constexpr unsigned kPrefix = 2;
  static constexpr int64_t kAfterDigits = 0;
  static constexpr bool kStopsAtMarkup = false;
  static __m512i Prefixes(__m512i code_points) {
    const __mmask8 above = _mm512_cmpge_epu64_mask(code_points, _mm512_set1_epi64(0x10000));
    return _mm512_mask_mov_epi64(_mm512_set1_epi64(0x755C00), above, _mm512_set1_epi64(0x555C00));
  }
  static __m512i Digits(__m512i code_points) { return HexDigits(code_points); }
  static __m512i Written(__m512i values) {
    const __mmask16 above = _mm512_cmpge_epu32_mask(values, _mm512_set1_epi32(0x10000));
    return _mm512_mask_mov_epi32(_mm512_set1_epi32(0x3C3), above, _mm512_set1_epi32(0x3FF));
  }
};

template <typename Format>
inline constexpr unsigned kLast = Format::kPrefix + 8;  // the byte after the digits

// Indexes for the byte permute of two vectors, digits (lanes of eight
// bytes) and tails (bit 6 set): slot s of the four takes lane `first + s`.
template <typename Format>
struct SlotIndexes {
  alignas(64) uint8_t bytes[2][64];
  constexpr SlotIndexes() : bytes() {
    for (unsigned half = 0; half < 2; ++half) {
      for (unsigned s = 0; s < 4; ++s) {
        const unsigned lane = 4 * half + s;
        for (unsigned b = 0; b < 16; ++b) {
          uint8_t index = 0;
          if (b < Format::kPrefix) {
            index = static_cast<uint8_t>(0x40 | (8 * lane + 1 + b));
          } else if (b < kLast<Format>) {
            index = static_cast<uint8_t>(8 * lane + b - Format::kPrefix);
          } else if (b == kLast<Format>) {
            index = static_cast<uint8_t>(0x40 | 8 * lane);
          }
          bytes[half][16 * s + b] = index;
        }
      }
    }
  }
};
template <typename Format>
inline constexpr SlotIndexes<Format> kSlotIndexes{};

// A reference's bytes for each count of digits (1 to 7): the prefix, the
// digits, ";"; sixteen bits a slot.
template <typename Format>
struct ReferenceBytes {
  alignas(64) uint32_t counts[16];
  constexpr ReferenceBytes() : counts() {
    for (unsigned count = 1; count <= 7; ++count) {
      counts[count] = ((1u << Format::kPrefix) - 1) |
                      (((1u << count) - 1) << (kLast<Format> - count)) | 1u << kLast<Format>;
    }
  }
};
template <typename Format>
inline constexpr ReferenceBytes<Format> kReferenceBytes{};

__m512i HexReferences::Written(__m512i values) {
  // (bits + 3) / 4 digits with bits = 32 - leading zeros; one digit for 0.
  const __m512i zeros = _mm512_lzcnt_epi32(_mm512_or_si512(values, _mm512_set1_epi32(1)));
  const __m512i counts = _mm512_srli_epi32(_mm512_sub_epi32(_mm512_set1_epi32(35), zeros), 2);
  return _mm512_permutexvar_epi32(counts, _mm512_load_si512(kReferenceBytes<HexReferences>.counts));
}

__m512i DecimalReferences::Written(__m512i values) {
  // g = floor(bits * log10(2)) is the count of digits or one less: one
  // more where the value reaches 10^g.
  alignas(64) static constexpr uint32_t kPowers[16] = {1, 10, 100, 1000, 10000, 100000, 1000000};
  const __m512i zeros = _mm512_lzcnt_epi32(_mm512_or_si512(values, _mm512_set1_epi32(1)));
  const __m512i bits = _mm512_sub_epi32(_mm512_set1_epi32(32), zeros);
  const __m512i g = _mm512_srli_epi32(_mm512_mullo_epi16(bits, _mm512_set1_epi32(1233)), 12);
  const __mmask16 reached =
      _mm512_cmpge_epu32_mask(values, _mm512_permutexvar_epi32(g, _mm512_load_si512(kPowers)));
  const __m512i counts = _mm512_mask_add_epi32(g, reached, g, _mm512_set1_epi32(1));
  return _mm512_permutexvar_epi32(counts,
                                  _mm512_load_si512(kReferenceBytes<DecimalReferences>.counts));
}

// Writes the eight slots of one half block: the code points (as 64-bit
// lanes) and which of them are below 0x80; `keep` holds the bytes each of
// the eight slots writes, sixteen bits a slot.
template <typename Format>
__attribute__((always_inline)) inline uint8_t* WriteHalf(uint8_t* o, __m512i code_points,
                                                         __mmask8 ascii, __m256i keep) {
  const __m512i digits = Format::Digits(code_points);
  const __m512i tails = Tails<Format>(code_points, ascii);
  for (unsigned quarter = 0; quarter < 2; ++quarter) {
    const __m512i index =
        _mm512_load_si512(reinterpret_cast<const void*>(kSlotIndexes<Format>.bytes[quarter]));
    const __m512i slots = _mm512_permutex2var_epi8(digits, index, tails);
    const uint64_t bits = static_cast<uint64_t>(quarter == 0 ? _mm256_extract_epi64(keep, 0)
                                                             : _mm256_extract_epi64(keep, 1));
    _mm512_storeu_si512(reinterpret_cast<void*>(o),
                        _mm512_maskz_compress_epi8(_cvtu64_mask64(bits), slots));
    o += _mm_popcnt_u64(bits);
  }
  return o;
}

// Sixteen units from `in` as 32-bit lanes, and the masks of those below
// 0x80, of the markup characters (" & < >), of the high surrogates and of the
// low ones; the same for sixteen code points (a str's four-byte storage),
// where a surrogate is a code point of its own, which a pair of them joins as
// in UTF-16.
struct Lanes {
  __m512i wide;
  __mmask16 ascii, markup, high, low;
};
inline Lanes LoadLanes(const char16_t* in) {
  const __m256i units = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
  const __m256i surrogate_bits =
      _mm256_and_si256(units, _mm256_set1_epi16(static_cast<short>(0xFC00)));
  return {_mm512_cvtepu16_epi32(units), _mm256_cmplt_epu16_mask(units, _mm256_set1_epi16(0x80)),
          static_cast<__mmask16>(_mm256_cmpeq_epi16_mask(units, _mm256_set1_epi16('"')) |
                                 _mm256_cmpeq_epi16_mask(units, _mm256_set1_epi16('&')) |
                                 _mm256_cmpeq_epi16_mask(units, _mm256_set1_epi16('<')) |
                                 _mm256_cmpeq_epi16_mask(units, _mm256_set1_epi16('>'))),
          _mm256_cmpeq_epi16_mask(surrogate_bits, _mm256_set1_epi16(static_cast<short>(0xD800))),
          _mm256_cmpeq_epi16_mask(surrogate_bits, _mm256_set1_epi16(static_cast<short>(0xDC00)))};
}
inline Lanes LoadLanes(const char32_t* in) {
  const __m512i wide = _mm512_loadu_si512(reinterpret_cast<const void*>(in));
  const __m512i surrogate_bits =
      _mm512_and_si512(wide, _mm512_set1_epi32(static_cast<int>(0xFFFFFC00)));
  return {wide, _mm512_cmplt_epu32_mask(wide, _mm512_set1_epi32(0x80)),
          static_cast<__mmask16>(_mm512_cmpeq_epi32_mask(wide, _mm512_set1_epi32('"')) |
                                 _mm512_cmpeq_epi32_mask(wide, _mm512_set1_epi32('&')) |
                                 _mm512_cmpeq_epi32_mask(wide, _mm512_set1_epi32('<')) |
                                 _mm512_cmpeq_epi32_mask(wide, _mm512_set1_epi32('>'))),
          _mm512_cmpeq_epi32_mask(surrogate_bits, _mm512_set1_epi32(0xD800)),
          _mm512_cmpeq_epi32_mask(surrogate_bits, _mm512_set1_epi32(0xDC00))};
}

template <typename Format, typename In>
size_t WriteBlocks(const In* in, size_t n, size_t p, uint8_t*& out) {
  const size_t start = p;
  uint8_t* o = out;
  const __m512i ascii_keep = _mm512_set1_epi32(1 << kLast<Format>);
  // Sixteen units a block, and the seventeenth for a pair that the last
  // one begins.
  while (n - p >= kRoomUnits) {
    const Lanes lanes = LoadLanes(in + p);
    const __mmask16 ascii = lanes.ascii;
    if (ascii == 0xFFFF) break;  // a run of ASCII, for the caller's copy
    if (Format::kStopsAtMarkup && lanes.markup != 0) break;
    const Lanes next = LoadLanes(in + p + 1);
    const unsigned pairs = static_cast<unsigned>(lanes.high & next.low);
    // A pair that the last lane begins goes whole into the next block.
    const unsigned taken = pairs >> 15 ? 0x7FFFu : 0xFFFFu;
    const __mmask16 written = static_cast<__mmask16>(taken & ~(pairs << 1));
    // Code points: a pair's is (high << 10) + low - (0xD800 << 10) - 0xDC00
    // + 0x10000.
    const __m512i wide = lanes.wide;
    const __m512i joined =
        _mm512_add_epi32(_mm512_add_epi32(_mm512_slli_epi32(wide, 10), next.wide),
                         _mm512_set1_epi32(0x10000 - (0xD800 << 10) - 0xDC00));
    const __m512i code_points = _mm512_mask_mov_epi32(wide, static_cast<__mmask16>(pairs), joined);
    // What each slot keeps: the escape's bytes, the unit below 0x80, or
    // nothing (a pair's second lane).
    __m512i keep = Format::Written(code_points);
    keep = _mm512_mask_mov_epi32(keep, ascii, ascii_keep);
    keep = _mm512_maskz_mov_epi32(written, keep);
    const __m256i keep16 = _mm512_cvtepi32_epi16(keep);
    o = WriteHalf<Format>(o, _mm512_cvtepu32_epi64(_mm512_castsi512_si256(code_points)),
                          static_cast<__mmask8>(ascii), keep16);
    o = WriteHalf<Format>(o, _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(code_points, 1)),
                          static_cast<__mmask8>(ascii >> 8),
                          _mm256_permute4x64_epi64(keep16, 0xEE));
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

#define TOBBLE_AVX512_WRITERS(In)                                                  \
  size_t WriteDecimalReferences(const In* in, size_t n, size_t p, uint8_t*& out) { \
    return WriteBlocks<DecimalReferences>(in, n, p, out);                          \
  }                                                                                \
  size_t WriteHexReferences(const In* in, size_t n, size_t p, uint8_t*& out) {     \
    return WriteBlocks<HexReferences>(in, n, p, out);                              \
  }                                                                                \
  size_t WriteCEscapes(const In* in, size_t n, size_t p, uint8_t*& out) {          \
    return WriteBlocks<CEscapes>(in, n, p, out);                                   \
  }
TOBBLE_AVX512_WRITERS(char16_t)
TOBBLE_AVX512_WRITERS(char32_t)
#undef TOBBLE_AVX512_WRITERS

}  // namespace tobble::avx512
#endif
