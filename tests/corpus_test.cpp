// The benchmark corpora are what the benchmarks claim they measure.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "bench/corpus.h"
#include "filters/common/surrogate.h"

namespace tobble::bench {
namespace {

constexpr size_t kUnits = 32 * 1024;

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// A decoder's corpus made from an encoder's output: "english.tobbleJ".
bool IsEncoderOutput(const std::string& corpus) {
  return corpus.find('.') != std::string::npos && !StartsWith(corpus, "adversarial.");
}

size_t LoneSurrogates(const std::u16string& text) {
  size_t lone = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      ++i;
    } else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i])) {
      ++lone;
    }
  }
  return lone;
}

TEST(Corpora, EveryFilterHasCorpora) {
  for (const Filter& filter : kFilters) {
    EXPECT_FALSE(CorporaFor(filter).empty()) << filter.function;
  }
}

TEST(Corpora, SameTextEveryTimeAtTheSizeAsked) {
  for (const Filter& filter : kFilters) {
    for (const std::string& corpus : CorporaFor(filter)) {
      const std::u16string text = MakeCorpus(corpus, kUnits);
      EXPECT_EQ(Fingerprint(text), Fingerprint(MakeCorpus(corpus, kUnits))) << corpus;
      EXPECT_EQ(LoneSurrogates(text), 0u) << corpus;
      EXPECT_FALSE(DescribeCorpus(corpus).empty()) << corpus;
      if (IsEncoderOutput(corpus)) {
        // Whole, or cut after a line break; not much shorter than asked.
        EXPECT_LE(text.size(), kUnits) << corpus;
        EXPECT_GT(text.size(), kUnits * 9 / 10) << corpus;
        EXPECT_TRUE(text.size() == kUnits || text.back() == u'\n') << corpus;
      } else {
        EXPECT_EQ(text.size(), kUnits) << corpus;
        // The smaller corpus begins the larger one (but for its last unit,
        // which may be a high surrogate made a line break).
        EXPECT_EQ(MakeCorpus(corpus, 1000).substr(0, 999), text.substr(0, 999)) << corpus;
      }
    }
  }
}

TEST(Corpora, DecoderCorporaAreAnEncodersOutputOfAPlainTextsBeginning) {
  for (const Filter& decoder : kFilters) {
    for (const std::string& corpus : CorporaFor(decoder)) {
      if (!IsEncoderOutput(corpus)) continue;
      const size_t dot = corpus.find('.');
      const Filter* encoder = FindFilter(corpus.substr(dot + 1).c_str());
      ASSERT_NE(encoder, nullptr) << corpus;
      const std::u16string encoded = MakeCorpus(corpus, kUnits);
      const std::u16string decoded = ConvertWhole(decoder, encoded);
      const std::u16string plain = MakeCorpus(corpus.substr(0, dot), kUnits);
      EXPECT_EQ(plain.substr(0, decoded.size()), decoded) << corpus;
      EXPECT_EQ(ConvertWhole(*encoder, decoded), encoded) << corpus;
    }
  }
}

// Nothing in an adversarial corpus decodes: the escape and reference
// decoders copy it whole, the percent decoder completes no sequence.
TEST(Corpora, AdversarialCorporaDecodeNothing) {
  for (const Filter& decoder : kFilters) {
    for (const std::string& corpus : CorporaFor(decoder)) {
      if (!StartsWith(corpus, "adversarial.")) continue;
      const std::u16string text = MakeCorpus(corpus, kUnits);
      const std::u16string decoded = ConvertWhole(decoder, text);
      if (std::string(decoder.function) == "URLdecode") {
        EXPECT_EQ(
            std::count_if(decoded.begin(), decoded.end(), [](char16_t u) { return u > 0xFF; }), 0)
            << corpus;
        EXPECT_GT(std::count(decoded.begin(), decoded.end(), u'?'), 1000) << corpus;
      } else {
        EXPECT_EQ(decoded, text) << corpus;
      }
    }
  }
}

TEST(Corpora, Utf8OfEveryPlane) {
  EXPECT_EQ(ToUtf8(u"a\u00e9\u3042\U0001F600"), "a\xc3\xa9\xe3\x81\x82\xf0\x9f\x98\x80");
  EXPECT_EQ(ToUtf8(std::u16string(1, char16_t{0xD800}) + u"x"), "\xef\xbf\xbdx");
}

TEST(Corpora, SizesByLabel) {
  std::vector<CorpusSize> sizes;
  ASSERT_TRUE(ParseSizes("16M,64K", &sizes));
  ASSERT_EQ(sizes.size(), 2u);
  EXPECT_EQ(sizes[0].units, 8u * 1024 * 1024);
  EXPECT_EQ(sizes[1].units, 32u * 1024);
  EXPECT_FALSE(ParseSizes("64K,1G", &sizes));
  EXPECT_FALSE(ParseSizes("", &sizes));
}

}  // namespace
}  // namespace tobble::bench
