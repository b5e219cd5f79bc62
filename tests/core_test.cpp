// The conversion core, natively: every case of the case file, converted whole
// and in pieces, and round trips over random texts.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/number.h"
#include "plugin/filters.h"
#include "tests/case_file.h"
#include "tests/convert.h"

namespace tobble::testing {
namespace {

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = ReadCaseFile(TOBBLE_CASE_FILE);
  return cases;
}

TEST(CaseFile, EveryFilterOfTheFileExists) {
  ASSERT_FALSE(Cases().empty());
  for (const Case& c : Cases()) {
    EXPECT_NE(FindFilter(c.filter.c_str()), nullptr) << "line " << c.line << ": " << c.filter;
  }
}

TEST(CaseFile, WholeText) {
  for (const Case& c : Cases()) {
    const Filter* filter = FindFilter(c.filter.c_str());
    if (filter == nullptr || filter->convert == nullptr) continue;
    EXPECT_EQ(ShowUnits(Convert(*filter, c.input)), ShowUnits(c.expected))
        << c.filter << ", line " << c.line << ": " << ShowUnits(c.input);
  }
}

// Every split into two pieces, and one unit at a time, must give the output
// of the whole text.
TEST(CaseFile, InPieces) {
  for (const Case& c : Cases()) {
    const Filter* filter = FindFilter(c.filter.c_str());
    if (filter == nullptr || filter->convert == nullptr) continue;
    const std::string where = c.filter + ", line " + std::to_string(c.line);
    for (size_t cut = 0; cut <= c.input.size(); ++cut) {
      EXPECT_EQ(ShowUnits(ConvertInPieces(*filter, c.input, {cut})), ShowUnits(c.expected))
          << where << ", cut at " << cut;
    }
    std::vector<size_t> every_unit(c.input.size(), 1);
    EXPECT_EQ(ShowUnits(ConvertInPieces(*filter, c.input, every_unit)), ShowUnits(c.expected))
        << where << ", one unit at a time";
  }
}

// Random texts: ASCII, BMP, paired and lone surrogates, but no backslash and
// no zero unit.
std::u16string RandomText(std::mt19937& rng, size_t length) {
  std::u16string text;
  std::uniform_int_distribution<int> kind(0, 5);
  while (text.size() < length) {
    switch (kind(rng)) {
      case 0:
      case 1:
        text += static_cast<char16_t>(std::uniform_int_distribution<int>(1, 0x7F)(rng));
        if (text.back() == u'\\') text.back() = u'u';
        break;
      case 2:
        text += static_cast<char16_t>(std::uniform_int_distribution<int>(0x80, 0xD7FF)(rng));
        break;
      case 3:
        text += static_cast<char16_t>(std::uniform_int_distribution<int>(0xE000, 0xFFFF)(rng));
        break;
      case 4:  // a true pair
        text += static_cast<char16_t>(std::uniform_int_distribution<int>(0xD800, 0xDBFF)(rng));
        text += static_cast<char16_t>(std::uniform_int_distribution<int>(0xDC00, 0xDFFF)(rng));
        break;
      case 5:  // a lone surrogate of either kind
        text += static_cast<char16_t>(std::uniform_int_distribution<int>(0xD800, 0xDFFF)(rng));
        break;
    }
  }
  return text;
}

TEST(RoundTrip, EscapesGiveTheTextBack) {
  const Filter& tobble_j = *FindFilter("tobbleJ");
  const Filter& tobble_c = *FindFilter("tobbleC");
  const Filter& untobble_j = *FindFilter("untobbleJ");
  const Filter& untobble_c = *FindFilter("untobbleC");
  std::mt19937 rng(20261208);
  for (int round = 0; round < 2000; ++round) {
    const std::u16string text = RandomText(rng, round % 40);
    ASSERT_EQ(Convert(untobble_j, Convert(tobble_j, text)), text) << ShowUnits(text);
    ASSERT_EQ(Convert(untobble_c, Convert(tobble_j, text)), text) << ShowUnits(text);
    ASSERT_EQ(Convert(untobble_c, Convert(tobble_c, text)), text) << ShowUnits(text);
  }
}

// Texts made of what the filters' special paths look at: escapes, percent
// signs, references and their parts, digits, runs of plain units that end
// around the vector width, and any unit, surrogates included.
std::u16string RandomSpecialText(std::mt19937& rng) {
  static const std::vector<std::u16string> kPieces = {
      u"\\u",      u"\\U",       u"\\",     u"%",      u"%E3%81",    u"+", u"&",  u"&#",
      u"&#x",      u";",         u"amp",    u"not",    u"notin;",    u"0", u"41", u"1F600",
      u"ffff",     u"\"",        u"<",      u">",      u"'",         u" ", u"\n", u"abcdefg",
      u"abcdefgh", u"abcdefghi", u"\u00e9", u"\u3042", u"\U0001F600"};
  std::u16string text;
  const int pieces = std::uniform_int_distribution<int>(0, 40)(rng);
  for (int i = 0; i < pieces; ++i) {
    if (std::uniform_int_distribution<int>(0, 4)(rng) == 0) {
      text += static_cast<char16_t>(std::uniform_int_distribution<int>(1, 0xFFFF)(rng));
    } else {
      text += kPieces[std::uniform_int_distribution<size_t>(0, kPieces.size() - 1)(rng)];
    }
  }
  return text;
}

// Every filter's conversion gives exactly what its plain version gives,
// whole and in pieces.
TEST(Filters, ConvertAgreesWithScalar) {
  std::mt19937 rng(20261209);
  for (const Filter& filter : kFilters) {
    if (filter.convert == nullptr || filter.scalar == nullptr) continue;
    const Filter scalar = ScalarOf(filter);
    for (int round = 0; round < 2000; ++round) {
      const std::u16string text = RandomSpecialText(rng);
      const std::u16string expected = Convert(scalar, text);
      ASSERT_EQ(ShowUnits(Convert(filter, text)), ShowUnits(expected))
          << filter.function << ": " << ShowUnits(text);
      std::vector<size_t> sizes;
      for (size_t at = 0; at < text.size(); at += sizes.back()) {
        sizes.push_back(std::uniform_int_distribution<size_t>(0, 20)(rng));
      }
      ASSERT_EQ(ShowUnits(ConvertInPieces(filter, text, sizes)), ShowUnits(expected))
          << filter.function << " in pieces: " << ShowUnits(text);
    }
  }
}

struct ParseCase {
  const char* field;
  int base;
  bool accepted;
  int32_t value;
};

TEST(ParseInteger, ReadsLikeStrtol) {
  const ParseCase cases[] = {
      {"", 16, true, 0},
      {"0", 16, true, 0},
      {"7fffffff", 16, true, INT32_MAX},
      {"80000000", 16, true, INT32_MAX},
      {"-80000000", 16, true, INT32_MIN},
      {"-80000001", 16, true, INT32_MIN},
      {"111111111111111111111111111111111", 16, true, INT32_MAX},
      {"2147483647", 10, true, INT32_MAX},
      {"2147483648", 10, true, INT32_MAX},
      {"99999999999", 10, true, INT32_MAX},
      {"00000000000000000000000000000000065", 10, true, 65},
      {" \t\n\v\f\r+0x1F", 16, true, 0x1F},
      {"0x", 16, false, 0},
      {"0xg", 16, false, 0},
      {"0x0x1", 16, false, 0},
      {"x1", 16, false, 0},
      {"1a", 10, false, 0},
      {"0x1", 10, false, 0},
      {" ", 10, false, 0},
      {"-", 16, false, 0},
      {"1 ", 16, false, 0},
  };
  for (const ParseCase& c : cases) {
    std::u16string field(c.field, c.field + std::char_traits<char>::length(c.field));
    int32_t value = -12345;
    EXPECT_EQ(ParseInteger(field.data(), field.size(), c.base, &value), c.accepted)
        << '"' << c.field << "\" base " << c.base;
    if (c.accepted) {
      EXPECT_EQ(value, c.value) << '"' << c.field << '"';
    }
  }
}

}  // namespace
}  // namespace tobble::testing
