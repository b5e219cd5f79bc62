// The SSE4.1 transcoder, for processors with SSSE3 and SSE4.1 (most since
// about 2008): byte shuffles check UTF-8 sixteen bytes at a time and move
// whole sequences between UTF-8 and UTF-16 (the check in utf8_check.h, the
// conversions here). Compiled with -msse4.1, which takes in SSSE3;
// select.cpp calls it only where the processor has both.
#include <smmintrin.h>
#include <tmmintrin.h>

#include "filters/common/simd.h"
#include "filters/common/surrogate.h"
#include "lib/transcode/kernels.h"
#include "lib/transcode/utf8_check.h"

namespace tobble::lib::transcode {
namespace {

// Decoding follows the shuffle-table transcoding of Daniel Lemire and
// Wojciech Muła, "Transcoding Billions of Unicode Characters per Second
// with SIMD Instructions", Software: Practice and Experience, 2022: it looks
// at twelve bytes at a time, and a 12-bit mask of the bytes that end a code
// point picks a step: the bytes it consumes and a shuffle that puts each
// code point's bytes in a lane of its own, last byte lowest. The tables are
// made here at compile time from that description.
struct DecodeStep {
  uint8_t shuffle;   // index into DecodeTables::shuffles
  uint8_t consumed;  // bytes; 0: no step fits (not valid UTF-8)
};

// The kinds of step, by the shuffle index: six code points of one or two
// bytes into 16-bit lanes, four of one to three bytes into 32-bit lanes, or
// three (two where no third fits) of one to four bytes into 32-bit lanes.
constexpr uint8_t kFourShuffles = 64;
constexpr uint8_t kThreeShuffles = kFourShuffles + 81;
constexpr uint8_t kTwoShuffles = kThreeShuffles + 64;
constexpr size_t kShuffleCount = kTwoShuffles + 16;

struct DecodeTables {
  DecodeStep steps[1 << 12];
  uint8_t shuffles[kShuffleCount][16];
};

// Fills one shuffle: `count` code points of the given lengths, each into a
// lane of `lane` bytes, last byte first; 0x80 makes a byte zero.
constexpr void FillShuffle(uint8_t* shuffle, const int* lengths, int count, int lane) {
  for (int k = 0; k < 16; ++k) shuffle[k] = 0x80;
  int position = 0;
  for (int c = 0; c < count; ++c) {
    for (int b = 0; b < lengths[c]; ++b) {
      shuffle[c * lane + b] = static_cast<uint8_t>(position + lengths[c] - 1 - b);
    }
    position += lengths[c];
  }
}

constexpr DecodeTables MakeDecodeTables() {
  DecodeTables tables{};
  for (int id = 0; id < 64; ++id) {
    int lengths[6] = {};
    for (int c = 0; c < 6; ++c) lengths[c] = 1 + (id >> c & 1);
    FillShuffle(tables.shuffles[id], lengths, 6, 2);
  }
  for (int id = 0; id < 81; ++id) {
    int lengths[4] = {};
    for (int c = 0, rest = id; c < 4; ++c, rest /= 3) lengths[c] = 1 + rest % 3;
    FillShuffle(tables.shuffles[kFourShuffles + id], lengths, 4, 4);
  }
  for (int id = 0; id < 64; ++id) {
    const int lengths[3] = {1 + id % 4, 1 + id / 4 % 4, 1 + id / 16};
    FillShuffle(tables.shuffles[kThreeShuffles + id], lengths, 3, 4);
  }
  for (int id = 0; id < 16; ++id) {
    const int lengths[2] = {1 + id % 4, 1 + id / 4};
    FillShuffle(tables.shuffles[kTwoShuffles + id], lengths, 2, 4);
  }
  for (int ends = 0; ends < (1 << 12); ++ends) {
    int lengths[12] = {};
    int count = 0;
    for (int position = 0, start = 0; position < 12; ++position) {
      if ((ends >> position & 1) == 0) continue;
      lengths[count++] = position - start + 1;
      start = position + 1;
    }
    int longest6 = 0, longest4 = 0, longest3 = 0, longest2 = 0;
    int sum6 = 0, sum4 = 0, sum3 = 0, sum2 = 0;
    for (int c = 0; c < count && c < 6; ++c) {
      const int length = lengths[c];
      longest6 = length > longest6 ? length : longest6;
      sum6 += length;
      if (c < 4) longest4 = longest6, sum4 = sum6;
      if (c < 3) longest3 = longest6, sum3 = sum6;
      if (c < 2) longest2 = longest6, sum2 = sum6;
    }
    DecodeStep& step = tables.steps[ends];
    // Six code points when they are mostly two-byte ones; four otherwise, so
    // that text of one script takes one kind of step.
    if (count >= 6 && longest6 <= 2 && sum6 >= 9) {
      int id = 0;
      for (int c = 0; c < 6; ++c) id |= (lengths[c] - 1) << c;
      step = {static_cast<uint8_t>(id), static_cast<uint8_t>(sum6)};
    } else if (count >= 4 && longest4 <= 3) {
      int id = 0;
      for (int c = 3; c >= 0; --c) id = id * 3 + lengths[c] - 1;
      step = {static_cast<uint8_t>(kFourShuffles + id), static_cast<uint8_t>(sum4)};
    } else if (count >= 3 && longest3 <= 4) {
      const int id = (lengths[0] - 1) + 4 * (lengths[1] - 1) + 16 * (lengths[2] - 1);
      step = {static_cast<uint8_t>(kThreeShuffles + id), static_cast<uint8_t>(sum3)};
    } else if (count >= 2 && longest2 <= 4) {
      const int id = (lengths[0] - 1) + 4 * (lengths[1] - 1);
      step = {static_cast<uint8_t>(kTwoShuffles + id), static_cast<uint8_t>(sum2)};
    } else {
      step = {0, 0};
    }
  }
  return tables;
}

constexpr DecodeTables kDecodeTables = MakeDecodeTables();

// Encoding goes the other way as the same paper describes, with a table of
// shuffles that pack each unit's bytes. It takes four units at a time, each
// in a 32-bit lane holding the bytes of its three-byte form with the lead
// byte of its own length first. Two bits a unit (0: one byte, 1: two, 2:
// none, 3: three) pick a shuffle that keeps the bytes each unit needs. Each
// unit of a surrogate pair gives two bytes of the pair's four.
struct EncodeStep {
  uint8_t shuffle[16];
  uint8_t length;
};

constexpr EncodeStep MakeEncodeStep(int lengths) {
  EncodeStep step{};
  int position = 0;
  for (int unit = 0; unit < 4; ++unit) {
    const int code = lengths >> (2 * unit) & 3;
    if (code == 2) continue;
    step.shuffle[position++] = static_cast<uint8_t>(4 * unit);
    if (code == 3) step.shuffle[position++] = static_cast<uint8_t>(4 * unit + 1);
    if (code != 0) step.shuffle[position++] = static_cast<uint8_t>(4 * unit + 2);
  }
  step.length = static_cast<uint8_t>(position);
  for (; position < 16; ++position) step.shuffle[position] = 0x80;
  return step;
}

struct EncodeTable {
  EncodeStep steps[256];
};

constexpr EncodeTable MakeEncodeTable() {
  EncodeTable table{};
  for (int lengths = 0; lengths < 256; ++lengths) table.steps[lengths] = MakeEncodeStep(lengths);
  return table;
}

constexpr EncodeTable kEncodeTable = MakeEncodeTable();
// The vector operations the UTF-8 check (utf8_check.h) runs on: sixteen
// bytes a vector.
struct Sse41 {
  using Vector = __m128i;
  static constexpr size_t kBytes = 16;
  static Vector Load(const uint8_t* p) { return simd::LoadBytes(p); }
  static Vector Zero() { return _mm_setzero_si128(); }
  static Vector Splat(uint8_t b) { return simd::SplatByte(b); }
  static Vector And(Vector a, Vector b) { return _mm_and_si128(a, b); }
  static Vector Or(Vector a, Vector b) { return _mm_or_si128(a, b); }
  static Vector Xor(Vector a, Vector b) { return _mm_xor_si128(a, b); }
  static Vector SubtractSaturated(Vector a, Vector b) { return _mm_subs_epu8(a, b); }
  static Vector HighNibbles(Vector v) { return And(_mm_srli_epi16(v, 4), Splat(0x0F)); }
  static Vector LowNibbles(Vector v) { return And(v, Splat(0x0F)); }
  static Vector Lookup(const uint8_t* table, Vector index) {
    return _mm_shuffle_epi8(_mm_load_si128(reinterpret_cast<const __m128i*>(table)), index);
  }
  template <int N>
  static Vector Previous(Vector input, Vector before) {
    return _mm_alignr_epi8(input, before, 16 - N);
  }
  static bool AnyHigh(Vector v) { return _mm_movemask_epi8(v) != 0; }
  static bool IsZero(Vector v) { return _mm_testz_si128(v, v) != 0; }
  static Vector LastComplete() { return Load(utf8_check::kLastComplete); }
};

size_t ValidUtf8Sse41(const uint8_t* in, size_t n) {
  return ValidUtf8From(in, n, utf8_check::ValidBlocks<Sse41>(in, n));
}

template <typename Lanes>
inline uint64_t Mask64(const uint8_t* in, Lanes lanes) {
  uint64_t mask = 0;
  for (int k = 0; k < 4; ++k) {
    const unsigned part =
        static_cast<unsigned>(_mm_movemask_epi8(lanes(simd::LoadBytes(in + 16 * k))));
    mask |= static_cast<uint64_t>(part) << (16 * k);
  }
  return mask;
}

// For the code points of a step of up to four bytes each: each as one
// unit, or as a surrogate pair, packed together.
struct PairShuffles {
  uint8_t shuffles[8][16];
};

constexpr PairShuffles MakePairShuffles() {
  PairShuffles table{};
  for (int pairs = 0; pairs < 8; ++pairs) {
    int position = 0;
    for (int lane = 0; lane < 3; ++lane) {
      const int units = 1 + (pairs >> lane & 1);
      for (int b = 0; b < 2 * units; ++b) {
        table.shuffles[pairs][position++] = static_cast<uint8_t>(4 * lane + b);
      }
    }
    for (; position < 16; ++position) table.shuffles[pairs][position] = 0x80;
  }
  return table;
}

constexpr PairShuffles kPairShuffles = MakePairShuffles();

// Writes the code points of the `count` (2 or 3) low 32-bit lanes as
// UTF-16; returns the position after them.
inline char16_t* WriteCodePoints(char16_t* o, __m128i code_points, unsigned count) {
  // A pair in a lane: the high surrogate below the low one.
  const __m128i high = _mm_add_epi32(_mm_srli_epi32(code_points, 10), _mm_set1_epi32(0xD7C0));
  const __m128i low =
      _mm_or_si128(_mm_and_si128(code_points, _mm_set1_epi32(0x3FF)), _mm_set1_epi32(0xDC00));
  const __m128i pair = _mm_or_si128(high, _mm_slli_epi32(low, 16));
  const __m128i beyond = _mm_cmpgt_epi32(code_points, _mm_set1_epi32(0xFFFF));
  const __m128i lanes = _mm_blendv_epi8(code_points, pair, beyond);
  const unsigned pairs = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(beyond))) & 7;
  simd::Store(o, _mm_shuffle_epi8(lanes, _mm_loadu_si128(reinterpret_cast<const __m128i*>(
                                             kPairShuffles.shuffles[pairs]))));
  // 0xE994 holds the number of bits set in 0 to 7, two bits each.
  return o + count + (0xE994u >> (2 * pairs) & 3);
}

