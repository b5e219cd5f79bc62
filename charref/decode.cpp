#include "charref/charref.h"
#include "charref/reference_tables.h"
#include "common/number.h"
#include "common/surrogate.h"

namespace tobble {
namespace {

// A name is never read beyond this many units.
constexpr size_t kMaxNameUnits = 36;

// The units a name can hold: every unit below 0x100 except the zero unit,
// "&" and ";". Spaces and punctuation count too.
constexpr bool IsNameUnit(char16_t u) {
  return u < 0x100 && u != 0 && u != u'&' && u != u';';
}

// The name hash; charref/generate_tables.py computes the same to build the
// indexes. FNV-1a over the name's bytes, then a finalizer that spreads every
// bit over the whole key.
constexpr uint32_t Mix(uint32_t x) {
  x ^= x >> 16;
  x *= 0x85EBCA6Bu;
  x ^= x >> 13;
  x *= 0xC2B2AE35u;
  x ^= x >> 16;
  return x;
}

uint32_t NameKey(const char16_t* name, size_t length) {
  uint32_t h = 0x811C9DC5u;
  for (size_t i = 0; i < length; ++i) h = (h ^ name[i]) * 0x01000193u;
  return Mix(h);
}

// The record of the index whose name is exactly name[0, length), or null.
// One probe: the slot holds the only record that can match.
const NamedReference* Find(const ReferenceIndex& index, const char16_t* name, size_t length) {
  if (length < index.shortest || length > index.longest) return nullptr;
  const uint32_t key = NameKey(name, length);
  const uint32_t slot = Mix(key ^ index.seeds[key & index.bucket_mask]) & index.slot_mask;
  const uint16_t record = index.slots[slot];
  if (record == kNoRecord) return nullptr;
  // A shorter candidate stops at its zero byte, which no name unit equals.
  const char* candidate = index.records[record].name;
  for (size_t i = 0; i < length; ++i) {
    if (static_cast<unsigned char>(candidate[i]) != name[i]) return nullptr;
  }
  return candidate[length] == 0 ? &index.records[record] : nullptr;
}

// The legacy reference whose name begins name[0, length), or null; its name's
// length goes to *matched. No legacy name begins another, so at most one
// can match.
const NamedReference* FindLegacyPrefix(const char16_t* name, size_t length, size_t* matched) {
  const ReferenceIndex& index = kLegacyReferenceIndex;
  for (size_t k = index.shortest; k <= length && k <= index.longest; ++k) {
    if (const NamedReference* found = Find(index, name, k)) {
      *matched = k;
      return found;
    }
  }
  return nullptr;
}

char16_t* WriteReplacement(char16_t* out, const NamedReference& reference) {
  *out++ = reference.unit1;
  if (reference.unit2 != 0) *out++ = reference.unit2;
  return out;
}

// A name that a ";" ends: "#" and a decimal number, "#x" or "#X" and a hex
// number, or a name of the table, all of it. Returns the new output position,
// or null when the name is none of these (nothing is written then).
char16_t* WriteSemicolonForm(char16_t* out, const char16_t* name, size_t length) {
  if (length >= 2 && name[0] == u'#') {
    int32_t value;
    if ((name[1] | 0x20) == u'x') {
      return ParseInteger(name + 2, length - 2, 16, &value) ? WriteNumberedCharacter(out, value)
                                                            : nullptr;
    }
    if (name[1] >= u'0' && name[1] <= u'9') {
      return ParseInteger(name + 1, length - 1, 10, &value) ? WriteNumberedCharacter(out, value)
                                                            : nullptr;
    }
  }
  const NamedReference* found = Find(kNamedReferenceIndex, name, length);
  return found == nullptr ? nullptr : WriteReplacement(out, *found);
}

}  // namespace

// At each "&" the name is the run of name units after it, at most 36; the
// unit after the run decides the form. With ";" the whole name must be a
// reference, and the ";" is consumed with it. Otherwise only a legacy name at
// the start of the run counts, and only it is consumed. Either way the output
// is never scanned again. Whatever is not consumed is copied: the rest of the
// run holds no "&", so copying it at once is the same as scanning it again.
Progress DecodeCharrefs(const char16_t* in, size_t n, char16_t* out, bool last) {
  char16_t* o = out;
  size_t p = 0;
  while (p < n) {
    if (in[p] != u'&') {
      *o++ = in[p++];
      continue;
    }
    const size_t q = p + 1;
    const char16_t* name = in + q;
    size_t length = 0;
    while (length < kMaxNameUnits && q + length < n && IsNameUnit(name[length])) ++length;
    // A name that reaches the end of the piece may go on in the next one.
    if (q + length == n && !last) break;
    // Units consumed after the "&"; none when the "&" is copied.
    size_t consumed = 0;
    if (q + length < n && name[length] == u';') {
      if (char16_t* end = WriteSemicolonForm(o, name, length)) {
        o = end;
        consumed = length + 1;
      }
    } else if (const NamedReference* legacy = FindLegacyPrefix(name, length, &consumed)) {
      o = WriteReplacement(o, *legacy);
    }
    if (consumed == 0) *o++ = u'&';
    for (size_t i = consumed; i < length; ++i) *o++ = name[i];
    p = q + (consumed > length ? consumed : length);
  }
  return {p, static_cast<size_t>(o - out)};
}

}  // namespace tobble
