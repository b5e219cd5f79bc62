// The AVX2 transcoder, for processors with AVX2 (most since about 2015):
// the UTF-8 check 32 bytes at a time, and decoding without branches on the
// sequence lengths; encoding is SSE4.1's. Compiled with -mavx2; select.cpp
// calls it only where the processor has AVX2 and SSE4.1 and the system
// keeps the 32-byte registers.
//
// On Windows too. The 64-bit Windows stack is only 16-byte aligned, and GCC
// cannot realign it there for the 32-byte values it keeps on it (spills,
// arguments passed by reference); a compiler that moved them with the
// aligned instructions would fault. Debian 12's cross compiler (GCC 12) emits
// only unaligned moves, which cost nothing on aligned data, and the build
// keeps it so for any other by having the assembler write every aligned
// vector move as its unaligned form (-muse-unaligned-vector-move);
// tests/check_vector_moves.sh checks tobble.exe for such moves.
#include <immintrin.h>

#include "lib/transcode/kernels.h"
#include "lib/transcode/utf8_check.h"

namespace tobble::lib::transcode {
namespace {

// For compressing eight 16-bit lanes to those a mask picks: the shuffle and
// how many it keeps.
struct CompressStep {
  uint8_t shuffle[16];
  uint8_t count;
};

struct CompressTable {
  CompressStep steps[256];
};

constexpr CompressTable MakeCompressTable() {
  CompressTable table{};
  for (int mask = 0; mask < 256; ++mask) {
    int count = 0;
    for (int lane = 0; lane < 8; ++lane) {
      if ((mask >> lane & 1) == 0) continue;
      table.steps[mask].shuffle[2 * count] = static_cast<uint8_t>(2 * lane);
      table.steps[mask].shuffle[2 * count + 1] = static_cast<uint8_t>(2 * lane + 1);
      ++count;
    }
    for (int k = 2 * count; k < 16; ++k) table.steps[mask].shuffle[k] = 0x80;
    table.steps[mask].count = static_cast<uint8_t>(count);
  }
  return table;
}

constexpr CompressTable kCompressTable = MakeCompressTable();

// For four 32-bit lanes, each a unit or a surrogate pair (high surrogate
// low): index bits 0-3 pick the lanes, bits 4-7 say which are pairs.
constexpr CompressTable MakePairCompressTable() {
  CompressTable table{};
  for (int index = 0; index < 256; ++index) {
    int bytes = 0;
    for (int lane = 0; lane < 4; ++lane) {
      if ((index >> lane & 1) == 0) continue;
      const int width = (index >> (4 + lane) & 1) != 0 ? 4 : 2;
      for (int b = 0; b < width; ++b) {
        table.steps[index].shuffle[bytes++] = static_cast<uint8_t>(4 * lane + b);
      }
    }
    for (int k = bytes; k < 16; ++k) table.steps[index].shuffle[k] = 0x80;
    table.steps[index].count = static_cast<uint8_t>(bytes / 2);
  }
  return table;
}

constexpr CompressTable kPairCompressTable = MakePairCompressTable();

// The vector operations the UTF-8 check (utf8_check.h) runs on: 32 bytes a
// vector, its two halves 16-byte lanes of the same tables.
struct Avx2 {
  using Vector = __m256i;
  static constexpr size_t kBytes = 32;
  static Vector Load(const uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  static Vector Zero() { return _mm256_setzero_si256(); }
  static Vector Splat(uint8_t b) { return _mm256_set1_epi8(static_cast<char>(b)); }
  static Vector And(Vector a, Vector b) { return _mm256_and_si256(a, b); }
  static Vector Or(Vector a, Vector b) { return _mm256_or_si256(a, b); }
  static Vector Xor(Vector a, Vector b) { return _mm256_xor_si256(a, b); }
  static Vector SubtractSaturated(Vector a, Vector b) { return _mm256_subs_epu8(a, b); }
  static Vector HighNibbles(Vector v) { return And(_mm256_srli_epi16(v, 4), Splat(0x0F)); }
  static Vector LowNibbles(Vector v) { return And(v, Splat(0x0F)); }
  static Vector Lookup(const uint8_t* table, Vector index) {
    return _mm256_shuffle_epi8(
        _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(table))),
        index);
  }
  // The 32 bytes that end N bytes before the end of `input`.
  template <int N>
  static Vector Previous(Vector input, Vector before) {
    return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(before, input, 0x21), 16 - N);
  }
  static bool AnyHigh(Vector v) { return _mm256_movemask_epi8(v) != 0; }
  static bool IsZero(Vector v) { return _mm256_testz_si256(v, v) != 0; }
  // Only the upper half matters for a sequence cut at the block's end.
  static Vector LastComplete() {
    return _mm256_inserti128_si256(
        Splat(0xFF), _mm_load_si128(reinterpret_cast<const __m128i*>(utf8_check::kLastComplete)),
        1);
  }
};

