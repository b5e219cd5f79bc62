// The block kernels of the dense paths against their plain versions: every
// unit value in every lane where a kernel reads units one to a lane, and
// blocks of escapes broken at random places where it reads escapes. The
// conversions' own tests and the fuzzers hold the filters to their plain
// versions around these kernels.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "filters/charref/dense.h"
#include "filters/charref/encode_dense.h"
#include "filters/charref/unit_classes.h"
#include "filters/common/digits.h"
#include "filters/common/encode_avx512.h"
#include "filters/common/surrogate.h"
#include "filters/escape/decode_avx512.h"
#include "filters/escape/dense.h"
#include "filters/escape/shuffle_choice.h"
#include "filters/filters.h"
#include "filters/url/dense.h"
#include "filters/url/unit_classes.h"
#include "tests/support/convert.h"
#include "tests/support/random_text.h"
#include "tests/support/utf.h"

namespace tobble::testing {
namespace {

// Every unit value, then the first sixteen again: the units from any start
// hold every value in every lane for some start.
const std::u16string& AllUnits() {
  static const std::u16string units = [] {
    std::u16string all(0x10000 + 16, u'\0');
    for (size_t k = 0; k < all.size(); ++k) all[k] = static_cast<char16_t>(k);
    return all;
  }();
  return units;
}

TEST(DenseKernels, HexDigitBytesAreThePlainDigits) {
  const char16_t* all = AllUnits().data();
  for (size_t start = 0; start < 0x10000; ++start) {
    const simd::Units bytes =
        simd::PackedBytes(simd::Load(all + start), simd::Load(all + start + simd::kWidth));
    const unsigned digits = simd::Mask(simd::HexDigitBytes::Lanes(bytes));
    uint8_t values[16];
    simd::StoreBytes(values, simd::HexDigitBytes::Values(bytes));
    for (size_t lane = 0; lane < 16; ++lane) {
      const int want = HexValue(all[start + lane]);
      ASSERT_EQ((digits >> lane & 1) != 0, want >= 0) << std::hex << all[start + lane];
      if (want >= 0) {
        ASSERT_EQ(values[lane], want) << std::hex << all[start + lane];
      }
    }
  }
}

// The decoders' run copies over UTF-8 tell and map sixteen bytes at once:
// every byte value in every lane.
TEST(DenseKernels, ByteClassesAreThePlainPredicates) {
  uint8_t all[256 + 16];
  for (size_t k = 0; k < sizeof all; ++k) all[k] = static_cast<uint8_t>(k);
  for (size_t start = 0; start < 256; ++start) {
    const simd::Units v = simd::LoadBytes(all + start);
    const unsigned ampersands = simd::Mask(charref::Ampersand::Bytes(v));
    const unsigned percents = simd::Mask(url::Percent::Bytes(v));
    const unsigned references = simd::Mask(charref::NeedsReference::Bytes(v));
    uint8_t mapped[16];
    simd::StoreBytes(mapped, url::Percent::MapBytes(v));
    for (size_t lane = 0; lane < 16; ++lane) {
      const uint8_t b = all[start + lane];
      ASSERT_EQ((ampersands >> lane & 1) != 0, charref::Ampersand::Has(b)) << int{b};
      ASSERT_EQ((percents >> lane & 1) != 0, url::Percent::Has(b)) << int{b};
      ASSERT_EQ((references >> lane & 1) != 0, charref::NeedsReference::Has(b)) << int{b};
      ASSERT_EQ(mapped[lane], url::Percent::Map(b)) << int{b};
    }
  }
}

// The escape decoders' blocks: eight escapes of random values, in either
// case, some of the value 0, with up to three units replaced by units that
// are near a digit, a backslash or a "u".
TEST(DenseKernels, UnitEscapeReadsAreThePlainReads) {
  const std::u16string near = u"\\uU09afAFgG/:@`\x130\xFF10\x8030\x15C\x175 -+x";
  RandomText random(16);
  for (int round = 0; round < 200000; ++round) {
    std::u16string in;
    for (size_t k = 0; k < escape::kBlockUnits; ++k) {
      const uint32_t value =
          random.Below(8) == 0 ? 0 : static_cast<uint32_t>(random.Below(0x10000));
      const char16_t* digits = random.Below(2) == 0 ? kLowerHexDigits : kUpperHexDigits;
      in += u"\\u";
      for (int shift = 12; shift >= 0; shift -= 4) in += digits[(value >> shift) & 0xF];
    }
    for (int k = round % 4; k > 0; --k) in[random.Below(in.size())] = random.OneOf(near);
    // The caller has seen the first "\u".
    in[0] = u'\\';
    in[1] = u'u';
    char16_t got[escape::kBlockUnits], want[escape::kBlockUnits];
    const size_t count = escape::ReadUnitEscapes(in.data(), got);
    ASSERT_EQ(count, escape::ReadUnitEscapesPlain(in.data(), want)) << Show(in);
    ASSERT_EQ(std::u16string(got, count), std::u16string(want, count)) << Show(in);
    // The same escapes in UTF-8, where all the units are ASCII.
    if (std::all_of(in.begin(), in.end(), [](char16_t u) { return u < 0x80; })) {
      const Bytes bytes(in.begin(), in.end());
      ASSERT_EQ(escape::ReadUnitEscapes(bytes.data(), got), count) << Show(in);
      ASSERT_EQ(std::u16string(got, count), std::u16string(want, count)) << Show(in);
    }
  }
}

// The escape decoders' steps over dense UTF-16: windows of escapes (some
// of the value 0, some "\U" or broken) and gaps of plain units, backslashes
// among them, from every start.
TEST(DenseKernels, EscapeRunStepsAreThePlainSteps) {
  const std::u16string pieces[] = {
      u"\\u65e5",     u"\\uD83D\\uDE00",
      u"\\uABCD",     u"\\u0000",
      u"\\U0001f600", u"\\u12g4",
      u"\\x",         u"\\",
      u" ",           u")\n",
      u"abcdefghij",  u"\x3042",
  };
  RandomText random(17);
  for (int round = 0; round < 20000; ++round) {
    std::u16string in;
    while (in.size() < escape::kRunWindowUnits + 16) in += pieces[random.Below(std::size(pieces))];
    for (size_t start = 0; start < 16; ++start) {
      char16_t got[16], want[16];
      const escape::RunStep fast = escape::DecodeRunStep(in.data() + start, got);
      const escape::RunStep plain = escape::DecodeRunStepPlain(in.data() + start, want);
      const std::u16string window = in.substr(start, escape::kRunWindowUnits);
      ASSERT_EQ(fast.escapes, plain.escapes) << Show(window);
      ASSERT_EQ(fast.plain, plain.plain) << Show(window);
      ASSERT_EQ(fast.stopped, plain.stopped) << Show(window);
      const size_t written = plain.escapes + plain.plain;
      ASSERT_EQ(std::u16string(got, written), std::u16string(want, written)) << Show(window);
    }
  }
}

// The same pieces through the AVX-512 windows (where the processor has
// them), from every start within a window, against the windows unit by
// unit: where they stop and what they write.
TEST(DenseKernels, EscapeWindowsAreThePlainWindows) {
  if (!avx512::Use()) GTEST_SKIP() << "no AVX-512 here";
  // Escapes that read, most of the pieces, and then others.
  const std::u16string escapes[] = {u"\\u65e5",     u"\\uD83D\\uDE00", u"\\uabCD",
                                    u"\\U0001f600", u"\\U0000e9aB",    u"\\U0010FFFF",
                                    u"\\U0000D800", u"\\U00010000"};
  const std::u16string others[] = {
      u"\\u0000",     u"\\U00000000", u"\\U00110000", u"\\U1000e9aB", u"\\u12g4",
      u"\\U0001f6g0", u"\\u12\x130",  u"\\x",         u"\\",          u" ",
      u")\n",         u"abcdefghij",  u"\x3042",      u"\x15C",       u"\x175",
  };
  RandomText random(18);
  for (int round = 0; round < 20000; ++round) {
    std::u16string in;
    while (in.size() < 6 * escape::avx512::kReadUnits) {
      in += random.Below(5) != 0 ? escapes[random.Below(round % 2 == 0 ? 3 : std::size(escapes))]
                                 : others[random.Below(std::size(others))];
    }
    for (size_t start = 0; start < 32; ++start) {
      for (const bool long_form : {false, true}) {
        std::u16string got(in.size(), u'\0'), want(in.size(), u'\0');
        size_t got_at = start, want_at = start;
        char16_t *got_out = got.data(), *want_out = want.data();
        const bool read =
            escape::avx512::ReadEscapeWindows(in.data(), in.size(), got_at, got_out, long_form);
        const bool plain = escape::avx512::ReadEscapeWindowsPlain(in.data(), in.size(), want_at,
                                                                  want_out, long_form);
        const std::u16string text = in.substr(start) + (long_form ? u" (long form)" : u"");
        ASSERT_EQ(read, plain) << Show(text);
        ASSERT_EQ(got_at, want_at) << Show(text);
        got.resize(got_out - got.data());
        want.resize(want_out - want.data());
        ASSERT_EQ(got, want) << Show(text);
      }
    }
  }
}

// untobbleC's long escapes: eight digits with every unit value in each lane.
TEST(DenseKernels, EightHexDigitReadsAreThePlainReads) {
  for (size_t lane = 0; lane < 8; ++lane) {
    std::u16string in = u"0010fFa9";
    for (uint32_t u = 0; u < 0x10000; ++u) {
      in[lane] = static_cast<char16_t>(u);
      uint32_t got = 0, want = 0;  // the plain read leaves want alone on failure
      const bool plain = escape::ReadEightHexDigitsPlain(in.data(), &want);
      ASSERT_EQ(escape::ReadEightHexDigits(in.data(), &got), plain) << Show(in);
      ASSERT_EQ(plain ? got : 0, want) << Show(in);
      if (u < 0x100) {  // the same units as bytes of UTF-8
        const Bytes bytes(in.begin(), in.end());
        ASSERT_EQ(escape::ReadEightHexDigits(bytes.data(), &got), plain) << Show(in);
        ASSERT_EQ(plain ? got : 0, want) << Show(in);
      }
    }
  }
}

// The character reference decoder's fixed-length and short named
// references: valid ones with every unit value in each lane in turn.
TEST(DenseKernels, FixedReferencesAreThePlainReads) {
  struct Kernel {
    std::u16string reference;
    int32_t (*read)(const char16_t*);
    int32_t (*plain)(const char16_t*);
    int32_t (*read8)(const uint8_t*);
  };
  const Kernel kernels[] = {
      {u"&#26085;", charref::ReadFiveDigitReference, charref::ReadFiveDigitReferencePlain,
       charref::ReadFiveDigitReference},
      {u"&#x65e5;", charref::ReadFourHexReference, charref::ReadFourHexReferencePlain,
       charref::ReadFourHexReference},
      {u"&#128512;", charref::ReadSixDigitReference, charref::ReadSixDigitReferencePlain,
       charref::ReadSixDigitReference},
      {u"&#x1F60a;", charref::ReadFiveHexReference, charref::ReadFiveHexReferencePlain,
       charref::ReadFiveHexReference},
      {u"&lt;1234", charref::ReadShortNamedReference, charref::ReadShortNamedReferencePlain,
       charref::ReadShortNamedReference},
      {u"&quot;12", charref::ReadShortNamedReference, charref::ReadShortNamedReferencePlain,
       charref::ReadShortNamedReference},
      {u"&hellip;", charref::ReadShortNamedReference, charref::ReadShortNamedReferencePlain,
       charref::ReadShortNamedReference},
  };
  for (const Kernel& kernel : kernels) {
    for (size_t lane = 0; lane < kernel.reference.size(); ++lane) {
      std::u16string in = kernel.reference;
      for (uint32_t u = 0; u < 0x10000; ++u) {
        in[lane] = static_cast<char16_t>(u);
        const int32_t want = kernel.plain(in.data());
        ASSERT_EQ(kernel.read(in.data()), want) << Show(in);
        if (kernel.read8 != nullptr && u < 0x100) {  // the same units as bytes of UTF-8
          const Bytes bytes(in.begin(), in.end());
          ASSERT_EQ(kernel.read8(bytes.data()), want) << Show(in);
        }
      }
    }
  }
}

// The reads of one to eight digits before a reference's ";": every unit
// value in each lane, for each count.
template <int kBase>
void ExpectDigitsBeforeArePlain(const std::u16string& digits) {
  for (size_t count = 1; count <= 8; ++count) {
    for (size_t lane = 0; lane < 8; ++lane) {
      std::u16string in = digits;
      for (uint32_t u = 0; u < 0x10000; ++u) {
        in[lane] = static_cast<char16_t>(u);
        // The value only where the digits are; 0 for the answer alone.
        uint32_t want = 0, got = 0;
        const bool plain = charref::ReadDigitsBeforePlain<kBase>(in.data(), count, &want);
        ASSERT_EQ(charref::ReadDigitsBefore<kBase>(in.data(), count, &got), plain) << Show(in);
        ASSERT_EQ(plain ? got : 0, want) << Show(in) << " " << count;
        if (u < 0x100) {  // the same units as bytes of UTF-8
          const Bytes bytes(in.begin(), in.end());
          ASSERT_EQ(charref::ReadDigitsBefore<kBase>(bytes.data(), count, &got), plain);
          ASSERT_EQ(plain ? got : 0, want) << Show(in) << " " << count;
        }
      }
    }
  }
}
TEST(DenseKernels, DigitsBeforeAreThePlainDigits) {
  ExpectDigitsBeforeArePlain<10>(u"98765432");
  ExpectDigitsBeforeArePlain<16>(u"9aF0b1Ce");
}

// URLdecode's pairs of three-byte sequences: valid ones about the edges of
// the shortest forms and of the surrogates, with every unit value in each
// lane in turn.
TEST(DenseKernels, ThreeByteSequenceReadsAreThePlainReads) {
  for (const std::u16string& pair :
       {std::u16string(u"%E6%97%A5%ed%9f%bf"), std::u16string(u"%E0%A0%80%EF%BF%BD")}) {
    for (size_t lane = 0; lane < pair.size(); ++lane) {
      std::u16string in = pair;
      for (uint32_t u = 0; u < 0x10000; ++u) {
        in[lane] = static_cast<char16_t>(u);
        int32_t want[2] = {-1, -1}, got[2] = {-1, -1};
        const bool plain = url::ReadThreeByteSequencesPlain(in.data(), want);
        if (!plain) want[0] = want[1] = -1;  // nothing to compare but the answer
        ASSERT_EQ(url::ReadThreeByteSequences(in.data(), got), plain) << Show(in);
        ASSERT_EQ(plain ? got[0] : -1, want[0]) << Show(in);
        ASSERT_EQ(plain ? got[1] : -1, want[1]) << Show(in);
        if (u < 0x100) {  // the same units as bytes of UTF-8
          const Bytes bytes(in.begin(), in.end());
          ASSERT_EQ(url::ReadThreeByteSequences(bytes.data(), got), plain) << Show(in);
          ASSERT_EQ(plain ? got[0] : -1, want[0]) << Show(in);
          ASSERT_EQ(plain ? got[1] : -1, want[1]) << Show(in);
        }
      }
    }
  }
}

// URLdecode's gaps between escapes: a "%" at each place of the window or
// none, among pluses and units whose either byte is "%" or "+".
TEST(DenseKernels, GapCopiesAreThePlainCopies) {
  const std::u16string filler =
      u"a+\x2525"
      u"b +\x252B\x2B25-\xFF+z\x3042.\n~+";
  for (size_t at = 0; at <= url::kGapUnits; ++at) {
    std::u16string in = filler.substr(0, url::kGapUnits);
    if (at < url::kGapUnits) in[at] = u'%';
    std::u16string got(url::kGapUnits, u'\0'), want = got;
    const size_t count = url::CopyGapPlain(in.data(), want.data());
    ASSERT_EQ(count, at) << Show(in);
    ASSERT_EQ(url::CopyGap(in.data(), got.data()), count) << Show(in);
    ASSERT_EQ(got.substr(0, count), want.substr(0, count)) << Show(in);
  }
}

// Each short named reference stands for what the plain decoder makes of it.
TEST(DenseKernels, ShortNamedReferencesAreTheTableNames) {
  for (const charref::ShortReference& r : charref::kShortReferences) {
    std::u16string in = u"&" + std::u16string(r.name) + u";";
    const int32_t found = charref::ReadShortNamedReference((in + u"12345678").data());
    char16_t want[8];
    const Progress plain = DecodeCharrefsScalar(in.data(), in.size(), want, true);
    ASSERT_EQ(plain.written, 1u) << Show(in);
    ASSERT_EQ(found, static_cast<int32_t>(in.size()) << 16 | want[0]) << Show(in);
  }
}

#if TOBBLE_ESCAPE_SHUFFLES
// The escape encoders' SSSE3 block writer: every unit value in every lane.
TEST(DenseKernels, ShuffledUnitEscapesAreThePlainEscapes) {
  if (!escape::ChooseShuffles(true)) GTEST_SKIP() << "no SSSE3";
  const char16_t* all = AllUnits().data();
  for (size_t start = 0; start < 0x10000; ++start) {
    uint8_t got[48], want[48];
    escape::WriteUnitEscapesShuffled(all + start, got);
    escape::WriteUnitEscapesPlain(all + start, want);
    ASSERT_EQ(Bytes(got, got + 48), Bytes(want, want + 48)) << std::hex << start;
  }
}
#endif

// URLencode's blocks of three-byte units: the blocks from each start in
// the list of all such units, so each value comes in every lane.
TEST(DenseKernels, ThreeByteEscapeWritesAreThePlainWrites) {
  std::u16string units;
  for (uint32_t u = 0; u <= 0xFFFF; ++u) {
    if (url::ThreeByteUnit::Has(static_cast<char16_t>(u))) units += static_cast<char16_t>(u);
  }
  const size_t count = units.size();
  units += units.substr(0, url::kBlockUnits);  // wrapping round
  for (size_t start = 0; start < count; ++start) {
    char16_t got[url::kBlockEscapeUnits], want[url::kBlockEscapeUnits];
    url::WriteThreeByteEscapes(units.data() + start, got);
    url::WriteThreeByteEscapesPlain(units.data() + start, want);
    ASSERT_EQ(std::u16string(got, url::kBlockEscapeUnits),
              std::u16string(want, url::kBlockEscapeUnits))
        << Show(units.substr(start, url::kBlockUnits));
  }
}

// The UTF-8 encoders' blocks of three-byte characters: every such character
// in every lane, read with both lead bounds, and each block that qualifies
// whole written as both kinds of reference.
TEST(DenseKernels, ThreeByteReferenceBlocksAreThePlainBlocks) {
  std::vector<uint8_t> text;
  for (uint32_t c = 0x800; c <= 0xFFFF; ++c) {
    text.insert(text.end(),
                {static_cast<uint8_t>(0xE0 | c >> 12), static_cast<uint8_t>(0x80 | (c >> 6 & 0x3F)),
                 static_cast<uint8_t>(0x80 | (c & 0x3F))});
    if (c % 1000 == 0) text.push_back('a');  // breaks a block at every lane in turn
  }
  text.insert(text.end(), 32, 'a');
  using Plain = void (*)(uint8_t*, const char16_t*);
  struct Writer {
    uint8_t lead;
    void (*fast)(uint8_t*, simd::Units);
    Plain plain;
  };
  const Writer writers[] = {
      {charref::kFiveDigitLead, charref::WriteFiveDigitReferences,
       charref::WriteFiveDigitReferencesPlain},
      {charref::kFourHexLead, charref::WriteFourHexReferences,
       charref::WriteFourHexReferencesPlain},
  };
  for (const Writer& w : writers) {
    for (size_t start = 0; start + charref::kBlockBytes < text.size(); ++start) {
      simd::Units values;
      alignas(16) char16_t got[charref::kBlockCharacters], want[charref::kBlockCharacters];
      const size_t count = charref::ReadThreeByteBlock(text.data() + start, w.lead, values);
      ASSERT_EQ(count, charref::ReadThreeByteBlockPlain(text.data() + start, w.lead, want))
          << start;
      _mm_store_si128(reinterpret_cast<simd::Units*>(got), values);
      ASSERT_EQ(std::u16string(got, count), std::u16string(want, count)) << start;
      if (count < charref::kBlockCharacters) continue;
      uint8_t fast[charref::kBlockReferenceBytes], plain[charref::kBlockReferenceBytes];
      w.fast(fast, values);
      w.plain(plain, want);
      ASSERT_EQ(std::string(fast, fast + sizeof fast), std::string(plain, plain + sizeof plain))
          << start;
    }
  }
}

// The encoders' blocks of characters above U+FFFF, four-byte sequences in
// UTF-8 and surrogate pairs in UTF-16: every such code point, in runs of one
// to nine broken by ASCII, by other characters and by markup, against the
// plain encoders.
TEST(DenseKernels, FourByteRunsAreThePlainEncoders) {
  const char16_t* const breakers[] = {u" ", u"\n", u"\xE9", u"\x200D", u"\xFE0F", u"<", u"ab"};
  std::u16string units;
  size_t run = 0, breaks = 0;
  for (uint32_t c = 0x10000; c <= 0x10FFFF; ++c) {
    units += {HighSurrogateOf(c), LowSurrogateOf(c)};
    if (++run == 1 + breaks % 9) {
      units += breakers[breaks++ % std::size(breakers)];
      run = 0;
    }
  }
  const Bytes text = ToUtf8(units).bytes;
  const bool shuffles = escape::UseShuffles();
  for (const bool wanted : {false, true}) {
    if (escape::ChooseShuffles(wanted) != wanted) continue;
    for (const char* name : {"tobbleJ", "tobbleC", "text2charref", "text2charrefx"}) {
      const Filter& filter = *FindFilter(name);
      const CallResultOf<uint8_t> fast = ConvertOnce(filter, filter.convert8, text, true);
      ASSERT_EQ(fast.fault, CallFault::kNone) << fast.message;
      const Bytes want = ConvertOnce(filter, filter.scalar8, text, true).out;
      ASSERT_EQ(fast.out.size(), want.size()) << name;
      const auto differ = std::mismatch(fast.out.begin(), fast.out.end(), want.begin());
      ASSERT_TRUE(differ.first == fast.out.end())
          << name << " from byte " << (differ.first - fast.out.begin()) << " with shuffles "
          << wanted;
      const CallResult fast16 = ConvertOnce(filter, filter.convert, units, true);
      ASSERT_EQ(fast16.fault, CallFault::kNone) << fast16.message;
      ASSERT_TRUE(fast16.out == ConvertOnce(filter, filter.scalar, units, true).out)
          << name << " in UTF-16 with shuffles " << wanted;
    }
  }
  escape::ChooseShuffles(shuffles);
}

// Whether the fast conversion of `text` in pieces of `sizes` makes `want`,
// the plain conversion's output; where not, the call's fault or the first
// unit (or byte) that differs.
template <typename Unit>
::testing::AssertionResult PiecesArePlain(const Filter& filter,
                                          Progress (*fast)(const Unit*, size_t, Unit*, bool),
                                          const std::basic_string<Unit>& text,
                                          const std::vector<size_t>& sizes,
                                          const std::basic_string<Unit>& want) {
  const CallResultOf<Unit> got = ConvertPieces(filter, fast, text, sizes);
  if (got.fault != CallFault::kNone) return ::testing::AssertionFailure() << got.message;
  const auto differ = std::mismatch(got.out.begin(), got.out.end(), want.begin(), want.end());
  if (differ.first == got.out.end() && differ.second == want.end()) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "from " << (sizeof(Unit) == 1 ? "byte " : "unit ") << (differ.first - got.out.begin());
}

// The escape encoders' blocks in UTF-16: every unit value in every lane,
// among ASCII units that make every mix of the two in a block, against the
// plain encoders, whole and in pieces that end anywhere in a block.
TEST(DenseKernels, UnitBlocksAreThePlainEncoders) {
  const bool shuffles = escape::UseShuffles();
  for (const bool wanted : {false, true}) {
    if (escape::ChooseShuffles(wanted) != wanted) continue;
    for (size_t lane = 0; lane < simd::kWidth; ++lane) {
      std::u16string text(lane, u'a');
      uint32_t bits = 1;
      for (size_t k = 0; k < 0x10000; ++k) {
        text += AllUnits()[k];
        bits = bits * 1103515245u + 12345u;
        if ((bits >> 16) % 3 == 0) text.append((bits >> 20) % 10, u' ');
      }
      for (const char* name : {"tobbleJ", "tobbleC"}) {
        const Filter& filter = *FindFilter(name);
        const std::u16string want = ConvertOnce(filter, filter.scalar, text, true).out;
        std::vector<std::vector<size_t>> cuts = {{}};
        if (lane == 0) cuts.push_back({9, 10, 11, 12, 13, 14, 15, 16, 17, 31, 1000});
        for (const std::vector<size_t>& sizes : cuts) {
          ASSERT_TRUE(PiecesArePlain(filter, filter.convert, text, sizes, want))
              << name << ", lane " << lane << ", shuffles " << wanted << ", pieces "
              << sizes.size();
        }
      }
    }
  }
  escape::ChooseShuffles(shuffles);
}

// The escape encoders from code points (a str's four-byte storage), four a
// step: random mixes of ASCII, other code points below 0x10000 (surrogates
// among them, which tobbleC pairs) and code points above it, every mix of
// the three kinds in four lanes eight times, from four offsets, against the
// plain encoders.
TEST(DenseKernels, FourCodePointStepsAreThePlainEncoders) {
  const std::u32string kinds[3] = {std::u32string(U"a \x7F") + U'\0',
                                   U"\x80\xE9\x200D\xFE0F\xFFFF\xD83D\xDBFF\xDC00\xDE00",
                                   U"\x10000\x1F600\x10FFFF"};
  const bool shuffles = escape::UseShuffles();
  for (const bool wanted : {false, true}) {
    if (escape::ChooseShuffles(wanted) != wanted) continue;
    for (size_t offset = 0; offset < 4; ++offset) {
      std::u32string text(offset, U'\xE9');
      uint32_t bits = 1;
      for (int round = 0; round < 8; ++round) {
        for (int mix = 0; mix < 81; ++mix) {
          for (int lane = 0, rest = mix; lane < 4; ++lane, rest /= 3) {
            const std::u32string& pool = kinds[rest % 3];
            bits = bits * 1103515245u + 12345u;
            text += pool[(bits >> 16) % pool.size()];
          }
        }
      }
      for (const char* name : {"tobbleJ", "tobbleC"}) {
        const Filter& filter = *FindFilter(name);
        const CallResultOf<uint8_t> fast =
            ConvertOnce(filter, filter.ascii.from_code_points, text, true);
        ASSERT_EQ(fast.fault, CallFault::kNone) << fast.message;
        ASSERT_EQ(fast.out,
                  ConvertOnce(filter, filter.ascii.from_code_points_scalar, text, true).out)
            << name << ", offset " << offset << ", shuffles " << wanted;
      }
    }
  }
  escape::ChooseShuffles(shuffles);
}

// The reference encoders and tobbleC from units and from code points into
// bytes, with the AVX-512 blocks (where the processor has them) and without:
// every unit from 0x80 and every code point above U+FFFF, with markup every
// 64; then random mixes of
// ASCII, markup (seldom), units of every count of digits, pairs and lone
// surrogates from sixteen offsets, whole and in pieces; against the plain
// encoders.
TEST(DenseKernels, Avx512BlocksFromUnitsAreThePlainEncoders) {
  std::vector<std::u16string> texts(1);
  for (uint32_t c = 0x80; c <= 0x10FFFF; ++c) {
    char16_t units[2];
    texts[0].append(units, WriteCodePoint(units, c) - units);
    if (c % 64 == 0) texts[0] += u"<&>\"x";
  }
  const std::u16string pieces[] = {u"a",
                                   u" ",
                                   u"\x7F",
                                   u"\x80",
                                   u"\x3E7",
                                   u"\x3E8",
                                   u"\x270F",
                                   u"\x2710",
                                   u"\xD7FF",
                                   u"\xFFFF",
                                   u"\xD800\xDC00",
                                   u"\xD83D\xDE00",
                                   u"\xDBC0\xDC00",
                                   u"\xDBFF\xDFFF",
                                   u"\xD800",
                                   u"\xDBFF",
                                   u"\xDC00",
                                   u"\xDFFF"};
  const std::u16string markup[] = {u"<", u">", u"&", u"\""};
  uint32_t bits = 1;
  for (size_t offset = 0; offset < 16; ++offset) {
    std::u16string text(offset, u'\xE9');
    while (text.size() < 3000) {
      bits = bits * 1103515245u + 12345u;
      text += (bits >> 16) % 64 == 0 ? markup[(bits >> 8) % 4]
                                     : pieces[(bits >> 16) % std::size(pieces)];
    }
    texts.push_back(text);
  }
  const bool avx512 = avx512::Use();
  for (const bool wanted : {false, true}) {
    if (avx512::Choose(wanted) != wanted) continue;
    for (const char* name : {"text2charref", "text2charrefx", "tobbleC"}) {
      const Filter& filter = *FindFilter(name);
      for (size_t t = 0; t < texts.size(); ++t) {
        const Bytes want = ConvertOnce(filter, filter.ascii.from_units_scalar, texts[t], true).out;
        const CallResultOf<uint8_t> fast =
            ConvertOnce(filter, filter.ascii.from_units, texts[t], true);
        ASSERT_EQ(fast.fault, CallFault::kNone) << fast.message;
        ASSERT_TRUE(fast.out == want) << name << ", text " << t << ", AVX-512 " << wanted;
        const CallResultOf<uint8_t> cut =
            ConvertPieces(filter, filter.ascii.from_units, texts[t], {100, 333, 65});
        ASSERT_TRUE(cut.out == want) << name << " in pieces, text " << t << ", AVX-512 " << wanted;
        // From code points, pairs joined or as two surrogate code points.
        for (const bool join_pairs : {true, false}) {
          const std::u32string code_points = CodePointsOf(texts[t], join_pairs);
          ASSERT_TRUE(
              ConvertOnce(filter, filter.ascii.from_code_points, code_points, true).out == want &&
              ConvertPieces(filter, filter.ascii.from_code_points, code_points, {100, 333, 65})
                      .out == want)
              << name << " from code points, text " << t << ", AVX-512 " << wanted
              << (join_pairs ? "" : ", pairs apart");
        }
      }
    }
  }
  avx512::Choose(avx512);
}

// The escape encoders' steps of one- and two-byte characters in UTF-8: every
// such character at every place of a step, in words of two-byte letters
// between gaps of one to nine ASCII bytes, against the plain encoders, whole
// and in pieces that end anywhere in a step.
TEST(DenseKernels, NarrowStepsAreThePlainEncoders) {
  const bool shuffles = escape::UseShuffles();
  for (const bool wanted : {false, true}) {
    if (escape::ChooseShuffles(wanted) != wanted) continue;
    for (size_t shift = 0; shift < 2 * simd::kWidth; ++shift) {
      std::u16string units(shift % 3, u'\x416');
      units.append(shift / 3, u' ');
      uint32_t bits = 1;
      for (char16_t u = 1; u < 0x800; ++u) {
        units += {u'\x436', u};
        bits = bits * 1103515245u + 12345u;
        if ((bits >> 16) % 4 == 0) units.append(1 + (bits >> 20) % 9, u'a');
      }
      const Bytes text = ToUtf8(units).bytes;
      for (const char* name : {"tobbleJ", "tobbleC"}) {
        const Filter& filter = *FindFilter(name);
        const Bytes want = ConvertOnce(filter, filter.scalar8, text, true).out;
        std::vector<std::vector<size_t>> cuts = {{}};
        if (shift == 0) cuts.push_back({33, 34, 35, 36, 37, 38, 39, 40, 41, 47, 1000});
        for (const std::vector<size_t>& sizes : cuts) {
          ASSERT_TRUE(PiecesArePlain(filter, filter.convert8, text, sizes, want))
              << name << ", shift " << shift << ", shuffles " << wanted << ", pieces "
              << sizes.size();
        }
      }
    }
  }
  escape::ChooseShuffles(shuffles);
}

// The filters around the blocks: runs of every length about one and two
// blocks, whole and with each unit in turn replaced by one that breaks the
// run, against the plain versions.
TEST(DenseKernels, FiltersAroundBlocksAreThePlainFilters) {
  struct Run {
    const char* filter;
    std::u16string unit;  // the run is made of these
    char16_t breaker;     // replaces one unit
  };
  const Run runs[] = {
      {"tobbleJ", u"\x65E5", u'a'},
      {"tobbleJ", u"\xD83D", u' '},
      {"tobbleJ", u"\xD83D\xDE00", u'\xE9'},
      {"tobbleC", u"\xD83D\xDE00", u'\x65E5'},
      // Short ASCII gaps between characters of two to four bytes in UTF-8,
      // of one, seven and eight bytes.
      {"tobbleJ", u"\xD83D\xDE00 \x200D", u'\xE9'},
      {"tobbleC", u"\u65E5abcdefg", u'\xD83D'},
      {"tobbleJ", u"\u00E9abcdefgh", u'\x3042'},
      {"tobbleC", u"\u00E9abcd", u'\xDE00'},
      // Blocks of eight units (or three-byte sequences) with short gaps.
      {"tobbleC", u"\x3042", u' '},
      {"tobbleJ", u"\x3042\x3044 ", u'\xD83D'},
      {"tobbleC", u"\x3042\x3044\x3046\n", u'\x200D'},
      // Characters above U+FFFF among others, for the blocks over code points.
      {"tobbleJ", u"\x3042\xD83D\xDE00\x3044", u'\xDC00'},
      {"untobbleJ", u"\\u65e5", u'g'},
      {"untobbleJ", u"\\u0000", u'0'},
      {"untobbleC", u"\\u65E5", u'U'},
      {"untobbleC", u"\\uD83D", u'\\'},
      // Runs with gaps, for the steps over dense text.
      {"untobbleJ", u"\\uD83D\\uDE00 \\u3042)", u'\\'},
      {"untobbleC", u"\\u65e5\\u0041\\u3042\\U0001F600,", u'u'},
      {"charref2text", u"&#26085;", u'x'},
      {"charref2text", u"&#65536;", u';'},
      {"charref2text", u"&#00000;", u'&'},
      {"charref2text", u"&#X65e5;", u'#'},
      {"charref2text", u"&#128512;", u'9'},
      {"charref2text", u"&#x1F600;", u'X'},
      {"charref2text", u"&#000000;", u'&'},
      {"charref2text", u"&quot;", u't'},
      {"charref2text", u"&eacute", u'\xE9'},
      {"charref2text", u"&#1234567;", u'\x3042'},
      // Numbers of seven to nine units back to back, in a mix of lengths.
      {"charref2text", u"&#128512;&#8205;&#65039;", u';'},
      {"charref2text", u"&#x1F600;&#x200D;&#X3b1;", u'g'},
      {"charref2text", u"&#55357;&#56832;&#9999;", u'0'},
      {"charref2text", u"&#128512;&#0000;&#x10000;", u'#'},
      // Short names 32 units at a time, with gaps of text between them.
      {"charref2text", u"&lt;b&gt;&amp;", u';'},
      {"charref2text", u"&quot;a=&amp;x", u'&'},
      {"charref2text", u"&hellip; &mdash; the end of it, and then some more of it", u'#'},
      {"text2charref", u"\x2710", u'\x270F'},
      {"text2charref", u"\xFFFF", u'\xDBFF'},
      {"text2charrefx", u"\x1000", u'\x0FFF'},
      {"text2charrefx", u"\x65E5", u'<'},
      {"text2charref", u"\x3042", u'\x0020'},
      // Markup a block at a time, stopped by a character from 0x80 up.
      {"text2charref", u"<a href=\"x\">", u'\xE9'},
      {"text2charrefx", u"a&b", u'\xD83D'},
      {"text2charref", u"\"", u'\x3042'},
      {"text2charrefx", u"\xD83D\xDE00\x3042", u'\xDE00'},
      // Steps of eight from units that mix ASCII, eight-byte references
      // and (in hex, and in tobbleC's escapes) pairs written across two
      // lanes or two steps.
      {"text2charref",
       u"\x3042"
       u"a",
       u'<'},
      {"text2charrefx",
       u"\xD83D\xDE00"
       u"a\x200D",
       u'\xE9'},
      {"text2charrefx", u"\xDBBF\xDFFF", u'\xDBC0'},
      {"tobbleC",
       u"\xD83D\xDE00"
       u"a\x3042",
       u'\xD800'},
      {"tobbleC", u"\xDBFF\xDFFF", u'b'},
      {"URLdecode", u"%E6%97%A5", u'8'},
      {"URLdecode", u"%ED%9F%BF", u'A'},
      {"URLdecode", u"%E0%A0%80", u'9'},
      // Four-byte sequences, and events a short gap apart.
      {"URLdecode", u"%F0%9F%98%80", u'g'},
      {"URLdecode", u"%f4%8F%bf%BF", u'C'},
      {"URLdecode", u"%F0%9F%98%80+", u'%'},
      {"URLdecode", u"%E6%97%A5,x", u'%'},
      {"URLdecode", u"%C3%A9%2C+ab", u'D'},
      {"URLencode", u"\x65E5", u' '},
      {"URLencode", u"\xFFFF", u'\xD800'},
      {"URLencode", u"\x0800", u'\x07FF'},
  };
  // The escape encoders' loops built for SSE2, then (where the processor
  // has it) those built for SSSE3.
  const bool shuffles = escape::UseShuffles();
  for (const bool wanted : {false, true}) {
    if (escape::ChooseShuffles(wanted) != wanted) continue;
    for (const Run& run : runs) {
      const Filter& filter = *FindFilter(run.filter);
      for (size_t count = 1; count <= 2 * escape::kBlockUnits + 2; ++count) {
        std::u16string text = u"ab";
        for (size_t k = 0; k < count; ++k) text += run.unit;
        text += u"cd";
        for (size_t broken = 0; broken <= text.size(); ++broken) {
          std::u16string changed = text;
          if (broken < text.size()) changed[broken] = run.breaker;
          std::u16string got(OutputBound(filter, changed.size()), u'\0');
          std::u16string want = got;
          const Progress fast = filter.convert(changed.data(), changed.size(), got.data(), true);
          const Progress plain = filter.scalar(changed.data(), changed.size(), want.data(), true);
          ASSERT_EQ(got.substr(0, fast.written), want.substr(0, plain.written))
              << run.filter << " " << Show(changed);
          // And the same text in UTF-8.
          const Bytes bytes = ToUtf8(changed).bytes;
          const CallResultOf<uint8_t> fast8 = ConvertOnce(filter, filter.convert8, bytes, true);
          ASSERT_EQ(fast8.fault, CallFault::kNone) << fast8.message;
          ASSERT_EQ(fast8.out, ConvertOnce(filter, filter.scalar8, bytes, true).out)
              << run.filter << " " << Show(bytes);
          // And from units and code points into bytes, where the filter has it.
          if (filter.ascii.from_units == nullptr) continue;
          const Bytes narrowed(got.begin(), got.begin() + fast.written);
          ASSERT_EQ(ConvertOnce(filter, filter.ascii.from_units, changed, true).out, narrowed)
              << run.filter << " " << Show(changed);
          for (const bool join_pairs : {true, false}) {
            const std::u32string code_points = CodePointsOf(changed, join_pairs);
            ASSERT_EQ(ConvertOnce(filter, filter.ascii.from_code_points, code_points, true).out,
                      narrowed)
                << run.filter << " " << Show(changed) << (join_pairs ? "" : " unit by unit");
          }
        }
      }
    }
  }
  escape::ChooseShuffles(shuffles);
}

}  // namespace
}  // namespace tobble::testing
