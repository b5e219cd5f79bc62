// The conversion core, natively: every case of the case file, converted whole
// and in pieces, round trips over random texts, and every filter's fast
// conversion against its plain one.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "filters/common/number.h"
#include "filters/filters.h"
#include "tests/entities.h"
#include "tests/support/case_file.h"
#include "tests/support/convert.h"
#include "tests/support/gtest_convert.h"
#include "tests/support/properties.h"
#include "tests/support/random_text.h"

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
    ASSERT_NE(filter, nullptr) << c.filter;
    EXPECT_EQ(ShowUnits(Convert(*filter, c.input)), ShowUnits(c.expected))
        << c.filter << ", line " << c.line << ": " << ShowUnits(c.input);
  }
}

// Every split into two pieces, and one unit at a time, must give the output
// of the whole text.
TEST(CaseFile, InPieces) {
  for (const Case& c : Cases()) {
    const Filter* filter = FindFilter(c.filter.c_str());
    ASSERT_NE(filter, nullptr) << c.filter;
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

// The case file again in UTF-8, for every case whose input has a UTF-8 form
// (no surrogate without its partner): each filter's UTF-8 conversions, fast
// and plain, whole, cut at every byte and a byte at a time, write the
// expected output in UTF-8 and count its surrogates without a partner.
TEST(CaseFile, InUtf8) {
  for (const Case& c : Cases()) {
    const Filter* filter = FindFilter(c.filter.c_str());
    ASSERT_NE(filter, nullptr) << c.filter;
    const Utf8Text input = ToUtf8(c.input);
    if (input.replaced != 0) continue;
    const Utf8Text expected = ToUtf8(c.expected);
    std::vector<std::vector<size_t>> pieces = {{}, std::vector<size_t>(input.bytes.size(), 1)};
    for (size_t cut = 0; cut <= input.bytes.size(); ++cut) pieces.push_back({cut});
    for (const Utf8Conversion conversion : {filter->convert8, filter->scalar8}) {
      if (conversion == nullptr) continue;
      for (const std::vector<size_t>& sizes : pieces) {
        const CallResultOf<uint8_t> call = ConvertPieces(*filter, conversion, input.bytes, sizes);
        const std::string where = c.filter + ", line " + std::to_string(c.line) + ", " +
                                  std::to_string(sizes.size()) + " cuts";
        ASSERT_EQ(call.fault, CallFault::kNone) << call.message;
        EXPECT_EQ(Show(call.out), Show(expected.bytes)) << where;
        EXPECT_EQ(call.done.replaced, expected.replaced) << where;
      }
    }
  }
}

TEST(RoundTrip, EscapesGiveTheTextBack) {
  const Filter& tobble_j = *FindFilter("tobbleJ");
  const Filter& tobble_c = *FindFilter("tobbleC");
  const Filter& untobble_j = *FindFilter("untobbleJ");
  const Filter& untobble_c = *FindFilter("untobbleC");
  RandomText random(20261208);
  for (int round = 0; round < 2000; ++round) {
    // No backslash: the decoders take every one as the start of an escape.
    std::u16string text = random.Plain(round % 40);
    std::replace(text.begin(), text.end(), u'\\', u'u');
    ASSERT_EQ(Convert(untobble_j, Convert(tobble_j, text)), text) << ShowUnits(text);
    ASSERT_EQ(Convert(untobble_c, Convert(tobble_j, text)), text) << ShowUnits(text);
    ASSERT_EQ(Convert(untobble_c, Convert(tobble_c, text)), text) << ShowUnits(text);
  }
}

std::vector<std::u16string> ReferenceNames() {
  std::vector<std::u16string> names;
  for (const Entity& e : ReadEntities(TOBBLE_ENTITIES_FILE)) {
    names.emplace_back(e.name.begin(), e.name.end());
  }
  return names;
}

// Every filter's conversion gives exactly what its plain version gives, whole,
// in random pieces and one unit at a time, on random texts of every kind,
// and on what a random filter made of them (a decoder reads what the
// encoders write), and writes no zero unit for a text without one.
class FastEqualsScalar : public ::testing::TestWithParam<size_t> {};

TEST_P(FastEqualsScalar, OnRandomTexts) {
  static const std::vector<std::u16string> names = ReferenceNames();
  const Filter& filter = kFilters[GetParam()];
  const Filter scalar = ScalarOf(filter);
  RandomText random(20261209 + static_cast<uint32_t>(GetParam()));
  for (int round = 0; round < 4000; ++round) {
    const size_t length = round % 10 == 0 ? random.Pick(100, 400) : round % 50;
    std::u16string text;
    switch (round % 6) {
      case 0:
        text = random.Special();
        break;
      case 1:
        text = random.Tricky(length);
        break;
      case 2:
        text = random.ReferenceFastPaths(names);
        break;
      case 3:
        text = random.PercentEncoded(length);
        break;
      case 4:
        text = random.References();
        if (round % 4 == 0) text += u"&#" + std::u16string(round % 50, u'0') + u"65;";
        break;
      case 5:
        text = random.Plain(length);
        break;
    }
    if (round % 3 == 0) text = Convert(kFilters[random.Below(kFilterCount)], text);
    const std::u16string expected = Convert(scalar, text);
    ASSERT_EQ(ShowUnits(Convert(filter, text)), ShowUnits(expected)) << ShowUnits(text);
    if (text.find(u'\0') == std::u16string::npos) {
      ASSERT_EQ(expected.find(u'\0'), std::u16string::npos) << ShowUnits(text);
    }
    ASSERT_EQ(ShowUnits(ConvertInPieces(filter, text, random.PieceSizes(text.size(), 48))),
              ShowUnits(expected))
        << "in pieces: " << ShowUnits(text);
    if (round % 10 == 0) {
      ASSERT_EQ(ShowUnits(ConvertInPieces(filter, text, std::vector<size_t>(text.size(), 1))),
                ShowUnits(expected))
          << "one unit at a time: " << ShowUnits(text);
    }
  }
}

// Each filter's UTF-8 conversions, fast and plain, against its UTF-16
// conversion in UTF-8, whole and in random pieces of bytes, on random texts
// of every kind (the fuzzers' checks, tests/support/properties.h).
TEST_P(FastEqualsScalar, InUtf8) {
  const Filter& filter = kFilters[GetParam()];
  RandomText random(20261210 + static_cast<uint32_t>(GetParam()));
  for (int round = 0; round < 600; ++round) {
    const size_t length = round % 10 == 0 ? random.Pick(100, 400) : round % 50;
    std::u16string text = round % 3 == 0   ? random.Tricky(length)
                          : round % 3 == 1 ? random.PercentEncoded(length)
                                           : random.References();
    if (round % 2 == 0) text = Convert(kFilters[random.Below(kFilterCount)], text);
    text.erase(std::remove(text.begin(), text.end(), u'\0'), text.end());  // as fuzz texts
    for (const Violation& v : CheckFilter(filter, text, random.PieceSizes(2 * text.size(), 48))) {
      ADD_FAILURE() << Describe(v.property).name << ": " << v.message;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryFilter, FastEqualsScalar, ::testing::Range<size_t>(0, kFilterCount),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           return std::string(kFilters[info.param].function);
                         });

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