// Decodes one step at in (sixteen readable bytes), code points ending where
// `ends` (bit k: byte k ends one) says; returns the bytes consumed, 0 if no
// step fits.
inline size_t DecodeStep12(const uint8_t* in, unsigned ends, char16_t** out) {
  const DecodeStep step = kDecodeTables.steps[ends & 0xFFF];
  if (step.consumed == 0) return 0;
  const __m128i lanes = _mm_shuffle_epi8(
      simd::LoadBytes(in),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(kDecodeTables.shuffles[step.shuffle])));
  char16_t* o = *out;
  if (step.shuffle < kFourShuffles) {
    // 110aaaaa 10bbbbbb: the lead's five bits above the six.
    const __m128i low = _mm_and_si128(lanes, simd::Splat(0x7F));
    const __m128i lead = _mm_and_si128(lanes, simd::Splat(0x1F00));
    simd::Store(o, _mm_or_si128(low, _mm_srli_epi16(lead, 2)));
    *out = o + 6;
  } else if (step.shuffle < kThreeShuffles) {
    // 1110aaaa 10bbbbbb 10cccccc, shorter ones likewise, in 32-bit lanes.
    const __m128i low = _mm_and_si128(lanes, _mm_set1_epi32(0x7F));
    const __m128i middle = _mm_and_si128(lanes, _mm_set1_epi32(0x3F00));
    const __m128i lead = _mm_and_si128(lanes, _mm_set1_epi32(0x0F0000));
    const __m128i code_points =
        _mm_or_si128(_mm_or_si128(low, _mm_srli_epi32(middle, 2)), _mm_srli_epi32(lead, 4));
    simd::Store(o, _mm_packus_epi32(code_points, code_points));
    *out = o + 4;
  } else {
    // Code points of up to four bytes: a three-byte lead in the third byte
    // of its lane has bit 6 set and one bit too many.  A step of two leaves
    // the third lane zero.
    const __m128i fix = _mm_srli_epi32(_mm_and_si128(lanes, _mm_set1_epi32(0x400000)), 1);
    const __m128i fixed = _mm_xor_si128(lanes, fix);
    const __m128i code_points = _mm_or_si128(
        _mm_or_si128(_mm_and_si128(fixed, _mm_set1_epi32(0x7F)),
                     _mm_srli_epi32(_mm_and_si128(fixed, _mm_set1_epi32(0x3F00)), 2)),
        _mm_or_si128(_mm_srli_epi32(_mm_and_si128(fixed, _mm_set1_epi32(0x3F0000)), 4),
                     _mm_srli_epi32(_mm_and_si128(fixed, _mm_set1_epi32(0x07000000)), 6)));
    *out = WriteCodePoints(o, code_points, step.shuffle < kTwoShuffles ? 3 : 2);
  }
  return step.consumed;
}

