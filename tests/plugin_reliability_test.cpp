// The plug-in under Wine, for what only the real library in a real process
// shows: no memory kept after many calls, the longest text of each factor
// accepted and the next one refused, and no read past the end of a text.
//
// Usage: plugin_reliability_test PLUGIN [gtest options]
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/plugin_host.h"

namespace tobble::testing {
namespace {

// The process's committed private memory. Windows gives the same number as
// PrivateUsage; Wine fills only this one (its resident anonymous memory).
size_t CommittedBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
    throw std::runtime_error("K32GetProcessMemoryInfo failed");
  }
  return counters.PagefileUsage;
}

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// Everything the filters treat specially, over and over: ASCII, markup,
// escapes, references, percent sequences, every UTF-8 length, a pair and a
// lone surrogate of each kind.
std::u16string MixedText(size_t n) {
  const std::u16string piece =
      u"plain <p class=\"x\">&amp; caf\u00E9 \u65E5\U0001F600 \\u00e9\\U0001f600 &#x1F600;&lt "
      u"%C3%A9+%E3%81 \xD800 \xDC00\r\n";
  std::u16string text;
  while (text.size() < n) text += piece;
  text.resize(n);
  return text;
}

// The largest text of the memory test: 1 MiB.
constexpr size_t kLargestUnits = (1 << 20) / 2;

// The length of the text of the i-th call of each filter: every 500th call
// the whole 1 MiB, the others below 16 Ki units (32 KiB), as many between
// each two powers of two, so that blocks of every size come and go. That is
// 28 million units a filter in 10,000 calls: seconds even under emulation.
size_t CallLength(int i) {
  if (i % 500 == 0) return kLargestUnits;
  uint32_t x = static_cast<uint32_t>(i) * 2654435761u;
  x ^= x >> 15;
  const unsigned bits = x % 14;  // 0 to 13
  return (size_t{1} << bits) - 1 + (x >> 8) % (size_t{1} << bits);
}

// What the process may gain over 10,000 calls of every filter without
// keeping anything: the heap's own bookkeeping moves a little.
constexpr size_t kMemoryNoise = 2 << 20;

TEST(Memory, TenThousandCallsOfEveryFilterKeepNothing) {
  const GuardedText text(MixedText(kLargestUnits));
  const char16_t* end = text.get() + kLargestUnits;
  size_t bytes_returned = 0;
  std::vector<HGLOBAL> kept;
  // As a host does: each block is read, then freed, but for those that the
  // test keeps on purpose.
  const auto calls = [&](int from, int to, int keep_every) {
    for (int i = from; i < to; ++i) {
      const size_t n = CallLength(i);
      for (const ExpectedFilter& f : kExpected) {
        HGLOBAL block = CallFilter(f.function, end - n);
        ASSERT_NE(block, nullptr) << f.function << ", " << n << " units";
        ASSERT_EQ(GlobalSize(block), (n + 1) * f.factor) << f.function;
        bytes_returned += (n + 1) * f.factor;
        ASSERT_NE(GlobalLock(block), nullptr);
        GlobalUnlock(block);
        if (keep_every != 0 && i % keep_every == 0) {
          kept.push_back(block);
        } else {
          ASSERT_EQ(GlobalFree(block), nullptr) << f.function;
        }
      }
    }
  };
  calls(-500, 0, 0);  // the heap grows to its working size
  const size_t before = CommittedBytes();
  const auto start = std::chrono::steady_clock::now();
  calls(0, 10000, 0);
  const double elapsed = MillisecondsSince(start);
  const size_t after = CommittedBytes();
  // The measure itself: keeping one block in ten of 1,000 more calls shows.
  calls(10001, 11001, 10);
  const size_t keeping = CommittedBytes();
  for (HGLOBAL block : kept) GlobalFree(block);
  std::printf(
      "10,000 calls of each filter: %.0f ms, %zu MiB in result blocks; committed memory "
      "%zu KiB before, %zu KiB after, %zu KiB with %zu blocks kept\n",
      elapsed, bytes_returned >> 20, before >> 10, after >> 10, keeping >> 10, kept.size());
  EXPECT_LE(after, before + kMemoryNoise);
  EXPECT_GT(keeping, after + kMemoryNoise) << "the measure does not see blocks kept";
}

// A text of n units that repeats a pattern, with a zero unit after them. The
// pattern's length must divide kChunkUnits: the text is made of read-only
// views of one section holding the pattern over and over, and a last part of
// its own, so that even 2 GiB of text costs little memory and time. Where the
// process has no room for it, ok() is false.
class RepeatedText {
 public:
  static constexpr size_t kChunkBytes = 64 << 20;
  static constexpr size_t kChunkUnits = kChunkBytes / 2;

