// The command-line tool's streaming pipeline: input checks, and conversion in
// tiny pieces against the whole-text conversion of every filter.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/stream.h"
#include "core/surrogate.h"
#include "core/filters.h"
#include "tests/convert.h"

namespace tobble::cli {
namespace {

using testing::AppendUtf8;
using testing::Convert;

// The pieces a stream arrives in: fixed sizes, the rest as it comes.
std::vector<std::string> Pieces(const std::string& bytes, size_t size) {
  std::vector<std::string> pieces;
  for (size_t at = 0; at < bytes.size(); at += size) pieces.push_back(bytes.substr(at, size));
  return pieces;
}

const uint8_t* Bytes(const std::string& s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

struct Verdict {
  bool valid;
  uint64_t offset;
};

Verdict Validate(const std::string& bytes, size_t piece_size, Encoding encoding) {
  InputValidator validator(encoding);
  bool valid = true;
  for (const std::string& piece : Pieces(bytes, piece_size)) {
    valid = validator.Check(Bytes(piece), piece.size());
    if (!valid) break;
  }
  valid = valid && validator.CheckEnd();
  return {valid, valid ? validator.size() : validator.error_offset()};
}

const size_t kPieceSizes[] = {1, 2, 3, 7, 64, 1 << 20};

struct InvalidCase {
  const char* bytes;
  uint64_t offset;  // of the first byte of the bad sequence
};

TEST(InputValidator, FindsTheFirstBadSequence) {
  const InvalidCase cases[] = {
      {"\x80", 0},
      {"ab\xC0\x80", 2},                    // overlong two-byte form
      {"\xC1\xBF", 0},                      // overlong two-byte form
      {"a\xE0\x80\x80", 1},                 // overlong three-byte form
      {"\xE0\x9F\xBF", 0},                  // overlong three-byte form
      {"\xED\xA0\x80", 0},                  // a surrogate
      {"x\xED\xBF\xBF", 1},                 // a surrogate
      {"\xF0\x8F\xBF\xBF", 0},              // overlong four-byte form
      {"\xF4\x90\x80\x80", 0},              // above U+10FFFF
      {"\xF5\x80\x80\x80", 0},              // starts nothing
      {"\xFF", 0},                          // starts nothing
      {"abc\xE3\x81", 3},                   // cut by the end
      {"\xE3\x81\x41", 0},                  // cut by an ASCII byte
      {"\xC3\xA9\xE3\x81\xE3\x81\x82", 2},  // cut by a lead byte
      {"\xF0\x9F\x98", 0},                  // cut by the end
      {"0123456789abcdef\xC3", 16},         // after a run of ASCII
      {"0123456789\x80", 10},
      {"\xE3\x81\x82\xE3\x81\x82\xE3\xE3", 6},
  };
  for (const InvalidCase& c : cases) {
    for (const std::string& prefix : {std::string(), std::string(21, 'x')}) {
      const std::string bytes = prefix + c.bytes;
      for (size_t piece : kPieceSizes) {
        const Verdict verdict = Validate(bytes, piece, Encoding::kUtf8);
        EXPECT_FALSE(verdict.valid) << ::testing::PrintToString(bytes) << ", pieces of " << piece;
        EXPECT_EQ(verdict.offset, prefix.size() + c.offset)
            << ::testing::PrintToString(bytes) << ", pieces of " << piece;
      }
    }
  }
}

TEST(InputValidator, AcceptsEveryFormAtItsLimits) {
  const char* cases[] = {
      "",
      "plain ASCII, long enough for the word-wise scan",
      "\xC2\x80\xDF\xBF",                  // U+0080, U+07FF
      "\xE0\xA0\x80\xED\x9F\xBF",          // U+0800, U+D7FF
      "\xEE\x80\x80\xEF\xBF\xBF",          // U+E000, U+FFFF
      "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",  // U+10000, U+10FFFF
      "caf\xC3\xA9 \xF0\x9F\x98\x80 \xE3\x81\x82\xE3\x81\x84 0123456789abcdef\xC3\xA9",
  };
  for (const char* c : cases) {
    for (size_t piece : kPieceSizes) {
      const Verdict verdict = Validate(c, piece, Encoding::kUtf8);
      EXPECT_TRUE(verdict.valid) << ::testing::PrintToString(c) << ", pieces of " << piece;
      EXPECT_EQ(verdict.offset, std::string(c).size());
    }
  }
}

TEST(InputValidator, Utf16leNeedsAnEvenByteCount) {
  for (size_t piece : kPieceSizes) {
    EXPECT_TRUE(Validate(std::string("\xFF\xFE\x00\xD8", 4), piece, Encoding::kUtf16le).valid);
    const Verdict odd = Validate(std::string("a\0b\0c", 5), piece, Encoding::kUtf16le);
    EXPECT_FALSE(odd.valid);
    EXPECT_EQ(odd.offset, 4u);
  }
}

// The reference side, written plainly: UTF-8 to UTF-16 for valid input, and
// UTF-16 to UTF-8 with U+FFFD for each lone surrogate.
std::u16string DecodeUtf8(const std::string& bytes) {
  std::u16string units;
  for (size_t i = 0; i < bytes.size();) {
    const uint8_t b = static_cast<uint8_t>(bytes[i]);
    const int length = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    uint32_t c = length == 1 ? b : b & (0x7F >> length);
    for (int k = 1; k < length; ++k) c = c << 6 | (static_cast<uint8_t>(bytes[i + k]) & 0x3F);
    if (c < 0x10000) {
      units += static_cast<char16_t>(c);
    } else {
      units += HighSurrogateOf(c);
      units += LowSurrogateOf(c);
    }
    i += length;
  }
  return units;
}

std::string EncodeUtf8(const std::u16string& units, uint64_t* lone) {
  std::string out;
  *lone = 0;
  for (size_t i = 0; i < units.size(); ++i) {
    if (IsHighSurrogate(units[i]) && i + 1 < units.size() && IsLowSurrogate(units[i + 1])) {
      AppendUtf8(out, CombineSurrogates(units[i], units[i + 1]));
      ++i;
    } else if (IsHighSurrogate(units[i]) || IsLowSurrogate(units[i])) {
      AppendUtf8(out, 0xFFFD);
      ++*lone;
    } else {
      AppendUtf8(out, units[i]);
    }
  }
  return out;
}

std::string ToUtf16le(const std::u16string& units) {
  std::string bytes;
  for (char16_t u : units) {
    bytes += static_cast<char>(u & 0xFF);
    bytes += static_cast<char>(u >> 8);
  }
  return bytes;
}

// Also checks that no write is empty.
class NonEmptySink : public StringSink {
 public:
  bool Write(const uint8_t* bytes, size_t n) override {
    EXPECT_GT(n, 0u);
    return StringSink::Write(bytes, n);
  }
};

struct Streamed {
  std::string output;
  uint64_t replaced;
};

Streamed Stream(const Filter& filter, Encoding encoding, const std::string& input, size_t piece,
                StreamSizes sizes) {
  NonEmptySink sink;
  StreamConverter converter(filter, encoding, sink, sizes);
  for (const std::string& p : Pieces(input, piece)) {
    EXPECT_TRUE(converter.Feed(Bytes(p), p.size()));
  }
  EXPECT_TRUE(converter.Finish());
  return {sink.text, converter.replaced()};
}

// Every kind of token the filters read or write, each of them long enough to
// straddle a piece boundary: escapes, references (one without its
// semicolon), percent-encoded sequences, multi-byte UTF-8, surrogate pairs
// and escaped lone surrogates.
const char kTokens[] =
    "a\\u3042b\\U0001F600c&amp;d&#x41;&#65;e&notin f&notin;g%E3%81%82h+i%2Fj"
    "\xC3\xA9\xE3\x81\x82\xF0\x9F\x98\x80 \\ud83d\\ude00 \\ud800x\\udc00y\\ud83d"
    "&lt;&gt;&quot;'<>\"\r\n\tz\\\\u0041\\U0010FFFF%zz%E3%81&#x1F600;&#128512;"
    "\xF0\x9F\x98\x80\xF0\x9F\x98\x80";

// Texts long enough to cross many conversion slices: the tokens repeated,
// each time shifted by one more byte, then followed by an escape, a
// reference and a sequence cut short by the end.
std::vector<std::string> StreamTexts() {
  std::string shifted;
  for (int shift = 0; shift < 12; ++shift) shifted += std::string(shift, '.') + kTokens;
  return {"", kTokens, shifted + "\\u30", shifted + "&amp", shifted + "%E3%8", shifted + "\\"};
}

TEST(StreamConverter, GivesTheWholeTextConversionInAnyPieces) {
  const StreamSizes sizes[] = {{kMaxTail + 1, 8}, {97, 13}, {StreamSizes()}};
  int filters = 0;
  for (const Filter& filter : kFilters) {
    if (filter.convert == nullptr) continue;
    ++filters;
    for (const std::string& text : StreamTexts()) {
      const std::u16string converted = Convert(filter, DecodeUtf8(text));
      uint64_t lone;
      const std::string expected = EncodeUtf8(converted, &lone);
      const std::string expected16 = ToUtf16le(converted);
      const std::string text16 = ToUtf16le(DecodeUtf8(text));
      for (const StreamSizes& size : sizes) {
        for (size_t piece : kPieceSizes) {
          const std::string where = std::string(filter.function) + ", " +
                                    std::to_string(text.size()) + " bytes in pieces of " +
                                    std::to_string(piece) + ", slices of " +
                                    std::to_string(size.slice_units);
          const Streamed utf8 = Stream(filter, Encoding::kUtf8, text, piece, size);
          ASSERT_EQ(utf8.output, expected) << where;
          ASSERT_EQ(utf8.replaced, lone) << where;
          const Streamed utf16 = Stream(filter, Encoding::kUtf16le, text16, piece, size);
          ASSERT_EQ(utf16.output, expected16) << where << ", UTF-16LE";
          ASSERT_EQ(utf16.replaced, 0u) << where << ", UTF-16LE";
        }
      }
    }
  }
  EXPECT_GT(filters, 0);
}

// UTF-16LE is written exactly as the conversion gives it: lone surrogates in
// the input stay lone surrogates, wherever the pieces cut.
TEST(StreamConverter, KeepsLoneSurrogatesInUtf16le) {
  std::u16string units;
  for (int i = 0; i < 40; ++i) units += u"\xD800x\xDC00\xD83D\xDE00\xDBFF\\u00e9\xDFFF";
  for (const Filter& filter : kFilters) {
    if (filter.convert == nullptr) continue;
    const std::string expected = ToUtf16le(Convert(filter, units));
    for (size_t piece : kPieceSizes) {
      const Streamed streamed =
          Stream(filter, Encoding::kUtf16le, ToUtf16le(units), piece, {kMaxTail + 1, 8});
      EXPECT_EQ(streamed.output, expected) << filter.function << ", pieces of " << piece;
    }
  }
}

// Output goes to the sink in blocks of the size asked for, the last one
// excepted.
TEST(StreamConverter, WritesFullBlocks) {
  const std::string text(100000, 'a');
  for (const Filter& filter : kFilters) {
    if (filter.convert == nullptr) continue;
    NonEmptySink sink;
    StreamConverter converter(filter, Encoding::kUtf16le, sink, {1000, 4096});
    converter.Feed(Bytes(text), text.size());
    converter.Finish();
    EXPECT_EQ(sink.writes, static_cast<int>((sink.text.size() + 4095) / 4096)) << filter.function;
  }
}

// In a workspace of exactly the size it asks for (the sanitizers watch its
// ends), a converter gives what it gives with its own buffers.
TEST(StreamConverter, WorksInTheWorkspaceItAsksFor) {
  const std::string text = StreamTexts()[2];
  const StreamSizes sizes[] = {{kMaxTail + 1, 8}, {97, 13}, {StreamSizes()}};
  for (const Filter& filter : kFilters) {
    if (filter.convert == nullptr) continue;
    for (const StreamSizes& size : sizes) {
      std::vector<uint8_t> workspace(StreamConverter::WorkspaceBytes(filter, size));
      NonEmptySink own, given;
      StreamConverter owning(filter, Encoding::kUtf8, own, size);
      StreamConverter borrowing(filter, Encoding::kUtf8, given, size, FastestTranscoder(),
                                {workspace.data(), workspace.size()});
      for (const std::string& piece : Pieces(text, 7)) {
        owning.Feed(Bytes(piece), piece.size());
        borrowing.Feed(Bytes(piece), piece.size());
      }
      owning.Finish();
      borrowing.Finish();
      EXPECT_EQ(given.text, own.text) << filter.function << ", slices of " << size.slice_units;
      EXPECT_FALSE(given.text.empty());
    }
  }
}

class FailingSink : public ByteSink {
 public:
  bool Write(const uint8_t*, size_t) override { return false; }
};

TEST(StreamConverter, StopsWhenTheSinkFails) {
  const std::string text(5000, 'a');
  for (const Filter& filter : kFilters) {
    if (filter.convert == nullptr) continue;
    FailingSink sink;
    StreamConverter feeding(filter, Encoding::kUtf8, sink, {100, 64});
    EXPECT_FALSE(feeding.Feed(Bytes(text), text.size())) << filter.function;
    StreamConverter finishing(filter, Encoding::kUtf8, sink, {100, 1 << 16});
    EXPECT_TRUE(finishing.Feed(Bytes(text), 100)) << filter.function;
    EXPECT_FALSE(finishing.Finish()) << filter.function;
  }
}

// Input that changed after its check is not valid UTF-8: each byte that
// begins no whole, valid sequence becomes one U+FFFD, and nothing goes wrong.
TEST(StreamConverter, DecodesUncheckedBytesSafely) {
  struct Unchecked {
    const char* bytes;
    const char* replaced;
  };
  const Unchecked cases[] = {
      // Bytes that start nothing, sequences broken off by ASCII and by a lead
      // byte, and one cut by the end.
      {"\xFF\x61\xE3\x81\x62\xC3\xF0\x9F\x98\x63\x80\xE3\x81",
       u8"\uFFFDa\uFFFD\uFFFDb\uFFFD\uFFFD\uFFFD\uFFFDc\uFFFD\uFFFD\uFFFD"},
      // Whole sequences out of range: an overlong "&" that must not begin a
      // reference, surrogates, an overlong four-byte form, U+110000.
      {"\xE0\x80\xA6"
       "amp;",
       u8"\uFFFD\uFFFD\uFFFDamp;"},
      {"\xED\xA0\x80\xED\xBF\xBF", u8"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"\xF0\x80\x80\xA6\xF4\x90\x80\x80", u8"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
      // Cut by the end after a second byte out of range.
      {"a\xE0\x80", u8"a\uFFFD\uFFFD"},
  };
  for (const Unchecked& c : cases) {
    for (const Filter& filter : kFilters) {
      if (filter.convert == nullptr) continue;
      for (size_t piece : {1, 2, 3, 64}) {
        EXPECT_EQ(Stream(filter, Encoding::kUtf8, c.bytes, piece, {}).output,
                  Stream(filter, Encoding::kUtf8, c.replaced, piece, {}).output)
            << filter.function << " on " << ::testing::PrintToString(c.bytes) << ", pieces of "
            << piece;
      }
    }
  }
}

}  // namespace
}  // namespace tobble::cli
