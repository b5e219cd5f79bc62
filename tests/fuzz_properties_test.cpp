// The fuzzers' property checks, natively: every input the fuzzers left under
// fuzz/regressions/ replayed, every case of the case file through every
// target, and broken conversions and transcoders that each check must catch.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "lib/transcode.h"
#include "tests/support/byte_stream_target.h"
#include "tests/support/case_file.h"
#include "tests/support/fuzz_text.h"
#include "tests/support/properties.h"
#include "tests/support/random_text.h"

namespace tobble::testing {
namespace {

std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::string ShowViolations(const std::vector<Violation>& found) {
  std::string shown;
  for (const Violation& v : found) {
    shown += std::string(Describe(v.property).name) + ": " + v.message + "\n";
  }
  return shown;
}

std::vector<Violation> CheckInput(const FuzzTarget& target, const std::vector<uint8_t>& input) {
  return target.check(target, input.data(), input.size());
}

struct TextCase {
  std::string bytes;
  std::u16string units;
  std::vector<size_t> cuts;
};

TEST(FuzzText, ReadsEachKindOfByte) {
  const TextCase cases[] = {
      {"", u"", {}},
      {"\\u00e9&amp;%C3", u"\\u00e9&amp;%C3", {}},
      {std::string("a\0\x3d\xd8\0\0\xde", 7), u"a\xD83D\xDE00", {}},
      {std::string("\0\0\0b", 4), u"b", {}},  // a zero unit is dropped
      {std::string("a\0\x41", 3), u"a", {}},  // a raw unit cut short ends the text
      // The first awkward unit, the seventh, the last, and the first again.
      {"\x80\x86\xBD\xBE", u"\xD800\xDC00\x5C00\xD800", {}},
      {"\xFF" + std::string("ab") + "\xFF\xFF" + "c\xFF", u"abc", {0, 2, 2, 3}},
  };
  for (const TextCase& c : cases) {
    const FuzzText text =
        ReadFuzzText(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size());
    EXPECT_EQ(ShowUnits(text.units), ShowUnits(c.units)) << ShowUnits(c.units);
    EXPECT_EQ(text.cuts, c.cuts) << ShowUnits(c.units);
  }
}

TEST(FuzzText, WrittenTextsReadBackTheSame) {
  RandomText random(6);
  for (int round = 0; round < 1000; ++round) {
    const std::u16string units = random.Plain(round % 30);
    const std::string bytes = WriteFuzzText(units + u'\0');
    const FuzzText text =
        ReadFuzzText(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ASSERT_EQ(ShowUnits(text.units), ShowUnits(units));
    ASSERT_TRUE(text.cuts.empty());
  }
}

// The build makes one fuzzer per target of the list, and no other.
TEST(FuzzTargets, AreTheBuiltFuzzers) {
  std::string names;
  for (const FuzzTarget& target : FuzzTargets()) names += (names.empty() ? "" : ",") + target.name;
  EXPECT_EQ(names, TOBBLE_FUZZ_TARGET_NAMES);
  for (const Filter& filter : kFilters) {
    const FuzzTarget* target = FindFuzzTarget(filter.function);
    ASSERT_NE(target, nullptr) << filter.function;
    EXPECT_EQ(target->filter, &filter);
  }
}

// Each input that a fuzzer saved under fuzz/regressions/TARGET/ is checked
// again, so a finding stays a test after it is fixed.
TEST(Regressions, EveryInputLeftUnderFuzzHoldsNow) {
  const std::filesystem::path dir = TOBBLE_REGRESSIONS_DIR;
  // A folder gone missing (moved, renamed, not shipped) would replay nothing.
  ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir << " is missing";
  size_t replayed = 0;
  for (const auto& folder : std::filesystem::directory_iterator(dir)) {
    if (!folder.is_directory()) continue;
    const FuzzTarget* target = FindFuzzTarget(folder.path().filename().string());
    ASSERT_NE(target, nullptr) << folder.path() << " is named after no fuzz target";
    for (const auto& file : std::filesystem::directory_iterator(folder.path())) {
      std::ifstream in(file.path(), std::ios::binary);
      ASSERT_TRUE(in) << file.path() << " cannot be read";
      const std::vector<uint8_t> input{std::istreambuf_iterator<char>(in), {}};
      EXPECT_EQ(ShowViolations(CheckInput(*target, input)), "") << file.path();
      ++replayed;
    }
  }
  EXPECT_GT(replayed, 0u) << "no input under " << dir;
}

// The seeds of every target come from the case file; they hold too.
TEST(Properties, HoldForEveryCaseThroughEveryTarget) {
  const std::vector<Case> cases = ReadCaseFile(TOBBLE_CASE_FILE);
  ASSERT_FALSE(cases.empty());
  for (const Case& c : cases) {
    for (const FuzzTarget& target : FuzzTargets()) {
      for (const std::string& input : target.inputs(*FindFilter(c.filter.c_str()), c.input)) {
        ASSERT_EQ(ShowViolations(CheckInput(target, Bytes(input))), "")
            << target.name << ", line " << c.line;
      }
    }
  }
}

// Broken conversions, each posing as a filter, and what must catch them.
Progress TooLongForTheBlock(const char16_t* in, size_t n, char16_t* out, bool last) {
  const Progress done = EncodeEscapesJ(in, n, out, last);
  return {done.read, (n + 1) * 6};  // one unit more than 12 bytes a unit hold
}
Progress Copy(const char16_t* in, size_t n, char16_t* out, bool) {
  for (size_t i = 0; i < n; ++i) out[i] = in[i];
  return {n, n};
}
Progress CopyTwice(const char16_t* in, size_t n, char16_t* out, bool) {
  for (size_t i = 0; i < 2 * n; ++i) out[i] = in[i / 2];
  return {n, 2 * n};
}
Progress BackslashAsZero(const char16_t* in, size_t n, char16_t* out, bool) {
  for (size_t i = 0; i < n; ++i) out[i] = in[i] == u'\\' ? 0 : in[i];
  return {n, n};
}
Progress DropsTheLastUnitOfAPiece(const char16_t* in, size_t n, char16_t* out, bool last) {
  const Progress done = EncodeEscapesJ(in, last || n == 0 ? n : n - 1, out, last);
  return {n, done.written};
}
Progress ReadsNothingUntilTheLastCall(const char16_t* in, size_t n, char16_t* out, bool last) {
  return last ? EncodeEscapesJ(in, n, out, last) : Progress{0, 0};
}
Progress UpperCaseDigits(const char16_t* in, size_t n, char16_t* out, bool last) {
  const Progress done = EncodeEscapesJ(in, n, out, last);
  for (size_t i = 0; i < done.written; ++i) {
    if (out[i] >= u'a' && out[i] <= u'f') out[i] -= 0x20;
  }
  return done;
}

struct BrokenCase {
  const char* label;
  Filter filter;
  std::u16string text;
  std::vector<size_t> pieces;
  std::set<Property> caught;  // by CheckFilter
};

Filter Posing(const char* function, unsigned factor, Conversion convert,
              Conversion scalar = nullptr) {
  return {function, function, function, '?',     factor,  convert, scalar ? scalar : convert,
          nullptr,  "",       0,        nullptr, nullptr, {}};
}

TEST(Properties, EachCheckCatchesItsBrokenConversion) {
  const BrokenCase cases[] = {
      {"block overrun", Posing("tobbleJ", 12, TooLongForTheBlock), u"a", {}, {Property::kBound}},
      {"decoder output longer than its input",
       Posing("untobbleC", 4, CopyTwice),
       u"ab",
       {},
       {Property::kNoLonger, Property::kRoundTrip}},
      {"encoder output not ASCII", Posing("tobbleJ", 12, Copy), u"caf\xE9", {}, {Property::kAscii}},
      {"zero unit", Posing("untobbleJ", 2, BackslashAsZero), u"a\\b", {}, {Property::kNoZeroUnit}},
      {"no round trip", Posing("URLdecode", 2, Copy), u"a b", {}, {Property::kRoundTrip}},
      {"pieces differ",
       Posing("tobbleJ", 12, DropsTheLastUnitOfAPiece),
       u"ab",
       {1},
       {Property::kPieces}},
      {"tail too long",
       Posing("tobbleJ", 12, ReadsNothingUntilTheLastCall),
       std::u16string(100, u'a'),
       std::vector<size_t>(10, 10),
       {Property::kTail}},
      {"convert differs from scalar",
       Posing("tobbleJ", 12, UpperCaseDigits, EncodeEscapesJ),
       u"\xE9",
       {},
       {Property::kScalar}},
  };
  for (const BrokenCase& c : cases) {
    std::set<Property> caught;
    for (const Violation& v : CheckFilter(c.filter, c.text, c.pieces)) caught.insert(v.property);
    EXPECT_EQ(caught, c.caught) << c.label;
  }
}

TEST(Properties, StreamingCatchesPiecesThatDiffer) {
  const Filter drops = Posing("tobbleJ", 12, DropsTheLastUnitOfAPiece);
  const Filter upper = Posing("tobbleJ", 12, UpperCaseDigits, EncodeEscapesJ);
  // Cut nowhere by the fuzzer, but short enough to be cut everywhere.
  const std::vector<Violation> dropped = CheckStreaming(drops, u"abc", {});
  ASSERT_FALSE(dropped.empty());
  EXPECT_EQ(dropped.front().property, Property::kPieces);
  std::set<Property> caught;
  for (const Violation& v : CheckStreaming(upper, u"\xE9", {})) caught.insert(v.property);
  EXPECT_EQ(caught, (std::set<Property>{Property::kScalar, Property::kPieces}));
}

// Broken transcoders for the library's stream, each the plain one but for one
// fault.
const lib::Transcoder& Plain() {
  return *lib::AvailableTranscoders().items[0];
}

// Lead and continuation bytes in their places pass, whatever code point
// they make: overlong forms, surrogates, values above U+10FFFF.
size_t FramingOnly(const uint8_t* in, size_t n) {
  for (size_t i = 0; i < n;) {
    const uint8_t lead = in[i];
    const size_t length = lead < 0x80 ? 1 : lead < 0xC0 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (length == 0 || length > n - i) return i;
    for (size_t k = 1; k < length; ++k) {
      if ((in[i + k] & 0xC0) != 0x80) return i;
    }
    i += length;
  }
  return n;
}
// Points one byte past the start of an invalid sequence.
size_t OneByteLate(const uint8_t* in, size_t n) {
  const size_t valid = Plain().valid_utf8(in, n);
  return valid < n ? valid + 1 : n;
}
size_t SwapsPairs(const uint8_t* in, size_t n, char16_t* out) {
  const size_t written = Plain().decode_utf8(in, n, out);
  for (size_t i = 0; i + 1 < written; ++i) {
    if (out[i] >= 0xD800 && out[i] < 0xDC00) std::swap(out[i], out[i + 1]);
  }
  return written;
}
// Writes every unit, a lone surrogate in the three-byte form UTF-8 has no
// room for, and never stops.
lib::Encoded WritesLoneSurrogates(const char16_t* in, size_t n, uint8_t* out) {
  uint8_t* o = out;
  for (size_t i = 0; i < n; ++i) {
    const bool pair =
        in[i] >= 0xD800 && in[i] < 0xDC00 && i + 1 < n && in[i + 1] >= 0xDC00 && in[i + 1] < 0xE000;
    if (pair) {
      o = lib::utf8::WriteUtf8(o, 0x10000 + ((in[i] - 0xD800u) << 10) + (in[i + 1] - 0xDC00u));
      ++i;
    } else {
      o = lib::utf8::WriteUtf8(o, in[i]);
    }
  }
  return {n, static_cast<size_t>(o - out)};
}

struct BrokenByteStreamCase {
  const char* label;
  lib::Transcoder transcoder;
  const Filter* filter;
  std::string bytes;
  std::set<Property> caught;  // by CheckByteStream
};

TEST(Properties, ByteStreamChecksCatchTheirBrokenTranscoderOrFilter) {
  const lib::Transcoder plain = Plain();
  const Filter drops = Posing("tobbleJ", 12, DropsTheLastUnitOfAPiece, EncodeEscapesJ);
  const BrokenByteStreamCase cases[] = {
      {"surrogate accepted",
       {"framing only", FramingOnly, plain.decode_utf8, plain.encode_utf8},
       FindFilter("tobbleJ"),
       "a\xED\xA0\x80",
       {Property::kValidation, Property::kStreamOutput, Property::kReplaced}},
      {"error offset one byte late",
       {"one byte late", OneByteLate, plain.decode_utf8, plain.encode_utf8},
       FindFilter("tobbleJ"),
       "ab\xE0\x80\x80",
       {Property::kValidation, Property::kStreamOutput, Property::kReplaced}},
      {"pair units swapped",
       {"swaps pairs", plain.valid_utf8, SwapsPairs, plain.encode_utf8},
       FindFilter("tobbleJ"),
       "\xF0\x9F\x98\x80",
       {Property::kStreamOutput, Property::kReplaced}},
      {"lone surrogate written as such",
       {"writes lone surrogates", plain.valid_utf8, plain.decode_utf8, WritesLoneSurrogates},
       FindFilter("untobbleJ"),
       "\\ud800",
       {Property::kStreamOutput, Property::kReplaced}},
      {"filter that drops the last unit of a piece",
       plain,
       &drops,
       "ab",
       {Property::kStreamOutput, Property::kReplaced}},
  };
  // In one piece: in smaller ones the converter joins sequences cut between
  // pieces itself, and the transcoder never sees them.
  for (const BrokenByteStreamCase& c : cases) {
    const ByteStreamRun run = {c.filter, lib::Encoding::kUtf8, 64, {kMaxTail + 1, 8}};
    std::set<Property> caught;
    for (const Violation& v : CheckByteStream(run, c.bytes, {&c.transcoder}))
      caught.insert(v.property);
    EXPECT_EQ(caught, c.caught) << c.label;
  }
}

}  // namespace
}  // namespace tobble::testing
