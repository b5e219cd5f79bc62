// The C interface of include/tobble.h as a program using it meets it: every
// error path, and streams in every encoding and mode against the tests'
// plain codec.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tobble.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "filters/filters.h"
#include "tests/support/gtest_convert.h"
#include "tests/support/random_text.h"
#include "tests/support/utf.h"

namespace {

// ---------------------------------------------------------------------------
// Plain references.

// The tests' plain codec (tests/support/utf.h).
using tobble::testing::ReadUtf16;
using tobble::testing::ReadUtf8;
using tobble::testing::WriteUtf16;
using tobble::testing::WriteUtf8;
using Read = tobble::testing::Utf8Reading;

// The filter's whole-text conversion through tobble_convert.
std::u16string ConvertWhole(const tobble_filter* filter, const std::u16string& text) {
  std::vector<uint16_t> out(tobble_output_bound(filter, text.size()));
  size_t read = 0, written = 0;
  const tobble_status status =
      tobble_convert(filter, reinterpret_cast<const uint16_t*>(text.data()), text.size(),
                     out.data(), out.size(), 1, &read, &written);
  EXPECT_EQ(status, TOBBLE_OK);
  EXPECT_EQ(read, text.size());
  return std::u16string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(written));
}

std::vector<const tobble_filter*> AllFilters() {
  std::vector<const tobble_filter*> filters;
  for (size_t i = 0; i < tobble_filter_count(); ++i) filters.push_back(tobble_filter_at(i));
  return filters;
}

// ---------------------------------------------------------------------------
// Running a stream.

struct Collector {
  std::string bytes;
  size_t largest = 0;
  int calls = 0;                  // that succeeded
  int calls_before_failure = -1;  // fails from then on; -1 never
};

int Collect(void* context, const uint8_t* bytes, size_t n) {
  auto* c = static_cast<Collector*>(context);
  EXPECT_GT(n, 0u);
  if (c->calls_before_failure == 0) return 1;
  if (c->calls_before_failure > 0) --c->calls_before_failure;
  c->bytes.append(reinterpret_cast<const char*>(bytes), n);
  c->largest = std::max(c->largest, n);
  ++c->calls;
  return 0;
}

struct StreamRun {
  tobble_status status;  // the first that was not TOBBLE_OK, else finish's
  std::string out;
  uint64_t error_offset, bytes_in, bytes_out, replaced_input, replaced_surrogates;
};

// Feeds the input in pieces of the given sizes (cycled), then finishes.
StreamRun RunStream(const tobble_filter* filter, tobble_encoding encoding, unsigned flags,
                    const std::string& input, const std::vector<size_t>& pieces) {
  Collector collector;
  tobble_stream* stream = nullptr;
  EXPECT_EQ(tobble_stream_create(filter, encoding, flags, Collect, &collector, &stream), TOBBLE_OK);
  tobble_status status = TOBBLE_OK;
  for (size_t at = 0, k = 0; at < input.size() && status == TOBBLE_OK; ++k) {
    const size_t size = std::min(pieces[k % pieces.size()], input.size() - at);
    status = tobble_stream_feed(stream, input.data() + at, size);
    at += size;
  }
  if (status == TOBBLE_OK) status = tobble_stream_finish(stream);
  // Once stopped, the stream takes nothing more.
  EXPECT_EQ(tobble_stream_feed(stream, "a", 1), TOBBLE_ERROR_FINISHED);
  EXPECT_EQ(tobble_stream_finish(stream), TOBBLE_ERROR_FINISHED);
  EXPECT_LE(collector.largest, 256u * 1024);
  StreamRun run{status,
                collector.bytes,
                tobble_stream_error_offset(stream),
                tobble_stream_bytes_in(stream),
                tobble_stream_bytes_out(stream),
                tobble_stream_replaced_input(stream),
                tobble_stream_replaced_surrogates(stream)};
  EXPECT_EQ(run.bytes_out, run.out.size());
  tobble_stream_destroy(stream);
  return run;
}

const std::vector<std::vector<size_t>> kPieceSizes = {{1}, {2}, {3}, {5, 1, 64}, {1 << 20}};

// ---------------------------------------------------------------------------
// The filters and status codes.

TEST(Filters, EachIsFoundByItsNameAndOnlyByIt) {
  ASSERT_EQ(tobble_filter_count(), tobble::kFilterCount);
  for (size_t i = 0; i < tobble_filter_count(); ++i) {
    const tobble_filter* filter = tobble_filter_at(i);
    ASSERT_NE(filter, nullptr);
    const std::string name = tobble_filter_name(filter);
    EXPECT_EQ(tobble_filter_find(name.c_str()), filter) << name;
    EXPECT_NE(tobble_filter_name_en(filter), nullptr);
    EXPECT_NE(tobble_filter_key(filter), 0);
    ASSERT_NE(tobble_filter_example(filter), nullptr);
    EXPECT_NE(tobble_filter_example(filter)[0], 0) << name;
    std::string other_case = name;
    for (char& c : other_case) c = static_cast<char>(c ^ 0x20);
    EXPECT_EQ(tobble_filter_find(other_case.c_str()), nullptr) << other_case;
    // A longer or shorter name finds only the filter of exactly that name
    // ("text2charref" and "text2charrefx" are both filters).
    for (const std::string& near : {name + "x", name.substr(0, name.size() - 1)}) {
      const tobble_filter* found = tobble_filter_find(near.c_str());
      EXPECT_TRUE(found == nullptr || tobble_filter_name(found) == near) << near;
    }
  }
  EXPECT_STREQ(tobble_filter_name_en(tobble_filter_find("charref2text")), "HTMLunescape");
  EXPECT_EQ(tobble_filter_key(tobble_filter_find("tobbleJ")), 'A');
  EXPECT_EQ(tobble_filter_at(tobble_filter_count()), nullptr);
  EXPECT_EQ(tobble_filter_at(static_cast<size_t>(-1)), nullptr);
  EXPECT_EQ(tobble_filter_find(nullptr), nullptr);
  EXPECT_EQ(tobble_filter_find(""), nullptr);
  EXPECT_EQ(tobble_filter_name(nullptr), nullptr);
  EXPECT_EQ(tobble_filter_name_en(nullptr), nullptr);
  EXPECT_EQ(tobble_filter_key(nullptr), 0);
  EXPECT_EQ(tobble_filter_example(nullptr), nullptr);
}

