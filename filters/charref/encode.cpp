#include "filters/charref/charref.h"
#include "filters/charref/encode_dense.h"
#include "filters/charref/unit_classes.h"
#include "filters/common/encode_avx512.h"
#include "filters/common/hex.h"
#include "filters/common/simd.h"
#include "filters/common/surrogate.h"
#include "filters/common/utf8.h"

namespace tobble {

namespace {

using charref::MarkupReference;
using simd::Units;

template <typename Unit>
Unit* WriteString(Unit* out, const char16_t* text) {
  while (*text != 0) *out++ = static_cast<Unit>(*text++);
  return out;
}

// ---------------------------------------------------------------------------
// The plain unit-by-unit encoders, the reference for the fast ones below.

// Values reach at most 0x111FFF (1,122,303): seven decimal digits.
constexpr uint32_t kDecimalDivisors[] = {1000000, 100000, 10000, 1000, 100, 10};

// "&#", the digits of v without leading zeros, ";".
struct DecimalReferenceScalar {
  template <typename Unit>
  static Unit* Write(Unit* out, uint32_t v) {
    *out++ = u'&';
    *out++ = u'#';
    for (uint32_t d : kDecimalDivisors) {
      if (v >= d) *out++ = static_cast<Unit>(u'0' + v / d % 10);
    }
    *out++ = static_cast<Unit>(u'0' + v % 10);
    *out++ = u';';
    return out;
  }
};

// "&#x", the lower-case hex digits of v without leading zeros, ";".
struct HexReferenceScalar {
  template <typename Unit>
  static Unit* Write(Unit* out, uint32_t v) {
    *out++ = u'&';
    *out++ = u'#';
    *out++ = u'x';
    for (int shift = 20; shift > 0; shift -= 4) {
      if (v >> shift != 0) *out++ = static_cast<Unit>(kLowerHexDigits[(v >> shift) & 0xF]);
    }
    *out++ = static_cast<Unit>(kLowerHexDigits[v & 0xF]);
    *out++ = u';';
    return out;
  }
};

// Both encoders: they differ only in how a numeric reference is written.
template <typename Reference, typename In, typename Out>
Progress EncodeScalar(const In* in, size_t n, Out* out, bool last) {
  Out* o = out;
  size_t i = 0;
  while (i < n) {
    const uint32_t u = in[i];
    if (u < 0x80) {
      const char16_t* named = MarkupReference(static_cast<char16_t>(u));
      if (named == nullptr) {
        *o++ = static_cast<Out>(u);
      } else {
        o = WriteString(o, named);
      }
      ++i;
      continue;
    }
    const Character c = CharacterAt(in, n, i, last);
    if (c.units == 0) break;  // its partner (its rest) may start the next piece
    o = Reference::Write(o, c.value);
    i += c.units;
  }
  return {i, static_cast<size_t>(o - out)};
}

// ---------------------------------------------------------------------------
// The fast encoders: runs that need no reference are copied eight units at
// a time, and each reference is built in a vector and written with one store
// (two above U+FFFF). The stores reach at most eleven units from where a
// reference starts, past its end into room the buffer has: the output
// before an input unit is at most eight units for each unit before it, and
// the buffer holds eight units for each input unit and eight more.

// What the WebAssembly build does differently, where engines measure it
// faster: a lone ASCII unit between two units that need references (a space
// between emoji) is written by the loop over those units rather than left to
// the run copy, and a hex reference above U+FFFF is written a unit at a time
// (the vector's multiplies and shuffles cost more than the units).
#if defined(__wasm__)
constexpr bool kLoneAsciiInLoop = true;
constexpr bool kPlainHexAboveBmp = true;
#else
constexpr bool kLoneAsciiInLoop = false;
constexpr bool kPlainHexAboveBmp = false;
#endif

// Where a markup character's reference lies in kMarkupReferences: (u >> 1)
// & 15 tells the four apart.
constexpr size_t MarkupSlot(char16_t u) {
  return (u >> 1) & 15;
}

constexpr char16_t kMarkupCharacters[] = {u'"', u'<', u'>', u'&'};

// The four markup references, padded to eight units, and their lengths.
struct MarkupTable {
  alignas(16) char16_t references[16][8];
  uint8_t lengths[16];
  constexpr MarkupTable() : references(), lengths() {
    for (char16_t u : kMarkupCharacters) {
      const char16_t* reference = MarkupReference(u);
      uint8_t length = 0;
      for (; reference[length] != 0; ++length) {
        references[MarkupSlot(u)][length] = reference[length];
      }
      lengths[MarkupSlot(u)] = length;
    }
  }
};
constexpr MarkupTable kMarkupReferences;

template <typename Unit>
Unit* WriteMarkupReference(Unit* out, char16_t u) {
  const size_t slot = MarkupSlot(u);
  simd::Store(out,
              _mm_load_si128(reinterpret_cast<const Units*>(kMarkupReferences.references[slot])));
  return out + kMarkupReferences.lengths[slot];
}

// The four decimal digits of each number below 10,000, as bytes.
struct FourDigitTable {
  uint32_t digits[10000];
  constexpr FourDigitTable() : digits() {
    for (uint32_t v = 0; v < 10000; ++v) {
      digits[v] = (u'0' + v / 1000) | (u'0' + v / 100 % 10) << 8 | (u'0' + v / 10 % 10) << 16 |
                  (u'0' + v % 10) << 24;
    }
  }
};
constexpr FourDigitTable kFourDigits;

// The number of hex digits of v (at least 1).
size_t HexDigits(uint32_t v) {
  return (35 - static_cast<size_t>(__builtin_clz(v))) / 4;
}

constexpr uint32_t kPowersOfTen[8] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};

// The eight digits of a number below 10^8, as units.
Units EightDigitText(uint32_t number) {
  const uint32_t high = number / 10000;
  const uint32_t low = number - high * 10000;
  const Units bytes =
      _mm_unpacklo_epi32(_mm_cvtsi32_si128(static_cast<int>(kFourDigits.digits[high])),
                         _mm_cvtsi32_si128(static_cast<int>(kFourDigits.digits[low])));
  return _mm_unpacklo_epi8(bytes, _mm_setzero_si128());
}

// The lanes that turn the digits of a vector into a reference, for each
// digit count: `prefix` in the lanes before the digits, `semicolon` in the
// lane after them, `fill` elsewhere. The digits give "0" (or 0) in the lanes
// that are not theirs; these lanes are added to them.
struct ReferenceLanes {
  alignas(16) char16_t by_digits[9][8];
};

constexpr ReferenceLanes MakeReferenceLanes(const char16_t* prefix, size_t prefix_length,
                                            char16_t semicolon, char16_t fill) {
  ReferenceLanes lanes{};
  for (size_t digits = 0; digits < 9; ++digits) {
    for (size_t lane = 0; lane < 8; ++lane) {
      lanes.by_digits[digits][lane] = lane < prefix_length             ? prefix[lane]
                                      : lane == prefix_length + digits ? semicolon
                                                                       : fill;
    }
  }
  return lanes;
}

Units LanesFor(const ReferenceLanes& lanes, size_t digits) {
  return _mm_load_si128(reinterpret_cast<const Units*>(lanes.by_digits[digits]));
}

// "&#" and ";" as differences from the "0" of the digit text.
constexpr char16_t kDecimalPrefix[] = {static_cast<char16_t>(u'&' - u'0'),
                                       static_cast<char16_t>(u'#' - u'0')};
constexpr char16_t kSemicolonLessZero = u';' - u'0';
constexpr ReferenceLanes kDecimalBmpLanes =
    MakeReferenceLanes(kDecimalPrefix, 2, kSemicolonLessZero, 0);
constexpr ReferenceLanes kDecimalLanes = MakeReferenceLanes(nullptr, 0, kSemicolonLessZero, 0);

// Decimal references ("&#233;") of the digits of v without leading zeros.
struct DecimalReferences {
  // v from 1 to 0xFFFF: "&#", at most five digits and ";", one vector. Scaled
  // to below 10^6, v has its digits first after two leading zeros.
  template <typename Unit>
  static Unit* WriteBmp(Unit* out, uint32_t v) {
    const size_t digits = 1u + (v >= 10) + (v >= 100) + (v >= 1000) + (v >= 10000);
    simd::Store(out, simd::Add(EightDigitText(v * kPowersOfTen[6 - digits]),
                               LanesFor(kDecimalBmpLanes, digits)));
    return out + 3 + digits;
  }
  // v from 10,000 to 9,999,999 (lone surrogates, and code points above
  // U+FFFF): "&#", then the digits and ";" in a vector of their own, of v
  // scaled to have its digits first among eight.
  template <typename Unit>
  static Unit* Write(Unit* out, uint32_t v) {
    const size_t digits = 5u + (v >= 100000) + (v >= 1000000);
    out[0] = u'&';
    out[1] = u'#';
    simd::Store(out + 2, simd::Add(EightDigitText(v * kPowersOfTen[8 - digits]),
                                   LanesFor(kDecimalLanes, digits)));
    return out + 3 + digits;
  }
  // Blocks of three-byte characters in UTF-8, and of units from 10,000 up
  // written as bytes.
  static constexpr uint8_t kBlockLead = charref::kFiveDigitLead;
  static constexpr char16_t kBlockLow = 10000;
#if TOBBLE_AVX512_BLOCKS
  template <typename In>
  static size_t WriteBlocksAvx512(const In* in, size_t n, size_t p, uint8_t*& out) {
    return avx512::WriteDecimalReferences(in, n, p, out);
  }
#endif
  // Where both take a unit, the eight-byte blocks go first: on 16 MiB of
  // Japanese from units, 7.8 ms against the AVX-512 blocks' 9.7.
  static constexpr bool kAvx512First = false;
  static void WriteBlock(uint8_t* out, Units values) {
    charref::WriteFiveDigitReferences(out, values);
  }
  static charref::ReferenceParts BlockReferences(Units values) {
    return charref::FiveDigitReferences(values);
  }
  static constexpr bool kPairBlocks = false;
  // v above 0xFFFF in bytes: most (emoji among them) have six digits,
  // written from two entries of the four-digit table with two stores.
  static uint8_t* WriteAboveBmp(uint8_t* out, uint32_t v) {
    if (v - 100000 >= 900000) return Write(out, v);
    // v / 10000, exact below 2^20.
    const uint32_t high = static_cast<uint32_t>(uint64_t{v} * 429497 >> 32);
    const uint32_t low = v - high * 10000;
    StoreBytes(out, uint64_t{'&' | '#' << 8} | uint64_t{kFourDigits.digits[high] >> 16} << 16 |
                        uint64_t{kFourDigits.digits[low]} << 32);
    out[8] = ';';
    return out + 9;
  }
};

// Hex digit values (0 to 15 in 16-bit lanes) as lower-case digit units, less
// "0": the letters lie 'a' - '0' - 10 further on.
Units HexLetterOffsets(Units nibbles) {
  return simd::Add(nibbles, simd::And(_mm_cmpgt_epi16(nibbles, simd::Splat(9)), simd::Splat(39)));
}

constexpr char16_t kHexPrefix[] = {u'&', u'#', u'x'};
constexpr ReferenceLanes kHexBmpLanes = MakeReferenceLanes(kHexPrefix, 3, u';', u'0');
constexpr ReferenceLanes kHexLanes = MakeReferenceLanes(nullptr, 0, u';', u'0');

// Hex references ("&#xe9;") of the lower-case digits of v without leading
// zeros. Each lane multiplies its nibble to the top of 16 bits, then shifts
// it down to the bottom.
struct HexReferences {
  // v from 1 to 0xFFFF: "&#x", at most four digits and ";", one vector; v has
  // its digits first among four nibbles, which go to lanes 3 to 6.
  template <typename Unit>
  static Unit* WriteBmp(Unit* out, uint32_t v) {
    const size_t digits = HexDigits(v);
    const Units number = simd::Splat(static_cast<char16_t>(v << (4 * (4 - digits))));
    const Units nibbles =
        _mm_srli_epi16(_mm_mullo_epi16(number, _mm_set_epi16(0, 4096, 256, 16, 1, 0, 0, 0)), 12);
    simd::Store(out, simd::Add(HexLetterOffsets(nibbles), LanesFor(kHexBmpLanes, digits)));
    return out + 4 + digits;
  }
  // v from 1 to 0xFFFFFF (lone surrogates, and code points above U+FFFF):
  // "&#x", then the digits and ";" in a vector of their own, of v with its
  // digits first among the eight nibbles of 32 bits.
  template <typename Unit>
  static Unit* Write(Unit* out, uint32_t v) {
    if constexpr (kPlainHexAboveBmp) return HexReferenceScalar::Write(out, v);
    const size_t digits = HexDigits(v);
    const uint32_t number = v << (4 * (8 - digits));
    const Units halves = _mm_cvtsi32_si128(static_cast<int>(number >> 16 | number << 16));
    const Units pairs = _mm_unpacklo_epi16(halves, halves);
    const Units spread = _mm_unpacklo_epi32(pairs, pairs);
    const Units nibbles = _mm_srli_epi16(
        _mm_mullo_epi16(spread, _mm_set_epi16(4096, 256, 16, 1, 4096, 256, 16, 1)), 12);
    out[0] = u'&';
    out[1] = u'#';
    out[2] = u'x';
    simd::Store(out + 3, simd::Add(HexLetterOffsets(nibbles), LanesFor(kHexLanes, digits)));
    return out + 4 + digits;
  }
  // Blocks of three-byte characters in UTF-8, and of units from 0x1000 up
  // written as bytes.
  static constexpr uint8_t kBlockLead = charref::kFourHexLead;
  static constexpr char16_t kBlockLow = 0x1000;
#if TOBBLE_AVX512_BLOCKS
  template <typename In>
  static size_t WriteBlocksAvx512(const In* in, size_t n, size_t p, uint8_t*& out) {
    return avx512::WriteHexReferences(in, n, p, out);
  }
#endif
  // The AVX-512 blocks go first: on 16 MiB of Japanese from units, 5.7 ms
  // against the eight-byte blocks' 7.0.
  static constexpr bool kAvx512First = true;
  static void WriteBlock(uint8_t* out, Units values) {
    charref::WriteFourHexReferences(out, values);
  }
  static charref::ReferenceParts BlockReferences(Units values) {
    return charref::FourHexReferences(values);
  }
  // Blocks from UTF-16 take surrogate pairs too.
  static constexpr bool kPairBlocks = true;
  // v above 0xFFFF in bytes: those of five digits (up to U+FFFFF, emoji
  // among them) from two entries of the byte-pair table with two stores.
  static uint8_t* WriteAboveBmp(uint8_t* out, uint32_t v) {
    if (v > 0xFFFFF) return Write(out, v);
    StoreBytes(out, uint64_t{'&' | '#' << 8 | 'x' << 16} |
                        uint64_t{static_cast<uint8_t>(kLowerHexDigits[v >> 16])} << 24 |
                        uint64_t{kLowerHexBytePairs.pair[v >> 8 & 0xFF]} << 32 |
                        uint64_t{kLowerHexBytePairs.pair[v & 0xFF]} << 48);
    out[8] = ';';
    return out + 9;
  }
};

// Where an encoder is: units read, and the output position.
template <typename Unit>
struct Position {
  size_t read;
  Unit* out;
};

// Whether a unit or code point has a reference of eight bytes (from
// References::kBlockLow to 0xFFFF, no surrogate): a block is tried where
// two such lead, which text of emoji among joiners seldom fills.
template <typename References>
constexpr bool HasBlockReference(uint32_t u) {
  return u - References::kBlockLow < 0xD800u - References::kBlockLow ||
         u - 0xE000u < 0x10000u - 0xE000u;
}

// Into bytes: the references of the units (or code points) that lead the
// eight at in[0, 8) and all have eight bytes, written a block at a time
// (encode_dense.h); returns how many, from 0 to 8. The block stores 64
// bytes.
template <typename References>
size_t WriteReferenceBlock(Units units, unsigned above, uint8_t* out) {
  const unsigned qualified =
      simd::LaneBits(simd::And(simd::AtLeast(units, References::kBlockLow),
                               simd::Not(simd::InRange(units, 0xD800, 0xDFFF)))) &
      ~above;
  const size_t count = static_cast<size_t>(__builtin_ctz(~qualified));
  if (count != 0) References::WriteBlock(out, units);
  return count;
}
template <typename References>
size_t WriteReferenceBlock(const char16_t* in, uint8_t* out) {
  return WriteReferenceBlock<References>(simd::Load(in), 0, out);
}
template <typename References>
size_t WriteReferenceBlock(const char32_t* in, uint8_t* out) {
  unsigned above;
  const Units units = simd::NarrowCodePoints(in, &above);
  return WriteReferenceBlock<References>(units, above, out);
}

// Blocks from in[p] while two units (or code points) with such references
// lead, into bytes; returns the units read. Whole blocks are the rule in
// such text: the branch lets the next block start before this one's count
// is known.
template <typename References, typename In>
size_t WriteReferenceBlocks(const In* in, size_t n, size_t p, uint8_t*& o) {
  const size_t start = p;
  while (n - p > simd::kWidth && HasBlockReference<References>(in[p]) &&
         HasBlockReference<References>(in[p + 1])) {
    const size_t count = WriteReferenceBlock<References>(in + p, o);
    if (count == simd::kWidth) {
      p += simd::kWidth;
      o += 8 * simd::kWidth;
      continue;
    }
    p += count;
    o += 8 * count;
    break;
  }
  return p - start;
}

// From UTF-16 units into bytes: blocks of eight from in[p] while each unit
// either has a reference of eight bytes or is below 0x80 and needs none,
// and some have references; in hex, a surrogate pair of a code point below
// 0x100000 (emoji among them) goes too, written across two lanes and, where
// it starts in a block's last unit, across two blocks. Returns the units
// read. A block moves the input on by eight whatever it holds, so in
// Japanese text, with ASCII punctuation every ten characters or so, where
// the next block starts never waits on a branch about this one. Reads
// in[p, p + 9) a block, and the stores reach 64 bytes from where it starts;
// where the blocks stop after a pair's first lane, the output and the input
// go back to where the pair starts.
template <typename References>
size_t WriteMixedReferenceBlocks(const char16_t* in, size_t n, size_t p, uint8_t*& o) {
  const size_t start = p;
  Units last_units = _mm_setzero_si128(), last_pair_highs = _mm_setzero_si128();
  while (n - p > simd::kWidth) {
    const Units units = simd::Load(in + p);
    const Units plain = simd::Not(charref::NeedsReference::Lanes(units));
    const Units eight_bytes = simd::And(simd::AtLeast(units, References::kBlockLow),
                                        simd::Not(simd::InRange(units, 0xD800, 0xDFFF)));
    if (References::kPairBlocks &&
        simd::Mask(simd::Or(simd::InRange(units, 0xD800, 0xDFFF), last_pair_highs)) != 0) {
      const Units pair_high = simd::And(simd::InRange(units, 0xD800, 0xDBBF),
                                        simd::InRange(simd::Load(in + p + 1), 0xDC00, 0xDFFF));
      const Units pair_low = simd::LanesBefore(pair_high, last_pair_highs);
      const unsigned referenced =
          simd::LaneBits(simd::Or(simd::Or(eight_bytes, pair_high), pair_low));
      if (referenced == 0 || (referenced | simd::LaneBits(plain)) != 0xFF) break;
      o = charref::StoreMixedHexPairReferences(o, units, simd::LanesBefore(units, last_units),
                                               plain, pair_high, pair_low);
      last_units = units;
      last_pair_highs = pair_high;
    } else {
      // Without surrogates, and with no pair begun in the block before.
      const unsigned referenced = simd::LaneBits(eight_bytes);
      if (referenced == 0 || (referenced | simd::LaneBits(plain)) != 0xFF) break;
      o = charref::StoreMixedReferences(o, References::BlockReferences(units), units, plain,
                                        referenced);
    }
    p += simd::kWidth;
  }
  if (simd::LaneBits(last_pair_highs) >> 7) {
    o -= 4;
    --p;
  }
  return p - start;
}

// The units from 0x80 up from in[at.read] (there is one) as references, up
// to the first unit below 0x80, from UTF-16 units or from code points (a
// str's four-byte storage, written as bytes). Stops early, before a high
// surrogate that ends a piece that more follows, whose partner may start
// the next piece.
template <typename References, typename In, typename Out>
Position<Out> EncodeNonAscii(const In* in, size_t n, bool last, Position<Out> at) {
  size_t p = at.read;
  Out* o = at.out;
  if constexpr (sizeof(In) == 4) {
    // Blocks where the run starts with them: within a run of emoji, joiners
    // and variation selectors, trying them at each code point costs more
    // than they give.
    p += WriteReferenceBlocks<References>(in, n, p, o);
    if (p == n || in[p] < 0x80) return {p, o};
  }
  // From units or code points into bytes, the AVX-512 blocks take every
  // kind of character.
  const bool use_avx512 = sizeof(Out) == 1 && avx512::Use();
  do {
    const uint32_t u = in[p];
#if TOBBLE_AVX512_BLOCKS
    if constexpr (sizeof(In) == 4 && sizeof(Out) == 1) {
      if (use_avx512) {
        if (const size_t read = References::WriteBlocksAvx512(in, n, p, o)) {
          p += read;
          continue;
        }
      }
    }
#endif
    if constexpr (sizeof(In) == 2 && sizeof(Out) == 1) {
      // (The test of the unit first keeps text of lower code points, which
      // no block takes, and surrogates from paying for the rest.)
      const bool eight_bytes =
          u >= References::kBlockLow && (References::kPairBlocks || (u & 0xF800) != 0xD800);
      if (eight_bytes && !(use_avx512 && References::kAvx512First)) {
        if (const size_t read = WriteMixedReferenceBlocks<References>(in, n, p, o)) {
          p += read;
          continue;
        }
        if (const size_t read = WriteReferenceBlocks<References>(in, n, p, o)) {
          p += read;
          continue;
        }
      }
#if TOBBLE_AVX512_BLOCKS
      if (use_avx512) {
        if (const size_t read = References::WriteBlocksAvx512(in, n, p, o)) {
          p += read;
          continue;
        }
      }
#endif
    }
    if (kLoneAsciiInLoop && u < 0x80) {
      // Two ASCII units in a row may begin a run: the caller copies it.
      if (n - p < 2 || in[p + 1] < 0x80) break;
      const char16_t ascii = static_cast<char16_t>(u);
      o = MarkupReference(ascii) != nullptr ? WriteMarkupReference(o, ascii)
                                            : (*o = static_cast<Out>(u), o + 1);
      ++p;
      continue;
    }
    if (u < 0x10000 && (u & 0xF800) != 0xD800) {  // no surrogate, no pair
      o = References::WriteBmp(o, u);
      ++p;
      continue;
    }
    const Character c = CharacterAt(in, n, p, last);
    if (c.units == 0) break;
    if constexpr (sizeof(Out) == 1) {
      // Into bytes, emoji from tables with two stores, as in UTF-8.
      o = c.value > 0xFFFF ? References::WriteAboveBmp(o, c.value) : References::Write(o, c.value);
    } else {
      o = References::Write(o, c.value);
    }
    p += c.units;
  } while (p < n && (kLoneAsciiInLoop || in[p] >= 0x80));
  return {p, o};
}

uint32_t LoadFourBytes(const uint8_t* in) {
  return *reinterpret_cast<const detail::ByteQuad*>(in);
}

// The same in UTF-8, where each character is read whole and the references
// of those above U+FFFF are written as those of surrogate pairs are. While
// four bytes remain, each character is decoded from the four at its start,
// runs of three-byte characters go a block at a time (encode_dense.h), and
// a lone ASCII byte between two characters that need references (a space
// between words or emoji) is written in the loop: it ends before two ASCII
// bytes in a row, where a run that needs no reference may begin. A block's
// stores reach 64 bytes from where it starts, with more than 24 bytes of
// input left.
template <typename References>
Position<uint8_t> EncodeNonAscii(const uint8_t* in, size_t n, bool last, Position<uint8_t> at) {
  size_t p = at.read;
  uint8_t* o = at.out;
  while (n - p >= 4) {
    const uint32_t bytes = LoadFourBytes(in + p);
    const uint32_t lead = bytes & 0xFF;
    const uint32_t c1 = bytes >> 8 & 0x3F, c2 = bytes >> 16 & 0x3F;
    if (lead < 0x80) {
      if ((bytes & 0x8000) == 0) return {p, o};
      o = MarkupReference(static_cast<char16_t>(lead)) != nullptr
              ? WriteMarkupReference(o, static_cast<char16_t>(lead))
              : (*o = static_cast<uint8_t>(lead), o + 1);
      ++p;
    } else if (lead < 0xE0) {
      o = References::WriteBmp(o, (lead & 0x1F) << 6 | c1);
      p += 2;
    } else if (lead < 0xF0) {
      if (n - p > charref::kBlockBytes) {
        Units block;
        const size_t count = charref::ReadThreeByteBlock(in + p, References::kBlockLead, block);
        // Whole blocks are the rule in such text: the branch lets the next
        // block start before this one's count is known.
        if (count == charref::kBlockCharacters) {
          References::WriteBlock(o, block);
          p += charref::kBlockBytes;
          o += charref::kBlockReferenceBytes;
          continue;
        }
        if (count != 0) {
          References::WriteBlock(o, block);
          p += 3 * count;
          o += 8 * count;
          continue;
        }
      }
      o = References::WriteBmp(o, (lead & 0x0F) << 12 | c1 << 6 | c2);
      p += 3;
    } else {
      o = References::WriteAboveBmp(
          o, (lead & 0x07) << 18 | c1 << 12 | c2 << 6 | (bytes >> 24 & 0x3F));
      p += 4;
    }
  }
  while (p < n && in[p] >= 0x80) {
    const Character c = CharacterAt(in, n, p, last);
    if (c.units == 0) break;
    o = c.value < 0x10000 ? References::WriteBmp(o, c.value) : References::Write(o, c.value);
    p += c.units;
  }
  return {p, o};
}

// A block of 16 bytes (UTF-8) or eight units (UTF-16): bit k is set where
// the unit at p[k] needs a reference.
inline unsigned ReferenceMask(const uint8_t* p) {
  return static_cast<unsigned>(
      _mm_movemask_epi8(charref::NeedsReference::Bytes(simd::LoadBytes(p))));
}
inline unsigned ReferenceMask(const char16_t* p) {
  return simd::LaneBits(charref::NeedsReference::Lanes(simd::Load(p)));
}

// A block's units from p on, stored at out whole.
inline void CopyBlock(uint8_t* out, const uint8_t* p) {
  simd::StoreBytes(out, simd::LoadBytes(p));
}
inline void CopyBlock(char16_t* out, const char16_t* p) {
  simd::Store(out, simd::Load(p));
}
inline void CopyBlock(uint8_t* out, const char16_t* p) {
  simd::Store(out, simd::Load(p));
}

// Text with markup every few words (English in HTML): from in[at.read] on,
// a block at a time whatever it holds, each markup character of a block
// written after the units before it, which a load of the input from the
// last one moved down to their place. Only the output position carries from
// one block to the next, where leaving every markup character to the run
// copy would start a run again after each. Stops at a unit from 0x80 up and
// where fewer than two blocks remain, so that a block loaded from any unit
// of a block lies within the text; the stores reach a block past the output,
// which the room for the references of the units left covers.
template <typename In, typename Out>
Position<Out> EncodeMarkupBlocks(const In* in, size_t n, Position<Out> at) {
  constexpr size_t kBlock = 16 / sizeof(In);
  size_t i = at.read;
  Out* o = at.out;
  while (n - i >= 2 * kBlock) {
    size_t from = 0;
    for (unsigned mask = ReferenceMask(in + i); mask != 0; mask &= mask - 1) {
      const size_t k = static_cast<size_t>(__builtin_ctz(mask));
      CopyBlock(o, in + i + from);
      o += k - from;
      if (in[i + k] >= 0x80) return {i + k, o};
      o = WriteMarkupReference(o, in[i + k]);
      from = k + 1;
    }
    CopyBlock(o, in + i + from);
    o += kBlock - from;
    i += kBlock;
  }
  return {i, o};
}

// Code points (a str's four-byte storage) are left to the run copies.
template <typename Out>
Position<Out> EncodeMarkupBlocks(const char32_t*, size_t, Position<Out> at) {
  return at;
}

// Both fast encoders, writing what EncodeScalar writes: runs that need no
// reference copied eight units at a time, markup from there on a block at a
// time, the other units one by one.
template <typename References, typename In, typename Out>
Progress Encode(const In* in, size_t n, Out* out, bool last) {
  // The output is ahead of the input, and has room for the n - i units of
  // each run copy.
  return simd::ConvertAroundRuns<charref::NeedsReference>(in, n, out, [&](size_t& i, Out*& o) {
    if (in[i] < 0x80) {
      o = WriteMarkupReference(o, static_cast<char16_t>(in[i++]));
      const Position<Out> next = EncodeMarkupBlocks(in, n, Position<Out>{i, o});
      i = next.read;
      o = next.out;
      return true;
    }
    const Position<Out> next = EncodeNonAscii<References>(in, n, last, Position<Out>{i, o});
    if (next.read == i) return false;  // a high surrogate waits for its partner
    i = next.read;
    o = next.out;
    return true;
  });
}

}  // namespace