size_t ValidUtf8Avx2(const uint8_t* in, size_t n) {
  const size_t checked = utf8_check::ValidBlocks<Avx2>(in, n);
  // Clean upper halves, or the SSE code that runs next pays for them.
  _mm256_zeroupper();
  return ValidUtf8From(in, n, checked);
}

// Writes the eight units of `units` that `mask` picks; returns the position
// after them.
inline char16_t* WritePicked(char16_t* o, __m128i units, unsigned mask) {
  const CompressStep& step = kCompressTable.steps[mask];
  _mm_storeu_si128(
      reinterpret_cast<__m128i*>(o),
      _mm_shuffle_epi8(units, _mm_loadu_si128(reinterpret_cast<const __m128i*>(step.shuffle))));
  return o + step.count;
}

// Writes the lanes of `lanes` (four 32-bit ones) that `index` picks, each a
// unit or a pair (kPairCompressTable); returns the position after them.
inline char16_t* WritePickedPairs(char16_t* o, __m128i lanes, unsigned index) {
  const CompressStep& step = kPairCompressTable.steps[index];
  _mm_storeu_si128(
      reinterpret_cast<__m128i*>(o),
      _mm_shuffle_epi8(lanes, _mm_loadu_si128(reinterpret_cast<const __m128i*>(step.shuffle))));
  return o + step.count;
}

// The lower (half 0) or upper 128 bits.
inline __m128i Half(__m256i v, int half) {
  return half == 0 ? _mm256_castsi256_si128(v) : _mm256_extracti128_si256(v, 1);
}