TEST(Status, EveryCodeHasItsOwnMessage) {
  std::vector<std::string> messages;
  for (int s = TOBBLE_OK; s <= TOBBLE_ERROR_REENTERED; ++s) {
    const char* message = tobble_status_message(static_cast<tobble_status>(s));
    ASSERT_NE(message, nullptr);
    EXPECT_NE(std::string(message), "");
    for (const std::string& earlier : messages) EXPECT_NE(earlier, message);
    messages.push_back(message);
  }
  EXPECT_NE(tobble_status_message(static_cast<tobble_status>(1000)), nullptr);
  EXPECT_NE(tobble_status_message(static_cast<tobble_status>(-1)), nullptr);
  EXPECT_STREQ(tobble_version(), TOBBLE_EXPECTED_VERSION);
}

// The header's version macros and the library's tobble_version() against the
// VERSION file as it is now, read here.
TEST(Api, VersionMacrosAndFunctionAgreeWithTheVersionFile) {
  FILE* file = fopen(TOBBLE_VERSION_FILE, "r");
  ASSERT_NE(file, nullptr) << TOBBLE_VERSION_FILE;
  int major = -1, minor = -1, patch = -1;
  const int read = fscanf(file, "%d.%d.%d", &major, &minor, &patch);
  fclose(file);
  ASSERT_EQ(read, 3) << TOBBLE_VERSION_FILE;
  EXPECT_EQ(TOBBLE_VERSION_MAJOR, major);
  EXPECT_EQ(TOBBLE_VERSION_MINOR, minor);
  EXPECT_EQ(TOBBLE_VERSION_PATCH, patch);
  EXPECT_EQ(TOBBLE_VERSION_NUMBER, major * 10000 + minor * 100 + patch);
  const std::string written =
      std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
  EXPECT_EQ(tobble_version(), written);
}

// ---------------------------------------------------------------------------
// tobble_convert.

TEST(Convert, BoundGrowsWithTheInputAndRefusesWhatCannotBeAddressed) {
  for (const tobble_filter* filter : AllFilters()) {
    const size_t one = tobble_output_bound(filter, 0);
    EXPECT_GT(one, 0u);
    EXPECT_EQ(tobble_output_bound(filter, 999), 1000 * tobble_output_bound(filter, 1) / 2);
    EXPECT_EQ(tobble_output_bound(filter, SIZE_MAX), 0u);
    EXPECT_EQ(tobble_output_bound(filter, SIZE_MAX / 2), 0u);
  }
  EXPECT_EQ(tobble_output_bound(nullptr, 10), 0u);
}

TEST(Convert, RefusesBadArgumentsAndWritesNothing) {
  const tobble_filter* filter = tobble_filter_find("tobbleJ");
  const uint16_t in[3] = {0xE9, 'a', 0x3042};
  const size_t bound = tobble_output_bound(filter, 3);
  std::vector<uint16_t> out(bound, 0x55);
  struct Case {
    const char* what;
    const tobble_filter* filter;
    const uint16_t* in;
    size_t n;
    uint16_t* out;
    size_t capacity;
    tobble_status status;
  };
  const Case cases[] = {
      {"null filter", nullptr, in, 3, out.data(), bound, TOBBLE_ERROR_NULL_POINTER},
      {"null input", filter, nullptr, 3, out.data(), bound, TOBBLE_ERROR_NULL_POINTER},
      {"null output", filter, in, 3, nullptr, bound, TOBBLE_ERROR_NULL_POINTER},
      {"capacity one short", filter, in, 3, out.data(), bound - 1, TOBBLE_ERROR_CAPACITY},
      {"capacity 0", filter, in, 3, out.data(), 0, TOBBLE_ERROR_CAPACITY},
      {"too long", filter, in, SIZE_MAX, out.data(), SIZE_MAX, TOBBLE_ERROR_TOO_LONG},
      {"too long by half", filter, in, SIZE_MAX / 4, out.data(), SIZE_MAX, TOBBLE_ERROR_TOO_LONG},
  };
  for (const Case& c : cases) {
    size_t read = 7, written = 7;
    EXPECT_EQ(tobble_convert(c.filter, c.in, c.n, c.out, c.capacity, 1, &read, &written), c.status)
        << c.what;
    EXPECT_EQ(read, 0u) << c.what;
    EXPECT_EQ(written, 0u) << c.what;
    EXPECT_EQ(out, std::vector<uint16_t>(bound, 0x55)) << c.what;
  }
  // No input at all is fine, with or without a pointer, and null counts too.
  size_t written = 7;
  EXPECT_EQ(tobble_convert(filter, nullptr, 0, out.data(), bound, 1, nullptr, &written), TOBBLE_OK);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(tobble_convert(filter, in, 3, out.data(), bound, 1, nullptr, nullptr), TOBBLE_OK);
  EXPECT_EQ(std::u16string(out.begin(), out.begin() + 6), u"\\u00e9");
}