template <typename In, typename Out>
Progress EncodeCharrefs(const In* in, size_t n, Out* out, bool last) {
  return Encode<DecimalReferences>(in, n, out, last);
}

template <typename In, typename Out>
Progress EncodeCharrefsHex(const In* in, size_t n, Out* out, bool last) {
  return Encode<HexReferences>(in, n, out, last);
}

template <typename In, typename Out>
Progress EncodeCharrefsScalar(const In* in, size_t n, Out* out, bool last) {
  return EncodeScalar<DecimalReferenceScalar>(in, n, out, last);
}

template <typename In, typename Out>
Progress EncodeCharrefsHexScalar(const In* in, size_t n, Out* out, bool last) {
  return EncodeScalar<HexReferenceScalar>(in, n, out, last);
}

TOBBLE_INSTANTIATE(EncodeCharrefs)
TOBBLE_INSTANTIATE(EncodeCharrefsHex)
TOBBLE_INSTANTIATE(EncodeCharrefsScalar)
TOBBLE_INSTANTIATE(EncodeCharrefsHexScalar)
TOBBLE_INSTANTIATE_ASCII(EncodeCharrefs)
TOBBLE_INSTANTIATE_ASCII(EncodeCharrefsHex)
TOBBLE_INSTANTIATE_ASCII(EncodeCharrefsScalar)
TOBBLE_INSTANTIATE_ASCII(EncodeCharrefsHexScalar)

}  // namespace tobble
