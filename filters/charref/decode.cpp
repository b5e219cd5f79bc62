#include "filters/charref/charref.h"
#include "filters/charref/dense.h"
#include "filters/charref/reference_tables.h"
#include "filters/charref/unit_classes.h"
#include "filters/common/number.h"
#include "filters/common/simd.h"
#include "filters/common/surrogate.h"
#include "filters/common/utf8.h"

namespace tobble {
namespace {

using simd::Units;

// A name is never read beyond this many units.
constexpr size_t kMaxNameUnits = 36;

constexpr bool IsNameUnit(char16_t u) {
  return !charref::NotNameUnit::Has(u);
}

// A decoder's output, and where the reference it writes begins.
template <typename Unit>
struct Output {
  DecodedOutput<Unit>& output;
  size_t at;
};

template <typename Unit>
Unit* WriteReplacement(Unit* out, char16_t unit1, char16_t unit2, Output<Unit> to) {
  out = to.output.Unit(out, unit1, to.at);
  if (unit2 != 0) out = to.output.Unit(out, unit2, to.at);
  return out;
}

// Writes a unit of the text as it is.
template <typename Unit>
Unit* Copy(Unit* out, Unit u, DecodedOutput<Unit>& output) {
  out = output.Settle(out);
  *out++ = u;
  return out;
}

// The number field of a reference after "&#" (base 10) or "&#x" (base 16),
// read with the general field rules. Returns the new output position, or
// null when the field is no number or the number names no character.
template <typename Unit>
Unit* WriteNumberField(Unit* out, const Unit* field, size_t n, int base, Output<Unit> to) {
  int32_t value;
  return ParseInteger(field, n, base, &value) ? WriteNumberedCharacter(out, value, to.output, to.at)
                                              : nullptr;
}

// The length of the run of name units at name[0, n), at most kMaxNameUnits
// UTF-16 units. In UTF-8 the name units from 0x80 to 0xFF are the two-byte
// sequences that C2 and C3 begin; one that the end of the piece cuts is taken
// to go on, so the name reaches the end.
size_t NameLength(const char16_t* name, size_t n) {
  size_t length = 0;
  while (length < kMaxNameUnits && length < n && IsNameUnit(name[length])) ++length;
  return length;
}
inline size_t NameLength(const uint8_t* name, size_t n) {
  size_t bytes = 0;
  for (size_t units = 0; units < kMaxNameUnits && bytes < n; ++units) {
    const uint8_t b = name[bytes];
    if (b < 0x80) {
      if (!IsNameUnit(b)) break;
      ++bytes;
    } else if (b == 0xC2 || b == 0xC3) {
      bytes = bytes + 2 <= n ? bytes + 2 : n;
    } else {
      break;
    }
  }
  return bytes;
}

// ---------------------------------------------------------------------------
// The plain unit-by-unit decoder, the reference for the fast one below. Its
// lookups walk the tables themselves, independent of the generated indexes.

// Whether the record's name is exactly name[0, length).
template <typename Unit>
bool NameIs(const char* record_name, const Unit* name, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (static_cast<unsigned char>(record_name[i]) != name[i]) return false;
  }
  return record_name[length] == 0;
}

template <typename Unit>
const NamedReference* FindNamedInTable(const Unit* name, size_t length) {
  for (const NamedReference* r = NamedReferenceTable; r->name != nullptr; ++r) {
    if (NameIs(r->name, name, length)) return r;
  }
  return nullptr;
}

// The legacy reference whose name begins name[0, length), or null; its name's
// length goes to *matched. No legacy name begins another, so at most one
// can match.
template <typename Unit>
const NamedReference* FindLegacyPrefixInTable(const Unit* name, size_t length, size_t* matched) {
  for (const NamedReference* r = LegacyReferenceTable; r->name != nullptr; ++r) {
    size_t k = 0;
    while (r->name[k] != 0 && k < length && static_cast<unsigned char>(r->name[k]) == name[k]) ++k;
    if (r->name[k] == 0) {
      *matched = k;
      return r;
    }
  }
  return nullptr;
}

// A name that a ";" ends: "#" and a decimal number, "#x" or "#X" and a hex
// number, or a name of the table, all of it. Returns the new output position,
// or null when the name is none of these (nothing is written then).
template <typename Unit>
Unit* WriteSemicolonFormScalar(Unit* out, const Unit* name, size_t length, Output<Unit> to) {
  if (length >= 2 && name[0] == u'#') {
    if ((name[1] | 0x20) == u'x') return WriteNumberField(out, name + 2, length - 2, 16, to);
    if (name[1] >= u'0' && name[1] <= u'9') {
      return WriteNumberField(out, name + 1, length - 1, 10, to);
    }
  }
  const NamedReference* found = FindNamedInTable(name, length);
  return found == nullptr ? nullptr : WriteReplacement(out, found->unit1, found->unit2, to);
}

// Whether name[0, length), a run of name units after an "&" that the end of a
// piece cut off, may still be read as a reference once more units come: a
// name of the table or a numeric form that ";" ends could begin with it, or a
// legacy name begins it or could begin with it. When none can, that "&" and
// the whole run are copied whatever follows, and the piece need not stop
// before them. Both decoders ask this, at most once a call; the number is
// judged by its form alone.
template <typename Unit>
bool MayBecomeReference(const Unit* name, size_t length) {
  for (const NamedReference* r = LegacyReferenceTable; r->name != nullptr; ++r) {
    size_t k = 0;
    while (k < length && r->name[k] != 0 && static_cast<unsigned char>(r->name[k]) == name[k]) ++k;
    if (k == length || r->name[k] == 0) return true;
  }
  if (length >= 1 && name[0] == u'#') {
    if (length == 1) return true;
    if ((name[1] | 0x20) == u'x') return MayStartInteger(name + 2, length - 2, 16);
    return name[1] >= u'0' && name[1] <= u'9' && MayStartInteger(name + 1, length - 1, 10);
  }
  for (const NamedReference* r = NamedReferenceTable; r->name != nullptr; ++r) {
    size_t k = 0;
    while (k < length && r->name[k] != 0 && static_cast<unsigned char>(r->name[k]) == name[k]) ++k;
    if (k == length) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Names for the fast decoder: read eight units at a time, kept as bytes in
// 32-bit chunks, and found in the generated indexes with one probe.

// The name hash; filters/charref/generate_tables.py computes the same to build the
// indexes. The length, then the name's bytes eight at a time (two chunks,
// zero after the name) folded in by multiplications.
constexpr uint32_t kKeyMultiplier = 0x9E3779B1u;
constexpr uint32_t kSlotMultiplier = 0x85EBCA6Bu;

uint32_t NameKey(const uint32_t* chunks, size_t length) {
  uint32_t h = static_cast<uint32_t>(length) * kKeyMultiplier;
  for (size_t i = 0; i * 8 < length; ++i) {
    h = (h ^ chunks[2 * i]) * kKeyMultiplier;
    h = (h ^ chunks[2 * i + 1]) * kKeyMultiplier;
  }
  return h;
}

// The one slot of the index where a name with this key can be.
const ReferenceSlot& SlotOf(const ReferenceIndex& index, uint32_t key) {
  const uint32_t seed = index.seeds[key >> index.bucket_shift];
  return index.slots[((key ^ seed) * kSlotMultiplier) >> index.slot_shift];
}

// Whether the slot holds the name of `length` bytes (at least 1) whose first
// eight, zero after the name, are `head`.
bool Holds(const ReferenceSlot& slot, const uint32_t* head, size_t length) {
  return slot.length == length && slot.head[0] == head[0] && slot.head[1] == head[1];
}

// The slot of a name of 1 to 8 bytes, or null. Its key, unrolled.
inline const ReferenceSlot* FindShort(const ReferenceIndex& index, const uint32_t* head,
                                      size_t length) {
  const uint32_t key =
      (((static_cast<uint32_t>(length) * kKeyMultiplier ^ head[0]) * kKeyMultiplier) ^ head[1]) *
      kKeyMultiplier;
  const ReferenceSlot& slot = SlotOf(index, key);
  return Holds(slot, head, length) ? &slot : nullptr;
}

// The legacy reference whose name begins the name that `head` begins (its
// first eight bytes, zero after the name), or null; its name's length goes
// to *matched. The name's first two bytes pick the few legacy names that can
// match, each compared as one 64-bit word: as no name holds a zero byte, one
// longer than the name never matches.
const ReferenceSlot* FindLegacyPrefix(const uint32_t* head, size_t* matched) {
  const uint32_t first = head[0];
  const size_t start = kLegacyByPair.starts[(first & 0x3F) << 6 | (first >> 8 & 0x3F)];
  if (start == 0) return nullptr;
  const uint64_t name = first | static_cast<uint64_t>(head[1]) << 32;
  for (const ReferenceSlot* slot = kLegacyByPair.slots + start; slot->length != 0; ++slot) {
    const uint64_t bytes = (uint64_t{1} << (8 * slot->length)) - 1;
    if ((name & bytes) == (slot->head[0] | static_cast<uint64_t>(slot->head[1]) << 32)) {
      *matched = slot->length;
      return slot;
    }
  }
  return nullptr;
}

// A name of the text: its length and its bytes, four to a little-endian
// chunk, zero after the name up to a multiple of eight bytes. (In UTF-8 a
// name of two-byte characters may be longer than the chunks, which then hold
// its start; no such name is in the tables.)
struct Name {
  size_t length;
  uint32_t chunks[(kMaxNameUnits + 7) / 8 * 2];
};

// The named reference that is exactly the name, or null. Names of a length
// that no name with the same first byte has are turned away unhashed.
const ReferenceSlot* FindNamed(const Name& name) {
  const ReferenceIndex& index = kNamedReferenceIndex;
  const size_t length = name.length;
  if (length < index.shortest || length > index.longest ||
      ((index.lengths[name.chunks[0] & 0xFF] >> length) & 1) == 0) {
    return nullptr;
  }
  const ReferenceSlot& slot = SlotOf(index, NameKey(name.chunks, length));
  if (!Holds(slot, name.chunks, length)) return nullptr;
  // Past the eight bytes of the slot, the record's name.
  const char* rest = index.records[slot.record].name;
  for (size_t i = 8; i < length; ++i) {
    if (static_cast<unsigned char>(rest[i]) != ((name.chunks[i / 4] >> (8 * (i % 4))) & 0xFF)) {
      return nullptr;
    }
  }
  return &slot;
}

// Whether a name of the tables begins with the units (or bytes) a and b:
// names are ASCII. When none does, the "&" before them is text: no name,
// legacy or not, can be read there, and as both units are in the piece, none
// can come with the next one either. Reading the whole run of name units to
// learn that cost more than anything else in text full of "&"s that begin
// nothing.
inline bool MayBeginName(uint32_t a, uint32_t b) {
  if ((a | b) >= 0x80) return false;
  const uint32_t bit = a << 7 | b;
  return (kNameStarts[bit >> 6] >> (bit & 63)) & 1;
}

using charref::LeadingLanes;

Units NotNameUnits(Units v) {
  return charref::NotNameUnit::Lanes(v);
}

// The first `count` lanes of v (name units, below 0x100) as bytes in two
// chunks, zero after them.
void PackName(Units v, size_t count, uint32_t* chunks) {
  const Units kept = simd::And(v, LeadingLanes(count));
  const Units bytes = _mm_packus_epi16(kept, kept);
  chunks[0] = simd::Lane32(bytes, 0);
  chunks[1] = simd::Lane32(bytes, 1);
}

// Reads the name at the start of in[0, n): the run of name units, at most
// kMaxNameUnits.
inline void ReadNameBytes(const uint8_t* in, size_t n, Name* name) {
  const size_t length = NameLength(in, n);
  for (uint32_t& chunk : name->chunks) chunk = 0;
  for (size_t i = 0; i < length && i < sizeof name->chunks; ++i) {
    name->chunks[i / 4] |= static_cast<uint32_t>(in[i]) << (8 * (i % 4));
  }
  name->length = length;
}
// The same eight units (in UTF-8, bytes) at a time. In UTF-8 a name in which
// a byte above 0x7F comes up goes to ReadNameBytes, which reads its
// two-byte characters.
template <typename Unit>
void ReadName(const Unit* in, size_t n, Name* name) {
  size_t i = 0;
  for (; i + simd::kWidth <= n; i += simd::kWidth) {
    const Units v = simd::Load(in + i);
    const unsigned stop = simd::Mask(NotNameUnits(v));
    size_t lanes = stop != 0 ? simd::FirstLane(stop) : simd::kWidth;
    if constexpr (sizeof(Unit) == 1) {
      const unsigned high = simd::Mask(simd::AtLeast(v, 0x80));
      if (high != 0 && simd::FirstLane(high) <= lanes) return ReadNameBytes(in, n, name);
    }
    if (i + lanes > kMaxNameUnits) lanes = kMaxNameUnits - i;
    PackName(v, lanes, name->chunks + i / 4);
    if (lanes < simd::kWidth) {
      name->length = i + lanes;
      return;
    }
  }
  // Fewer than eight units are left: one at a time.
  name->chunks[i / 4] = 0;
  name->chunks[i / 4 + 1] = 0;
  size_t length = i;
  for (; length < kMaxNameUnits && length < n && IsNameUnit(in[length]); ++length) {
    if constexpr (sizeof(Unit) == 1) {
      if (in[length] >= 0x80) return ReadNameBytes(in, n, name);
    }
    name->chunks[length / 4] |= static_cast<uint32_t>(in[length]) << (8 * (length % 4));
  }
  name->length = length;
}

// A name that a ";" ends, as WriteSemicolonFormScalar reads it.
template <typename Unit>
Unit* WriteSemicolonForm(Unit* out, const Unit* units, const Name& name, Output<Unit> to) {
  const size_t length = name.length;
  if (length >= 2 && units[0] == u'#') {
    if ((units[1] | 0x20) == u'x') return WriteNumberField(out, units + 2, length - 2, 16, to);
    if (units[1] >= u'0' && units[1] <= u'9') {
      return WriteNumberField(out, units + 1, length - 1, 10, to);
    }
    return nullptr;  // no name of the table begins with "#"
  }
  if (length > sizeof name.chunks) return nullptr;  // longer than any name
  const ReferenceSlot* found = FindNamed(name);
  return found == nullptr ? nullptr : WriteReplacement(out, found->unit1, found->unit2, to);
}

// ---------------------------------------------------------------------------
// Numeric references of the plain form, "&#" and 1 to 7 decimal digits or
// "&#x" and 1 to 7 hex digits, then ";", read eight units at once. Anything
// else (signs, spaces, more digits, the end of the text near) takes the
// general path, which reads every form.

// 10^k = 2^k * 5^k: the inverse of 5^k modulo 2^32 undoes the rest of a
// multiplication by 10^k exactly.
constexpr uint32_t kInversePowersOfFive[8] = {0x00000001, 0xCCCCCCCD, 0xC28F5C29, 0x26E978D5,
                                              0x3AFB7E91, 0x0BCBE61D, 0x68C26139, 0xAE8D46A5};

// The value of the 1 to 7 digits of base 10 or 16 (either case) at `at`
// that a ";" ends, all within eight units, and their count; false for
// anything else.
template <int kBase, typename Unit>
bool ReadDigits(const Unit* at, uint32_t* value, size_t* count) {
  unsigned digit_lanes;
  const Units digits = charref::DigitValues<kBase>(simd::Load(at), &digit_lanes);
  const size_t k = simd::FirstLane(~digit_lanes);
  if (k == 0 || k > 7 || at[k] != u';') return false;
  // The digits stand first, so the number of the eight lanes is the value
  // times kBase^(8 - k).
  const uint32_t number = charref::EightDigitNumber<kBase>(simd::And(digits, LeadingLanes(k)));
  *value =
      kBase == 16 ? number >> (4 * (8 - k)) : (number >> (8 - k)) * kInversePowersOfFive[8 - k];
  *count = k;
  return true;
}

// The reference at in[p] ("&") if it has the plain numeric form and names a
// character: writes it and returns the new output position, the position
// after its ";" going to *next. Otherwise null, nothing written.
template <typename Unit>
Unit* DecodePlainNumber(const Unit* in, size_t p, size_t n, Unit* out, size_t* next,
                        DecodedOutput<Unit>& output) {
  if (p + 2 + simd::kWidth > n || in[p + 1] != u'#') return nullptr;
  const bool hex = (in[p + 2] | 0x20) == u'x';
  const size_t at = p + (hex ? 3 : 2);
  if (at + simd::kWidth > n) return nullptr;
  uint32_t value;
  size_t count;
  if (!(hex ? ReadDigits<16>(in + at, &value, &count) : ReadDigits<10>(in + at, &value, &count))) {
    return nullptr;
  }
  Unit* end = WriteNumberedCharacter(out, static_cast<int32_t>(value), output, p);
  if (end != nullptr) *next = at + count + 1;
  return end;
}

// Reads the references of `kUnits` units (eight, or nine with the unit
// after the vector) from in[p] on for which `Read` gives a value other than
// 0, one vector each, and returns whether it read any. Each moves on by a
// constant, so that the next one's loads wait on a predicted branch only,
// not on this one's digits.
template <size_t kUnits, typename Unit, int32_t (*Read)(const Unit*)>
inline __attribute__((always_inline)) bool DecodeFixedReferences(const Unit* in, size_t n,
                                                                 size_t& p, Unit*& o,
                                                                 DecodedOutput<Unit>& output) {
  const size_t start = p;
  int32_t value;
  if constexpr (sizeof(Unit) == 1 && kUnits == charref::kFixedReferenceUnits) {
    // In UTF-8 eight references of eight bytes at a time, whose characters
    // go out from one vector when they are all of three bytes.
    constexpr size_t kBlock = simd::kWidth * kUnits;
    // Only where the block's last reference ends where a full block's would:
    // a block that reads one or two, as among longer references, costs more.
    while (n - p >= kBlock && in[p + kBlock - 1] == u';' && in[p + kBlock - kUnits] == u'&') {
      alignas(16) char16_t units[simd::kWidth];
      size_t k = 0;
      for (; k < simd::kWidth; ++k) {
        value = Read(in + p + k * kUnits);
        if (value <= 0 || value > 0xFFFF) break;
        units[k] = static_cast<char16_t>(value);
      }
      if (k == simd::kWidth && !output.Waiting() &&
          simd::StoreThreeByteUtf8(o, simd::Load(units))) {
        o += 3 * simd::kWidth;
        p += kBlock;
        continue;
      }
      for (size_t j = 0; j < k; ++j, p += kUnits) o = output.Unit(o, units[j], p);
      if (k < simd::kWidth) break;
    }
  }
  while (n - p >= kUnits && (value = Read(in + p)) > 0) {
    // Up to 999,999 or 0xFFFFF: one unit, or a pair from 0x10000 on; never
    // refused.
    o = WriteNumberedCharacter(o, value, output, p);
    p += kUnits;
  }
  return p != start;
}

// After a run of references of one fixed length: the plain numeric
// references of seven to nine units that follow back to back ("&#8205;" to
// "&#128512;", "&#x3b1;" to "&#x1f600;"), in any mix of lengths, as in
// emoji text among joiners and variation selectors, where the fixed-length
// loops stop at every change. The length comes from the two units that may
// be a ";", the digits from the eight units that end before it, so that
// where the next reference begins waits on those loads alone, not on
// reading the digits. A character above U+FFFF and one below are stored
// the same way, which spares a branch on which one comes. Stops at anything
// else, which is left to the caller.
template <bool kHex, typename Unit>
inline __attribute__((always_inline)) void DecodeNumberRun(const Unit* in, size_t n, size_t& p_out,
                                                           Unit*& o_out,
                                                           DecodedOutput<Unit>& output) {
  constexpr size_t kPrefix = kHex ? 3 : 2;  // "&#x" or "&#"
  constexpr int kBase = kHex ? 16 : 10;
  size_t p = p_out;
  Unit* o = o_out;
  const auto stop = [&] {
    p_out = p;
    o_out = o;
  };
  // The eight units before the ";" begin at most two units before the "&".
  while (n - p >= charref::kLongReferenceUnits && p >= 2 && in[p] == u'&' && in[p + 1] == u'#' &&
         (!kHex || (in[p + 2] | 0x20) == u'x')) {
    const size_t length =
        charref::kLongReferenceUnits - (in[p + 7] == u';') - 2 * (in[p + 6] == u';');
    // Two of eight units in a row, as in Japanese: back to the loop that
    // reads them a vector each.
    if (length == charref::kFixedReferenceUnits && n - p >= 2 * length &&
        in[p + 2 * length - 1] == u';' && in[p + length] == u'&') {
      break;
    }
    uint32_t value;
    if (in[p + length - 1] != u';' ||
        !charref::ReadDigitsBefore<kBase>(in + p + length - 9, length - kPrefix - 1, &value) ||
        value - 1 >= 0x10FFFF) {
      return stop();
    }
    if constexpr (sizeof(Unit) == 2) {
      // The second unit is stored either way; below U+10000 whatever comes
      // next is written over it.
      const bool pair = value > 0xFFFF;
      o[0] = static_cast<char16_t>(pair ? HighSurrogateOf(value) : value);
      o[1] = LowSurrogateOf(value);
      o += 1 + pair;
    } else {
      o = WriteNumberedCharacter(o, static_cast<int32_t>(value), output, p);
    }
    p += length;
  }
  stop();
}

// The references of eight or nine units from the "&" at in[p] on, the unit
// after it being "#" and at least eight units left (nine in UTF-16).
template <typename Unit>
inline __attribute__((always_inline)) bool DecodeFixedNumbers(const Unit* in, size_t n, size_t& p,
                                                              Unit*& o,
                                                              DecodedOutput<Unit>& output) {
  constexpr size_t kShort = charref::kFixedReferenceUnits;
  constexpr size_t kLong = charref::kLongReferenceUnits;
  const bool hex = (in[p + 2] | 0x20) == u'x';
  if (in[p + kShort - 1] == u';') {
    return hex ? DecodeFixedReferences<kShort, Unit, charref::ReadFourHexReference<Unit>>(in, n, p,
                                                                                          o, output)
               : DecodeFixedReferences<kShort, Unit, charref::ReadFiveDigitReference<Unit>>(
                     in, n, p, o, output);
  }
  // (In UTF-16 the caller has made sure of nine units.)
  if ((sizeof(Unit) == 2 || n - p >= kLong) && in[p + kLong - 1] == u';') {
    return hex ? DecodeFixedReferences<kLong, Unit, charref::ReadFiveHexReference<Unit>>(in, n, p,
                                                                                         o, output)
               : DecodeFixedReferences<kLong, Unit, charref::ReadSixDigitReference<Unit>>(
                     in, n, p, o, output);
  }
  return false;
}

// The "&"s among 32 units at `in`, which `copy` gets as they are: bit k set
// for unit k. In UTF-16 four vectors, in UTF-8 two of sixteen bytes.
inline uint32_t CopyAmpersandBits(const char16_t* in, char16_t* copy) {
  const Units v0 = simd::Load(in);
  const Units v1 = simd::Load(in + simd::kWidth);
  const Units v2 = simd::Load(in + 2 * simd::kWidth);
  const Units v3 = simd::Load(in + 3 * simd::kWidth);
  simd::Store(copy, v0);
  simd::Store(copy + simd::kWidth, v1);
  simd::Store(copy + 2 * simd::kWidth, v2);
  simd::Store(copy + 3 * simd::kWidth, v3);
  const Units low = _mm_packs_epi16(simd::Equal(v0, u'&'), simd::Equal(v1, u'&'));
  const Units high = _mm_packs_epi16(simd::Equal(v2, u'&'), simd::Equal(v3, u'&'));
  return simd::Mask(low) | simd::Mask(high) << 16;
}
inline uint32_t CopyAmpersandBits(const uint8_t* in, uint8_t* copy) {
  const Units low = simd::LoadBytes(in);
  const Units high = simd::LoadBytes(in + 2 * simd::kWidth);
  simd::StoreBytes(copy, low);
  simd::StoreBytes(copy + 2 * simd::kWidth, high);
  return simd::Mask(charref::Ampersand::Bytes(low)) | simd::Mask(charref::Ampersand::Bytes(high))
                                                          << 16;
}

// Copies the 32 units at `in` to `out`, as they are.
inline void CopyBlock(const char16_t* in, char16_t* out) {
  for (size_t k = 0; k < 4 * simd::kWidth; k += simd::kWidth) {
    simd::Store(out + k, simd::Load(in + k));
  }
}
inline void CopyBlock(const uint8_t* in, uint8_t* out) {
  simd::StoreBytes(out, simd::LoadBytes(in));
  simd::StoreBytes(out + 2 * simd::kWidth, simd::LoadBytes(in + 2 * simd::kWidth));
}

// After a short name: the text that follows while it holds short names and
// nothing else that begins with "&". The "&"s of 64 units at a time are
// found at once, as bits, and each is taken in turn: the text before it is
// copied as 32 or 64 units whatever its length, and a short name ends one
// unit further on, so the next "&" is known before the name is matched, and
// the lookups of one name and the next overlap. Stops at the first "&" that
// begins no short name, which is left to the caller, or where less than
// three blocks of text are left. (In UTF-8 no high surrogate waits after a
// short name, and the text is copied byte for byte.)
// In the WebAssembly build it stays a call of its own: inlined there, the
// engine made slower code of the whole decoder (hex references took 1.3-1.8
// times as long).
template <typename Unit>
#if defined(__wasm__)
__attribute__((noinline))
#endif
inline void
DecodeShortNames(const Unit* in, size_t n, size_t& p, Unit*& o, DecodedOutput<Unit>& output) {
  constexpr size_t kHalf = 4 * simd::kWidth;
  constexpr size_t kBlock = 2 * kHalf;
  // A block, and the copy of a block from any unit of it, stay within the
  // text, and so does a short name in it (eight units at most). The output
  // never runs ahead of the input, so the copies stay within the n units
  // after o.
  constexpr size_t kRoom = 3 * kBlock;
  while (n - p >= kRoom) {
    const size_t base = p;
    uint64_t ampersands = CopyAmpersandBits(in + p, o);
    ampersands |= static_cast<uint64_t>(CopyAmpersandBits(in + p + kHalf, o + kHalf)) << kHalf;
    if (ampersands == 0) {
      p += kBlock;
      o += kBlock;
      continue;
    }
    size_t at = base + static_cast<size_t>(__builtin_ctzll(ampersands));
    o += at - p;
    p = at;
    for (;;) {
      const int32_t found = charref::ReadShortNamedReference(in + at);
      if (found < 0) return;
      o = output.Unit(o, static_cast<char16_t>(found), at);
      p = at + static_cast<size_t>(found >> 16);
      ampersands &= ampersands - 1;
      if (ampersands == 0) break;
      at = base + static_cast<size_t>(__builtin_ctzll(ampersands));
      CopyBlock(in + p, o);
      if (at - p >= kHalf) CopyBlock(in + p + kHalf, o + kHalf);
      o += at - p;
      p = at;
    }
  }
}

// One of the common short names at in[p] ("&"), at least eight units (nine
// in UTF-16) left: writes it and reads the text after it while it holds only
// them. Returns false, nothing written, for anything else.
template <typename Unit>
inline __attribute__((always_inline)) bool DecodeShortName(const Unit* in, size_t n, size_t& p,
                                                           Unit*& o, DecodedOutput<Unit>& output) {
  const int32_t found = charref::ReadShortNamedReference(in + p);
  if (found < 0) return false;
  o = output.Unit(o, static_cast<char16_t>(found), p);
  p += static_cast<size_t>(found >> 16);
  DecodeShortNames(in, n, p, o, output);
  return true;
}

}  // namespace

// At each "&" the name is the run of name units after it, at most 36; the
// unit after the run decides the form. With ";" the whole name must be a
// reference, and the ";" is consumed with it. Otherwise only a legacy name at
// the start of the run counts, and only it is consumed. Either way the output
// is never scanned again. Whatever is not consumed is copied: the rest of the
// run holds no "&", so copying it at once is the same as scanning it again.
//
// In UTF-8 the name's length counts UTF-16 units as above, and everything
// else goes by bytes: as no name of the tables holds a unit above 0x7F, none
// is found whose bytes differ from its units.
template <typename Unit>
Progress DecodeCharrefsScalar(const Unit* in, size_t n, Unit* out, bool last) {
  DecodedOutput<Unit> output;
  Unit* o = out;
  size_t p = 0;
  while (p < n) {
    if (in[p] != u'&') {
      o = Copy(o, in[p++], output);
      continue;
    }
    const size_t q = p + 1;
    const Unit* name = in + q;
    const size_t length = NameLength(name, n - q);
    // A name that reaches the end of the piece may go on in the next one.
    if (q + length == n && !last && MayBecomeReference(name, length)) break;
    // Units consumed after the "&"; none when the "&" is copied.
    size_t consumed = 0;
    const Output<Unit> to = {output, p};
    if (q + length < n && name[length] == u';') {
      if (Unit* end = WriteSemicolonFormScalar(o, name, length, to)) {
        o = end;
        consumed = length + 1;
      }
    } else if (const NamedReference* legacy = FindLegacyPrefixInTable(name, length, &consumed)) {
      o = WriteReplacement(o, legacy->unit1, legacy->unit2, to);
    }
    if (consumed == 0) o = Copy(o, in[p], output);
    for (size_t i = consumed; i < length; ++i) o = Copy(o, name[i], output);
    p = q + (consumed > length ? consumed : length);
  }
  return EndDecoding(p, out, o, last, output);
}

// As DecodeCharrefsScalar, with runs without "&" copied eight units at a
// time, plain numeric references read eight units at once (runs of those of
// eight or nine units one vector each), the common short names matched
// against one pattern each (and the text after one read a block at a time
// while it holds no other reference), and other names
// found in the generated indexes; a name that ends within the eight units
// after the "&" is read and found without leaving registers. What follows
// an "&" that starts no reference, or the rest of a name after a legacy one,
// is left to the run copy: it holds no "&", so it is copied as the scalar
// decoder copies it.
//
// In UTF-8 a name with a byte above 0x7F among the eight after the "&" takes
// the general path, which counts its units.
template <typename Unit>
Progress DecodeCharrefs(const Unit* in, size_t n, Unit* out, bool last) {
  DecodedOutput<Unit> output;
  // The output never runs ahead of the input, so the run copy's whole vectors
  // stay within the n units after o. One "&" at in[p], and the reference it
  // may begin. (Inlined by force: in UTF-8 the compiler would call it.)
  const auto convert = [&](size_t & p, Unit * &o) __attribute__((always_inline)) {
    // In UTF-16 room for the nine-unit references, as the caller's test
    // for them then goes.
    constexpr size_t kRoom =
        sizeof(Unit) == 2 ? charref::kLongReferenceUnits : charref::kFixedReferenceUnits;
    if (n - p >= kRoom) {
      if (in[p + 1] == u'#') {
        if (DecodeFixedNumbers(in, n, p, o, output)) {
#if !defined(__wasm__) && !defined(TOBBLE_UTF16_ONLY)
          // Where a reference of another length follows. (Not in the
          // WebAssembly build nor in the plug-ins: there the compilers made
          // slower code of the whole decoder with it, and Japanese, which
          // never comes here, took a tenth longer, about what emoji gained.)
          if (n - p >= charref::kLongReferenceUnits && in[p] == u'&') {
            if ((in[p + 2] | 0x20) == u'x') {
              DecodeNumberRun<true>(in, n, p, o, output);
            } else {
              DecodeNumberRun<false>(in, n, p, o, output);
            }
          }
#endif
          return true;
        }
      } else {
        if constexpr (sizeof(Unit) == 1) {
          if (DecodeShortName(in, n, p, o, output)) return true;
        }
        if (!MayBeginName(in[p + 1], in[p + 2])) {
          // Text that only looks like names: the "&" is copied unread.
          o = Copy(o, in[p], output);
          ++p;
          return true;
        }
      }
    }
    const Output<Unit> to = {output, p};
    if (Unit* end = DecodePlainNumber(in, p, n, o, &p, output)) {
      o = end;
      return true;
    }
    const size_t q = p + 1;
    // Units consumed after the "&"; none when the "&" is copied.
    size_t consumed = 0;
    if (q + simd::kWidth <= n) {
      const Units v = simd::Load(in + q);
      const unsigned stop = simd::Mask(NotNameUnits(v));
      const size_t length = simd::FirstLane(stop | 0x10000);
      // In UTF-8, no byte above 0x7F up to the unit after the name.
      const bool plain = sizeof(Unit) == 2 ||
                         simd::FirstLane(simd::Mask(simd::AtLeast(v, 0x80)) | 0x10000) > length;
      // A name that ends within these eight units; but a "#" name that a
      // ";" ends is a number in another form than the plain one.
      if (plain && length < simd::kWidth && !(in[q + length] == u';' && in[q] == u'#')) {
        uint32_t head[2];
        PackName(v, length, head);
        if (in[q + length] == u';') {
          // In UTF-16 the common short names here, for names that ";" ends
          // only.
          if constexpr (sizeof(Unit) == 2) {
            if (DecodeShortName(in, n, p, o, output)) return true;
          }
          const ReferenceSlot* found = length >= kNamedReferenceIndex.shortest
                                           ? FindShort(kNamedReferenceIndex, head, length)
                                           : nullptr;
          if (found != nullptr) {
            o = WriteReplacement(o, found->unit1, found->unit2, to);
            consumed = length + 1;
          }
        } else if (const ReferenceSlot* legacy = FindLegacyPrefix(head, &consumed)) {
          o = WriteReplacement(o, legacy->unit1, legacy->unit2, to);
        }
        if (consumed == 0) o = Copy(o, in[p], output);
        p = q + consumed;
        return true;
      }
    }
    Name name;
    ReadName(in + q, n - q, &name);
    const size_t length = name.length;
    // A name that reaches the end of the piece may go on in the next one.
    if (q + length == n && !last && MayBecomeReference(in + q, length)) return false;
    if (q + length < n && in[q + length] == u';') {
      if (Unit* end = WriteSemicolonForm(o, in + q, name, to)) {
        o = end;
        consumed = length + 1;
      }
    } else if (const ReferenceSlot* legacy = FindLegacyPrefix(name.chunks, &consumed)) {
      o = WriteReplacement(o, legacy->unit1, legacy->unit2, to);
    }
    if (consumed == 0) o = Copy(o, in[p], output);
    p = q + consumed;
    return true;
  };
  const Progress done = simd::ConvertAroundAsciiRuns<charref::Ampersand>(
      in, n, out, convert, [&](Unit* o) { return output.Settle(o); });
  return EndDecoding(done.read, out, out + done.written, last, output);
}

TOBBLE_INSTANTIATE(DecodeCharrefsScalar)
TOBBLE_INSTANTIATE(DecodeCharrefs)

}  // namespace tobble
