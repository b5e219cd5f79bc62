// The HTML standard's named character references, and the indexes that find
// a name in them. The data is generated (charref/generate_tables.py writes
// charref/reference_tables.cpp); nothing here is built at run time.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tobble {

// One named reference: its name without "&" and ";", and the one or two
// UTF-16 units that it stands for (unit2 is 0 for one unit).
struct NamedReference {
  const char* name;
  char16_t unit1;
  char16_t unit2;
};

// Each table ends with a record whose name is null. NamedReferenceTable holds
// every name written with ";", LegacyReferenceTable the names also recognised
// without it. Records come in three runs (one-unit replacements, two code
// points, then code points above U+FFFF), each ascending by name with letters
// folded to lower case, then in byte order.
extern const NamedReference NamedReferenceTable[];
extern const NamedReference LegacyReferenceTable[];

// A perfect hash over one table's names: a name's key picks a bucket, the
// bucket's seed turns the key into a slot, and the slot holds the only record
// that can carry that name (or kNoRecord).
struct ReferenceIndex {
  const NamedReference* records;
  const uint16_t* seeds;
  uint32_t bucket_mask;
  const uint16_t* slots;
  uint32_t slot_mask;
  size_t shortest;  // name lengths in the table
  size_t longest;
};

inline constexpr uint16_t kNoRecord = 0xFFFF;

extern const ReferenceIndex kNamedReferenceIndex;
extern const ReferenceIndex kLegacyReferenceIndex;

}  // namespace tobble