// Decodes a block of about 64 bytes at in (80 readable), starting and
// ending between code points; returns the bytes consumed. The masks of the
// bytes that are not ASCII and of those that end a code point come first,
// so that each step only shifts them. A step reads sixteen bytes and needs
// the byte after its twelve.
inline size_t DecodeBlock64(const uint8_t* in, char16_t** out) {
  char16_t* o = *out;
  const uint64_t high = Mask64(in, [](__m128i v) { return v; });
  if (high == 0) {
    for (int k = 0; k < 4; ++k) {
      const __m128i v = simd::LoadBytes(in + 16 * k);
      simd::Store(o + 16 * k, simd::WidenLow(v));
      simd::Store(o + 16 * k + 8, simd::WidenHigh(v));
    }
    *out = o + 64;
    return 64;
  }
  // Continuation bytes are those below 0xC0 as signed bytes; a byte ends a
  // code point when the next one is no continuation. Bit 63 is unknown.
  const uint64_t ends =
      ~(Mask64(in + 1, [](__m128i v) { return _mm_cmplt_epi8(v, simd::SplatByte(0xC0)); }));
  size_t position = 0;
  while (position <= 64 - 16) {
    if ((high >> position & 0xFFFF) == 0) {
      const __m128i v = simd::LoadBytes(in + position);
      simd::Store(o, simd::WidenLow(v));
      simd::Store(o + 8, simd::WidenHigh(v));
      o += 16;
      position += 16;
      continue;
    }
    const unsigned window = static_cast<unsigned>(ends >> position);
    const size_t consumed = DecodeStep12(in + position, window, &o);
    if (consumed == 0) break;  // not valid UTF-8
    position += consumed;
  }
  if (position == 0) {  // not valid UTF-8: one byte the plain way
    o += DecodeUtf8Plain(in, 1, o);
    position = 1;
  }
  *out = o;
  return position;
}