// Input and output that share memory are refused, in units and in bytes; a
// buffer that ends right where the other begins is fine.
TEST(Convert, RefusesOverlappingInputAndOutput) {
  const tobble_filter* filter = tobble_filter_find("tobbleJ");
  struct Case {
    const char* what;
    // Where out begins from in: out_sizes * out's size + in_sizes * in's
    // size + more, in units (bytes for tobble_convert_bytes).
    ptrdiff_t out_sizes, in_sizes, more;
    bool overlap;
  };
  const Case cases[] = {
      {"the same start", 0, 0, 0, true},
      {"out inside in", 0, 0, 1, true},
      {"out ending in in's first unit", -1, 0, 1, true},
      {"out ending right before in", -1, 0, 0, false},
      {"out starting right after in", 0, 1, 0, false},
  };
  const size_t n = 3;  // units of "a", or bytes of it
  for (const Case& c : cases) {
    const size_t capacity = tobble_output_bound(filter, n);
    std::vector<uint16_t> memory(4 * capacity, 'a');
    uint16_t* in = memory.data() + capacity + 1;
    const ptrdiff_t out_at = c.out_sizes * static_cast<ptrdiff_t>(capacity) +
                             c.in_sizes * static_cast<ptrdiff_t>(n) + c.more;
    size_t read = 7, written = 7;
    EXPECT_EQ(tobble_convert(filter, in, n, in + out_at, capacity, 1, &read, &written),
              c.overlap ? TOBBLE_ERROR_BAD_ARGUMENT : TOBBLE_OK)
        << c.what;
    EXPECT_EQ(written, c.overlap ? 0u : n) << c.what;

    const size_t byte_capacity = tobble_output_bytes_bound(filter, TOBBLE_UTF8, n);
    std::vector<uint8_t> bytes(4 * byte_capacity, 'a');
    uint8_t* at = bytes.data() + byte_capacity + 1;
    const ptrdiff_t bytes_out_at = c.out_sizes * static_cast<ptrdiff_t>(byte_capacity) +
                                   c.in_sizes * static_cast<ptrdiff_t>(n) + c.more;
    size_t error_offset = 7;
    written = 7;
    EXPECT_EQ(tobble_convert_bytes(filter, TOBBLE_UTF8, 0, at, n, at + bytes_out_at, byte_capacity,
                                   &written, &error_offset),
              c.overlap ? TOBBLE_ERROR_BAD_ARGUMENT : TOBBLE_OK)
        << c.what << ", bytes";
    EXPECT_EQ(written, c.overlap ? 0u : n) << c.what << ", bytes";
    EXPECT_EQ(error_offset, 0u) << c.what << ", bytes";
  }
}

TEST(Convert, PiecesGiveTheWholeConversion) {
  const std::u16string text =
      u"a\\u3042b&amp;c%E3%81%82d\xD83D\xDE00 \\ud83d\\ude00 &notin e\\U0001F600 \\u30";
  for (const tobble_filter* filter : AllFilters()) {
    const std::u16string whole = ConvertWhole(filter, text);
    for (size_t piece = 1; piece < 9; ++piece) {
      std::u16string pending, got;
      for (size_t at = 0; at <= text.size(); at += piece) {
        pending += text.substr(at, piece);
        const bool last = at + piece >= text.size();
        std::vector<uint16_t> out(tobble_output_bound(filter, pending.size()));
        size_t read = 0, written = 0;
        ASSERT_EQ(tobble_convert(filter, reinterpret_cast<const uint16_t*>(pending.data()),
                                 pending.size(), out.data(), out.size(), last, &read, &written),
                  TOBBLE_OK);
        got.append(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(written));
        ASSERT_LE(pending.size() - read, static_cast<size_t>(TOBBLE_MAX_TAIL));
        if (last) {
          ASSERT_EQ(read, pending.size());
        }
        pending.erase(0, read);
        if (last) break;
      }
      EXPECT_EQ(got, whole) << tobble_filter_name(filter) << ", pieces of " << piece;
    }
  }
}

// ---------------------------------------------------------------------------
// Encodings.

TEST(Encoding, NamesAreReadInAnyCaseWithOrWithoutTheHyphen) {
  const std::pair<const char*, tobble_encoding> good[] = {
      {"utf-8", TOBBLE_UTF8},       {"UTF8", TOBBLE_UTF8},        {"Utf-8", TOBBLE_UTF8},
      {"utf-16le", TOBBLE_UTF16LE}, {"UTF16LE", TOBBLE_UTF16LE},  {"utf16Le", TOBBLE_UTF16LE},
      {"utf-16be", TOBBLE_UTF16BE}, {"UTF-16BE", TOBBLE_UTF16BE}, {"utf16be", TOBBLE_UTF16BE},
  };
  for (const auto& [name, encoding] : good) {
    tobble_encoding parsed = static_cast<tobble_encoding>(99);
    EXPECT_EQ(tobble_encoding_parse(name, &parsed), TOBBLE_OK) << name;
    EXPECT_EQ(parsed, encoding) << name;
  }
  for (const char* name : {"", "utf", "utf-16", "utf_8", "utf--8", "utf-8 ", "latin1", "utf-32",
                           "utf-16-le", "xutf-8", "utf-8x", "utf-16lex", "UTF-16LEUTF-16LE"}) {
    tobble_encoding parsed = TOBBLE_UTF16BE;
    EXPECT_EQ(tobble_encoding_parse(name, &parsed), TOBBLE_ERROR_BAD_ARGUMENT) << name;
    EXPECT_EQ(parsed, TOBBLE_UTF16BE) << name;
  }
  tobble_encoding parsed;
  EXPECT_EQ(tobble_encoding_parse(nullptr, &parsed), TOBBLE_ERROR_NULL_POINTER);
  EXPECT_EQ(tobble_encoding_parse("utf-8", nullptr), TOBBLE_ERROR_NULL_POINTER);
  EXPECT_STREQ(tobble_encoding_name(TOBBLE_UTF8), "UTF-8");
  EXPECT_STREQ(tobble_encoding_name(TOBBLE_UTF16LE), "UTF-16LE");
  EXPECT_STREQ(tobble_encoding_name(TOBBLE_UTF16BE), "UTF-16BE");
  EXPECT_EQ(tobble_encoding_name(static_cast<tobble_encoding>(3)), nullptr);
  EXPECT_EQ(tobble_encoding_name(static_cast<tobble_encoding>(-1)), nullptr);
}

// ---------------------------------------------------------------------------
// Stream errors.

