// The URL filters over random texts: encoding then decoding gives the text
// back.
#include <gtest/gtest.h>

#include <string>

#include "filters/filters.h"
#include "tests/support/case_file.h"
#include "tests/support/gtest_convert.h"
#include "tests/support/random_text.h"

namespace tobble::testing {
namespace {

// On texts rich in what the encoder treats specially: "%", "+", spaces, line
// breaks, hex digits, every length of UTF-8, true pairs, and lone surrogates
// of both kinds, also a high one before a unit that is no low one.
TEST(RoundTrip, UrlEncodingGivesTheTextBack) {
  const Filter& encode = *FindFilter("URLencode");
  const Filter& decode = *FindFilter("URLdecode");
  RandomText random(20261208);
  for (int round = 0; round < 3000; ++round) {
    const std::u16string text = random.Plain(round % 40);
    ASSERT_EQ(ShowUnits(Convert(decode, Convert(encode, text))), ShowUnits(text))
        << ShowUnits(text);
  }
}

}  // namespace
}  // namespace tobble::testing