size_t DecodeUtf8Sse41(const uint8_t* in, size_t n, char16_t* out) {
  char16_t* o = out;
  size_t i = 0;
  while (i + 64 + 16 <= n) i += DecodeBlock64(in + i, &o);
  return static_cast<size_t>(o - out) + DecodeUtf8Plain(in + i, n - i, o);
}

// Writes the UTF-8 of four units given as 32-bit lanes of their bytes, with
// `lengths` their two bits each; returns the position after.
inline uint8_t* WriteFour(uint8_t* o, __m128i lanes, unsigned lengths) {
  const EncodeStep& step = kEncodeTable.steps[lengths];
  simd::StoreBytes(
      o, _mm_shuffle_epi8(lanes, _mm_loadu_si128(reinterpret_cast<const __m128i*>(step.shuffle))));
  return o + step.length;
}

}  // namespace

Encoded EncodeUtf8Sse41(const char16_t* in, size_t n, uint8_t* out) {
  uint8_t* o = out;
  size_t i = 0;
  // Eight units write up to 24 bytes, but as two stores of 16 bytes: ten
  // units of room keep the second one within 3 * n.
  while (i + 10 <= n) {
    const __m128i v = simd::Load(in + i);
    if (i + 16 <= n) {
      const __m128i w = simd::Load(in + i + 8);
      if (_mm_testz_si128(_mm_or_si128(v, w), simd::Splat(0xFF80))) {
        simd::StoreBytes(o, _mm_packus_epi16(v, w));
        o += 16;
        i += 16;
        continue;
      }
    }
    if (_mm_testz_si128(v, simd::Splat(0xFF80))) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(v, v));
      o += 8;
      i += 8;
      continue;
    }
    // Each unit's lead byte for its own length, and the two continuation
    // bytes of a three-byte form (the last one also ends a two-byte form).
    const __m128i ascii =
        _mm_cmpeq_epi16(_mm_and_si128(v, simd::Splat(0xFF80)), _mm_setzero_si128());
    const __m128i short_form =
        _mm_cmpeq_epi16(_mm_and_si128(v, simd::Splat(0xF800)), _mm_setzero_si128());
    const __m128i lead2 = _mm_or_si128(_mm_srli_epi16(v, 6), simd::Splat(0xC0));
    const __m128i lead3 = _mm_or_si128(_mm_srli_epi16(v, 12), simd::Splat(0xE0));
    __m128i lead = _mm_blendv_epi8(_mm_blendv_epi8(lead3, lead2, short_form), v, ascii);
    const __m128i middle =
        _mm_or_si128(_mm_and_si128(_mm_srli_epi16(v, 6), simd::Splat(0x3F)), simd::Splat(0x80));
    __m128i last = _mm_or_si128(_mm_and_si128(v, simd::Splat(0x3F)), simd::Splat(0x80));
    // Two bits a unit: bit 0 for two bytes or more, bit 1 for three.
    unsigned lengths = (~static_cast<unsigned>(_mm_movemask_epi8(ascii)) & 0x5555) |
                       (~static_cast<unsigned>(_mm_movemask_epi8(short_form)) & 0xAAAA);
    size_t taken = 8;
    const __m128i surrogates =
        _mm_cmpeq_epi16(_mm_and_si128(v, simd::Splat(0xF800)), simd::Splat(0xD800));
    if (!_mm_testz_si128(surrogates, surrogates)) {
      // A pair is F0|a>>8 80|a>>2 and 80|(a&3)<<4|b>>6 80|b, where a is the
      // high surrogate less 0xD7C0 and b the low one's ten bits: two bytes
      // from each unit. A high surrogate in the last lane waits for the
      // next eight units, which begin with it; a surrogate without its
      // partner next to it goes the plain way.
      const __m128i high =
          _mm_cmpeq_epi16(_mm_and_si128(v, simd::Splat(0xFC00)), simd::Splat(0xD800));
      const __m128i low =
          _mm_cmpeq_epi16(_mm_and_si128(v, simd::Splat(0xFC00)), simd::Splat(0xDC00));
      const __m128i last_lane = _mm_setr_epi16(0, 0, 0, 0, 0, 0, 0, -1);
      const __m128i lone =
          _mm_or_si128(_mm_andnot_si128(_mm_or_si128(_mm_srli_si128(low, 2), last_lane), high),
                       _mm_andnot_si128(_mm_slli_si128(high, 2), low));
      if (!_mm_testz_si128(lone, lone)) {
        // These eight units the plain way, and a pair cut by their end.
        const size_t take = IsHighSurrogate(in[i + 7]) && i + 8 < n ? 9 : 8;
        const Encoded done = EncodeUtf8Plain(in + i, take, o);
        o += done.written;
        i += done.read;
        if (done.read < take) return {i, static_cast<size_t>(o - out)};
        continue;
      }
      const __m128i above = _mm_sub_epi16(_mm_slli_si128(v, 2), simd::Splat(0xD7C0));
      const __m128i a = _mm_sub_epi16(v, simd::Splat(0xD7C0));
      const __m128i high_lead = _mm_or_si128(_mm_srli_epi16(a, 8), simd::Splat(0xF0));
      const __m128i high_last =
          _mm_or_si128(_mm_and_si128(_mm_srli_epi16(a, 2), simd::Splat(0x3F)), simd::Splat(0x80));
      const __m128i low_lead =
          _mm_or_si128(_mm_or_si128(_mm_slli_epi16(_mm_and_si128(above, simd::Splat(3)), 4),
                                    _mm_and_si128(_mm_srli_epi16(v, 6), simd::Splat(0x0F))),
                       simd::Splat(0x80));
      lead = _mm_blendv_epi8(_mm_blendv_epi8(lead, high_lead, high), low_lead, low);
      last = _mm_blendv_epi8(last, high_last, high);
      // Two bytes for each unit of a pair, none yet for a high surrogate in
      // the last lane.
      const unsigned pair_units = static_cast<unsigned>(_mm_movemask_epi8(surrogates));
      const unsigned waits = static_cast<unsigned>(_mm_movemask_epi8(high)) >> 15;  // 0 or 1
      lengths = (lengths & ~(pair_units & 0xAAAA) & ~(waits * 0xC000)) | waits << 15;
      taken -= waits;
    }
    const __m128i lead_middle = _mm_or_si128(lead, _mm_slli_epi16(middle, 8));
    o = WriteFour(o, _mm_unpacklo_epi16(lead_middle, last), lengths & 0xFF);
    o = WriteFour(o, _mm_unpackhi_epi16(lead_middle, last), lengths >> 8);
    i += taken;
  }
  const Encoded rest = EncodeUtf8Plain(in + i, n - i, o);
  return {i + rest.read, static_cast<size_t>(o - out) + rest.written};
}

const Transcoder kSse41Transcoder = {"SSE4.1", ValidUtf8Sse41, DecodeUtf8Sse41, EncodeUtf8Sse41};

}  // namespace tobble::lib::transcode
