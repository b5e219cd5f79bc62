// The library's stream (lib/stream.h): input checked as it is decoded, in
// strict and replace modes, and conversion in tiny pieces through tiny
// buffers against the whole-text conversion of every filter.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filters/common/surrogate.h"
#include "filters/filters.h"
#include "lib/stream.h"
#include "tests/support/case_file.h"
#include "tests/support/gtest_convert.h"
#include "tests/support/utf.h"

namespace tobble::lib {
namespace {

using testing::Convert;
using testing::ReadUtf8;
using testing::WriteUtf16;
using testing::WriteUtf8;

// Each transcoder this processor runs.
std::vector<const Transcoder*> Transcoders() {
  const lib::TranscoderList list = lib::AvailableTranscoders();
  return {list.items, list.items + list.size};
}

// The pieces a stream arrives in: fixed sizes, the rest as it comes.
std::vector<std::string> Pieces(const std::string& bytes, size_t size) {
  std::vector<std::string> pieces;
  for (size_t at = 0; at < bytes.size(); at += size) pieces.push_back(bytes.substr(at, size));
  return pieces;
}

const uint8_t* Bytes(const std::string& s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

// What a stream made of an input: the status of the first call that did not
// return TOBBLE_OK (else of Finish), and what it wrote and counted.
struct Streamed {
  tobble_status status;
  std::string output;
  uint64_t error_offset;
  uint64_t replaced_input;
  uint64_t replaced_surrogates;
};

// Also checks that no write is empty.
class NonEmptySink : public StringSink {
 public:
  bool Write(const uint8_t* bytes, size_t n) override {
    EXPECT_GT(n, 0u);
    return StringSink::Write(bytes, n);
  }
};

// A converter with a workspace of exactly the size it asks for, so the
// sanitizers watch both ends.
struct TestStream {
  TestStream(const Filter& filter, Encoding encoding, bool replace, ByteSink& sink,
             StreamSizes sizes = {}, const Transcoder& transcoder = FastestTranscoder())
      : workspace(StreamConverter::WorkspaceBytes(filter, sizes)),
        converter(filter, encoding, replace, sink, workspace.data(), sizes, transcoder) {}
  std::vector<uint8_t> workspace;
  StreamConverter converter;
};

Streamed Stream(const Filter& filter, Encoding encoding, bool replace, const std::string& input,
                size_t piece, StreamSizes sizes,
                const Transcoder& transcoder = FastestTranscoder()) {
  NonEmptySink sink;
  TestStream stream(filter, encoding, replace, sink, sizes, transcoder);
  StreamConverter& converter = stream.converter;
  tobble_status status = TOBBLE_OK;
  for (const std::string& p : Pieces(input, piece)) {
    status = converter.Feed(Bytes(p), p.size());
    if (status != TOBBLE_OK) break;
  }
  if (status == TOBBLE_OK) status = converter.Finish();
  // Stopped either way: nothing more is taken.
  EXPECT_EQ(converter.Feed(Bytes("a"), 1), TOBBLE_ERROR_FINISHED);
  EXPECT_EQ(converter.Finish(), TOBBLE_ERROR_FINISHED);
  EXPECT_EQ(converter.bytes_out(), sink.text.size());
  return {status, sink.text, converter.error_offset(), converter.replaced_input(),
          converter.replaced_surrogates()};
}

const size_t kPieceSizes[] = {1, 2, 3, 7, 64, 1 << 20};
const StreamSizes kTinySizes = {kMaxTail + 1, 8};

struct InvalidCase {
  const char* bytes;
  uint64_t offset;  // of the first byte of the bad sequence
};

// Strict mode stops at the first bad sequence wherever the pieces cut it,
// with every transcoder, and writes the conversion of what came before.
TEST(StreamConverter, StopsAtTheFirstBadSequence) {
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
  const Filter& filter = *FindFilter("tobbleJ");
  for (const Transcoder* transcoder : Transcoders()) {
    for (const InvalidCase& c : cases) {
      for (const std::string& prefix : {std::string(), std::string(21, 'x')}) {
        const std::string bytes = prefix + c.bytes;
        const std::string valid = bytes.substr(0, prefix.size() + c.offset);
        const std::string expected =
            Stream(filter, Encoding::kUtf8, false, valid, 1 << 20, {}).output;
        for (size_t piece : kPieceSizes) {
          const std::string where = ::testing::PrintToString(bytes) + ", pieces of " +
                                    std::to_string(piece) + ", " + transcoder->name;
          const Streamed streamed =
              Stream(filter, Encoding::kUtf8, false, bytes, piece, kTinySizes, *transcoder);
          EXPECT_EQ(streamed.status, TOBBLE_ERROR_INVALID_INPUT) << where;
          EXPECT_EQ(streamed.error_offset, prefix.size() + c.offset) << where;
          EXPECT_EQ(streamed.output, expected) << where;
        }
      }
    }
  }
}

TEST(StreamConverter, AcceptsEveryFormAtItsLimits) {
  const char* cases[] = {
      "",
      "plain ASCII, long enough for the word-wise scan",
      "\xC2\x80\xDF\xBF",                  // U+0080, U+07FF
      "\xE0\xA0\x80\xED\x9F\xBF",          // U+0800, U+D7FF
      "\xEE\x80\x80\xEF\xBF\xBF",          // U+E000, U+FFFF
      "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",  // U+10000, U+10FFFF
      "caf\xC3\xA9 \xF0\x9F\x98\x80 \xE3\x81\x82\xE3\x81\x84 0123456789abcdef\xC3\xA9",
  };
  const Filter& filter = *FindFilter("URLencode");
  for (const Transcoder* transcoder : Transcoders()) {
    for (const char* c : cases) {
      for (size_t piece : kPieceSizes) {
        const Streamed streamed =
            Stream(filter, Encoding::kUtf8, false, c, piece, kTinySizes, *transcoder);
        EXPECT_EQ(streamed.status, TOBBLE_OK)
            << ::testing::PrintToString(c) << ", pieces of " << piece << ", " << transcoder->name;
        EXPECT_EQ(streamed.error_offset, 0u);
      }
    }
  }
}

// UTF-16 needs an even byte count; the odd last byte is the error, or one
// U+FFFD.
TEST(StreamConverter, Utf16NeedsAnEvenByteCount) {
  const Filter& filter = *FindFilter("tobbleJ");
  for (const Encoding encoding : {Encoding::kUtf16le, Encoding::kUtf16be}) {
    for (size_t piece : kPieceSizes) {
      EXPECT_EQ(
          Stream(filter, encoding, false, std::string("\xFF\xFE\x00\xD8", 4), piece, {}).status,
          TOBBLE_OK);
      const std::string odd("a\0b\0c", 5);
      const Streamed strict = Stream(filter, encoding, false, odd, piece, kTinySizes);
      EXPECT_EQ(strict.status, TOBBLE_ERROR_INVALID_INPUT);
      EXPECT_EQ(strict.error_offset, 4u);
      EXPECT_EQ(strict.output, Stream(filter, encoding, false, odd.substr(0, 4), 4, {}).output);
      const Streamed replaced = Stream(filter, encoding, true, odd, piece, kTinySizes);
      EXPECT_EQ(replaced.status, TOBBLE_OK);
      EXPECT_EQ(replaced.replaced_input, 1u);
      EXPECT_EQ(replaced.output.size(), strict.output.size() + 12);  // "\\ufffd" in UTF-16
    }
  }
}

// The reference side: the tests' plain codec (tests/support/utf.h).
std::u16string DecodeUtf8(const std::string& bytes) {
  return ReadUtf8(bytes).units;
}
std::string ToUtf16le(const std::u16string& units) {
  return WriteUtf16(units, false);
}
std::string ToUtf16be(const std::u16string& units) {
  return WriteUtf16(units, true);
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

// What a dense text holds besides three-byte characters and spaces.
enum class Dense { kPairs, kTwoByte, kMarkup };

// A text of characters from 0x80 up, longer than a default slice, which
// tobbleJ and tobbleC convert from UTF-16 units once they have seen how
// dense it is, and the reference encoders too when it holds only characters
// with references of eight bytes and ASCII (kMarkup, whose markup ends their
// blocks).
std::string DenseText(Dense kind = Dense::kPairs) {
  std::string dense;
  for (int k = 0; dense.size() < 34000; ++k) {
    dense += k % 11 == 0  ? " "
             : k % 3 == 0 ? (kind == Dense::kPairs ? "\xF0\x9F\x98\x80" : "\xE4\xB8\x80")
             : k % 2      ? "\xE3\x81\x82"
             : kind != Dense::kMarkup ? "\xC3\xA9"
             : k % 7 == 0             ? "<"
                                      : "\xEF\xBC\x81";
  }
  return dense;
}

// Texts long enough to cross many conversion slices: the tokens repeated,
// each time shifted by one more byte, then followed by an escape, a
// reference and a sequence cut short by the end; and the dense text.
std::vector<std::string> StreamTexts() {
  std::string shifted;
  for (int shift = 0; shift < 12; ++shift) shifted += std::string(shift, '.') + kTokens;
  return {
      "",         kTokens, shifted + "\\u30", shifted + "&amp", shifted + "%E3%8", shifted + "\\",
      DenseText()};
}

TEST(StreamConverter, GivesTheWholeTextConversionInAnyPieces) {
  const StreamSizes sizes[] = {kTinySizes, {97, 13}, {StreamSizes()}};
  for (const Filter& filter : kFilters) {
    for (const std::string& text : StreamTexts()) {
      const std::u16string converted = Convert(filter, DecodeUtf8(text));
      uint64_t lone;
      const std::string expected = WriteUtf8(converted, &lone);
      const std::u16string units = DecodeUtf8(text);
      for (const StreamSizes& size : sizes) {
        for (size_t piece : kPieceSizes) {
          const std::string where = std::string(filter.function) + ", " +
                                    std::to_string(text.size()) + " bytes in pieces of " +
                                    std::to_string(piece) + ", slices of " +
                                    std::to_string(size.slice_units);
          for (const bool replace : {false, true}) {
            const Streamed utf8 = Stream(filter, Encoding::kUtf8, replace, text, piece, size);
            ASSERT_EQ(utf8.status, TOBBLE_OK) << where;
            ASSERT_EQ(utf8.output, expected) << where;
            ASSERT_EQ(utf8.replaced_surrogates, lone) << where;
            ASSERT_EQ(utf8.replaced_input, 0u) << where;
          }
          const Streamed le =
              Stream(filter, Encoding::kUtf16le, false, ToUtf16le(units), piece, size);
          ASSERT_EQ(le.status, TOBBLE_OK) << where;
          ASSERT_EQ(le.output, ToUtf16le(converted)) << where << ", UTF-16LE";
          ASSERT_EQ(le.replaced_surrogates, 0u) << where << ", UTF-16LE";
          const Streamed be =
              Stream(filter, Encoding::kUtf16be, false, ToUtf16be(units), piece, size);
          ASSERT_EQ(be.status, TOBBLE_OK) << where;
          ASSERT_EQ(be.output, ToUtf16be(converted)) << where << ", UTF-16BE";
        }
      }
    }
  }
}

// The same for the encoders that convert dense text from units, in slices
// several times the steps in which it is converted that way, cut anywhere:
// with emoji, and with text without them around them, which the reference
// encoders convert one way and then the other.
TEST(StreamConverter, ConvertsDenseTextFromUnitsInAnyPieces) {
  const std::string texts[] = {
      DenseText(), DenseText(Dense::kTwoByte) + DenseText() + DenseText(Dense::kTwoByte),
      DenseText(Dense::kMarkup) + DenseText() + DenseText(Dense::kMarkup) +
          DenseText(Dense::kTwoByte)};
  for (const char* name : {"tobbleJ", "tobbleC", "text2charref", "text2charrefx"}) {
    const Filter& filter = *FindFilter(name);
    for (const std::string& text : texts) {
      const std::string expected = WriteUtf8(Convert(filter, DecodeUtf8(text)), nullptr);
      for (const size_t slice : {8191, 8192, 20000}) {
        for (const size_t piece : {3, 4099, 1 << 20}) {
          const Streamed utf8 =
              Stream(filter, Encoding::kUtf8, false, text, piece, {slice, 1 << 16});
          ASSERT_EQ(utf8.status, TOBBLE_OK);
          ASSERT_EQ(utf8.output, expected) << name << ", " << text.size() << " bytes in slices of "
                                           << slice << ", pieces of " << piece;
        }
      }
    }
  }
}

// The scan for leads against its predicate, for each range in use: every
// byte value at every position of texts of every length up to two steps and
// a tail, with a byte outside the range just past the end, which it must not
// see.
TEST(StreamConverter, FindsEveryLeadOutsideItsRangeAndNoneBeyond) {
  uint8_t bytes[160];
  for (const LeadRange leads : {LeadRange{0xE1, 0xF4}, LeadRange{0xE3, 0xEF}}) {
    const auto outside = [&](int value) {
      return value > leads.highest || (value >= 0xC0 && value < leads.lowest);
    };
    const std::string where =
        "leads " + std::to_string(leads.lowest) + " to " + std::to_string(leads.highest);
    for (size_t n = 0; n <= 140; ++n) {
      for (size_t at = 0; at < n; ++at) {
        for (int value = 0; value < 256; ++value) {
          std::fill(std::begin(bytes), std::end(bytes), 'a');
          bytes[n] = 0xFF;
          bytes[at] = static_cast<uint8_t>(value);
          ASSERT_EQ(HasLeadOutside(bytes, n, leads), outside(value))
              << n << " bytes, " << value << " at " << at << ", " << where;
        }
      }
      std::fill(std::begin(bytes), std::end(bytes), 'a');
      bytes[n] = 0xC0;
      ASSERT_FALSE(HasLeadOutside(bytes, n, leads)) << n << " bytes, " << where;
    }
  }
}

// UTF-16 is written exactly as the conversion gives it: lone surrogates in
// the input stay lone surrogates, wherever the pieces cut.
TEST(StreamConverter, KeepsLoneSurrogatesInUtf16) {
  std::u16string units;
  for (int i = 0; i < 40; ++i) units += u"\xD800x\xDC00\xD83D\xDE00\xDBFF\\u00e9\xDFFF";
  for (const Filter& filter : kFilters) {
    const std::u16string converted = Convert(filter, units);
    for (size_t piece : kPieceSizes) {
      const Streamed le =
          Stream(filter, Encoding::kUtf16le, false, ToUtf16le(units), piece, kTinySizes);
      EXPECT_EQ(le.status, TOBBLE_OK);
      EXPECT_EQ(le.output, ToUtf16le(converted)) << filter.function << ", pieces of " << piece;
      const Streamed be =
          Stream(filter, Encoding::kUtf16be, false, ToUtf16be(units), piece, kTinySizes);
      EXPECT_EQ(be.output, ToUtf16be(converted)) << filter.function << ", pieces of " << piece;
    }
  }
}

// Output goes to the sink in blocks of the size asked for, the last one
// excepted.
TEST(StreamConverter, WritesFullBlocks) {
  const std::string text(100000, 'a');
  for (const Filter& filter : kFilters) {
    for (const Encoding encoding : {Encoding::kUtf16le, Encoding::kUtf16be}) {
      NonEmptySink sink;
      TestStream stream(filter, encoding, false, sink, {1000, 4096});
      EXPECT_EQ(stream.converter.Feed(Bytes(text), text.size()), TOBBLE_OK);
      EXPECT_EQ(stream.converter.Finish(), TOBBLE_OK);
      EXPECT_EQ(sink.writes, static_cast<int>((sink.text.size() + 4095) / 4096)) << filter.function;
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
    FailingSink sink;
    TestStream feeding(filter, Encoding::kUtf8, false, sink, {100, 64});
    EXPECT_EQ(feeding.converter.Feed(Bytes(text), text.size()), TOBBLE_ERROR_WRITE)
        << filter.function;
    EXPECT_EQ(feeding.converter.Feed(Bytes(text), 1), TOBBLE_ERROR_FINISHED);
    TestStream finishing(filter, Encoding::kUtf8, false, sink, {100, 1 << 16});
    EXPECT_EQ(finishing.converter.Feed(Bytes(text), 100), TOBBLE_OK) << filter.function;
    EXPECT_EQ(finishing.converter.Finish(), TOBBLE_ERROR_WRITE) << filter.function;
    TestStream flushing(filter, Encoding::kUtf8, false, sink, {100, 1 << 16});
    EXPECT_EQ(flushing.converter.Feed(Bytes(text), 100), TOBBLE_OK) << filter.function;
    EXPECT_EQ(flushing.converter.Flush(), TOBBLE_ERROR_WRITE) << filter.function;
    // The end of an invalid input is written too, and can fail as well.
    TestStream invalid(filter, Encoding::kUtf8, false, sink, {100, 1 << 16});
    EXPECT_EQ(invalid.converter.Feed(Bytes("abc\xFF"), 4), TOBBLE_ERROR_WRITE) << filter.function;
  }
}

// Replace mode: one U+FFFD for each maximal subpart of an ill-formed
// sequence, wherever the pieces cut it, and the same output as the text
// with U+FFFD in their place.
TEST(StreamConverter, ReplacesEachMaximalSubpart) {
  struct Replaced {
    const char* bytes;
    const char* replaced;
    uint64_t count;
  };
  const Replaced cases[] = {
      // Bytes that start nothing, sequences broken off by ASCII and by a lead
      // byte, and one cut by the end: each broken sequence is one subpart.
      {"\xFF\x61\xE3\x81\x62\xC3\xF0\x9F\x98\x63\x80\xE3\x81",
       u8"\uFFFDa\uFFFDb\uFFFD\uFFFDc\uFFFD\uFFFD", 6},
      // Second bytes out of range end the subpart at the lead byte: an
      // overlong "&" that must not begin a reference, surrogates, an overlong
      // four-byte form, U+110000.
      {"\xE0\x80\xA6"
       "amp;",
       u8"\uFFFD\uFFFD\uFFFDamp;", 3},
      {"\xED\xA0\x80\xED\xBF\xBF", u8"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD", 6},
      {"\xF0\x80\x80\xA6\xF4\x90\x80\x80", u8"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD", 8},
      // Cut by the end after a second byte out of range.
      {"a\xE0\x80", u8"a\uFFFD\uFFFD", 2},
      // Long subparts: three bytes of a four-byte form, then a valid one.
      {"\xF0\x9F\x98\xF0\x9F\x98\x80\xF4\x8F\xBF", u8"\uFFFD\U0001F600\uFFFD", 2},
      {"\xE0\xA0\xC0\x80", u8"\uFFFD\uFFFD\uFFFD", 3},
  };
  for (const Transcoder* transcoder : Transcoders()) {
    for (const Replaced& c : cases) {
      for (const Filter& filter : kFilters) {
        for (size_t piece : {1, 2, 3, 64}) {
          const Streamed replaced =
              Stream(filter, Encoding::kUtf8, true, c.bytes, piece, kTinySizes, *transcoder);
          const std::string where = std::string(filter.function) + " on " +
                                    ::testing::PrintToString(c.bytes) + ", pieces of " +
                                    std::to_string(piece) + ", " + transcoder->name;
          EXPECT_EQ(replaced.status, TOBBLE_OK) << where;
          EXPECT_EQ(replaced.output,
                    Stream(filter, Encoding::kUtf8, false, c.replaced, piece, {}).output)
              << where;
          EXPECT_EQ(replaced.replaced_input, c.count) << where;
        }
      }
    }
  }
}

// Flush writes everything converted so far and keeps only what later bytes
// may still change; the stream then goes on as if it had not been flushed.
TEST(StreamConverter, FlushKeepsOnlyTheHeldTail) {
  const std::string text = StreamTexts()[2];
  for (const Filter& filter : kFilters) {
    const std::string whole = Stream(filter, Encoding::kUtf8, false, text, 1 << 20, {}).output;
    for (size_t piece : {1, 5, 64}) {
      NonEmptySink sink;
      TestStream stream(filter, Encoding::kUtf8, false, sink, {97, 1 << 16});
      for (const std::string& p : Pieces(text, piece)) {
        ASSERT_EQ(stream.converter.Feed(Bytes(p), p.size()), TOBBLE_OK);
        ASSERT_EQ(stream.converter.Flush(), TOBBLE_OK);
        // All written so far is the start of the whole output, and all of
        // it but a tail's worth.
        ASSERT_EQ(whole.compare(0, sink.text.size(), sink.text), 0) << filter.function;
        ASSERT_EQ(stream.converter.bytes_out(), sink.text.size());
      }
      ASSERT_EQ(stream.converter.Finish(), TOBBLE_OK);
      EXPECT_EQ(sink.text, whole) << filter.function << ", pieces of " << piece;
    }
  }
}

// A piece that more input follows stops only before what later units could
// still change, and both versions of each conversion stop at the same unit.
TEST(Tails, StopOnlyBeforeWhatLaterUnitsCouldChange) {
  struct Case {
    const char* filter;
    std::u16string text;
    size_t read;  // units a call with last false reads
  };
  const Case cases[] = {
      {"charref2text", u"Tom & Jerry\n", 12},
      {"charref2text", u"a &", 2},
      {"charref2text", u"a &am", 2},     // "&amp" may come
      {"charref2text", u"a &amp x", 2},  // legacy, unless a ";" comes
      {"charref2text", u"a &nbs", 2},    // "&nbsp;"
      {"charref2text", u"a &CounterClockwiseContourInteg", 2},
      {"charref2text", u"a &zz", 5},    // no name begins so
      {"charref2text", u"a &\xE9", 4},  // a name unit, but no name has it
      {"charref2text", u"&#", 0},
      {"charref2text", u"&#12", 0},
      {"charref2text", u"&#1a", 4},
      {"charref2text", u"&#x", 0},
      {"charref2text", u"&#X 0x4", 0},
      {"charref2text", u"&#x-", 0},
      {"charref2text", u"&#xg", 4},
      {"charref2text", u"&#x0xg", 6},
      {"charref2text", u"&# 1", 4},
      {"untobbleJ", u"a\\", 1},
      {"untobbleJ", u"a\\u12", 1},
      {"untobbleJ", u"a\\u12\n", 6},
      {"untobbleJ", u"a\\u 0x", 1},
      {"untobbleJ", u"a\\u3g", 5},
      {"untobbleJ", u"a\\u\\u1", 3},
      {"untobbleJ", u"a\\U1234", 7},  // no long form
      {"untobbleC", u"a\\U1234", 1},
      {"untobbleC", u"a\\U12345g", 9},
      {"URLdecode", u"a%", 1},
      {"URLdecode", u"a%4", 1},
      {"URLdecode", u"a%4g", 4},
      {"URLdecode", u"a%E3%81", 1},
      {"URLdecode", u"a%E3 ", 5},
      {"tobbleJ", u"a\xD83D", 2},
      {"tobbleC", u"a\xD83D", 1},
      {"text2charref", u"a\xD83D", 1},
      {"URLencode", u"a\xD83D", 1},
  };
  for (const Case& c : cases) {
    const Filter& filter = *FindFilter(c.filter);
    for (const Conversion convert : {filter.convert, filter.scalar}) {
      std::vector<char16_t> out(OutputBound(filter, c.text.size()));
      const Progress done = convert(c.text.data(), c.text.size(), out.data(), false);
      EXPECT_EQ(done.read, c.read) << c.filter << " on " << testing::ShowUnits(c.text)
                                   << (convert == filter.scalar ? ", plain" : ", fast");
    }
  }
}

}  // namespace
}  // namespace tobble::lib
