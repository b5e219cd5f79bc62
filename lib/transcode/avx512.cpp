// The AVX-512 transcoder, for processors with AVX-512 BW, VL, VBMI and
// VBMI2, BMI2 and POPCNT (Intel's since about 2019, AMD's since 2022): the
// UTF-8 check 64 bytes at a time, and decoding 32 bytes a block into 16-bit
// lanes that one compress instruction packs; encoding is SSE4.1's. Compiled
// with those instructions; select.cpp calls it only where the processor has
// them and the system keeps the 64-byte registers. On Windows its aligned
// vector moves are assembled as unaligned ones, as avx2.cpp explains.
#include <immintrin.h>

#include "lib/transcode/kernels.h"
#include "lib/transcode/utf8_check.h"

namespace tobble::lib::transcode {
namespace {

// The vector operations the UTF-8 check (utf8_check.h) runs on: 64 bytes a
// vector, its four 16-byte lanes looking up the same tables.
struct Avx512 {
  using Vector = __m512i;
  static constexpr size_t kBytes = 64;
  static Vector Load(const uint8_t* p) { return _mm512_loadu_si512(p); }
  static Vector Zero() { return _mm512_setzero_si512(); }
  static Vector Splat(uint8_t b) { return _mm512_set1_epi8(static_cast<char>(b)); }
  static Vector And(Vector a, Vector b) { return _mm512_and_si512(a, b); }
  static Vector Or(Vector a, Vector b) { return _mm512_or_si512(a, b); }
  static Vector Xor(Vector a, Vector b) { return _mm512_xor_si512(a, b); }
  static Vector SubtractSaturated(Vector a, Vector b) { return _mm512_subs_epu8(a, b); }
  static Vector HighNibbles(Vector v) { return And(_mm512_srli_epi16(v, 4), Splat(0x0F)); }
  static Vector LowNibbles(Vector v) { return And(v, Splat(0x0F)); }
  static Vector Lookup(const uint8_t* table, Vector index) {
    return _mm512_shuffle_epi8(_mm512_maskz_broadcast_i32x4(
                                   0xFFFF, _mm_load_si128(reinterpret_cast<const __m128i*>(table))),
                               index);
  }
  // The 64 bytes that end N bytes before the end of `input`: one byte
  // permute across both vectors.
  template <int N>
  static Vector Previous(Vector input, Vector before) {
    alignas(64) static constexpr struct Indexes {
      uint8_t at[64];
      constexpr Indexes() : at() {
        for (int j = 0; j < 64; ++j) at[j] = static_cast<uint8_t>(j < N ? 64 - N + j : 64 + j - N);
      }
    } kIndexes;
    return _mm512_permutex2var_epi8(before, _mm512_load_si512(kIndexes.at), input);
  }
  static bool AnyHigh(Vector v) { return _mm512_movepi8_mask(v) != 0; }
  static bool IsZero(Vector v) { return _mm512_test_epi64_mask(v, v) == 0; }
  // Only the last sixteen bytes matter for a sequence cut at the block's end.
  static Vector LastComplete() {
    return _mm512_inserti32x4(
        Splat(0xFF), _mm_load_si128(reinterpret_cast<const __m128i*>(utf8_check::kLastComplete)),
        3);
  }
};

size_t ValidUtf8Avx512(const uint8_t* in, size_t n) {
  const size_t checked = utf8_check::ValidBlocks<Avx512>(in, n);
  // Clean upper halves, or the SSE code that runs next pays for them.
  _mm256_zeroupper();
  return ValidUtf8From(in, n, checked);
}

// For the lanes of `mask`, `value`; zero elsewhere.
inline __m512i Where(__mmask32 mask, __m512i value) {
  return _mm512_maskz_mov_epi16(mask, value);
}

inline __m512i Splat16(int v) {
  return _mm512_set1_epi16(static_cast<short>(v));
}

// Decoding as avx2.cpp decodes, without branches on the sequence lengths:
// every byte that ends a code point computes that code point from itself
// and the bytes before it that continue it, here in 32 16-bit lanes for the
// 32 bytes of a block, and the ends are packed together by one compress.
// Where a four-byte sequence touches the block, each end makes a lane pair,
// its unit and a low surrogate, and the compress keeps the second of the
// pair only where a four-byte sequence ends. The stores write exactly the
// units packed. Packing with the compress instruction follows Robert
// Clausecker and Daniel Lemire, "Transcoding Unicode Characters with AVX-512
// Instructions", Software: Practice and Experience, 2023.
size_t DecodeUtf8Avx512(const uint8_t* in, size_t n, char16_t* out) {
  char16_t* o = out;
  size_t i = 0;
  // Every byte before `done` is decoded: the code point that holds byte i
  // may have begun in the block before.
  size_t done = 0;
  // The block before, as far as a code point that ends in this one reaches
  // back; ASCII before the start.
  __m256i before = _mm256_setzero_si256();
  const __m256i continuation_below = _mm256_set1_epi8(static_cast<char>(0xC0));  // signed
  const __m256i four_lead = _mm256_set1_epi8(static_cast<char>(0xF0));
  // Lane 2k of the first half of the pairs is unit k, lane 2k + 1 the low
  // surrogate of unit k; the second half holds units 16 to 31 alike.
  alignas(64) static constexpr struct PairIndexes {
    uint16_t first[32], second[32];
    constexpr PairIndexes() : first(), second() {
      for (int j = 0; j < 32; ++j) {
        first[j] = static_cast<uint16_t>(j / 2 + (j % 2 != 0 ? 32 : 0));
        second[j] = static_cast<uint16_t>(16 + j / 2 + (j % 2 != 0 ? 32 : 0));
      }
    }
  } kPairIndexes;
  // A block reads the byte after its 32.
  while (i + 33 <= n) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    const __m512i own = _mm512_cvtepu8_epi16(v);
    if (_mm256_movemask_epi8(v) == 0) {
      _mm512_storeu_si512(o, own);
      o += 32;
      i += 32;
      done = i;
      before = v;
      continue;
    }
    const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + 1));
    const __mmask32 ends = ~_mm256_cmpgt_epi8_mask(continuation_below, next);
    // The 32 bytes that end 1, 2 and 3 bytes before the block's end.
    const __m256i carried = _mm256_permute2x128_si256(before, v, 0x21);
    const __m256i prev1 = _mm256_alignr_epi8(v, carried, 15);
    const __m256i prev2 = _mm256_alignr_epi8(v, carried, 14);
    const __m256i prev3 = _mm256_alignr_epi8(v, carried, 13);
    const __mmask32 cont = _mm256_cmpgt_epi8_mask(continuation_below, v);
    const __mmask32 cont1 = _mm256_cmpgt_epi8_mask(continuation_below, prev1);
    const __mmask32 cont2 = _mm256_cmpgt_epi8_mask(continuation_below, prev2);
    // The byte's own bits; the six of the byte before (a two-byte lead has
    // five and a zero sixth) when this one is a continuation; the low four of
    // the one before that, which the shift keeps, when the byte before is one
    // too. For three bytes or fewer that is the code point; for four, its low
    // 16 bits.
    const __m512i second = _mm512_cvtepu8_epi16(prev1);
    const __m512i third = _mm512_cvtepu8_epi16(prev2);
    const __m512i code_points = _mm512_or_si512(
        _mm512_and_si512(own, Splat16(0x7F)),
        _mm512_or_si512(Where(cont, _mm512_slli_epi16(_mm512_and_si512(second, Splat16(0x3F)), 6)),
                        Where(cont & cont1, _mm512_slli_epi16(third, 12))));
    // A four-byte lead here or among the three bytes before.
    if ((_mm256_cmpge_epu8_mask(v, four_lead) | _mm256_cmpge_epu8_mask(prev3, four_lead)) == 0) {
      _mm512_mask_storeu_epi16(o, _bzhi_u32(~0u, static_cast<unsigned>(__builtin_popcount(ends))),
                               _mm512_maskz_compress_epi16(ends, code_points));
      o += __builtin_popcount(ends);
    } else {
      // A four-byte sequence: its five high bits (two from the third byte
      // back, three from the fourth) make the high surrogate with the top
      // six of the low 16, the low surrogate takes the other ten.
      const __m512i fourth = _mm512_cvtepu8_epi16(prev3);
      const __m512i top =
          _mm512_or_si512(_mm512_and_si512(_mm512_srli_epi16(third, 4), Splat16(3)),
                          _mm512_slli_epi16(_mm512_and_si512(fourth, Splat16(7)), 2));
      const __m512i high = _mm512_add_epi16(
          _mm512_add_epi16(_mm512_slli_epi16(top, 6), _mm512_srli_epi16(code_points, 10)),
          Splat16(0xD7C0));
      const __m512i low =
          _mm512_or_si512(_mm512_and_si512(code_points, Splat16(0x3FF)), Splat16(0xDC00));
      const __mmask32 pair_ends = cont & cont1 & cont2;
      const __m512i first = _mm512_mask_blend_epi16(pair_ends, code_points, high);
      // Bit 2k picks unit k, bit 2k + 1 its low surrogate.
      const uint64_t picked = _pdep_u64(ends, 0x5555555555555555ull) |
                              _pdep_u64(pair_ends & ends, 0xAAAAAAAAAAAAAAAAull);
      const auto pack = [&](const uint16_t* indexes, uint32_t mask) {
        const unsigned count = static_cast<unsigned>(__builtin_popcount(mask));
        const __m512i lanes = _mm512_permutex2var_epi16(first, _mm512_load_si512(indexes), low);
        _mm512_mask_storeu_epi16(o, _bzhi_u32(~0u, count),
                                 _mm512_maskz_compress_epi16(mask, lanes));
        o += count;
      };
      pack(kPairIndexes.first, static_cast<uint32_t>(picked));
      pack(kPairIndexes.second, static_cast<uint32_t>(picked >> 32));
    }
    if (ends != 0) done = i + 32 - static_cast<size_t>(__builtin_clz(ends));
    before = v;
    i += 32;
  }
  _mm256_zeroupper();
  return static_cast<size_t>(o - out) + DecodeUtf8Plain(in + done, n - done, o);
}

}  // namespace

const Transcoder kAvx512Transcoder = {"AVX-512", ValidUtf8Avx512, DecodeUtf8Avx512,
                                      EncodeUtf8Sse41};

}  // namespace tobble::lib::transcode
