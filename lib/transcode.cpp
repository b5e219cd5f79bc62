#include "lib/transcode.h"

#include <emmintrin.h>
#include <immintrin.h>
#include <smmintrin.h>
#include <tmmintrin.h>

#include "core/surrogate.h"

namespace tobble::cli {
namespace {

using utf8::DecodeSequence;
using utf8::IsContinuation;
using utf8::SecondByteRange;
using utf8::SequenceLength;
using utf8::WriteUtf8;

// ---------------------------------------------------------------------------
// The plain transcoder: one sequence or unit at a time.

// Whether the second byte of a sequence fits its lead byte.
constexpr bool FitsLead(uint8_t lead, uint8_t second) {
  uint8_t low = 0, high = 0;
  SecondByteRange(lead, &low, &high);
  return second >= low && second <= high;
}

size_t ValidUtf8Plain(const uint8_t* in, size_t n) {
  size_t i = 0;
  while (i < n) {
    const uint8_t lead = in[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    const size_t length = static_cast<size_t>(SequenceLength(lead));
    if (length == 0 || length > n - i || !FitsLead(lead, in[i + 1])) return i;
    for (size_t k = 2; k < length; ++k) {
      if (!IsContinuation(in[i + k])) return i;
    }
    i += length;
  }
  return n;
}

// The valid prefix of in[0, n) where every byte before `checked` passed the
// vector checks: the sequences before the one that holds byte checked - 1
// are whole and valid, and the plain check goes on from there to the exact
// end of the valid prefix.
size_t ValidUtf8From(const uint8_t* in, size_t n, size_t checked) {
  size_t start = checked;
  if (start > 0) {
    --start;
    while (start > 0 && IsContinuation(in[start])) --start;
  }
  return start + ValidUtf8Plain(in + start, n - start);
}

size_t DecodeUtf8Plain(const uint8_t* in, size_t n, char16_t* out) {
  char16_t* o = out;
  for (size_t i = 0; i < n;) {
    const uint8_t lead = in[i];
    const size_t length = static_cast<size_t>(SequenceLength(lead));
    if (length == 1) {
      *o++ = lead;
      ++i;
    } else if (length == 0 || length > n - i) {  // not valid UTF-8: never read beyond
      *o++ = 0xFFFD;
      ++i;
    } else {
      o = WriteCodePoint(o, DecodeSequence(in + i, static_cast<int>(length)));
      i += length;
    }
  }
  return static_cast<size_t>(o - out);
}

Encoded EncodeUtf8Plain(const char16_t* in, size_t n, uint8_t* out) {
  uint8_t* o = out;
  size_t i = 0;
  while (i < n) {
    const char16_t u = in[i];
    if (IsHighSurrogate(u)) {
      if (i + 1 == n || !IsLowSurrogate(in[i + 1])) break;
      o = WriteUtf8(o, CombineSurrogates(u, in[i + 1]));
      i += 2;
    } else if (IsLowSurrogate(u)) {
      break;
    } else {
      o = WriteUtf8(o, u);
      ++i;
    }
  }
  return {i, static_cast<size_t>(o - out)};
}

// ---------------------------------------------------------------------------
// SSE2, which every x86-64 processor has: runs of ASCII 16 bytes or units at
// a time, the rest as the plain transcoder does it.

size_t ValidUtf8Sse2(const uint8_t* in, size_t n) {
  size_t i = 0;
  for (;;) {
    for (; i + 16 <= n; i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
      const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
      if (high != 0) {
        i += static_cast<size_t>(__builtin_ctz(high));
        break;
      }
    }
    if (i + 16 > n) return i + ValidUtf8Plain(in + i, n - i);
    // One sequence the plain way, then back to the ASCII scan.
    const size_t length = static_cast<size_t>(SequenceLength(in[i]));
    if (length == 0 || length > n - i || ValidUtf8Plain(in + i, length) != length) {
      return i + ValidUtf8Plain(in + i, n - i);
    }
    i += length;
  }
}

size_t DecodeUtf8Sse2(const uint8_t* in, size_t n, char16_t* out) {
  char16_t* o = out;
  size_t i = 0;
  const __m128i zero = _mm_setzero_si128();
  while (i + 16 <= n) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
    if (high == 0) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi8(v, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 8), _mm_unpackhi_epi8(v, zero));
      o += 16;
      i += 16;
      continue;
    }
    // The ASCII bytes before the first other one, then that sequence.
    const size_t ascii = static_cast<size_t>(__builtin_ctz(high));
    for (size_t k = 0; k < ascii; ++k) o[k] = in[i + k];
    o += ascii;
    i += ascii;
    const size_t length = static_cast<size_t>(SequenceLength(in[i]));
    const size_t take = length == 0 || length > n - i ? 1 : length;
    o += DecodeUtf8Plain(in + i, take, o);
    i += take;
  }
  return static_cast<size_t>(o - out) + DecodeUtf8Plain(in + i, n - i, o);
}

