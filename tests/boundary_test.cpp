// The plug-in's exports, natively, against a test double of the Windows
// functions: every case through the real boundary code under the sanitizers,
// and the failure paths that Windows never takes on its own.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "filters/common/count_units.h"
#include "filters/filters.h"
#include "plugin/platform.h"
#include "tests/support/case_file.h"
#include "tests/win32_double.h"

extern "C" intptr_t GetError();

namespace tobble::testing {
namespace {

using FilterExport = void* (*)(void*, const char16_t*);

// The export of the filter's name, found the way a host would find it.
FilterExport ExportOf(const Filter& filter) {
  return reinterpret_cast<FilterExport>(dlsym(RTLD_DEFAULT, filter.function));
}

// The text of a block as the host gets it, after checking that it came back
// unlocked with (n + 1) * factor bytes. Frees the block.
std::u16string TakeResult(void* block, size_t n, const Filter& filter) {
  EXPECT_EQ(win32_double::LockCount(block), 0) << filter.function;
  EXPECT_EQ(win32_double::BlockSize(block), (n + 1) * filter.factor) << filter.function;
  const auto* units = static_cast<const char16_t*>(GlobalLock(block));
  std::u16string text(units);
  GlobalUnlock(block);
  GlobalFree(block);
  return text;
}

class Boundary : public ::testing::Test {
 protected:
  void SetUp() override { win32_double::state() = {}; }
  void TearDown() override { EXPECT_EQ(win32_double::state().live_blocks, 0); }
};

TEST_F(Boundary, EveryCaseThroughTheExports) {
  for (const Case& c : ReadCaseFile(TOBBLE_CASE_FILE)) {
    const Filter* filter = FindFilter(c.filter.c_str());
    ASSERT_NE(filter, nullptr);
    FilterExport convert = ExportOf(*filter);
    ASSERT_NE(convert, nullptr) << filter->function;
    void* block = convert(nullptr, c.input.c_str());
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(GetError(), 0);
    EXPECT_EQ(ShowUnits(TakeResult(block, c.input.size(), *filter)), ShowUnits(c.expected))
        << c.filter << ", line " << c.line;
  }
}

// A failed allocation or lock leaves no block behind and code 2; the next
// call succeeds and clears the code.
TEST_F(Boundary, AllocationAndLockFailures) {
  for (const Filter& filter : kFilters) {
    FilterExport convert = ExportOf(filter);
    ASSERT_NE(convert, nullptr) << filter.function;
    for (int which = 0; which < 2; ++which) {
      (which == 0 ? win32_double::state().fail_allocations : win32_double::state().fail_locks) = 1;
      EXPECT_EQ(convert(nullptr, u"abc"), nullptr) << filter.function;
      EXPECT_EQ(GetError(), 2) << filter.function;
      EXPECT_EQ(win32_double::state().live_blocks, 0) << filter.function;
      void* block = convert(nullptr, u"abc");
      ASSERT_NE(block, nullptr) << filter.function;
      EXPECT_EQ(GetError(), 0) << filter.function;
      EXPECT_EQ(TakeResult(block, 3, filter), u"abc") << filter.function;
    }
  }
}

TEST_F(Boundary, NullTextIsTheEmptyText) {
  for (const Filter& filter : kFilters) {
    FilterExport convert = ExportOf(filter);
    ASSERT_NE(convert, nullptr) << filter.function;
    void* block = convert(nullptr, nullptr);
    ASSERT_NE(block, nullptr) << filter.function;
    EXPECT_EQ(TakeResult(block, 0, filter), u"") << filter.function;
  }
}

// Every length up to a few groups of four vectors, from every byte of an
// aligned 64 bytes on, odd ones too: zero bytes right before the text, where
// a count that reads the whole block must not see them, and text units that
// pair into zeros when their bytes are paired one off (01 00 00 01).
TEST(CountUnits, EveryLengthFromEveryByteOfABlock) {
  for (size_t offset = 0; offset < 64; ++offset) {
    for (size_t length = 0; length <= 120; ++length) {
      alignas(64) unsigned char bytes[320] = {};
      for (size_t k = 0; k < length; ++k) bytes[offset + 2 * k + k % 2] = 1;
      const auto* text = reinterpret_cast<const char16_t*>(bytes + offset);
      EXPECT_EQ(CountUnits(text), length) << "offset " << offset;
    }
  }
}

}  // namespace
}  // namespace tobble::testing