TEST(Stream, CreateRefusesBadArguments) {
  const tobble_filter* filter = tobble_filter_find("URLdecode");
  Collector collector;
  struct Case {
    const char* what;
    const tobble_filter* filter;
    int encoding;
    unsigned flags;
    tobble_write_fn write;
    tobble_status status;
  };
  const Case cases[] = {
      {"null filter", nullptr, TOBBLE_UTF8, 0, Collect, TOBBLE_ERROR_NULL_POINTER},
      {"null callback", filter, TOBBLE_UTF8, 0, nullptr, TOBBLE_ERROR_NULL_POINTER},
      {"encoding 3", filter, 3, 0, Collect, TOBBLE_ERROR_BAD_ARGUMENT},
      {"encoding -1", filter, -1, 0, Collect, TOBBLE_ERROR_BAD_ARGUMENT},
      {"flag 2", filter, TOBBLE_UTF8, 2, Collect, TOBBLE_ERROR_BAD_ARGUMENT},
      {"all flags", filter, TOBBLE_UTF16BE, ~0u, Collect, TOBBLE_ERROR_BAD_ARGUMENT},
  };
  for (const Case& c : cases) {
    tobble_stream* stream = reinterpret_cast<tobble_stream*>(&collector);
    EXPECT_EQ(tobble_stream_create(c.filter, static_cast<tobble_encoding>(c.encoding), c.flags,
                                   c.write, &collector, &stream),
              c.status)
        << c.what;
    EXPECT_EQ(stream, nullptr) << c.what;
  }
  EXPECT_EQ(tobble_stream_create(filter, TOBBLE_UTF8, 0, Collect, &collector, nullptr),
            TOBBLE_ERROR_NULL_POINTER);
  // A null context is the caller's business.
  tobble_stream* stream = nullptr;
  EXPECT_EQ(tobble_stream_create(filter, TOBBLE_UTF8, TOBBLE_REPLACE, Collect, nullptr, &stream),
            TOBBLE_OK);
  EXPECT_NE(stream, nullptr);
  tobble_stream_destroy(stream);
}

// The process's address space in bytes, from /proc/self/statm.
size_t AddressSpaceBytes() {
  unsigned long pages = 0;
  FILE* statm = fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  const int read = fscanf(statm, "%lu", &pages);
  fclose(statm);
  return read == 1 ? pages * static_cast<size_t>(sysconf(_SC_PAGESIZE)) : 0;
}

// With no address space left, create reports TOBBLE_ERROR_NO_MEMORY, leaves
// *stream null, and neither throws nor aborts. Run in a child process whose
// address space is capped just above what it already uses.
TEST(Stream, CreateReportsNoMemory) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlim_t cap = AddressSpaceBytes() + (1 << 20);
    const struct rlimit limit = {cap, cap};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(10);
    Collector collector;
    tobble_stream* stream = reinterpret_cast<tobble_stream*>(&collector);
    const tobble_status status = tobble_stream_create(tobble_filter_find("tobbleJ"), TOBBLE_UTF8, 0,
                                                      Collect, &collector, &stream);
    _exit(status == TOBBLE_ERROR_NO_MEMORY && stream == nullptr ? 0 : 11);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Stream, NullStreamsAndNullBytes) {
  EXPECT_EQ(tobble_stream_feed(nullptr, "a", 1), TOBBLE_ERROR_NULL_POINTER);
  EXPECT_EQ(tobble_stream_flush(nullptr), TOBBLE_ERROR_NULL_POINTER);
  EXPECT_EQ(tobble_stream_finish(nullptr), TOBBLE_ERROR_NULL_POINTER);
  EXPECT_EQ(tobble_stream_reset(nullptr), TOBBLE_ERROR_NULL_POINTER);
  EXPECT_EQ(tobble_stream_error_offset(nullptr), 0u);
  EXPECT_EQ(tobble_stream_bytes_in(nullptr), 0u);
  EXPECT_EQ(tobble_stream_bytes_out(nullptr), 0u);
  EXPECT_EQ(tobble_stream_replaced_input(nullptr), 0u);
  EXPECT_EQ(tobble_stream_replaced_surrogates(nullptr), 0u);
  tobble_stream_destroy(nullptr);

  Collector collector;
  tobble_stream* stream = nullptr;
  ASSERT_EQ(tobble_stream_create(tobble_filter_find("tobbleJ"), TOBBLE_UTF8, 0, Collect, &collector,
                                 &stream),
            TOBBLE_OK);
  EXPECT_EQ(tobble_stream_feed(stream, nullptr, 1), TOBBLE_ERROR_NULL_POINTER);
  EXPECT_EQ(tobble_stream_feed(stream, nullptr, 0), TOBBLE_OK);
  EXPECT_EQ(tobble_stream_feed(stream, "\xC3\xA9", 2), TOBBLE_OK);
  EXPECT_EQ(tobble_stream_finish(stream), TOBBLE_OK);
  EXPECT_EQ(collector.bytes, "\\u00e9");
  tobble_stream_destroy(stream);
}

// After finish, and after an error, a stream takes nothing until reset; then
// it converts a new input as a new stream would, with its counts from zero.
TEST(Stream, TakesNothingAfterTheEndUntilReset) {
  const tobble_filter* filter = tobble_filter_find("tobbleJ");
  for (const char* first : {"ok", "bad\xFF", "cut\xE3\x81"}) {
    for (const bool fail_write : {false, true}) {
      Collector collector;
      collector.calls_before_failure = fail_write ? 0 : -1;
      tobble_stream* stream = nullptr;
      ASSERT_EQ(tobble_stream_create(filter, TOBBLE_UTF8, 0, Collect, &collector, &stream),
                TOBBLE_OK);
      const std::string input = first;
      tobble_status status = tobble_stream_feed(stream, input.data(), input.size());
      if (status == TOBBLE_OK) status = tobble_stream_finish(stream);
      const bool valid = input == "ok";
      EXPECT_EQ(status, fail_write ? TOBBLE_ERROR_WRITE
                        : valid    ? TOBBLE_OK
                                   : TOBBLE_ERROR_INVALID_INPUT)
          << input;
      EXPECT_EQ(tobble_stream_feed(stream, "x", 1), TOBBLE_ERROR_FINISHED);
      EXPECT_EQ(tobble_stream_flush(stream), TOBBLE_ERROR_FINISHED);
      EXPECT_EQ(tobble_stream_finish(stream), TOBBLE_ERROR_FINISHED);
      EXPECT_EQ(collector.bytes, fail_write ? "" : input.substr(0, 3)) << input;

      collector = Collector();
      ASSERT_EQ(tobble_stream_reset(stream), TOBBLE_OK);
      EXPECT_EQ(tobble_stream_bytes_in(stream), 0u);
      EXPECT_EQ(tobble_stream_bytes_out(stream), 0u);
      EXPECT_EQ(tobble_stream_error_offset(stream), 0u);
      EXPECT_EQ(tobble_stream_feed(stream, "\xE3\x81\x82", 3), TOBBLE_OK);
      EXPECT_EQ(tobble_stream_finish(stream), TOBBLE_OK);
      EXPECT_EQ(collector.bytes, "\\u3042");
      EXPECT_EQ(tobble_stream_bytes_in(stream), 3u);
      EXPECT_EQ(tobble_stream_bytes_out(stream), 6u);
      tobble_stream_destroy(stream);
    }
  }
}