Encoded EncodeUtf8Sse2(const char16_t* in, size_t n, uint8_t* out) {
  uint8_t* o = out;
  size_t i = 0;
  const __m128i non_ascii = _mm_set1_epi16(static_cast<short>(0xFF80));
  const __m128i zero = _mm_setzero_si128();
  while (i + 16 <= n) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 8));
    const __m128i high = _mm_and_si128(_mm_or_si128(a, b), non_ascii);
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, zero)) == 0xFFFF) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(a, b));
      o += 16;
      i += 16;
      continue;
    }
    // Up to 16 units the plain way, ending where a pair ends.
    const size_t take = IsHighSurrogate(in[i + 15]) ? 17 : 16;
    const Encoded done = EncodeUtf8Plain(in + i, take < n - i ? take : n - i, o);
    o += done.written;
    i += done.read;
    if (done.read < take) break;
  }
  const Encoded rest = EncodeUtf8Plain(in + i, n - i, o);
  return {i + rest.read, static_cast<size_t>(o - out) + rest.written};
}

// ---------------------------------------------------------------------------
// SSSE3 and SSE4.1 (processors since about 2008), chosen at run time: byte
// shuffles check UTF-8 sixteen bytes at a time and move whole sequences
// between UTF-8 and UTF-16.

// Decoding looks at twelve bytes at a time. A 12-bit mask of the bytes that
// end a code point picks a step: the bytes it consumes and a shuffle that
// puts each code point's bytes in a lane of its own, last byte lowest.
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

// Encoding takes four units at a time, each in a 32-bit lane holding the
// bytes of its three-byte form with the lead byte of its own length first.
// Two bits a unit (0: one byte, 1: two, 2: none, 3: three) pick a shuffle
// that keeps the bytes each unit needs. Each unit of a surrogate pair gives
// two bytes of the pair's four.
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

// The checks look at each byte with the one before it, and flag each way
// the pair can be wrong with one bit; three table lookups (the high and low
// nibble of the byte before, the high nibble of the byte) each give the bits
// their nibble allows, and a pair is wrong where all three agree.
constexpr uint8_t kTooShort = 1 << 0;      // a lead byte not followed by a continuation
constexpr uint8_t kTooLong = 1 << 1;       // ASCII followed by a continuation
constexpr uint8_t kOverlong3 = 1 << 2;     // E0 80-9F
constexpr uint8_t kTooLarge = 1 << 3;      // F4 90-BF, or F5-FF 90-BF
constexpr uint8_t kSurrogate = 1 << 4;     // ED A0-BF
constexpr uint8_t kOverlong2 = 1 << 5;     // C0-C1 80-BF
constexpr uint8_t kTooLarge1000 = 1 << 6;  // F5-FF 80-8F
constexpr uint8_t kOverlong4 = 1 << 6;     // F0 80-8F
constexpr uint8_t kTwoConts = 1 << 7;      // a continuation after a continuation
constexpr uint8_t kCarry = kTooShort | kTooLong | kTwoConts;
constexpr uint8_t kLarge = kCarry | kTooLarge | kTooLarge1000;
constexpr uint8_t kCont = kTooLong | kOverlong2 | kTwoConts;