  RepeatedText(const std::u16string& pattern, size_t n) : n_(n) {
    const size_t bytes = (n + 1) * 2;
    // The last part holds at least the zero unit.
    const size_t views = (bytes - 1) / kChunkBytes;
    const size_t last_bytes = bytes - views * kChunkBytes;
    section_ =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kChunkBytes, nullptr);
    if (section_ == nullptr) return;
    auto* chunk = static_cast<char16_t*>(MapViewOfFile(section_, FILE_MAP_WRITE, 0, 0, 0));
    if (chunk == nullptr) return;
    Fill(chunk, kChunkUnits, pattern);
    UnmapViewOfFile(chunk);
    // Room for all of it, found by reserving it once; the views go there.
    auto* base = static_cast<BYTE*>(VirtualAlloc(nullptr, bytes, MEM_RESERVE, PAGE_NOACCESS));
    if (base == nullptr) return;
    VirtualFree(base, 0, MEM_RELEASE);
    for (size_t i = 0; i < views; ++i) {
      void* view =
          MapViewOfFileEx(section_, FILE_MAP_READ, 0, 0, kChunkBytes, base + i * kChunkBytes);
      if (view == nullptr) return;
      views_.push_back(view);
    }
    last_ = static_cast<char16_t*>(VirtualAlloc(base + views * kChunkBytes, last_bytes,
                                                MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (last_ == nullptr) return;
    Fill(last_, last_bytes / 2 - 1, pattern);
    last_[last_bytes / 2 - 1] = 0;
    text_ = reinterpret_cast<const char16_t*>(base);
  }
  ~RepeatedText() {
    for (void* view : views_) UnmapViewOfFile(view);
    if (last_ != nullptr) VirtualFree(last_, 0, MEM_RELEASE);
    if (section_ != nullptr) CloseHandle(section_);
  }
  RepeatedText(const RepeatedText&) = delete;
  RepeatedText& operator=(const RepeatedText&) = delete;
  bool ok() const { return text_ != nullptr; }
  const char16_t* get() const { return text_; }
  size_t size() const { return n_; }

 private:
  static void Fill(char16_t* units, size_t n, const std::u16string& pattern) {
    for (size_t i = 0; i < n; ++i) units[i] = pattern[i % pattern.size()];
  }

  size_t n_;
  HANDLE section_ = nullptr;
  std::vector<void*> views_;
  char16_t* last_ = nullptr;
  const char16_t* text_ = nullptr;
};

// The filter's output for a short text.
std::u16string Converted(const char* function, unsigned factor, const std::u16string& text) {
  HGLOBAL block = CallFilter(function, text.c_str());
  if (block == nullptr) throw std::runtime_error("a short text refused");
  return TakeResult(block, text.size(), factor);
}

// Whether units holds `times` copies of `period`, then `rest`, then a zero.
bool HoldsRepeated(const char16_t* units, const std::u16string& period, size_t times,
                   const std::u16string& rest) {
  for (size_t i = 0; i < times; ++i, units += period.size()) {
    if (!std::equal(period.begin(), period.end(), units)) return false;
  }
  return std::equal(rest.begin(), rest.end(), units) && units[rest.size()] == 0;
}

// A refused text comes back as null with code 2; host queries leave the code
// as it is, and the next call that succeeds sets 0.
void ExpectRefusedThenRecovered(const char* function, const char16_t* text, unsigned factor) {
  EXPECT_EQ(CallFilter(function, text), nullptr) << function;
  EXPECT_EQ(LastError(), 2) << function;
  Call("EnumQuarnelFilter", {});
  Call("GetName", {1});
  Call("GetNameEN", {6});
  Call("GetFunction", {7});
  Call("HasParameter", {reinterpret_cast<uintptr_t>(function)});
  EXPECT_EQ(LastError(), 2) << function;
  HGLOBAL block = CallFilter(function, u"a");
  ASSERT_NE(block, nullptr) << function;
  EXPECT_EQ(LastError(), 0) << function;
  EXPECT_EQ(TakeResult(block, 1, factor), u"a") << function;
}

// A block holds at most 2,147,483,647 bytes: for each factor, the longest
// text whose (n + 1) * factor bytes fit. The texts repeat a pattern that each
// filter converts piece by piece, quickly and writing little: nine units that
// decode to one for the decoder, units that the encoders copy.
struct LongestText {
  unsigned factor;
  const char* function;
  size_t units;
  const char16_t* pattern;  // its length divides RepeatedText::kChunkUnits
};
constexpr char16_t kCopied[] = u"Plain-text_0123.";
constexpr LongestText kLongestTexts[] = {
    {2, "URLdecode", 1073741822,
     u"%E3%81%82%E3%81%82%E3%81%82%E3%81%82%E3%81%82%E3%81%82%E3%81%82-"},
    {12, "tobbleJ", 178956969, kCopied},
    {16, "text2charref", 134217726, kCopied},
    {18, "URLencode", 119304646, kCopied},
};
constexpr bool EachFitsJust() {
  for (const LongestText& t : kLongestTexts) {
    if ((uint64_t{t.units} + 1) * t.factor > 0x7FFFFFFF) return false;
    if ((uint64_t{t.units} + 2) * t.factor <= 0x7FFFFFFF) return false;
  }
  return true;
}
static_assert(EachFitsJust());

constexpr bool kWide = sizeof(void*) == 8;

// The 64-bit plug-in converts each longest text into a block of its exact
// size and refuses one unit more. A 32-bit process has no room for some texts
// (that case is left out) or blocks (the call fails cleanly, with code 2).
TEST(LongTexts, EachFactorsLongestTextIsAcceptedAndTheNextRefused) {
  for (const LongestText& t : kLongestTexts) {
    const auto start = std::chrono::steady_clock::now();
    const std::u16string pattern = t.pattern;
    ASSERT_EQ(RepeatedText::kChunkUnits % pattern.size(), 0u);
    std::string outcome;
    {
      const RepeatedText text(pattern, t.units);
      if (!text.ok()) {
        EXPECT_FALSE(kWide) << "no room for " << t.units << " units";
        outcome = "no room for the text";
      } else if (HGLOBAL block = CallFilter(t.function, text.get()); block == nullptr) {
        EXPECT_FALSE(kWide) << t.function << " refused " << t.units << " units";
        EXPECT_EQ(LastError(), 2) << t.function;
        outcome = "no room for the block, code 2";
      } else {
        EXPECT_EQ(LastError(), 0);
        EXPECT_EQ(GlobalFlags(block) & GMEM_LOCKCOUNT, 0u) << "block returned locked";
        EXPECT_EQ(GlobalSize(block), (t.units + 1) * t.factor) << t.function;
        const auto* units = static_cast<const char16_t*>(GlobalLock(block));
        EXPECT_TRUE(HoldsRepeated(
            units, Converted(t.function, t.factor, pattern), t.units / pattern.size(),
            Converted(t.function, t.factor, pattern.substr(0, t.units % pattern.size()))))
            << t.function;
        GlobalUnlock(block);
        GlobalFree(block);
        outcome = "converted";
      }
    }
    {
      const RepeatedText text(pattern, t.units + 1);
      if (!text.ok()) {
        EXPECT_FALSE(kWide) << "no room for " << t.units + 1 << " units";
        outcome += "; no room for one unit more";
      } else {
        ExpectRefusedThenRecovered(t.function, text.get(), t.factor);
        outcome += "; one unit more refused";
      }
    }
    std::printf("factor %u, %s, %zu units: %s (%.0f ms)\n", t.factor, t.function, t.units,
                outcome.c_str(), MillisecondsSince(start));
  }
}

// Texts of every length from 0 to 64 units whose zero unit is the last one
// before an inaccessible page. Each ends in what makes some filter look
// ahead: an escape, a reference or a percent sequence cut short, or a high
// surrogate; the shorter ones are their last units only.
TEST(GuardPage, EveryFilterOnTextsEndingBeforeAnInaccessiblePage) {
  const std::u16string endings[] = {
      u"\\",      u"\\u",  u"\\u12", u"\\U0001f6", u"&",
      u"&amp",    u"&#x4", u"&#65",  u"&nbsp",     u"&" + std::u16string(35, u'a'),
      u"%",       u"%4",   u"%C3",   u"%E3%81",    u"\xD83D",
      u"a\xDBFF", u"\xE9", u"x",
  };
  const std::u16string lead = u"a\\u00e9&lt;%C3%A9 \xE9\xD83D\xDE00&amp x ";
  int texts = 0;
  const auto start = std::chrono::steady_clock::now();
  for (const ExpectedFilter& f : kExpected) {
    for (const std::u16string& ending : endings) {
      std::u16string longest = ending;
      while (longest.size() < 64) longest = lead + longest;
      for (size_t n = 0; n <= 64; ++n) {
        const std::u16string input = longest.substr(longest.size() - std::min(n, longest.size()));
        GuardedText text(input);
        HGLOBAL block = CallFilter(f.function, text.get());
        ASSERT_NE(block, nullptr) << f.function;
        EXPECT_EQ(LastError(), 0);
        TakeResult(block, input.size(), f.factor);
        ++texts;
      }
    }
  }
  std::printf("%d texts, %.0f ms\n", texts, MillisecondsSince(start));
}

}  // namespace
}  // namespace tobble::testing

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: plugin_reliability_test PLUGIN\n");
    return 2;
  }
  tobble::testing::plugin = LoadLibraryA(argv[1]);
  if (tobble::testing::plugin == nullptr) {
    std::fprintf(stderr, "cannot load %s: error %lu\n", argv[1], GetLastError());
    return 1;
  }
  return RUN_ALL_TESTS();
}