// Reset drops what the last input left: a cut sequence, a held surrogate,
// an escape cut short, output not yet written.
TEST(Stream, ResetDropsWhatWasHeld) {
  Collector collector;
  tobble_stream* stream = nullptr;
  ASSERT_EQ(tobble_stream_create(tobble_filter_find("untobbleJ"), TOBBLE_UTF8, 0, Collect,
                                 &collector, &stream),
            TOBBLE_OK);
  for (const char* held : {"\xE3\x81", "\\ud83d", "\\u30", "abc"}) {
    ASSERT_EQ(tobble_stream_reset(stream), TOBBLE_OK);
    collector = Collector();
    EXPECT_EQ(tobble_stream_feed(stream, held, strlen(held)), TOBBLE_OK);
    EXPECT_EQ(tobble_stream_reset(stream), TOBBLE_OK);
    EXPECT_EQ(tobble_stream_feed(stream, "\x82z", 2), TOBBLE_ERROR_INVALID_INPUT) << held;
    EXPECT_EQ(tobble_stream_error_offset(stream), 0u) << held;
    EXPECT_EQ(collector.bytes, "") << held;
  }
  tobble_stream_destroy(stream);
}

// A failing callback stops the stream wherever it fails: in feed, flush or
// finish, and in the end of an invalid input.
TEST(Stream, AFailedWriteStopsTheStream) {
  const tobble_filter* filter = tobble_filter_find("tobbleJ");
  const std::string big(1 << 20, 'a');
  for (int calls = 0; calls < 5; ++calls) {
    Collector collector;
    collector.calls_before_failure = calls;
    tobble_stream* stream = nullptr;
    ASSERT_EQ(tobble_stream_create(filter, TOBBLE_UTF8, 0, Collect, &collector, &stream),
              TOBBLE_OK);
    tobble_status status = TOBBLE_OK;
    int steps = 0;
    while (status == TOBBLE_OK && steps < 8) {
      ++steps;
      status = steps % 2 ? tobble_stream_feed(stream, big.data(), big.size())
                         : tobble_stream_flush(stream);
    }
    EXPECT_EQ(status, TOBBLE_ERROR_WRITE) << calls;
    EXPECT_EQ(tobble_stream_bytes_out(stream), collector.bytes.size());
    EXPECT_EQ(collector.calls, calls);
    EXPECT_EQ(tobble_stream_feed(stream, "a", 1), TOBBLE_ERROR_FINISHED);
    tobble_stream_destroy(stream);
  }
}

// ---------------------------------------------------------------------------
// Streams against the references.

// A text with every kind of token, valid UTF-8.
const std::string kTokens =
    "a\\u3042b\\U0001F600c&amp;d&#x41;&#65;e&notin f&notin;g%E3%81%82h+i%2Fj"
    "\xC3\xA9\xE3\x81\x82\xF0\x9F\x98\x80 \\ud83d\\ude00 \\ud800x\\udc00y\\ud83d"
    "&lt;&gt;&quot;'<>\"\r\n\tz\\\\u0041\\U0010FFFF%zz%E3%81&#x1F600;&#128512;";

// Broken bytes of every kind: bytes that start nothing, sequences cut short,
// overlong forms, surrogates, values above U+10FFFF.
const std::vector<std::string> kBroken = {"\x80",
                                          "\xBF",
                                          "\xC0\xAF",
                                          "\xC1",
                                          "\xC2",
                                          "\xE0\x80\x80",
                                          "\xE0\x9F",
                                          "\xE3\x81",
                                          "\xED\xA0\x80",
                                          "\xED\xBF",
                                          "\xF0\x8F\xBF\xBF",
                                          "\xF0\x9F\x98",
                                          "\xF4\x90\x80\x80",
                                          "\xF5\x80",
                                          "\xFF",
                                          "\xFE\xFE"};

std::string RandomBrokenText(std::mt19937& rng) {
  std::string text;
  const int parts = static_cast<int>(rng() % 24);
  for (int i = 0; i < parts; ++i) {
    const unsigned pick = rng() % 4;
    if (pick == 0) {
      text += kBroken[rng() % kBroken.size()];
    } else {
      const size_t at = rng() % kTokens.size();
      text += kTokens.substr(at, rng() % 12);
    }
  }
  return text;
}

TEST(Stream, ReplaceModeMatchesThePlainReading) {
  std::mt19937 rng(20261209);
  for (int round = 0; round < 300; ++round) {
    const std::string text = RandomBrokenText(rng);
    const Read read = ReadUtf8(text);
    for (const tobble_filter* filter : AllFilters()) {
      uint64_t lone = 0;
      const std::string expected = WriteUtf8(ConvertWhole(filter, read.units), &lone);
      const std::vector<size_t> pieces = {1 + rng() % 7, 1 + rng() % 3, 1 + rng() % 40};
      const StreamRun run = RunStream(filter, TOBBLE_UTF8, TOBBLE_REPLACE, text, pieces);
      ASSERT_EQ(run.status, TOBBLE_OK);
      ASSERT_EQ(run.out, expected)
          << tobble_filter_name(filter) << " on " << ::testing::PrintToString(text);
      ASSERT_EQ(run.replaced_input, read.replaced) << ::testing::PrintToString(text);
      ASSERT_EQ(run.replaced_surrogates, lone);
      ASSERT_EQ(run.bytes_in, text.size());
    }
  }
}