// Decoding without branches on the sequence lengths, 32 bytes a block:
// every byte that ends a code point computes that code point from itself
// and the bytes before it that continue it, and the ends are then packed
// together. Blocks where no four-byte sequence ends work in 16-bit lanes,
// the others in 32-bit lanes with surrogate pairs.
size_t DecodeUtf8Avx2(const uint8_t* in, size_t n, char16_t* out) {
  char16_t* o = out;
  size_t i = 0;
  // Every byte before `done` is decoded: the code point that holds byte i
  // may have begun in the block before.
  size_t done = 0;
  // The block before, as far as a code point that ends in this one reaches
  // back; ASCII before the start.
  __m256i before = _mm256_setzero_si256();
  const __m256i continuation_below = Avx2::Splat(0xC0);  // signed
  // A block reads the byte after its 32, and its last store of eight units
  // comes after at most 28 units: 36 units of room from i.
  while (i + 36 <= n) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    if (_mm256_movemask_epi8(v) == 0) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), _mm256_cvtepu8_epi16(Half(v, 0)));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + 16), _mm256_cvtepu8_epi16(Half(v, 1)));
      o += 32;
      i += 32;
      done = i;
      before = v;
      continue;
    }
    const __m256i cont = _mm256_cmpgt_epi8(continuation_below, v);
    const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + 1));
    const unsigned ends =
        ~static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(continuation_below, next)));
    const __m256i prev1 = Avx2::Previous<1>(v, before);
    const __m256i prev2 = Avx2::Previous<2>(v, before);
    const __m256i prev3 = Avx2::Previous<3>(v, before);
    const __m256i cont1 = _mm256_cmpgt_epi8(continuation_below, prev1);
    // A four-byte lead (F0 and up) here or among the three bytes before.
    const __m256i four =
        _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_max_epu8(v, Avx2::Splat(0xF0)), v),
                        _mm256_cmpeq_epi8(_mm256_max_epu8(prev3, Avx2::Splat(0xF0)), prev3));
    // Where a four-byte sequence ends: this byte and the two before it are
    // continuations.
    const __m256i pair_bytes = _mm256_and_si256(_mm256_and_si256(cont, cont1),
                                                _mm256_cmpgt_epi8(continuation_below, prev2));
    const unsigned pair_ends = static_cast<unsigned>(_mm256_movemask_epi8(pair_bytes));
    for (int half = 0; half < 2; ++half) {
      // In 16-bit lanes: the byte's own bits; the six of the byte before
      // (a two-byte lead has five and a zero sixth) when this one is a
      // continuation; the low four of the one before that, which the shift
      // keeps, when the byte before is one too. For three bytes or fewer
      // that is the code point; for four, its low 16 bits.
      const __m256i m0 = _mm256_cvtepi8_epi16(Half(cont, half));
      const __m256i m01 = _mm256_and_si256(m0, _mm256_cvtepi8_epi16(Half(cont1, half)));
      const __m256i own =
          _mm256_and_si256(_mm256_cvtepu8_epi16(Half(v, half)), _mm256_set1_epi16(0x7F));
      const __m256i second = _mm256_cvtepu8_epi16(Half(prev1, half));
      const __m256i middle =
          _mm256_slli_epi16(_mm256_and_si256(second, _mm256_set1_epi16(0x3F)), 6);
      const __m256i third = _mm256_cvtepu8_epi16(Half(prev2, half));
      const __m256i code_points = _mm256_or_si256(
          own, _mm256_or_si256(_mm256_and_si256(middle, m0),
                               _mm256_and_si256(_mm256_slli_epi16(third, 12), m01)));
      const unsigned picked = ends >> (16 * half);
      if (_mm256_testz_si256(four, four)) {
        o = WritePicked(o, Half(code_points, 0), picked & 0xFF);
        o = WritePicked(o, Half(code_points, 1), picked >> 8 & 0xFF);
        continue;
      }
      // A four-byte sequence: its five high bits (two from the third byte
      // back, three from the fourth) make the high surrogate with the top
      // six of the low 16, the low surrogate takes the other ten.
      const __m256i fourth = _mm256_cvtepu8_epi16(Half(prev3, half));
      const __m256i top =
          _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(third, 4), _mm256_set1_epi16(3)),
                          _mm256_slli_epi16(_mm256_and_si256(fourth, _mm256_set1_epi16(7)), 2));
      const __m256i high = _mm256_add_epi16(
          _mm256_add_epi16(_mm256_slli_epi16(top, 6), _mm256_srli_epi16(code_points, 10)),
          _mm256_set1_epi16(static_cast<short>(0xD7C0)));
      const __m256i low = _mm256_or_si256(_mm256_and_si256(code_points, _mm256_set1_epi16(0x3FF)),
                                          _mm256_set1_epi16(static_cast<short>(0xDC00)));
      const __m256i is_pair = _mm256_cvtepi8_epi16(Half(pair_bytes, half));
      const __m256i first = _mm256_blendv_epi8(code_points, high, is_pair);
      // Each code point in a 32-bit lane, a unit or a pair: the code points
      // 0-3 and 8-11 of the sixteen in `lower`, 4-7 and 12-15 in `upper`.
      const __m256i lower = _mm256_unpacklo_epi16(first, low);
      const __m256i upper = _mm256_unpackhi_epi16(first, low);
      const unsigned pairs = pair_ends >> (16 * half);
      const auto index = [&](int from) {
        return (picked >> from & 0xF) | (pairs >> from & 0xF) << 4;
      };
      o = WritePickedPairs(o, Half(lower, 0), index(0));
      o = WritePickedPairs(o, Half(upper, 0), index(4));
      o = WritePickedPairs(o, Half(lower, 1), index(8));
      o = WritePickedPairs(o, Half(upper, 1), index(12));
    }
    if (ends != 0) done = i + 32 - static_cast<size_t>(__builtin_clz(ends));
    before = v;
    i += 32;
  }
  _mm256_zeroupper();
  return static_cast<size_t>(o - out) + DecodeUtf8Plain(in + done, n - done, o);
}

}  // namespace

const Transcoder kAvx2Transcoder = {"AVX2", ValidUtf8Avx2, DecodeUtf8Avx2, EncodeUtf8Sse41};

}  // namespace tobble::lib::transcode
