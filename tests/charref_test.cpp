// The character reference filters natively: the generated tables against the
// standard's list, every name of the list through charref2text, round trips,
// and random texts converted in pieces.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "charref/reference_tables.h"
#include "plugin/filters.h"
#include "tests/case_file.h"
#include "tests/convert.h"
#include "tests/entities.h"

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

// Runs by replacement (one unit, two code points, above U+FFFF), then names
// with letters folded to lower case, then byte order.
auto OrderKey(const NamedReference& r) {
  const int run = r.unit2 == 0 ? 0 : (r.unit1 & 0xFC00) == 0xD800 ? 2 : 1;
  std::string folded = r.name;
  for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return std::make_tuple(run, folded, std::string(r.name));
}

TEST(ReferenceTables, Order) {
  for (const TableCase& t : kTables) {
    const std::vector<NamedReference> records = Records(t.table);
    for (size_t i = 1; i < records.size(); ++i) {
      EXPECT_LT(OrderKey(records[i - 1]), OrderKey(records[i]))
          << t.label << ": " << records[i - 1].name << " before " << records[i].name;
    }
  }
  std::map<int, size_t> runs;
  for (const NamedReference& r : Records(NamedReferenceTable)) ++runs[std::get<0>(OrderKey(r))];
  EXPECT_EQ(runs, (std::map<int, size_t>{{0, 1899}, {1, 93}, {2, 133}}));
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
  const std::vector<NamedReference> named = Records(NamedReferenceTable);
  const std::vector<NamedReference> legacy = Records(LegacyReferenceTable);
  EXPECT_STREQ(named.front().name, "Aacute");
  EXPECT_STREQ(named[1898].name, "zwnj");
  EXPECT_STREQ(named[1899].name, "acE");
  EXPECT_STREQ(named[1991].name, "vsupne");
  EXPECT_STREQ(named[1992].name, "Afr");
  EXPECT_STREQ(named.back().name, "zscr");
  EXPECT_STREQ(legacy.front().name, "Aacute");
  EXPECT_STREQ(legacy.back().name, "yuml");
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

// Texts rich in what references are made of: names, digits, "&", "#", ";",
// spaces, and any unit, lone surrogates included.
std::u16string RandomReferenceText(std::mt19937& rng) {
  static const std::vector<std::u16string> kPieces = {
      u"&",  u"&",     u"&#",    u"&#x",  u";",     u"#",   u"x", u"amp",
      u"lt", u"not",   u"notin", u"copy", u"fjlig", u"Afr", u"0", u"41",
      u"65", u"1F600", u"-",     u" ",    u"\n",    u"\"",  u"<", u"'"};
  std::u16string text;
  const int pieces = std::uniform_int_distribution<int>(0, 30)(rng);
  for (int i = 0; i < pieces; ++i) {
    if (std::uniform_int_distribution<int>(0, 3)(rng) == 0) {
      text += static_cast<char16_t>(std::uniform_int_distribution<int>(1, 0xFFFF)(rng));
    } else {
      text += kPieces[std::uniform_int_distribution<size_t>(0, kPieces.size() - 1)(rng)];
    }
  }
  return text;
}

TEST(RoundTrip, ReferencesGiveTheTextBack) {
  const Filter& decimal = *FindFilter("text2charref");
  const Filter& hex = *FindFilter("text2charrefx");
  std::mt19937 rng(20261208);
  for (int round = 0; round < 3000; ++round) {
    const std::u16string text = RandomReferenceText(rng);
    ASSERT_EQ(ShowUnits(Convert(Decoder(), Convert(decimal, text))), ShowUnits(text));
    ASSERT_EQ(ShowUnits(Convert(Decoder(), Convert(hex, text))), ShowUnits(text));
  }
}

// Any cutting into pieces gives the output of the whole text.
TEST(InPieces, RandomTextsAndCuts) {
  std::mt19937 rng(7);
  for (const char* function : {"charref2text", "text2charref", "text2charrefx"}) {
    const Filter& filter = *FindFilter(function);
    for (int round = 0; round < 1000; ++round) {
      std::u16string text = RandomReferenceText(rng);
      if (round % 4 == 0) text += u"&#" + std::u16string(round % 50, u'0') + u"65;";
      std::vector<size_t> sizes;
      for (size_t at = 0; at < text.size();) {
        sizes.push_back(std::uniform_int_distribution<size_t>(0, 40)(rng));
        at += sizes.back();
      }
      ASSERT_EQ(ShowUnits(ConvertInPieces(filter, text, sizes)), ShowUnits(Convert(filter, text)))
          << function << ": " << ShowUnits(text);
    }
  }
}

}  // namespace
}  // namespace tobble::testing
