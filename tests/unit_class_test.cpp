// Every class of units a fast path tells apart against its plain predicate,
// for all 65,536 unit values in every lane: the vector classifiers, the
// mapping of the URL decoder's run copy, and the comparisons of filters/common/simd.h
// they are built from.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filters/charref/unit_classes.h"
#include "filters/common/simd.h"
#include "filters/escape/unit_classes.h"
#include "filters/url/dense.h"
#include "filters/url/unit_classes.h"

namespace tobble::testing {
namespace {

using simd::Units;

// Every unit value from 0 to 0xFFFF, then the first ones again, so that the
// vector of the 8 (or 16) units from any start holds the values from there,
// wrapping round: each value comes in every lane for some start.
const std::vector<char16_t>& AllUnits() {
  static const std::vector<char16_t> units = [] {
    std::vector<char16_t> all(0x10000 + 16);
    for (size_t k = 0; k < all.size(); ++k) all[k] = static_cast<char16_t>(k);
    return all;
  }();
  return units;
}

// Checks lanes (all ones or all zeros in each) against `expected` at each
// start; reports the first lane that differs.
template <typename Lanes, typename Expected>
void ExpectEveryLane(const char* label, Lanes lanes, Expected expected) {
  const char16_t* all = AllUnits().data();
  for (size_t start = 0; start < 0x10000; ++start) {
    const unsigned got = simd::Mask(lanes(simd::Load(all + start)));
    unsigned want = 0;
    for (size_t lane = 0; lane < simd::kWidth; ++lane) {
      if (expected(all[start + lane])) want |= 3u << (2 * lane);
    }
    if (got != want) {
      const size_t lane = static_cast<size_t>(__builtin_ctz(got ^ want)) / 2;
      FAIL() << label << ": unit " << std::hex << all[start + lane] << " in lane " << lane;
    }
  }
}

template <typename Class>
void ExpectClassHolds(const char* label) {
  ExpectEveryLane(label, Class::Lanes, Class::Has);
}

TEST(UnitClasses, VectorLanesAreThePlainPredicate) {
  ExpectClassHolds<escape::NotAscii>("escape::NotAscii");
  ExpectClassHolds<escape::Backslash>("escape::Backslash");
  ExpectClassHolds<url::Percent>("url::Percent");
  ExpectClassHolds<url::ThreeByteUnit>("url::ThreeByteUnit");
  ExpectClassHolds<charref::NeedsReference>("charref::NeedsReference");
  ExpectClassHolds<charref::Ampersand>("charref::Ampersand");
  ExpectClassHolds<charref::NotNameUnit>("charref::NotNameUnit");
}

TEST(UnitClasses, UrlEscapedBitsAreThePlainPredicate) {
  const char16_t* all = AllUnits().data();
  for (size_t start = 0; start < 0x10000; ++start) {
    const unsigned got =
        url::Escaped::Bits(simd::Load(all + start), simd::Load(all + start + simd::kWidth));
    unsigned want = 0;
    for (size_t lane = 0; lane < 2 * simd::kWidth; ++lane) {
      if (url::Escaped::Has(all[start + lane])) want |= 1u << lane;
    }
    if (got != want) {
      const size_t lane = static_cast<size_t>(__builtin_ctz(got ^ want));
      FAIL() << "unit " << std::hex << all[start + lane] << " in lane " << lane;
    }
  }
}

// The URL decoder's run copy stores Map(Units): a "+" as a space, every
// other unit as it is, as the plain Map writes it.
TEST(UnitClasses, UrlMapIsThePlainMap) {
  const char16_t* all = AllUnits().data();
  for (size_t start = 0; start < 0x10000; ++start) {
    char16_t mapped[simd::kWidth];
    simd::Store(mapped, url::Percent::Map(simd::Load(all + start)));
    for (size_t lane = 0; lane < simd::kWidth; ++lane) {
      ASSERT_EQ(mapped[lane], url::Percent::Map(all[start + lane]))
          << "unit " << std::hex << all[start + lane] << " in lane " << lane;
    }
  }
}

// The comparisons the classes are made of, at their edges: the ends of the
// unit range, the sign bit that SSE2's signed compares must not see.
TEST(UnitClasses, ComparisonsOrderUnitsUnsigned) {
  for (const char16_t bound : {0x0001, 0x0080, 0x0100, 0x7FFF, 0x8000, 0x8001, 0xFFFF}) {
    const std::string at = std::to_string(bound);
    ExpectEveryLane(("AtLeast " + at).c_str(), [&](Units v) { return simd::AtLeast(v, bound); },
                    [&](char16_t u) { return u >= bound; });
    ExpectEveryLane(("Below " + at).c_str(), [&](Units v) { return simd::Below(v, bound); },
                    [&](char16_t u) { return u < bound; });
    ExpectEveryLane(("Equal " + at).c_str(), [&](Units v) { return simd::Equal(v, bound); },
                    [&](char16_t u) { return u == bound; });
  }
  const std::pair<char16_t, char16_t> ranges[] = {{u'0', u'9'},     {u'a', u'f'},
                                                  {0x09, 0x0D},     {0xD800, 0xDFFF},
                                                  {0x0000, 0x7FFF}, {0x7FFF, 0xFFFF}};
  for (const auto& [low, high] : ranges) {
    ExpectEveryLane(("InRange " + std::to_string(low) + " " + std::to_string(high)).c_str(),
                    [&](Units v) { return simd::InRange(v, low, high); },
                    [&](char16_t u) { return u >= low && u <= high; });
  }
}

// The run copies stop at the first unit of their class, vector or tail, and
// copy everything before it.
TEST(UnitClasses, RunCopiesStopAtTheFirstUnitOfTheClass) {
  for (size_t n = 0; n <= 3 * simd::kWidth; ++n) {
    for (size_t special = 0; special <= n; ++special) {
      std::u16string in(n, u'a');
      std::u16string plus(n, u'+');
      if (special < n) in[special] = plus[special] = u'%';
      std::u16string out(n + 1, u'?');
      EXPECT_EQ(simd::CopyPlainUnits<url::Percent>(in.data(), n, out.data()), special);
      EXPECT_EQ(out.substr(0, special), in.substr(0, special)) << n << " " << special;
      EXPECT_EQ(simd::CopyMappedUnits<url::Percent>(plus.data(), n, out.data()), special);
      EXPECT_EQ(out.substr(0, special), std::u16string(special, u' ')) << n << " " << special;
    }
  }
}

}  // namespace
}  // namespace tobble::testing