// Strict mode writes exactly the conversion of the valid prefix, as the end
// of the text, and reports the first byte of the first bad sequence.
TEST(Stream, StrictModeWritesTheValidPrefixAndStops) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    const std::string text = RandomBrokenText(rng);
    const Read read = ReadUtf8(text);
    const bool valid = read.first_invalid == text.size();
    const tobble_filter* filter = tobble_filter_at(rng() % tobble_filter_count());
    const std::u16string prefix_units = ReadUtf8(text.substr(0, read.first_invalid)).units;
    uint64_t lone = 0;
    const std::string expected = WriteUtf8(ConvertWhole(filter, prefix_units), &lone);
    for (const std::vector<size_t>& pieces : kPieceSizes) {
      const StreamRun run = RunStream(filter, TOBBLE_UTF8, 0, text, pieces);
      const std::string where = std::string(tobble_filter_name(filter)) + " on " +
                                ::testing::PrintToString(text) + ", pieces of " +
                                std::to_string(pieces[0]);
      ASSERT_EQ(run.status, valid ? TOBBLE_OK : TOBBLE_ERROR_INVALID_INPUT) << where;
      ASSERT_EQ(run.error_offset, valid ? 0 : read.first_invalid) << where;
      ASSERT_EQ(run.bytes_in, read.first_invalid) << where;
      ASSERT_EQ(run.out, expected) << where;
      ASSERT_EQ(run.replaced_surrogates, lone) << where;
      ASSERT_EQ(run.replaced_input, 0u) << where;
    }
  }
}

// The invalid byte right before, at and after the edges of the stream's
// read and output blocks (256 KiB) and of its conversion slices (32 Ki
// units), with multi-byte characters cut there too.
TEST(Stream, InvalidInputAtBlockBoundaries) {
  const tobble_filter* filter = tobble_filter_find("URLencode");
  for (size_t edge : {size_t{1} << 15, (size_t{1} << 15) + 64, size_t{1} << 18}) {
    for (size_t at = edge - 3; at <= edge + 3; ++at) {
      for (const char* bad : {"\xFF", "\xE3\x81", "\xED\xA0\x80"}) {
        std::string text;
        while (text.size() < at) {
          text += text.size() % 7 == 0 && at - text.size() >= 3 ? "\xE3\x81\x82" : "a";
        }
        text += bad;
        text += "after";
        const Read read = ReadUtf8(text.substr(0, at));
        ASSERT_EQ(read.replaced, 0u);
        uint64_t lone = 0;
        const std::string expected = WriteUtf8(ConvertWhole(filter, read.units), &lone);
        for (const std::vector<size_t>& pieces :
             {std::vector<size_t>{1 << 20}, std::vector<size_t>{4093}}) {
          const StreamRun run = RunStream(filter, TOBBLE_UTF8, 0, text, pieces);
          ASSERT_EQ(run.status, TOBBLE_ERROR_INVALID_INPUT) << at;
          ASSERT_EQ(run.error_offset, at) << at;
          ASSERT_TRUE(run.out == expected) << at << ", " << run.out.size() << " bytes written, "
                                           << expected.size() << " expected";
        }
      }
    }
  }
}

TEST(Stream, EndingInsideASequenceOrOnAnOddByte) {
  const tobble_filter* filter = tobble_filter_find("tobbleC");
  struct Case {
    tobble_encoding encoding;
    std::string input;
    uint64_t offset;
    std::string prefix_output;
    std::string replaced_output;
  };
  const Case cases[] = {
      {TOBBLE_UTF8, "ab\xE3\x81", 2, "ab", "ab\\ufffd"},
      {TOBBLE_UTF8, "\xF0\x9F\x98", 0, "", "\\ufffd"},
      {TOBBLE_UTF8, "x\xC3", 1, "x", "x\\ufffd"},
      {TOBBLE_UTF16LE, std::string("a\0b\0c", 5), 4, std::string("a\0b\0", 4),
       std::string("a\0b\0\\\0u\0f\0f\0f\0d\0", 16)},
      {TOBBLE_UTF16BE, std::string("\0a\0b\0", 5), 4, std::string("\0a\0b", 4),
       std::string("\0a\0b\0\\\0u\0f\0f\0f\0d", 16)},
  };
  for (const Case& c : cases) {
    for (const std::vector<size_t>& pieces : kPieceSizes) {
      const StreamRun strict = RunStream(filter, c.encoding, 0, c.input, pieces);
      EXPECT_EQ(strict.status, TOBBLE_ERROR_INVALID_INPUT);
      EXPECT_EQ(strict.error_offset, c.offset);
      EXPECT_EQ(strict.out, c.prefix_output);
      const StreamRun replaced = RunStream(filter, c.encoding, TOBBLE_REPLACE, c.input, pieces);
      EXPECT_EQ(replaced.status, TOBBLE_OK);
      EXPECT_EQ(replaced.out, c.replaced_output);
      EXPECT_EQ(replaced.replaced_input, 1u);
    }
  }
}

// UTF-16 in both byte orders, lone surrogates kept exactly; the same as
// UTF-8 wherever UTF-8 can hold the text.
TEST(Stream, Utf16InBothByteOrders) {
  std::u16string units = ReadUtf8(kTokens).units;
  units += u"\xD800x\xDC00\xDBFF";
  for (const tobble_filter* filter : AllFilters()) {
    const std::u16string converted = ConvertWhole(filter, units);
    for (const bool big : {false, true}) {
      for (const std::vector<size_t>& pieces : kPieceSizes) {
        const StreamRun run = RunStream(filter, big ? TOBBLE_UTF16BE : TOBBLE_UTF16LE, 0,
                                        WriteUtf16(units, big), pieces);
        ASSERT_EQ(run.status, TOBBLE_OK);
        ASSERT_EQ(ReadUtf16(run.out, big), converted) << tobble_filter_name(filter);
        ASSERT_EQ(run.replaced_surrogates, 0u);
      }
    }
  }
}