// clang-format off
// By the high nibble of the byte before: ASCII, continuation, two-, three-
// and four-byte leads.
alignas(16) constexpr uint8_t kByte1High[16] = {
    kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
    kTwoConts, kTwoConts, kTwoConts, kTwoConts,
    kTooShort | kOverlong2, kTooShort,
    kTooShort | kOverlong3 | kSurrogate,
    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};
// By the low nibble of the byte before.
alignas(16) constexpr uint8_t kByte1Low[16] = {
    kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
    kCarry | kTooLarge, kLarge, kLarge, kLarge,
    kLarge, kLarge, kLarge, kLarge,
    kLarge, kLarge | kSurrogate, kLarge, kLarge};
// By the high nibble of the byte: ASCII, continuations 80-8F, 90-9F and
// A0-BF, leads.
alignas(16) constexpr uint8_t kByte2High[16] = {
    kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
    kCont | kOverlong3 | kTooLarge1000 | kOverlong4, kCont | kOverlong3 | kTooLarge,
    kCont | kSurrogate | kTooLarge, kCont | kSurrogate | kTooLarge,
    kTooShort, kTooShort, kTooShort, kTooShort};
// The largest byte that needs no byte after the last sixteen.
alignas(16) constexpr uint8_t kLastComplete[16] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0 - 1, 0xE0 - 1, 0xC0 - 1};
// clang-format on

// GCC and clang each have their own way to compile the functions that
// follow for more instructions than the rest of the program.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("ssse3,sse4.1"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("ssse3,sse4.1")
#endif

inline __m128i LoadBytes(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline __m128i LoadUnits(const char16_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline void Store(void* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}
inline __m128i Bytes(uint8_t b) {
  return _mm_set1_epi8(static_cast<char>(b));
}
inline __m128i Units(uint16_t u) {
  return _mm_set1_epi16(static_cast<short>(u));
}
inline __m128i HighNibbles(__m128i v) {
  return _mm_and_si128(_mm_srli_epi16(v, 4), Bytes(0x0F));
}

inline __m128i Table(const uint8_t* table) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(table));
}

// The error bits of the sixteen bytes of `input`, given the sixteen before.
inline __m128i Utf8Errors(__m128i input, __m128i before) {
  const __m128i prev1 = _mm_alignr_epi8(input, before, 15);
  const __m128i byte1_high = _mm_shuffle_epi8(Table(kByte1High), HighNibbles(prev1));
  const __m128i byte1_low = _mm_shuffle_epi8(Table(kByte1Low), _mm_and_si128(prev1, Bytes(0x0F)));
  const __m128i byte2_high = _mm_shuffle_epi8(Table(kByte2High), HighNibbles(input));
  const __m128i pairs = _mm_and_si128(_mm_and_si128(byte1_high, byte1_low), byte2_high);
  // The third and fourth bytes of three- and four-byte sequences must be
  // continuations, and are the only continuations allowed after one.
  const __m128i third = _mm_subs_epu8(_mm_alignr_epi8(input, before, 14), Bytes(0xE0 - 0x80));
  const __m128i fourth = _mm_subs_epu8(_mm_alignr_epi8(input, before, 13), Bytes(0xF0 - 0x80));
  const __m128i must_continue = _mm_and_si128(_mm_or_si128(third, fourth), Bytes(0x80));
  return _mm_xor_si128(must_continue, pairs);
}

// Non-zero where the last bytes of `input` begin a sequence that needs
// bytes beyond it.
inline __m128i Unfinished(__m128i input) {
  return _mm_subs_epu8(input, Table(kLastComplete));
}

size_t ValidUtf8Sse41(const uint8_t* in, size_t n) {
  // Blocks of 32 bytes, each checked against the bytes before it; `before`
  // starts as ASCII, as the input starts between sequences.
  __m128i before = _mm_setzero_si128();
  __m128i unfinished = _mm_setzero_si128();
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m128i a = LoadBytes(in + i);
    const __m128i b = LoadBytes(in + i + 16);
    __m128i errors;
    if (_mm_movemask_epi8(_mm_or_si128(a, b)) == 0) {
      errors = unfinished;  // a sequence cut short by ASCII
      unfinished = _mm_setzero_si128();
    } else {
      errors = _mm_or_si128(Utf8Errors(a, before), Utf8Errors(b, a));
      unfinished = Unfinished(b);
    }
    before = b;
    if (!_mm_testz_si128(errors, errors)) break;
  }
  return ValidUtf8From(in, n, i);
}

