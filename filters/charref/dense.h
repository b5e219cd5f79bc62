// Numeric references of eight units, the most common in encoded text of
// kana, kanji and most other scripts: "&#" and five decimal digits and ";",
// or "&#x" and four hex digits and ";"; and of nine units, those of emoji and
// other characters above U+FFFF: "&#" and six decimal digits and ";", or
// "&#x" and five hex digits and ";". The decoder reads each from one vector
// (and the ninth unit), with no step that depends on where its digits end.
// Besides them, the short named references that text is full of ("&lt;",
// "&amp;", "&quot;", ...) are each matched against one pattern picked by the
// two units after the "&". Each kernel has its plain version beside it,
// which the tests hold it to. (Writing eight of them from one vector of
// units measured slower on large texts than the encoders' one store a
// reference, and is not done.)
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "filters/common/hex.h"
#include "filters/common/simd.h"

namespace tobble::charref {

inline constexpr size_t kFixedReferenceUnits = simd::kWidth;
inline constexpr size_t kLongReferenceUnits = simd::kWidth + 1;

namespace detail {
inline simd::Units LoadLanes(const int16_t* lanes) {
  return _mm_load_si128(reinterpret_cast<const simd::Units*>(lanes));
}

// The sum of the four 32-bit lanes.
inline uint32_t SumLanes(simd::Units v) {
  const simd::Units pairs = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
  return static_cast<uint32_t>(
      _mm_cvtsi128_si32(_mm_add_epi32(pairs, _mm_shuffle_epi32(pairs, _MM_SHUFFLE(2, 3, 0, 1)))));
}
}  // namespace detail

// The value of "&#NNNNN;" at in[0, 8), five decimal digits, or -1 for any
// other eight units (or bytes of UTF-8: the references are ASCII).
template <typename Unit>
inline int32_t ReadFiveDigitReference(const Unit* in) {
  using namespace simd;
  alignas(16) static constexpr int16_t kMarks[8] = {'&', '#', 0, 0, 0, 0, 0, ';'};
  alignas(16) static constexpr int16_t kWeights[8] = {0, 0, 10000, 1000, 100, 10, 1, 0};
  const Units v = Load(in);
  const Units digits = Sub(v, Splat(u'0'));
  const unsigned marks = Mask(_mm_cmpeq_epi16(v, detail::LoadLanes(kMarks)));
  const unsigned decimal = Mask(Below(digits, 10));
  if (((marks & 0xC00F) | (decimal & 0x3FF0)) != 0xFFFF) return -1;
  return static_cast<int32_t>(
      detail::SumLanes(_mm_madd_epi16(digits, detail::LoadLanes(kWeights))));
}

// The value of "&#xHHHH;" or "&#XHHHH;" at in[0, 8), four hex digits of
// either case, or -1 for any other eight units.
template <typename Unit>
inline int32_t ReadFourHexReference(const Unit* in) {
  using namespace simd;
  alignas(16) static constexpr int16_t kMarks[8] = {'&', '#', 'x', 0, 0, 0, 0, ';'};
  alignas(16) static constexpr int16_t kWeights[8] = {0, 0, 0, 4096, 256, 16, 1, 0};
  const Units v = Load(in);
  const Units lower = Or(v, Splat(0x20));
  const Units letters = InRange(lower, u'a', u'f');
  const Units hex = Or(InRange(v, u'0', u'9'), letters);
  // "&", "#" and ";" as they are, "x" in either case.
  const Units pattern = detail::LoadLanes(kMarks);
  const unsigned exact = Mask(_mm_cmpeq_epi16(v, pattern));
  const unsigned folded = Mask(_mm_cmpeq_epi16(lower, pattern));
  if (((exact & 0xC00F) | (folded & 0x0030) | (Mask(hex) & 0x3FC0)) != 0xFFFF) return -1;
  const Units values = Add(And(v, Splat(0xF)), And(letters, Splat(9)));
  return static_cast<int32_t>(
      detail::SumLanes(_mm_madd_epi16(values, detail::LoadLanes(kWeights))));
}

// The fixed references unit by unit: "&#", an "x" or "X" in base 16,
// kDigits digits of the base and ";"; -1 for anything else.
template <int kBase, int kDigits>
inline int32_t ReadFixedReferencePlain(const char16_t* in) {
  constexpr int kFirst = kBase == 16 ? 3 : 2;
  if (in[0] != u'&' || in[1] != u'#' || in[kFirst + kDigits] != u';') return -1;
  if (kBase == 16 && in[2] != u'x' && in[2] != u'X') return -1;
  int32_t value = 0;
  for (int k = kFirst; k < kFirst + kDigits; ++k) {
    const int digit = HexValue(in[k]);
    if (digit < 0 || digit >= kBase) return -1;
    value = value * kBase + digit;
  }
  return value;
}

// The same two, unit by unit.
inline constexpr auto ReadFiveDigitReferencePlain = ReadFixedReferencePlain<10, 5>;
inline constexpr auto ReadFourHexReferencePlain = ReadFixedReferencePlain<16, 4>;

// The value of "&#NNNNNN;" at in[0, 9), six decimal digits, or -1 for any
// other nine units (or bytes of UTF-8).
template <typename Unit>
inline int32_t ReadSixDigitReference(const Unit* in) {
  using namespace simd;
  alignas(16) static constexpr int16_t kMarks[8] = {'&', '#', 0, 0, 0, 0, 0, 0};
  // Pairs of digits, then the three pairs as one number.
  alignas(16) static constexpr int16_t kPairWeights[8] = {0, 0, 10, 1, 10, 1, 10, 1};
  alignas(16) static constexpr int16_t kPairsWeights[8] = {0, 10000, 100, 1, 0, 0, 0, 0};
  const Units v = Load(in);
  const Units digits = Sub(v, Splat(u'0'));
  const unsigned marks = Mask(_mm_cmpeq_epi16(v, detail::LoadLanes(kMarks)));
  const unsigned decimal = Mask(Below(digits, 10));
  if (((marks & 0x000F) | (decimal & 0xFFF0)) != 0xFFFF || in[8] != u';') return -1;
  const Units pairs = _mm_madd_epi16(digits, detail::LoadLanes(kPairWeights));
  return static_cast<int32_t>(detail::SumLanes(_mm_madd_epi16(
      _mm_packs_epi32(pairs, _mm_setzero_si128()), detail::LoadLanes(kPairsWeights))));
}

// The value of "&#xHHHHH;" or "&#XHHHHH;" at in[0, 9), five hex digits of
// either case, or -1 for any other nine units (or bytes).
template <typename Unit>
inline int32_t ReadFiveHexReference(const Unit* in) {
  using namespace simd;
  alignas(16) static constexpr int16_t kMarks[8] = {'&', '#', 'x', 0, 0, 0, 0, 0};
  // The first digit, then pairs of digits; then the three as one number.
  alignas(16) static constexpr int16_t kPairWeights[8] = {0, 0, 0, 1, 16, 1, 16, 1};
  alignas(16) static constexpr int16_t kPairsWeights[8] = {0, 256, 256, 1, 0, 0, 0, 0};
  const Units v = Load(in);
  const Units lower = Or(v, Splat(0x20));
  const Units letters = InRange(lower, u'a', u'f');
  const Units hex = Or(InRange(v, u'0', u'9'), letters);
  const Units pattern = detail::LoadLanes(kMarks);
  const unsigned exact = Mask(_mm_cmpeq_epi16(v, pattern));
  const unsigned folded = Mask(_mm_cmpeq_epi16(lower, pattern));
  if (((exact & 0x000F) | (folded & 0x0030) | (Mask(hex) & 0xFFC0)) != 0xFFFF || in[8] != u';') {
    return -1;
  }
  const Units values = Add(And(v, Splat(0xF)), And(letters, Splat(9)));
  const Units pairs = _mm_madd_epi16(values, detail::LoadLanes(kPairWeights));
  // 256 * (256 * first) + 256 * second pair + third pair.
  const Units parts =
      _mm_madd_epi16(_mm_packs_epi32(pairs, _mm_setzero_si128()), detail::LoadLanes(kPairsWeights));
  return static_cast<int32_t>(simd::Lane32(parts, 0) << 8) +
         static_cast<int32_t>(simd::Lane32(parts, 1));
}

// The same two, unit by unit.
inline constexpr auto ReadSixDigitReferencePlain = ReadFixedReferencePlain<10, 6>;
inline constexpr auto ReadFiveHexReferencePlain = ReadFixedReferencePlain<16, 5>;

// The first `count` lanes all ones, the rest zero, for count 0 to 8.
alignas(16) inline constexpr uint16_t kLeadingLanes[9][8] = {
    {0, 0, 0, 0, 0, 0, 0, 0},
    {0xFFFF, 0, 0, 0, 0, 0, 0, 0},
    {0xFFFF, 0xFFFF, 0, 0, 0, 0, 0, 0},
    {0xFFFF, 0xFFFF, 0xFFFF, 0, 0, 0, 0, 0},
    {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0, 0, 0, 0},
    {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0, 0, 0},
    {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0, 0},
    {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0},
    {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF},
};

inline simd::Units LeadingLanes(size_t count) {
  return _mm_load_si128(reinterpret_cast<const simd::Units*>(kLeadingLanes[count]));
}

// Each lane's value as a digit of base 10 or 16 (either case), and the
// lanes that hold one, as simd::Mask gives them.
template <int kBase>
inline simd::Units DigitValues(simd::Units v, unsigned* digit_lanes) {
  using namespace simd;
  const Units decimal = Sub(v, Splat(u'0'));
  if constexpr (kBase == 10) {
    *digit_lanes = Mask(Below(decimal, 10));
    return decimal;
  } else {
    const Units letter = Sub(Or(v, Splat(0x20)), Splat(u'a'));
    const Units is_decimal = Below(decimal, 10);
    const Units is_letter = Below(letter, 6);
    *digit_lanes = Mask(Or(is_decimal, is_letter));
    return Or(And(is_decimal, decimal), And(is_letter, Add(letter, Splat(10))));
  }
}

// Eight lanes of digit values as one number of eight digits, the first lane
// the highest: pairs of digits, then pairs of pairs.
template <int kBase>
inline uint32_t EightDigitNumber(simd::Units digits) {
  constexpr short kSquare = kBase * kBase;
  const simd::Units pairs =
      _mm_madd_epi16(digits, _mm_set_epi16(1, kBase, 1, kBase, 1, kBase, 1, kBase));
  const simd::Units quads = _mm_madd_epi16(
      _mm_packs_epi32(pairs, pairs), _mm_set_epi16(1, kSquare, 1, kSquare, 1, kSquare, 1, kSquare));
  return simd::Lane32(quads, 0) * (kSquare * kSquare) + simd::Lane32(quads, 1);
}

// The value of the `count` digits (1 to 8) of base 10 or 16, either case,
// that end at at[8], where the eight units (or bytes) before them begin;
// false when one is no such digit. The units before the digits count as
// zeros, so that the digits take the same lanes whatever their count, and
// the decoder reads references of several lengths from where they end.
template <int kBase, typename Unit>
inline bool ReadDigitsBefore(const Unit* at, size_t count, uint32_t* value) {
  const unsigned lanes = 0xFFFFu << (2 * (8 - count)) & 0xFFFF;
  unsigned digit_lanes;
  const simd::Units digits = DigitValues<kBase>(simd::Load(at), &digit_lanes);
  if ((digit_lanes & lanes) != lanes) return false;
  *value = EightDigitNumber<kBase>(_mm_andnot_si128(LeadingLanes(8 - count), digits));
  return true;
}

// The same, unit by unit.
template <int kBase>
inline bool ReadDigitsBeforePlain(const char16_t* at, size_t count, uint32_t* value) {
  uint32_t v = 0;
  for (size_t k = 8 - count; k < 8; ++k) {
    const int digit = HexValue(at[k]);
    if (digit < 0 || digit >= kBase) return false;
    v = v * kBase + static_cast<uint32_t>(digit);
  }
  *value = v;
  return true;
}

// The short named references matched before the general lookup: the markup
// characters and the typographic ones that are common in text. Each stands
// for one unit.
struct ShortReference {
  const char16_t* name;  // without "&" and ";"
  char16_t unit;
};
inline constexpr ShortReference kShortReferences[] = {
    {u"lt", u'<'},         {u"gt", u'>'},         {u"amp", u'&'},        {u"quot", u'"'},
    {u"apos", u'\''},      {u"nbsp", u'\xA0'},    {u"copy", u'\xA9'},    {u"reg", u'\xAE'},
    {u"deg", u'\xB0'},     {u"middot", u'\xB7'},  {u"laquo", u'\xAB'},   {u"raquo", u'\xBB'},
    {u"times", u'\xD7'},   {u"ndash", u'\x2013'}, {u"mdash", u'\x2014'}, {u"lsquo", u'\x2018'},
    {u"rsquo", u'\x2019'}, {u"ldquo", u'\x201C'}, {u"rdquo", u'\x201D'}, {u"hellip", u'\x2026'},
    {u"euro", u'\x20AC'},  {u"trade", u'\x2122'},
};

// The slot of a name by its first two units: one multiplication, no two of
// the names above in the same slot.
inline constexpr size_t kShortSlots = 64;
constexpr size_t ShortSlot(char16_t first, char16_t second) {
  return (first * 34u + second) % kShortSlots;
}

// A slot: the reference's units, "&" to ";" and zero after them, the bit mask
// of their lanes (two bits a lane, as simd::Mask gives), the count of units
// and what they stand for. An empty slot's pattern begins with a zero unit,
// so that it matches no reference.
struct ShortSlotEntry {
  alignas(16) int16_t units[8];
  uint16_t lanes;
  uint16_t length;
  char16_t unit;
};
struct ShortSlotTable {
  ShortSlotEntry slots[kShortSlots];
};

constexpr ShortSlotTable MakeShortSlots() {
  ShortSlotTable table{};
  for (size_t s = 0; s < kShortSlots; ++s) table.slots[s].lanes = 3;
  for (const ShortReference& r : kShortReferences) {
    ShortSlotEntry& e = table.slots[ShortSlot(r.name[0], r.name[1])];
    size_t k = 0;
    e.units[k++] = '&';
    for (const char16_t* c = r.name; *c != 0; ++c) e.units[k++] = static_cast<int16_t>(*c);
    e.units[k++] = ';';
    e.lanes = static_cast<uint16_t>((1u << (2 * k)) - 1);
    e.length = static_cast<uint16_t>(k);
    e.unit = r.unit;
  }
  return table;
}
inline constexpr ShortSlotTable kShortSlotTable = MakeShortSlots();

constexpr bool EachShortReferenceHasItsSlot() {
  for (const ShortReference& r : kShortReferences) {
    if (kShortSlotTable.slots[ShortSlot(r.name[0], r.name[1])].unit != r.unit) return false;
  }
  return true;
}
static_assert(EachShortReferenceHasItsSlot(), "two short names share a slot");

// One of the short references at in[0] ("&"), its units all within in[0, 8):
// its count of units times 0x10000 plus the unit it stands for; -1 when the
// units are none of them. In UTF-8 the same over bytes: the names are ASCII,
// so a byte above 0x7F never matches.
template <typename Unit>
inline int32_t ReadShortNamedReference(const Unit* in) {
  using namespace simd;
  const ShortSlotEntry& e = kShortSlotTable.slots[ShortSlot(in[1], in[2])];
  const unsigned equal = Mask(_mm_cmpeq_epi16(Load(in), detail::LoadLanes(e.units)));
  if ((equal & e.lanes) != e.lanes) return -1;
  return static_cast<int32_t>(e.length) << 16 | e.unit;
}

inline int32_t ReadShortNamedReferencePlain(const char16_t* in) {
  if (in[0] != u'&') return -1;
  for (const ShortReference& r : kShortReferences) {
    size_t k = 0;
    while (r.name[k] != 0 && in[1 + k] == r.name[k]) ++k;
    if (r.name[k] == 0 && in[1 + k] == u';') return static_cast<int32_t>(k + 2) << 16 | r.unit;
  }
  return -1;
}

}  // namespace tobble::charref
