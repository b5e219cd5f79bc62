// The tool's transcoders: every one this processor runs against the plain
// one, byte for byte and unit for unit, on every code point, on random texts
// made of the pieces that matter to vector code (runs of ASCII around the
// vector widths, sequences of each length, surrogates, invalid bytes), and
// through the streaming pipeline; and that the ones that run are all those
// the processor has the instructions for. The win64 build runs these tests
// under Wine too, on the kernels as the Windows compiler builds them.
#include <cpuid.h>
#include <gtest/gtest.h>

#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "filters/common/surrogate.h"
#include "filters/filters.h"
#include "lib/stream.h"
#include "lib/transcode.h"
#include "tests/support/gtest_convert.h"
#include "tests/support/utf.h"

namespace tobble::lib {
namespace {

using testing::AppendUtf8;

const uint8_t* Bytes(const std::string& s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

std::vector<const Transcoder*> Transcoders() {
  const TranscoderList list = AvailableTranscoders();
  return std::vector<const Transcoder*>(list.items, list.items + list.size);
}

const Transcoder& Plain() {
  return *Transcoders().front();
}

// Into a buffer of exactly the room the contract gives, a unit a byte, so
// that the sanitizers catch a store beyond it.
std::u16string Decode(const Transcoder& transcoder, const std::string& bytes) {
  std::vector<char16_t> units(bytes.size());
  const size_t written = transcoder.decode_utf8(Bytes(bytes), bytes.size(), units.data());
  EXPECT_LE(written, units.size());
  return std::u16string(units.begin(), units.begin() + written);
}

struct EncodeResult {
  size_t read;
  std::string bytes;
  bool operator==(const EncodeResult& other) const {
    return read == other.read && bytes == other.bytes;
  }
};

// Into a buffer of exactly the room the contract gives, 3 bytes a unit, so
// that the sanitizers catch a store beyond it.
EncodeResult Encode(const Transcoder& transcoder, const std::u16string& units) {
  std::vector<uint8_t> bytes(3 * units.size());
  const Encoded done = transcoder.encode_utf8(units.data(), units.size(), bytes.data());
  EXPECT_LE(done.written, bytes.size());
  return {done.read, std::string(bytes.begin(), bytes.begin() + done.written)};
}

// Every code point but the surrogates, in UTF-8 and in UTF-16, one after the
// other, so that every length meets every other at every offset.
TEST(Transcoder, EveryCodePointBothWays) {
  std::string bytes;
  std::u16string units;
  for (uint32_t c = 0; c <= 0x10FFFF; ++c) {
    if (IsHighSurrogate(c) || IsLowSurrogate(c)) continue;
    AppendUtf8(bytes, c);
    if (c < 0x10000) {
      units += static_cast<char16_t>(c);
    } else {
      units += HighSurrogateOf(c);
      units += LowSurrogateOf(c);
    }
  }
  for (const Transcoder* transcoder : Transcoders()) {
    SCOPED_TRACE(transcoder->name);
    EXPECT_EQ(transcoder->valid_utf8(Bytes(bytes), bytes.size()), bytes.size());
    EXPECT_TRUE(Decode(*transcoder, bytes) == units);
    const EncodeResult encoded = Encode(*transcoder, units);
    EXPECT_EQ(encoded.read, units.size());
    EXPECT_TRUE(encoded.bytes == bytes);
  }
}

// Sequences that are not valid UTF-8, each placed at every offset of a text
// of ASCII or of multi-byte sequences, so that it falls at every lane of a
// vector and across the blocks that vector code works in: the valid prefix
// ends exactly where it begins.
TEST(Transcoder, FindsEachInvalidSequenceAtEveryOffset) {
  struct Invalid {
    const char* bytes;
    size_t valid;  // of its bytes, those that are still valid
  };
  const Invalid invalid[] = {
      {"\x80", 0},
      {"\xBF", 0},
      {"\xC0\x80", 0},
      {"\xC1\xBF", 0},
      {"\xC2", 0},
      {"\xC2\x41", 0},
      {"\xC2\xC2\x80", 0},
      {"\xE0\x80\x80", 0},
      {"\xE0\x9F\xBF", 0},
      {"\xED\xA0\x80", 0},
      {"\xED\xBF\xBF", 0},
      {"\xE3\x81", 0},
      {"\xE3\x81\x41", 0},
      {"\xEF\xBF", 0},
      {"\xF0\x8F\xBF\xBF", 0},
      {"\xF4\x90\x80\x80", 0},
      {"\xF5\x80\x80\x80", 0},
      {"\xF0\x9F\x98", 0},
      {"\xF0\x9F\x98\x41", 0},
      {"\xFF", 0},
      {"\xE3\x81\x82\x80", 3},  // a continuation too many
      {"\xF0\x9F\x98\x80\xBF", 4},
  };
  const std::string fillers[] = {"a", "\xC3\xA9", "\xE3\x81\x82", "\xF0\x9F\x98\x80",
                                 "\xE3\x81\x82z"};
  // Offsets around the vector widths, and around the end of the SSE2
  // transcoder's first stretch of non-ASCII text (512 bytes).
  std::vector<size_t> offsets;
  for (size_t offset = 0; offset < 150; ++offset) offsets.push_back(offset);
  for (size_t offset = 490; offset < 530; ++offset) offsets.push_back(offset);
  for (const std::string& filler : fillers) {
    for (const size_t offset : offsets) {
      std::string text;
      while (text.size() < offset) text += filler;
      const size_t at = text.size();
      for (const Invalid& bad : invalid) {
        std::string bytes = text + bad.bytes;
        while (bytes.size() < at + 100) bytes += filler;
        for (const Transcoder* transcoder : Transcoders()) {
          EXPECT_EQ(transcoder->valid_utf8(Bytes(bytes), bytes.size()), at + bad.valid)
              << transcoder->name << ", " << ::testing::PrintToString(bad.bytes) << " after " << at
              << " bytes of " << ::testing::PrintToString(filler);
        }
      }
    }
  }
}

// Random UTF-8 made of pieces: runs of ASCII of lengths around the vector
// widths, sequences of every length with values at their limits, and, when
// `invalid`, bytes that break the text.
std::string RandomUtf8(std::mt19937& random, bool invalid) {
  const std::string pieces[] = {
      "\xC2\x80",         "\xDF\xBF",         "\xC3\xA9",     "\xE0\xA0\x80", "\xED\x9F\xBF",
      "\xEE\x80\x80",     "\xEF\xBF\xBF",     "\xE3\x81\x82", "\xE3\x80\x81", "\xF0\x90\x80\x80",
      "\xF4\x8F\xBF\xBF", "\xF0\x9F\x98\x80", "\xE2\x80\x8D", "\xEF\xB8\x8F", "\n",
      "\\u3042"};
  const std::string broken[] = {"\x80",         "\xC2",     "\xE3\x81", "\xF0\x9F\x98",
                                "\xED\xA0\x80", "\xC0\xAF", "\xF5",     "\xFF"};
  std::string text;
  const int count = std::uniform_int_distribution<int>(0, 60)(random);
  for (int k = 0; k < count; ++k) {
    const int kind = std::uniform_int_distribution<int>(0, 9)(random);
    if (kind < 3) {
      const int run = std::uniform_int_distribution<int>(0, 70)(random);
      for (int r = 0; r < run; ++r) text += static_cast<char>('!' + (r * 7 + k) % 90);
    } else if (kind < 9 || !invalid) {
      text += pieces[std::uniform_int_distribution<size_t>(0, std::size(pieces) - 1)(random)];
    } else {
      text += broken[std::uniform_int_distribution<size_t>(0, std::size(broken) - 1)(random)];
    }
  }
  return text;
}

TEST(Transcoder, AgreesWithThePlainOneOnRandomUtf8) {
  std::mt19937 random(20261208);
  for (int round = 0; round < 4000; ++round) {
    const std::string bytes = RandomUtf8(random, round % 2 == 1);
    const size_t valid = Plain().valid_utf8(Bytes(bytes), bytes.size());
    const std::string prefix = bytes.substr(0, valid);
    const std::u16string units = Decode(Plain(), prefix);
    for (const Transcoder* transcoder : Transcoders()) {
      ASSERT_EQ(transcoder->valid_utf8(Bytes(bytes), bytes.size()), valid)
          << transcoder->name << ": " << ::testing::PrintToString(bytes);
      ASSERT_TRUE(Decode(*transcoder, prefix) == units)
          << transcoder->name << ": " << ::testing::PrintToString(prefix);
      ASSERT_TRUE(Encode(*transcoder, units) == (EncodeResult{units.size(), prefix}))
          << transcoder->name << ": " << ::testing::PrintToString(prefix);
    }
  }
}

// Invalid bytes given to the decoder anyway: whatever it writes, it stays
// within its bounds (the sanitizers watch), and ASCII comes through.
TEST(Transcoder, DecodesInvalidBytesWithinBounds) {
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    std::string bytes(std::uniform_int_distribution<size_t>(0, 200)(random), '\0');
    for (char& b : bytes) b = static_cast<char>(random() % 4 == 0 ? 'a' : 0x80 + random() % 128);
    for (const Transcoder* transcoder : Transcoders()) {
      std::vector<char16_t> units(bytes.size() + 1, u'\0');
      const size_t written = transcoder->decode_utf8(Bytes(bytes), bytes.size(), units.data());
      EXPECT_LE(written, bytes.size()) << transcoder->name;
    }
  }
}

// Random UTF-16 biased to what changes the encoding: ASCII runs, each form
// length, surrogate pairs, lone surrogates of both kinds, and a high
// surrogate at the very end.
std::u16string RandomUnits(std::mt19937& random) {
  const char16_t singles[] = {u'a',      u'\x7F',   u'\x80',   u'\xE9',   u'\x7FF',
                              u'\x800',  u'\x3042', u'\xD7FF', u'\xE000', u'\xFFFD',
                              u'\xFFFF', u'\xD800', u'\xDBFF', u'\xDC00', u'\xDFFF'};
  std::u16string units;
  const int count = std::uniform_int_distribution<int>(0, 50)(random);
  for (int k = 0; k < count; ++k) {
    const int kind = std::uniform_int_distribution<int>(0, 9)(random);
    if (kind < 3) {
      const int run = std::uniform_int_distribution<int>(0, 40)(random);
      for (int r = 0; r < run; ++r) units += static_cast<char16_t>('0' + r % 40);
    } else if (kind < 5) {
      units += u"\xD83D\xDE00";
    } else {
      units += singles[std::uniform_int_distribution<size_t>(0, std::size(singles) - 1)(random)];
    }
  }
  return units;
}

TEST(Transcoder, EncodesLikeThePlainOneUpToTheFirstLoneSurrogate) {
  std::mt19937 random(42);
  int stopped_early = 0;
  for (int round = 0; round < 20000; ++round) {
    const std::u16string units = RandomUnits(random);
    const EncodeResult expected = Encode(Plain(), units);
    stopped_early += expected.read < units.size();
    for (const Transcoder* transcoder : Transcoders()) {
      ASSERT_TRUE(Encode(*transcoder, units) == expected) << transcoder->name;
    }
    // Where it stopped: a surrogate without its partner.
    if (expected.read < units.size()) {
      const char16_t u = units[expected.read];
      const bool paired = IsHighSurrogate(u) && expected.read + 1 < units.size() &&
                          IsLowSurrogate(units[expected.read + 1]);
      EXPECT_TRUE((IsHighSurrogate(u) || IsLowSurrogate(u)) && !paired);
    }
  }
  EXPECT_GT(stopped_early, 1000);
}

// Every length up to a few vector widths of text that takes the most room
// (three-byte units, pairs), so that the last stores fall at the end of the
// room.
TEST(Transcoder, StaysWithinItsRoomAtEveryLength) {
  const std::u16string fills[] = {u"\x3042", u"\xD83D\xDE00", u"\x3042\xD83D\xDE00", u"a\x3042",
                                  u"\x7FF"};
  for (const std::u16string& fill : fills) {
    std::u16string units;
    while (units.size() < 80) {
      const EncodeResult expected = Encode(Plain(), units);
      std::string bytes = expected.bytes;
      for (const Transcoder* transcoder : Transcoders()) {
        EXPECT_TRUE(Encode(*transcoder, units) == expected) << transcoder->name;
        EXPECT_TRUE(Decode(*transcoder, bytes) == units.substr(0, expected.read))
            << transcoder->name;
      }
      units += fill;
    }
  }
}

// Decoding writes fewest units a byte with ASCII, most with four-byte
// sequences: ASCII, then four-byte sequences, then a little ASCII, at
// every length around the block sizes, so that the last stores fall at the
// end of the room.
TEST(Transcoder, DecodesWithinItsRoomAtEveryLength) {
  for (size_t ascii = 0; ascii < 100; ++ascii) {
    for (size_t pairs = 1; pairs < 12; ++pairs) {
      for (size_t tail = 0; tail < 4; ++tail) {
        const std::string bytes = std::string(ascii, 'a') + [&] {
          std::string emoji;
          for (size_t k = 0; k < pairs; ++k) emoji += "\xF0\x9F\x98\x80";
          return emoji;
        }() + std::string(tail, 'z');
        const std::u16string expected = Decode(Plain(), bytes);
        for (const Transcoder* transcoder : Transcoders()) {
          EXPECT_TRUE(Decode(*transcoder, bytes) == expected) << transcoder->name;
        }
      }
    }
  }
}

// The stream with each transcoder gives what it gives with the plain one:
// strict verdicts in pieces, and conversions in replace mode of texts with
// bytes that are not valid UTF-8 and lone surrogates in the result.
TEST(Transcoder, EveryOneStreamsAlike) {
  std::mt19937 random(99);
  const Filter* filters[] = {FindFilter("untobbleJ"), FindFilter("tobbleC")};
  for (int round = 0; round < 300; ++round) {
    std::string text;
    for (int k = 0; k < 20; ++k) text += RandomUtf8(random, round % 3 == 0);
    text += "\\ud800 \\udc00x\\ud83d";
    const size_t piece = std::uniform_int_distribution<size_t>(1, 300)(random);
    std::vector<std::string> outputs;
    for (const Transcoder* transcoder : Transcoders()) {
      for (const Filter* filter : filters) {
        ASSERT_NE(filter, nullptr);
        for (const bool replace : {false, true}) {
          lib::StringSink sink;
          const lib::StreamSizes sizes = {kMaxTail + 1, 64};
          std::vector<uint8_t> workspace(lib::StreamConverter::WorkspaceBytes(*filter, sizes));
          lib::StreamConverter converter(*filter, lib::Encoding::kUtf8, replace, sink,
                                         workspace.data(), sizes, *transcoder);
          tobble_status status = TOBBLE_OK;
          for (size_t at = 0; status == TOBBLE_OK && at < text.size(); at += piece) {
            status = converter.Feed(Bytes(text) + at, std::min(piece, text.size() - at));
          }
          if (status == TOBBLE_OK) status = converter.Finish();
          outputs.push_back(sink.text + "/" + std::to_string(status) + "/" +
                            std::to_string(converter.error_offset()) + "/" +
                            std::to_string(converter.replaced_input()) + "/" +
                            std::to_string(converter.replaced_surrogates()));
        }
      }
    }
    const size_t per_transcoder = 2 * std::size(filters);
    for (size_t k = per_transcoder; k < outputs.size(); ++k) {
      ASSERT_EQ(outputs[k], outputs[k % per_transcoder]) << Transcoders()[k / per_transcoder]->name;
    }
  }
}

// What the processor reports, asked directly rather than through the
// compiler's probe that the transcoders are chosen by: SSSE3 and SSE4.1
// (CPUID 1, ECX bits 9 and 19), AVX2 (CPUID 7, EBX bit 5) where the system
// saves the 32-byte registers (CPUID 1, ECX bit 27, OSXSAVE; then XCR0 bits
// 1 and 2), and AVX-512 BW and VL (CPUID 7, EBX bits 30 and 31), VBMI and
// VBMI2 (ECX bits 1 and 6), BMI2 (EBX bit 8) and POPCNT (CPUID 1, ECX bit
// 23) where it also saves the 64-byte ones (XCR0 bits 5 to 7).
struct ProcessorReport {
  bool sse41 = false;
  bool avx2 = false;
  bool avx512 = false;
};

ProcessorReport AskProcessor() {
  ProcessorReport report;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return report;
  report.sse41 = (ecx >> 9 & 1) != 0 && (ecx >> 19 & 1) != 0;
  const bool popcnt = (ecx >> 23 & 1) != 0;
  unsigned xcr0 = 0;
  if ((ecx >> 27 & 1) != 0) {
    unsigned high = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(high) : "c"(0));
  }
  if (__get_cpuid_max(0, nullptr) >= 7) {
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    report.avx2 = (xcr0 & 6) == 6 && (ebx >> 5 & 1) != 0;
    report.avx512 = report.avx2 && (xcr0 & 0xE0) == 0xE0 && (ebx >> 30 & 3) == 3 &&
                    (ecx >> 1 & 1) != 0 && (ecx >> 6 & 1) != 0 && (ebx >> 8 & 1) != 0 && popcnt;
  }
  return report;
}

// The transcoders that run here are those the processor has the
// instructions for, each needing those of the ones before it, the fastest
// last; the log names them, so that a run that skipped a kernel shows it.
TEST(Transcoder, RunsEveryOneTheProcessorHas) {
  std::vector<std::string> names;
  std::string line;
  for (const Transcoder* transcoder : Transcoders()) {
    names.push_back(transcoder->name);
    line += (line.empty() ? "" : ", ") + names.back();
  }
  std::cout << "transcoders: " << line << std::endl;
  RecordProperty("transcoders", line);

  const ProcessorReport processor = AskProcessor();
  std::vector<std::string> expected = {"plain", "SSE2"};
  if (processor.sse41) expected.push_back("SSE4.1");
  if (processor.sse41 && processor.avx2) expected.push_back("AVX2");
  if (processor.sse41 && processor.avx512) expected.push_back("AVX-512");
  EXPECT_EQ(names, expected);
  EXPECT_EQ(&FastestTranscoder(), Transcoders().back());
}

// Each transcoder checks and decodes with code of its own (a faster one
// that quietly ran the code of the one before it would pass every other
// test); AVX2 and AVX-512 share SSE4.1's encoder by design.
TEST(Transcoder, EachChecksAndDecodesWithItsOwnCode) {
  const std::vector<const Transcoder*> transcoders = Transcoders();
  for (size_t k = 0; k < transcoders.size(); ++k) {
    for (size_t j = k + 1; j < transcoders.size(); ++j) {
      EXPECT_NE(transcoders[k]->valid_utf8, transcoders[j]->valid_utf8)
          << transcoders[k]->name << ", " << transcoders[j]->name;
      EXPECT_NE(transcoders[k]->decode_utf8, transcoders[j]->decode_utf8)
          << transcoders[k]->name << ", " << transcoders[j]->name;
    }
  }
}

}  // namespace
}  // namespace tobble::lib