// The 64-bit mask of the bytes of in[0, 64) for which `lanes` holds.
template <typename Lanes>
inline uint64_t Mask64(const uint8_t* in, Lanes lanes) {
  uint64_t mask = 0;
  for (int k = 0; k < 4; ++k) {
    const unsigned part = static_cast<unsigned>(_mm_movemask_epi8(lanes(LoadBytes(in + 16 * k))));
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
  Store(o, _mm_shuffle_epi8(lanes, _mm_loadu_si128(reinterpret_cast<const __m128i*>(
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
      LoadBytes(in),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(kDecodeTables.shuffles[step.shuffle])));
  char16_t* o = *out;
  if (step.shuffle < kFourShuffles) {
    // 110aaaaa 10bbbbbb: the lead's five bits above the six.
    const __m128i low = _mm_and_si128(lanes, Units(0x7F));
    const __m128i lead = _mm_and_si128(lanes, Units(0x1F00));
    Store(o, _mm_or_si128(low, _mm_srli_epi16(lead, 2)));
    *out = o + 6;
  } else if (step.shuffle < kThreeShuffles) {
    // 1110aaaa 10bbbbbb 10cccccc, shorter ones likewise, in 32-bit lanes.
    const __m128i low = _mm_and_si128(lanes, _mm_set1_epi32(0x7F));
    const __m128i middle = _mm_and_si128(lanes, _mm_set1_epi32(0x3F00));
    const __m128i lead = _mm_and_si128(lanes, _mm_set1_epi32(0x0F0000));
    const __m128i code_points =
        _mm_or_si128(_mm_or_si128(low, _mm_srli_epi32(middle, 2)), _mm_srli_epi32(lead, 4));
    Store(o, _mm_packus_epi32(code_points, code_points));
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
  const __m128i zero = _mm_setzero_si128();
  char16_t* o = *out;
  const uint64_t high = Mask64(in, [](__m128i v) { return v; });
  if (high == 0) {
    for (int k = 0; k < 4; ++k) {
      const __m128i v = LoadBytes(in + 16 * k);
      Store(o + 16 * k, _mm_unpacklo_epi8(v, zero));
      Store(o + 16 * k + 8, _mm_unpackhi_epi8(v, zero));
    }
    *out = o + 64;
    return 64;
  }
  // Continuation bytes are those below 0xC0 as signed bytes; a byte ends a
  // code point when the next one is no continuation. Bit 63 is unknown.
  const uint64_t ends = ~(Mask64(in + 1, [](__m128i v) { return _mm_cmplt_epi8(v, Bytes(0xC0)); }));
  size_t position = 0;
  while (position <= 64 - 16) {
    if ((high >> position & 0xFFFF) == 0) {
      const __m128i v = LoadBytes(in + position);
      Store(o, _mm_unpacklo_epi8(v, zero));
      Store(o + 8, _mm_unpackhi_epi8(v, zero));
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
  Store(o,
        _mm_shuffle_epi8(lanes, _mm_loadu_si128(reinterpret_cast<const __m128i*>(step.shuffle))));
  return o + step.length;
}

Encoded EncodeUtf8Sse41(const char16_t* in, size_t n, uint8_t* out) {
  uint8_t* o = out;
  size_t i = 0;
  // Eight units write up to 24 bytes, but as two stores of 16 bytes: ten
  // units of room keep the second one within 3 * n.
  while (i + 10 <= n) {
    const __m128i v = LoadUnits(in + i);
    if (i + 16 <= n) {
      const __m128i w = LoadUnits(in + i + 8);
      if (_mm_testz_si128(_mm_or_si128(v, w), Units(0xFF80))) {
        Store(o, _mm_packus_epi16(v, w));
        o += 16;
        i += 16;
        continue;
      }
    }
    if (_mm_testz_si128(v, Units(0xFF80))) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(v, v));
      o += 8;
      i += 8;
      continue;
    }
    // Each unit's lead byte for its own length, and the two continuation
    // bytes of a three-byte form (the last one also ends a two-byte form).
    const __m128i ascii = _mm_cmpeq_epi16(_mm_and_si128(v, Units(0xFF80)), _mm_setzero_si128());
    const __m128i short_form =
        _mm_cmpeq_epi16(_mm_and_si128(v, Units(0xF800)), _mm_setzero_si128());
    const __m128i lead2 = _mm_or_si128(_mm_srli_epi16(v, 6), Units(0xC0));
    const __m128i lead3 = _mm_or_si128(_mm_srli_epi16(v, 12), Units(0xE0));
    __m128i lead = _mm_blendv_epi8(_mm_blendv_epi8(lead3, lead2, short_form), v, ascii);
    const __m128i middle =
        _mm_or_si128(_mm_and_si128(_mm_srli_epi16(v, 6), Units(0x3F)), Units(0x80));
    __m128i last = _mm_or_si128(_mm_and_si128(v, Units(0x3F)), Units(0x80));
    // Two bits a unit: bit 0 for two bytes or more, bit 1 for three.
    unsigned lengths = (~static_cast<unsigned>(_mm_movemask_epi8(ascii)) & 0x5555) |
                       (~static_cast<unsigned>(_mm_movemask_epi8(short_form)) & 0xAAAA);
    size_t taken = 8;
    const __m128i surrogates = _mm_cmpeq_epi16(_mm_and_si128(v, Units(0xF800)), Units(0xD800));
    if (!_mm_testz_si128(surrogates, surrogates)) {
      // A pair is F0|a>>8 80|a>>2 and 80|(a&3)<<4|b>>6 80|b, where a is the
      // high surrogate less 0xD7C0 and b the low one's ten bits: two bytes
      // from each unit. A high surrogate in the last lane waits for the
      // next eight units, which begin with it; a surrogate without its
      // partner next to it goes the plain way.
      const __m128i high = _mm_cmpeq_epi16(_mm_and_si128(v, Units(0xFC00)), Units(0xD800));
      const __m128i low = _mm_cmpeq_epi16(_mm_and_si128(v, Units(0xFC00)), Units(0xDC00));
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
      const __m128i above = _mm_sub_epi16(_mm_slli_si128(v, 2), Units(0xD7C0));
      const __m128i a = _mm_sub_epi16(v, Units(0xD7C0));
      const __m128i high_lead = _mm_or_si128(_mm_srli_epi16(a, 8), Units(0xF0));
      const __m128i high_last =
          _mm_or_si128(_mm_and_si128(_mm_srli_epi16(a, 2), Units(0x3F)), Units(0x80));
      const __m128i low_lead =
          _mm_or_si128(_mm_or_si128(_mm_slli_epi16(_mm_and_si128(above, Units(3)), 4),
                                    _mm_and_si128(_mm_srli_epi16(v, 6), Units(0x0F))),
                       Units(0x80));
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

bool HasSse41() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1");
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

// AVX2, chosen at run time: the same checks 32 bytes at a time, and
// decoding without branches on the sequence lengths. Not on Windows, where
// the compiler cannot keep 32-byte values it spills to the stack aligned.
#ifndef _WIN32
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

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

inline __m256i Table32(const uint8_t* table) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(table)));
}
inline __m256i Bytes32(uint8_t b) {
  return _mm256_set1_epi8(static_cast<char>(b));
}
inline __m256i HighNibbles32(__m256i v) {
  return _mm256_and_si256(_mm256_srli_epi16(v, 4), Bytes32(0x0F));
}

// The 32 bytes that end N bytes before the end of `input`.
template <int N>
inline __m256i Previous(__m256i input, __m256i before) {
  return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(before, input, 0x21), 16 - N);
}

inline __m256i Utf8Errors32(__m256i input, __m256i before) {
  const __m256i prev1 = Previous<1>(input, before);
  const __m256i byte1_high = _mm256_shuffle_epi8(Table32(kByte1High), HighNibbles32(prev1));
  const __m256i byte1_low =
      _mm256_shuffle_epi8(Table32(kByte1Low), _mm256_and_si256(prev1, Bytes32(0x0F)));
  const __m256i byte2_high = _mm256_shuffle_epi8(Table32(kByte2High), HighNibbles32(input));
  const __m256i pairs = _mm256_and_si256(_mm256_and_si256(byte1_high, byte1_low), byte2_high);
  const __m256i third = _mm256_subs_epu8(Previous<2>(input, before), Bytes32(0xE0 - 0x80));
  const __m256i fourth = _mm256_subs_epu8(Previous<3>(input, before), Bytes32(0xF0 - 0x80));
  const __m256i must_continue = _mm256_and_si256(_mm256_or_si256(third, fourth), Bytes32(0x80));
  return _mm256_xor_si256(must_continue, pairs);
}

size_t ValidUtf8Avx2(const uint8_t* in, size_t n) {
  // As ValidUtf8Sse41, 64 bytes a block; only the upper half of the last
  // comparison matters for a sequence cut at the block's end.
  const __m256i last_complete =
      _mm256_inserti128_si256(_mm256_set1_epi8(static_cast<char>(0xFF)),
                              _mm_load_si128(reinterpret_cast<const __m128i*>(kLastComplete)), 1);
  __m256i before = _mm256_setzero_si256();
  __m256i unfinished = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + 32));
    __m256i errors;
    if (_mm256_movemask_epi8(_mm256_or_si256(a, b)) == 0) {
      errors = unfinished;
      unfinished = _mm256_setzero_si256();
    } else {
      errors = _mm256_or_si256(Utf8Errors32(a, before), Utf8Errors32(b, a));
      unfinished = _mm256_subs_epu8(b, last_complete);
    }
    before = b;
    if (!_mm256_testz_si256(errors, errors)) break;
  }
  // Clean upper halves, or the SSE code that runs next pays for them.
  _mm256_zeroupper();
  return ValidUtf8From(in, n, i);
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
  const __m256i continuation_below = Bytes32(0xC0);  // signed
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
    const __m256i prev1 = Previous<1>(v, before);
    const __m256i prev2 = Previous<2>(v, before);
    const __m256i prev3 = Previous<3>(v, before);
    const __m256i cont1 = _mm256_cmpgt_epi8(continuation_below, prev1);
    // A four-byte lead (F0 and up) here or among the three bytes before.
    const __m256i four =
        _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_max_epu8(v, Bytes32(0xF0)), v),
                        _mm256_cmpeq_epi8(_mm256_max_epu8(prev3, Bytes32(0xF0)), prev3));
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

