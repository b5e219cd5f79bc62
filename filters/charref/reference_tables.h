// The HTML standard's named character references, and the indexes that find
// a name in them. The data is generated (filters/charref/generate_tables.py writes
// filters/charref/reference_tables.cpp); nothing here is built at run time.
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

// One slot of an index: a name and what it stands for, so that a lookup
// compares and writes without reading the record. An empty slot is all zero.
struct ReferenceSlot {
  uint32_t head[2];  // the name's first eight bytes, four to a little-endian
                     // chunk, zero after the name
  uint16_t record;   // the record of the table that holds the name
  char16_t unit1;    // as in the record
  char16_t unit2;
  uint8_t length;  // the name's length; 0 for an empty slot
};

// A perfect hash over a table's names: the top bits of a name's key pick
// a bucket, the bucket's seed turns the key into a slot, and the slot holds
// the only name of the table that can have that key. `lengths` holds, for each byte, bit k
// set when a name of k bytes begins with that byte, so that most names that
// are none are turned away before they are hashed.
struct ReferenceIndex {
  const NamedReference* records;
  const uint16_t* seeds;
  uint32_t bucket_shift;  // 32 less the bits of a bucket number
  const ReferenceSlot* slots;
  uint32_t slot_shift;      // 32 less the bits of a slot number
  const uint32_t* lengths;  // 256 masks
  size_t shortest;          // name lengths in the table
  size_t longest;
};

extern const ReferenceIndex kNamedReferenceIndex;

// The legacy names by their first two bytes, so that the one that begins a
// name is found with one look: starts[(b0 & 0x3F) << 6 | (b1 & 0x3F)] is
// where the names that begin with such two bytes start among the slots (0
// for none), up to an empty slot. Legacy names are 2 to 7 bytes long.
struct LegacyPairIndex {
  const uint8_t* starts;  // 4096
  const ReferenceSlot* slots;
};

extern const LegacyPairIndex kLegacyByPair;

// The first two units of every name, ASCII each: bit (a << 7 | b), of word
// (a << 7 | b) / 64, is set when a name written with ";" begins with a and b
// (so does every legacy name). An "&" whose next two units are no such pair
// begins no reference, whatever follows.
extern const uint64_t kNameStarts[256];

}  // namespace tobble
