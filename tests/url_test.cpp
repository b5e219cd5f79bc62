// The URL filters over random texts: encoding then decoding gives the text
// back, and decoding in pieces gives the whole text's output.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/filters.h"
#include "tests/case_file.h"
#include "tests/convert.h"

namespace tobble::testing {
namespace {

int Pick(std::mt19937& rng, int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(rng);
}

// Random texts rich in what the encoder treats specially: "%", "+", spaces,
// line breaks, hex digits, every length of UTF-8, true pairs, and lone
// surrogates of both kinds, also a high one before a unit that is no low one.
std::u16string RandomPlainText(std::mt19937& rng, size_t length) {
  static const std::u16string kSpecial = u"%+ \r\n-._~09AFaf";
  std::u16string text;
  while (text.size() < length) {
    switch (Pick(rng, 0, 6)) {
      case 0:
        text += kSpecial[Pick(rng, 0, static_cast<int>(kSpecial.size()) - 1)];
        break;
      case 1:
        text += static_cast<char16_t>(Pick(rng, 1, 0x7F));
        break;
      case 2:
        text += static_cast<char16_t>(Pick(rng, 0x80, 0x7FF));
        break;
      case 3:
        text += static_cast<char16_t>(Pick(rng, 0x800, 0xFFFF));  // lone surrogates too
        break;
      case 4:  // a true pair
        text += static_cast<char16_t>(Pick(rng, 0xD800, 0xDBFF));
        text += static_cast<char16_t>(Pick(rng, 0xDC00, 0xDFFF));
        break;
      case 5:  // a lone high surrogate
        text += static_cast<char16_t>(Pick(rng, 0xD800, 0xDBFF));
        break;
      case 6:  // a lone low surrogate
        text += static_cast<char16_t>(Pick(rng, 0xDC00, 0xDFFF));
        break;
    }
  }
  return text;
}

TEST(RoundTrip, UrlEncodingGivesTheTextBack) {
  const Filter& encode = *FindFilter("URLencode");
  const Filter& decode = *FindFilter("URLdecode");
  std::mt19937 rng(20261208);
  for (int round = 0; round < 3000; ++round) {
    const std::u16string text = RandomPlainText(rng, round % 40);
    ASSERT_EQ(ShowUnits(Convert(decode, Convert(encode, text))), ShowUnits(text))
        << ShowUnits(text);
  }
}

// Random percent-encoded texts: escapes of bytes from every class, in either
// case, mixed with lone "%" signs, half escapes, "+" and other units.
std::u16string RandomEncodedText(std::mt19937& rng, size_t length) {
  static const int kBytes[] = {0x00, 0x01, 0x41, 0x7F, 0x80, 0x81, 0xBF, 0xC0, 0xC3, 0xDF,
                               0xE0, 0xE3, 0xED, 0xEF, 0xF0, 0xF4, 0xF7, 0xF8, 0xFF};
  static const char16_t kUpper[] = u"0123456789ABCDEF";
  static const char16_t kLower[] = u"0123456789abcdef";
  std::u16string text;
  while (text.size() < length) {
    const int kind = Pick(rng, 0, 9);
    if (kind < 6) {  // an escape
      const int byte = kBytes[Pick(rng, 0, sizeof(kBytes) / sizeof(kBytes[0]) - 1)];
      const char16_t* digits = Pick(rng, 0, 1) ? kUpper : kLower;
      text += u'%';
      text += digits[byte >> 4];
      text += digits[byte & 0xF];
    } else if (kind == 6) {  // a lone "%" or half an escape
      text += u'%';
      if (Pick(rng, 0, 1)) text += kUpper[Pick(rng, 0, 15)];
    } else if (kind == 7) {
      text += u'+';
    } else if (kind == 8) {
      text += static_cast<char16_t>(Pick(rng, 1, 0x7F));
    } else {
      text += static_cast<char16_t>(Pick(rng, 0x80, 0xFFFF));
    }
  }
  return text;
}

TEST(UrlDecode, PiecesOfRandomTextsGiveTheWholeOutput) {
  const Filter& decode = *FindFilter("URLdecode");
  std::mt19937 rng(20261209);
  for (int round = 0; round < 2000; ++round) {
    const std::u16string text = RandomEncodedText(rng, round % 60);
    const std::u16string whole = Convert(decode, text);
    ASSERT_EQ(whole.find(u'\0'), std::u16string::npos) << ShowUnits(text);
    std::vector<size_t> sizes;
    for (size_t at = 0; at < text.size(); at += sizes.back()) sizes.push_back(Pick(rng, 0, 7));
    ASSERT_EQ(ShowUnits(ConvertInPieces(decode, text, sizes)), ShowUnits(whole)) << ShowUnits(text);
  }
}

}  // namespace
}  // namespace tobble::testing