bool HasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#else
size_t ValidUtf8Avx2(const uint8_t* in, size_t n) {
  return ValidUtf8Sse41(in, n);
}
size_t DecodeUtf8Avx2(const uint8_t* in, size_t n, char16_t* out) {
  return DecodeUtf8Sse41(in, n, out);
}
bool HasAvx2() {
  return false;
}
#endif

constexpr Transcoder kPlain = {"plain", ValidUtf8Plain, DecodeUtf8Plain, EncodeUtf8Plain};
constexpr Transcoder kSse2 = {"SSE2", ValidUtf8Sse2, DecodeUtf8Sse2, EncodeUtf8Sse2};
constexpr Transcoder kSse41 = {"SSE4.1", ValidUtf8Sse41, DecodeUtf8Sse41, EncodeUtf8Sse41};

constexpr Transcoder kAvx2 = {"AVX2", ValidUtf8Avx2, DecodeUtf8Avx2, EncodeUtf8Sse41};

constexpr const Transcoder* kAll[] = {&kPlain, &kSse2, &kSse41, &kAvx2};

}  // namespace

TranscoderList AvailableTranscoders() {
  static const size_t count = !HasSse41() ? 2 : !HasAvx2() ? 3 : 4;
  return {kAll, count};
}

const Transcoder& FastestTranscoder() {
  const TranscoderList list = AvailableTranscoders();
  return *list.items[list.size - 1];
}

}  // namespace tobble::cli
