// The character reference filters natively: the generated tables against the
// standard's list, every name of the list through charref2text, round trips,
// and every character through both encoders.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "filters/charref/reference_tables.h"
#include "filters/common/surrogate.h"
#include "filters/filters.h"
#include "tests/entities.h"
#include "tests/support/case_file.h"
#include "tests/support/gtest_convert.h"
#include "tests/support/random_text.h"

namespace tobble::testing {
namespace {

const std::vector<Entity>& Entities() {
  static const std::vector<Entity> entities = ReadEntities(TOBBLE_ENTITIES_FILE);
  return entities;
}

std::vector<NamedReference> Records(const NamedReference* table) {
  std::vector<NamedReference> records;
  for (; table->name != nullptr; ++table) records.push_back(*table);
  return records;
}

std::u16string Replacement(const NamedReference& r) {
  std::u16string units(1, r.unit1);
  if (r.unit2 != 0) units += r.unit2;
  return units;
}

std::u16string Units(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

const Filter& Decoder() {
  return *FindFilter("charref2text");
}

struct TableCase {
  const char* label;
  const NamedReference* table;
  bool semicolon;  // which entries of the list the table holds
  size_t count;
};
const TableCase kTables[] = {
    {"NamedReferenceTable", NamedReferenceTable, true, 2125},
    {"LegacyReferenceTable", LegacyReferenceTable, false, 106},
};

TEST(ReferenceTables, HoldExactlyTheEntriesOfTheList) {
  ASSERT_EQ(Entities().size(), 2231u);
  for (const TableCase& t : kTables) {
    std::map<std::string, std::u16string> table;
    for (const NamedReference& r : Records(t.table)) {
      EXPECT_TRUE(table.emplace(r.name, Replacement(r)).second) << t.label << ": " << r.name;
    }
    EXPECT_EQ(table.size(), t.count) << t.label;
    size_t listed = 0;
    for (const Entity& e : Entities()) {
      if (e.semicolon != t.semicolon) continue;
      ++listed;
      const auto found = table.find(e.name);
      ASSERT_NE(found, table.end()) << t.label << " lacks " << e.name;
      EXPECT_EQ(found->second, e.characters) << t.label << ": " << e.name;
    }
    EXPECT_EQ(listed, t.count) << t.label;
  }
}

TEST(ReferenceTables, EndRecords) {
  for (const TableCase& t : kTables) {
    const NamedReference& end = t.table[t.count];
    EXPECT_EQ(end.name, nullptr) << t.label;
    EXPECT_EQ(end.unit1, 0) << t.label;
    EXPECT_EQ(end.unit2, 0) << t.label;
  }
}

TEST(ReferenceTables, LegacyNamesAreShortAndBeginNoOther) {
  const std::vector<NamedReference> legacy = Records(LegacyReferenceTable);
  for (const NamedReference& a : legacy) {
    const std::string name = a.name;
    EXPECT_GE(name.size(), 2u);
    EXPECT_LE(name.size(), 6u);
    EXPECT_EQ(a.unit2, 0) << name;
    EXPECT_GE(a.unit1, 0x22) << name;
    EXPECT_LE(a.unit1, 0xFF) << name;
    for (const NamedReference& b : legacy) {
      if (&a == &b) continue;
      EXPECT_NE(std::string(b.name).rfind(name, 0), 0u) << name << " begins " << b.name;
    }
  }
}

struct TellingRow {
  const char* name;
  bool legacy;  // also in LegacyReferenceTable
  char16_t unit1;
  char16_t unit2;
};

TEST(ReferenceTables, TellingRows) {
  const TellingRow rows[] = {
      {"Aacute", true, 0x00C1, 0},
      {"AMP", true, 0x0026, 0},
      {"amp", true, 0x0026, 0},
      {"Tab", false, 0x0009, 0},
      {"not", true, 0x00AC, 0},
      {"notin", false, 0x2209, 0},
      {"CounterClockwiseContourIntegral", false, 0x2233, 0},
      {"zwnj", false, 0x200C, 0},
      {"acE", false, 0x223E, 0x0333},
      {"fjlig", false, 0x0066, 0x006A},
      {"ThickSpace", false, 0x205F, 0x200A},
      {"vsupne", false, 0x228B, 0xFE00},
      {"Afr", false, 0xD835, 0xDD04},
      {"zscr", false, 0xD835, 0xDCCF},
      {"yuml", true, 0x00FF, 0},
  };
  for (const TableCase& t : kTables) {
    std::map<std::string, NamedReference> table;
    for (const NamedReference& r : Records(t.table)) table.emplace(r.name, r);
    for (const TellingRow& row : rows) {
      const auto found = table.find(row.name);
      if (t.semicolon || row.legacy) {
        ASSERT_NE(found, table.end()) << t.label << ": " << row.name;
        EXPECT_EQ(found->second.unit1, row.unit1) << t.label << ": " << row.name;
        EXPECT_EQ(found->second.unit2, row.unit2) << t.label << ": " << row.name;
      } else {
        EXPECT_EQ(found, table.end()) << t.label << ": " << row.name;
      }
    }
  }
}

TEST(Charref2text, EveryNameOfTheList) {
  for (const Entity& e : Entities()) {
    if (e.semicolon) {
      EXPECT_EQ(ShowUnits(Convert(Decoder(), Units("&" + e.name + ";"))), ShowUnits(e.characters))
          << "&" << e.name << ";";
    } else {
      EXPECT_EQ(ShowUnits(Convert(Decoder(), Units("&" + e.name + " "))),
                ShowUnits(e.characters + u" "))
          << "&" << e.name;
    }
  }
}

// Names next to the listed ones (one letter more or less, the first letter's
// case changed) decode only when they are listed themselves. A legacy name
// followed by a letter still decodes, and only it is consumed.
TEST(Charref2text, NamesNextToTheListedOnes) {
  std::map<std::string, std::u16string> named;
  for (const Entity& e : Entities()) {
    if (e.semicolon) named.emplace(e.name, e.characters);
  }
  for (const Entity& e : Entities()) {
    if (!e.semicolon) {
      EXPECT_EQ(ShowUnits(Convert(Decoder(), Units("&" + e.name + "q;"))),
                ShowUnits(Units("&" + e.name + "q;")))
          << "&" << e.name << "q;";
      EXPECT_EQ(ShowUnits(Convert(Decoder(), Units("&" + e.name + "q"))),
                ShowUnits(e.characters + u"q"))
          << "&" << e.name << "q";
      continue;
    }
    std::string flipped = e.name;
    flipped[0] = static_cast<char>(flipped[0] ^ 0x20);
    for (const std::string& near : {e.name + "q", e.name.substr(0, e.name.size() - 1), flipped}) {
      const std::u16string text = Units("&" + near + ";");
      const auto found = named.find(near);
      EXPECT_EQ(ShowUnits(Convert(Decoder(), text)),
                ShowUnits(found == named.end() ? text : found->second))
          << ShowUnits(text);
    }
  }
}

TEST(RoundTrip, ReferencesGiveTheTextBack) {
  const Filter& decimal = *FindFilter("text2charref");
  const Filter& hex = *FindFilter("text2charrefx");
  RandomText random(20261208);
  for (int round = 0; round < 3000; ++round) {
    const std::u16string text = random.References();
    ASSERT_EQ(ShowUnits(Convert(Decoder(), Convert(decimal, text))), ShowUnits(text));
    ASSERT_EQ(ShowUnits(Convert(Decoder(), Convert(hex, text))), ShowUnits(text));
  }
}

// The indexes: each name of a table in exactly one slot, with its record's
// name, length and replacement; the length masks exactly the names' lengths.
TEST(ReferenceIndexes, HoldEveryNameOfTheirTable) {
  const struct {
    const char* label;
    const ReferenceIndex& index;
    size_t slots;
  } indexes[] = {{"named", kNamedReferenceIndex, 4096}};
  for (const auto& t : indexes) {
    const std::vector<NamedReference> records = Records(t.index.records);
    ASSERT_EQ(size_t{1} << (32 - t.index.slot_shift), t.slots) << t.label;
    std::vector<int> seen(records.size());
    for (size_t i = 0; i < t.slots; ++i) {
      const ReferenceSlot& slot = t.index.slots[i];
      if (slot.length == 0) continue;
      ASSERT_LT(slot.record, records.size()) << t.label << " slot " << i;
      const NamedReference& r = records[slot.record];
      ++seen[slot.record];
      const std::string name = r.name;
      EXPECT_EQ(slot.length, name.size()) << name;
      std::string head;
      for (int byte = 0; byte < 8; ++byte) {
        const char c = static_cast<char>(slot.head[byte / 4] >> (8 * (byte % 4)));
        if (c == 0) break;
        head += c;
      }
      EXPECT_EQ(head, name.substr(0, 8)) << name;
      EXPECT_EQ(slot.unit1, r.unit1) << name;
      EXPECT_EQ(slot.unit2, r.unit2) << name;
    }
    EXPECT_EQ(seen, std::vector<int>(records.size(), 1)) << t.label;
    std::vector<uint32_t> lengths(256);
    size_t shortest = 99, longest = 0;
    for (const NamedReference& r : records) {
      const size_t length = std::string(r.name).size();
      lengths[static_cast<unsigned char>(r.name[0])] |= 1u << length;
      shortest = std::min(shortest, length);
      longest = std::max(longest, length);
    }
    EXPECT_EQ(std::vector<uint32_t>(t.index.lengths, t.index.lengths + 256), lengths) << t.label;
    EXPECT_EQ(t.index.shortest, shortest) << t.label;
    EXPECT_EQ(t.index.longest, longest) << t.label;
  }
}

// The pairs that begin names: bit (a << 7 | b) set exactly where a name
// begins with a and b.
TEST(ReferenceIndexes, NameStartsAreTheFirstTwoUnitsOfTheNames) {
  std::vector<uint64_t> starts(256);
  for (const NamedReference& r : Records(NamedReferenceTable)) {
    const unsigned bit =
        static_cast<unsigned char>(r.name[0]) << 7 | static_cast<unsigned char>(r.name[1]);
    starts[bit >> 6] |= uint64_t{1} << (bit & 63);
  }
  EXPECT_EQ(std::vector<uint64_t>(kNameStarts, kNameStarts + 256), starts);
}

// The legacy names by their first two bytes: each name once, in the group
// its two bytes pick, with its record, head and replacement; no group holds
// another pair's name.
TEST(ReferenceIndexes, LegacyPairsGroupEveryLegacyName) {
  const std::vector<NamedReference> legacy = Records(LegacyReferenceTable);
  std::vector<int> seen(legacy.size());
  for (size_t pair = 0; pair < 4096; ++pair) {
    const size_t start = kLegacyByPair.starts[pair];
    for (const ReferenceSlot* slot = kLegacyByPair.slots + start; start != 0 && slot->length != 0;
         ++slot) {
      ASSERT_LT(slot->record, legacy.size()) << pair;
      const NamedReference& r = legacy[slot->record];
      ++seen[slot->record];
      const std::string name = r.name;
      EXPECT_EQ(static_cast<size_t>((name[0] & 0x3F) << 6 | (name[1] & 0x3F)), pair) << name;
      std::string head;
      for (int byte = 0; byte < 8 && (slot->head[byte / 4] >> (8 * (byte % 4)) & 0xFF) != 0;
           ++byte) {
        head += static_cast<char>(slot->head[byte / 4] >> (8 * (byte % 4)));
      }
      EXPECT_EQ(head, name);
      EXPECT_EQ(slot->length, name.size()) << name;
      EXPECT_EQ(slot->unit1, r.unit1) << name;
      EXPECT_EQ(slot->unit2, r.unit2) << name;
    }
  }
  EXPECT_EQ(seen, std::vector<int>(legacy.size(), 1));
}

// Every unit from 0x80 and every code point above U+FFFF, each written as a
// reference by both encoders as their plain versions write it, and read back.
TEST(FastPaths, EveryCharacterThroughEveryReference) {
  std::u16string text;
  for (uint32_t c = 0x80; c <= 0x10FFFF; ++c) {
    char16_t units[2];
    text.append(units, WriteCodePoint(units, c) - units);
    if (c % 64 == 0) text += u"<&>\"x";
  }
  const Filter& decoder = Decoder();
  for (const char* function : {"text2charref", "text2charrefx"}) {
    const Filter& fast = *FindFilter(function);
    const std::u16string encoded = Convert(fast, text);
    ASSERT_TRUE(encoded == Convert(ScalarOf(fast), text)) << function;
    ASSERT_TRUE(Convert(decoder, encoded) == text) << function;
    ASSERT_TRUE(Convert(ScalarOf(decoder), encoded) == text) << function;
  }
}

}  // namespace
}  // namespace tobble::testing
