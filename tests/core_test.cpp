// The conversion core, natively: every case of the case file, converted whole
// and in pieces, and round trips over random texts.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/filters.h"
#include "core/number.h"
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
      u"\\u", u"\\U", u"\\", u"%", u"%E3%81", u"+", u"&", u"&#", u"&#x", u";", u"amp", u"not",
      u"notin;", u"0", u"41", u"1F600", u"ffff", u"\"", u"<", u">", u"'", u" ", u"\n", u"abcdefg",
      u"abcdefgh", u"abcdefghi", u"\u00e9", u"\u3042", u"\U0001F600",
      // Escaped UTF-8 that decodes to a character, to nothing that the text
      // can hold (the value 0, above 0x10FFFF), or breaks at its last byte.
      u"%e3%81%82", u"%E0%80%80", u"%F0%9F%98%80", u"%f4%90%80%80", u"%F0%9F%98%41"};
  return RandomPieces(rng, kPieces, 40, 5);
}

int Pick(std::mt19937& rng, int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(rng);
}

// Random texts made of what any filter treats specially, so that every fast
// path meets its slow one: escapes of each filter with good, lenient and
// broken fields, escaped UTF-8 of every length, whole and cut short, runs of
// plain ASCII around the vector width, non-ASCII units, pairs and lone
// surrogates.
std::u16string RandomTrickyText(std::mt19937& rng, size_t length) {
  static const std::u16string kUnits = u"\\%+ uUxX-0123456789abcdefABCDEFg\t\n\r&#;.~_";
  static const std::u16string kFieldUnits = u"0123456789abcdefABCDEF \t+-xXg\\";
  static const char16_t kHex[] = u"0123456789abcdef0123456789ABCDEF";
  auto hex = [&](uint32_t value, int digits) {
    const int upper = Pick(rng, 0, 3) == 0 ? 16 : 0;
    std::u16string field;
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
      field += kHex[upper + ((value >> shift) & 0xF)];
    }
    return field;
  };
  std::u16string text;
  while (text.size() < length) {
    switch (Pick(rng, 0, 11)) {
      case 0:
        text += kUnits[Pick(rng, 0, static_cast<int>(kUnits.size()) - 1)];
        break;
      case 1:  // a run of letters, up to a few vectors long
        for (int k = Pick(rng, 0, 20); k > 0; --k)
          text += static_cast<char16_t>(Pick(rng, 'a', 'z'));
        break;
      case 2:
        text += static_cast<char16_t>(Pick(rng, 0x80, 0xFFFF));  // lone surrogates too
        break;
      case 3:
        text += static_cast<char16_t>(Pick(rng, 0xD800, 0xDBFF));
        text += static_cast<char16_t>(Pick(rng, 0xDC00, 0xDFFF));
        break;
      case 4:  // "\u" and a field of any units an escape may hold
      case 5:
        text += Pick(rng, 0, 1) ? u"\\u" : u"\\U";
        for (int k = Pick(rng, 0, 9); k > 0; --k) {
          text += kFieldUnits[Pick(rng, 0, static_cast<int>(kFieldUnits.size()) - 1)];
        }
        break;
      case 6:  // a good "\u" escape, zero and surrogates among them
        text += u"\\u" + hex(Pick(rng, 0, 3) == 0 ? Pick(rng, 0, 0x7F) : Pick(rng, 0, 0xFFFF), 4);
        break;
      case 7:  // a "\U" escape of a code point, or just beyond
        text +=
            u"\\U" + hex(Pick(rng, 0, 3) == 0 ? Pick(rng, 0, 0xFFFF) : Pick(rng, 0, 0x110010), 8);
        break;
      case 8:  // a "\U" field past the 32-bit range, or negative
        text += u"\\U" + hex(static_cast<uint32_t>(Pick(rng, 0x7FFFFFF0, 0x7FFFFFFF)) * 2, 8);
        break;
      case 9:  // "%" and a byte
        text += u"%" + hex(Pick(rng, 0, 255), 2);
        break;
      case 10: {  // the escaped UTF-8 of a code point, maybe cut short
        const uint32_t value = Pick(rng, 0, 3) == 0 ? Pick(rng, 0, 0x7FF) : Pick(rng, 0, 0x10FFFF);
        const int continuation = value < 0x80 ? 0 : value < 0x800 ? 1 : value < 0x10000 ? 2 : 3;
        static const uint32_t kLeads[] = {0x00, 0xC0, 0xE0, 0xF0};
        text += u"%" + hex(kLeads[continuation] | value >> (6 * continuation), 2);
        const int kept = Pick(rng, 0, 2) == 0 ? Pick(rng, 0, continuation) : continuation;
        for (int k = continuation - 1; k >= continuation - kept; --k) {
          text += u"%" + hex(0x80 | ((value >> (6 * k)) & 0x3F), 2);
        }
        break;
      }
      case 11:
        text += static_cast<char16_t>(Pick(rng, 1, 0x7F));
        break;
    }
  }
  return text;
}

// Every filter's conversion gives exactly what its plain version gives,
// whole and in random pieces, on texts of both kinds above.
TEST(Filters, ConvertAgreesWithScalar) {
  std::mt19937 rng(20261209);
  for (const Filter& filter : kFilters) {
    if (filter.convert == nullptr || filter.scalar == nullptr) continue;
    const Filter scalar = ScalarOf(filter);
    for (int round = 0; round < 3000; ++round) {
      const size_t length = round % 10 == 0 ? Pick(rng, 100, 400) : round % 50;
      const std::u16string text =
          round % 2 == 0 ? RandomSpecialText(rng) : RandomTrickyText(rng, length);
      const std::u16string expected = Convert(scalar, text);
      ASSERT_EQ(ShowUnits(Convert(filter, text)), ShowUnits(expected))
          << filter.function << ": " << ShowUnits(text);
      std::vector<size_t> sizes;
      for (size_t at = 0; at < text.size(); at += sizes.back()) sizes.push_back(Pick(rng, 0, 20));
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