// flush() writes all output but what later input may still change.
TEST(Stream, FlushWritesAllButTheHeldTail) {
  struct Case {
    const char* filter;
    std::string input;
    std::string flushed;
  };
  const Case cases[] = {
      {"tobbleJ", "ab\xC3\xA9", "ab\\u00e9"},
      {"tobbleJ", "ab\xE3\x81", "ab"},   // a cut sequence stays
      {"untobbleJ", "ab\\u30", "ab"},    // an escape cut short stays
      {"untobbleJ", "ab\\ud83d", "ab"},  // a high surrogate stays
      {"URLdecode", "x%41%E3%81%82%", "xA\xE3\x81\x82"},
      // Only what later input could still change stays: an "&" before a
      // unit no reference goes on with is out at once, and so is an escape
      // whose field can no longer be a number.
      {"charref2text", "Tom & Jerry\n", "Tom & Jerry\n"},
      {"charref2text", "a &am", "a "},
      {"charref2text", "a &amp b", "a "},  // legacy "&amp" unless a ";" comes
      {"charref2text", "a &#x4", "a "},
      {"charref2text", "a &#x4\n&#12z &zz", "a &#x4\n&#12z &zz"},
      {"untobbleJ", "ab\\u12\n", "ab\\u12\n"},
      {"untobbleC", "ab\\U0001F6g", "ab\\U0001F6g"},
      {"untobbleC", "ab\\U 0x1F6", "ab"},
  };
  for (const Case& c : cases) {
    Collector collector;
    tobble_stream* stream = nullptr;
    ASSERT_EQ(tobble_stream_create(tobble_filter_find(c.filter), TOBBLE_UTF8, 0, Collect,
                                   &collector, &stream),
              TOBBLE_OK);
    EXPECT_EQ(tobble_stream_feed(stream, c.input.data(), c.input.size()), TOBBLE_OK);
    EXPECT_EQ(collector.bytes, "") << c.input;  // held until a block fills
    EXPECT_EQ(tobble_stream_flush(stream), TOBBLE_OK);
    EXPECT_EQ(collector.bytes, c.flushed) << c.input;
    EXPECT_EQ(tobble_stream_flush(stream), TOBBLE_OK);
    EXPECT_EQ(collector.bytes, c.flushed) << c.input;
    tobble_stream_destroy(stream);
  }
}

// ---------------------------------------------------------------------------
// A write callback that calls back into its own stream.

struct Reentrant {
  tobble_stream* stream = nullptr;
  tobble_status (*call)(tobble_stream*) = nullptr;
  std::string bytes;
  std::vector<tobble_status> statuses;  // of the calls from inside
};

int CallBack(void* context, const uint8_t* bytes, size_t n) {
  auto* r = static_cast<Reentrant*>(context);
  r->bytes.append(reinterpret_cast<const char*>(bytes), n);
  r->statuses.push_back(r->call(r->stream));
  return 0;
}

// Each call is refused and changes nothing: the stream writes what it would
// have written without them. A destroy from inside is ignored.
TEST(Stream, CallsFromItsOwnCallbackAreRefused) {
  const std::pair<const char*, tobble_status (*)(tobble_stream*)> calls[] = {
      {"feed", [](tobble_stream* s) { return tobble_stream_feed(s, "\xC3\xA9", 2); }},
      {"flush", [](tobble_stream* s) { return tobble_stream_flush(s); }},
      {"finish", [](tobble_stream* s) { return tobble_stream_finish(s); }},
      {"reset", [](tobble_stream* s) { return tobble_stream_reset(s); }},
      {"destroy",
       [](tobble_stream* s) {
         tobble_stream_destroy(s);
         return TOBBLE_ERROR_REENTERED;
       }},
  };
  const tobble_filter* filter = tobble_filter_find("tobbleJ");
  std::string input;
  for (int k = 0; k < 100000; ++k) input += "\xC3\xA9 a";  // several blocks of output
  input += "\xF0\x9F";                                     // a cut sequence, held to the end
  const StreamRun plain = RunStream(filter, TOBBLE_UTF8, TOBBLE_REPLACE, input, {1 << 20});
  for (const auto& [what, call] : calls) {
    Reentrant r;
    r.call = call;
    ASSERT_EQ(tobble_stream_create(filter, TOBBLE_UTF8, TOBBLE_REPLACE, CallBack, &r, &r.stream),
              TOBBLE_OK);
    EXPECT_EQ(tobble_stream_feed(r.stream, input.data(), input.size()), TOBBLE_OK) << what;
    EXPECT_EQ(tobble_stream_flush(r.stream), TOBBLE_OK) << what;
    EXPECT_EQ(tobble_stream_finish(r.stream), TOBBLE_OK) << what;
    EXPECT_EQ(r.bytes, plain.out) << what;
    EXPECT_EQ(tobble_stream_bytes_out(r.stream), plain.out.size()) << what;
    EXPECT_EQ(tobble_stream_replaced_input(r.stream), 1u) << what;
    EXPECT_GT(r.statuses.size(), 2u) << what;
    EXPECT_EQ(r.statuses, std::vector<tobble_status>(r.statuses.size(), TOBBLE_ERROR_REENTERED))
        << what;
    // Called from outside again, each works.
    EXPECT_EQ(tobble_stream_reset(r.stream), TOBBLE_OK) << what;
    EXPECT_EQ(tobble_stream_bytes_out(r.stream), 0u) << what;
    tobble_stream_destroy(r.stream);
  }
}

// ---------------------------------------------------------------------------
// tobble_convert_bytes.

TEST(ConvertBytes, RefusesBadArgumentsAndWritesNothing) {
  const tobble_filter* filter = tobble_filter_find("tobbleJ");
  const char in[] = "a\xC3\xA9";
  const size_t bound = tobble_output_bytes_bound(filter, TOBBLE_UTF8, 3);
  std::vector<uint8_t> out(bound, 0x55);
  struct Case {
    const char* what;
    const tobble_filter* filter;
    int encoding;
    unsigned flags;
    const char* in;
    size_t n;
    uint8_t* out;
    size_t capacity;
    tobble_status status;
  };
  const Case cases[] = {
      {"null filter", nullptr, TOBBLE_UTF8, 0, in, 3, out.data(), bound, TOBBLE_ERROR_NULL_POINTER},
      {"null input", filter, TOBBLE_UTF8, 0, nullptr, 3, out.data(), bound,
       TOBBLE_ERROR_NULL_POINTER},
      {"null output", filter, TOBBLE_UTF8, 0, in, 3, nullptr, bound, TOBBLE_ERROR_NULL_POINTER},
      {"encoding", filter, 3, 0, in, 3, out.data(), bound, TOBBLE_ERROR_BAD_ARGUMENT},
      {"negative encoding", filter, -1, 0, in, 3, out.data(), bound, TOBBLE_ERROR_BAD_ARGUMENT},
      {"flags", filter, TOBBLE_UTF8, 2, in, 3, out.data(), bound, TOBBLE_ERROR_BAD_ARGUMENT},
      {"capacity one short", filter, TOBBLE_UTF8, 0, in, 3, out.data(), bound - 1,
       TOBBLE_ERROR_CAPACITY},
      {"too long", filter, TOBBLE_UTF8, 0, in, SIZE_MAX, out.data(), SIZE_MAX,
       TOBBLE_ERROR_TOO_LONG},
      {"too long in UTF-16", filter, TOBBLE_UTF16LE, 0, in, SIZE_MAX / 3, out.data(), SIZE_MAX,
       TOBBLE_ERROR_TOO_LONG},
  };
  for (const Case& c : cases) {
    size_t written = 7, error_offset = 7;
    EXPECT_EQ(tobble_convert_bytes(c.filter, static_cast<tobble_encoding>(c.encoding), c.flags,
                                   c.in, c.n, c.out, c.capacity, &written, &error_offset),
              c.status)
        << c.what;
    EXPECT_EQ(written, 0u) << c.what;
    EXPECT_EQ(error_offset, 0u) << c.what;
    EXPECT_EQ(out, std::vector<uint8_t>(bound, 0x55)) << c.what;
  }
  EXPECT_EQ(tobble_output_bytes_bound(nullptr, TOBBLE_UTF8, 3), 0u);
  EXPECT_EQ(tobble_output_bytes_bound(filter, static_cast<tobble_encoding>(3), 3), 0u);
  EXPECT_EQ(tobble_output_bytes_bound(filter, TOBBLE_UTF8, SIZE_MAX / 4), 0u);
  // No input at all, with or without a pointer, and null counts.
  size_t written = 7;
  EXPECT_EQ(tobble_convert_bytes(filter, TOBBLE_UTF8, 0, nullptr, 0, out.data(), bound, &written,
                                 nullptr),
            TOBBLE_OK);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(
      tobble_convert_bytes(filter, TOBBLE_UTF8, 0, in, 3, out.data(), bound, nullptr, nullptr),
      TOBBLE_OK);
  EXPECT_EQ(std::string(out.begin(), out.begin() + 7), "a\\u00e9");
}

// The bytes of a text of units in an encoding, spoiled now and then: UTF-8
// with surrogates written as three bytes, stray and cut sequences, UTF-16
// with an odd last byte.
std::string RandomBytes(tobble::testing::RandomText& random, tobble_encoding encoding) {
  const std::u16string units = random.Tricky(random.Pick(0, 300));
  std::string bytes;
  if (encoding == TOBBLE_UTF8) {
    for (char16_t u : units) tobble::testing::AppendUtf8(bytes, u);
    for (int k = random.Pick(0, 2); k > 0 && !bytes.empty(); --k) {
      bytes[random.Below(bytes.size())] = static_cast<char>(random.Pick(0x80, 0xFF));
    }
    if (random.Pick(0, 3) == 0) bytes += "\xF0\x9F\x98";
  } else {
    bytes = WriteUtf16(units, encoding == TOBBLE_UTF16BE);
    if (random.Pick(0, 3) == 0) bytes += 'x';
  }
  return bytes;
}

// The one call gives byte for byte what a stream fed the same input and
// finished gives, in every mode, in an output buffer of exactly the bound.
TEST(ConvertBytes, GivesWhatAStreamGives) {
  tobble::testing::RandomText random(20261209);
  for (const tobble_filter* filter : AllFilters()) {
    for (const tobble_encoding encoding : {TOBBLE_UTF8, TOBBLE_UTF16LE, TOBBLE_UTF16BE}) {
      for (int round = 0; round < 40; ++round) {
        const std::string input = RandomBytes(random, encoding);
        for (const unsigned flags : {0u, TOBBLE_REPLACE}) {
          const std::string where = std::string(tobble_filter_name(filter)) + ", " +
                                    tobble_encoding_name(encoding) + ", flags " +
                                    std::to_string(flags) + ", round " + std::to_string(round);
          const StreamRun run = RunStream(filter, encoding, flags, input, {1 << 20});
          std::vector<uint8_t> out(tobble_output_bytes_bound(filter, encoding, input.size()));
          size_t written = 0, error_offset = 7;
          ASSERT_EQ(tobble_convert_bytes(filter, encoding, flags, input.data(), input.size(),
                                         out.data(), out.size(), &written, &error_offset),
                    run.status)
              << where;
          ASSERT_EQ(std::string(out.begin(), out.begin() + static_cast<ptrdiff_t>(written)),
                    run.out)
              << where;
          ASSERT_EQ(error_offset, run.error_offset) << where;
        }
      }
    }
  }
}

// The bound holds for long runs of each filter's costliest input: the most
// output units a unit, lone surrogates written as U+FFFD.
TEST(ConvertBytes, TheBoundHoldsForTheWorstInput) {
  const std::u16string tokens[] = {u"\xFFFF",  u"\xD83D\xDE00", u"\xD800", u"\xDC00",
                                   u"\\ud800", u"&#xd800;",     u"&nGt;",  u"%ED%A0%80"};
  for (const tobble_filter* filter : AllFilters()) {
    for (const tobble_encoding encoding : {TOBBLE_UTF8, TOBBLE_UTF16LE, TOBBLE_UTF16BE}) {
      for (const std::u16string& token : tokens) {
        std::u16string units;
        for (int k = 0; k < 1000; ++k) units += token;
        uint64_t lone = 0;
        const std::string input = encoding == TOBBLE_UTF8
                                      ? WriteUtf8(units, &lone)
                                      : WriteUtf16(units, encoding == TOBBLE_UTF16BE);
        std::vector<uint8_t> out(tobble_output_bytes_bound(filter, encoding, input.size()));
        size_t written = 0;
        EXPECT_EQ(tobble_convert_bytes(filter, encoding, 0, input.data(), input.size(), out.data(),
                                       out.size(), &written, nullptr),
                  TOBBLE_OK)
            << tobble_filter_name(filter) << ", " << tobble_encoding_name(encoding);
        EXPECT_GT(written, 0u);
      }
    }
  }
}

}  // namespace
