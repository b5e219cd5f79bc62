// The plug-in as the host sees it, under Wine: loaded with LoadLibrary, its
// table read byte by byte, every export called through GetProcAddress.
//
// Usage: plugin_test PLUGIN CASE_FILE ENTITIES_FILE [gtest options]
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/entities.h"
#include "tests/plugin_host.h"
#include "tests/support/case_file.h"
#include "tests/win32_hooks.h"

namespace tobble::testing {
namespace {

std::string case_file;
std::string entities_file;
intptr_t error_at_load = -1;

std::string Cp932(const char16_t* text) {
  const auto* wide = reinterpret_cast<const wchar_t*>(text);
  std::string bytes(64, '\0');
  const int n = WideCharToMultiByte(932, 0, wide, -1, bytes.data(), 64, nullptr, nullptr);
  bytes.resize(n > 0 ? n - 1 : 0);
  return bytes;
}

TEST(FilterTable, EveryByteOfEveryRecord) {
  const auto* table = reinterpret_cast<const BYTE*>(Call("EnumQuarnelFilter", {}));
  ASSERT_NE(table, nullptr);
  const size_t record = sizeof(void*) == 8 ? 40 : 20;
  const size_t p = sizeof(void*);
  constexpr size_t kCount = sizeof(kExpected) / sizeof(kExpected[0]);
  for (size_t i = 0; i <= kCount; ++i) {
    const BYTE* r = table + i * record;
    int32_t size;
    std::memcpy(&size, r, 4);
    const char* fields[3];
    std::memcpy(fields, r + p, 3 * p);  // function, name, nameEN
    const size_t key_at = 4 * p;
    std::vector<BYTE> padding(r + 4, r + p);  // between size and the first pointer
    padding.insert(padding.end(), r + key_at + 1, r + record);
    EXPECT_EQ(padding, std::vector<BYTE>(padding.size(), 0)) << "record " << i;
    if (i == kCount) {  // the end record: all zero
      EXPECT_EQ(size, 0);
      EXPECT_EQ(fields[0], nullptr);
      EXPECT_EQ(fields[1], nullptr);
      EXPECT_EQ(fields[2], nullptr);
      EXPECT_EQ(r[key_at], 0);
      continue;
    }
    const ExpectedFilter& want = kExpected[i];
    EXPECT_EQ(size, static_cast<int32_t>(record)) << "record " << i;
    ASSERT_NE(fields[0], nullptr);
    ASSERT_NE(fields[1], nullptr);
    ASSERT_NE(fields[2], nullptr);
    EXPECT_STREQ(fields[0], want.function);
    EXPECT_EQ(std::string(fields[1]), Cp932(want.name)) << want.function;
    EXPECT_STREQ(fields[2], want.name_en);
    EXPECT_EQ(static_cast<char>(r[key_at]), want.key) << want.function;
    // Equal names are one string.
    if (std::strcmp(want.function, want.name_en) == 0) {
      EXPECT_EQ(fields[0], fields[1]) << want.function;
      EXPECT_EQ(fields[0], fields[2]) << want.function;
    }
    // The index queries answer with the very same pointers.
    EXPECT_EQ(reinterpret_cast<const char*>(Call("GetFunction", {i})), fields[0]);
    EXPECT_EQ(reinterpret_cast<const char*>(Call("GetName", {i})), fields[1]);
    EXPECT_EQ(reinterpret_cast<const char*>(Call("GetNameEN", {i})), fields[2]);
  }
}

TEST(Queries, IndexesPastTheTableGiveTheEmptyString) {
  constexpr uintptr_t kCount = sizeof(kExpected) / sizeof(kExpected[0]);
  for (uintptr_t index : {kCount, kCount + 1, uintptr_t{0x80000000u}, ~uintptr_t{0}}) {
    for (const char* query : {"GetName", "GetNameEN", "GetFunction"}) {
      const auto* answer = reinterpret_cast<const char*>(Call(query, {index}));
      ASSERT_NE(answer, nullptr) << query << "(" << index << ")";
      EXPECT_STREQ(answer, "") << query << "(" << index << ")";
    }
  }
}

TEST(Queries, Constants) {
  EXPECT_EQ(Call("QuarnelFilterGetVersion", {}) & 0xFFFFFFFFu, 0x1002Bu);
  EXPECT_EQ(Call("GetModuleInfo", {}) & 0xFFFFFFFFu, 31u);
}

TEST(Queries, HasParameter) {
  for (const ExpectedFilter& f : kExpected) {
    EXPECT_EQ(
        static_cast<intptr_t>(Call("HasParameter", {reinterpret_cast<uintptr_t>(f.function)})), 0)
        << f.function;
  }
  for (const char* name :
       {"urldecode", "URLdecode ", " URLdecode", "URL", "", "URLdecodeX", "HTMLescape"}) {
    EXPECT_EQ(static_cast<intptr_t>(Call("HasParameter", {reinterpret_cast<uintptr_t>(name)})), -1)
        << '"' << name << '"';
  }
  EXPECT_EQ(static_cast<intptr_t>(Call("HasParameter", {0})), -1);
}

struct MessageBoxCall {
  HWND owner;
  std::string text;
  std::string caption;
  UINT type;
  int count = 0;
} message_box;

int WINAPI FakeMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  message_box.owner = owner;
  message_box.text = text ? text : "(null)";
  message_box.caption = caption ? caption : "(null)";
  message_box.type = type;
  ++message_box.count;
  return IDOK;
}

TEST(Queries, ParameterDialogShowsItsMessageAndReturnsTheEmptyString) {
  ImportHook hook(plugin, "USER32.dll", "MessageBoxA", reinterpret_cast<void*>(FakeMessageBoxA));
  const HWND owner = reinterpret_cast<HWND>(0x5678);
  const std::string no_parameters = Cp932(u"パラメータはありません");
  const std::string no_function = Cp932(u"指定された関数はありません");
  struct Probe {
    const char* name;
    const std::string& text;
    const char* caption;
  };
  const Probe probes[] = {
      {"text2charref", no_parameters, "text2charref"},
      {"tobbleJ", no_parameters, "tobbleJ"},
      {"text", no_function, "text"},
      {"", no_function, ""},
      {nullptr, no_function, ""},
  };
  for (const Probe& probe : probes) {
    message_box = {};
    const auto* answer = reinterpret_cast<const char*>(
        Call("ParameterDialog",
             {reinterpret_cast<uintptr_t>(owner), reinterpret_cast<uintptr_t>(probe.name)}));
    const char* shown = probe.name ? probe.name : "(null)";
    ASSERT_NE(answer, nullptr) << shown;
    EXPECT_STREQ(answer, "") << shown;
    EXPECT_EQ(message_box.count, 1) << shown;
    EXPECT_EQ(message_box.owner, owner) << shown;
    EXPECT_EQ(message_box.text, probe.text) << shown;
    EXPECT_EQ(message_box.caption, probe.caption) << shown;
    EXPECT_EQ(message_box.type, 0x40u) << shown;
  }
}

TEST(Filters, EveryFilterIsExported) {
  for (const ExpectedFilter& f : kExpected) EXPECT_NE(Export(f.function), nullptr) << f.function;
}

// Each text at an even address, as the host passes it, and at an odd one,
// where its units straddle the blocks that the plug-in reads them in.
TEST(Filters, EveryCaseOfTheCaseFile) {
  const std::vector<Case> cases = ReadCaseFile(case_file);
  ASSERT_FALSE(cases.empty());
  for (const bool odd : {false, true}) {
    for (const Case& c : cases) {
      const ExpectedFilter* want = FindExpected(c.filter);
      ASSERT_NE(want, nullptr) << c.filter;
      ASSERT_NE(Export(c.filter.c_str()), nullptr) << c.filter;
      GuardedText text(c.input, odd);
      HGLOBAL block = CallFilter(c.filter.c_str(), text.get());
      const std::string where =
          c.filter + ", line " + std::to_string(c.line) + (odd ? ", at an odd address" : "");
      ASSERT_NE(block, nullptr) << where;
      EXPECT_EQ(LastError(), 0);
      EXPECT_EQ(ShowUnits(TakeResult(block, c.input.size(), want->factor)), ShowUnits(c.expected))
          << where << ": " << ShowUnits(c.input);
    }
  }
}

// Every name of the standard's list: "&name;", and each legacy name without
// its ";" before a space.
TEST(Filters, Charref2textReadsEveryNameOfTheList) {
  const std::vector<Entity> entities = ReadEntities(entities_file);
  ASSERT_EQ(entities.size(), 2231u);
  ASSERT_NE(Export("charref2text"), nullptr);
  for (const Entity& e : entities) {
    const std::string reference = "&" + e.name + (e.semicolon ? ";" : " ");
    const std::u16string input(reference.begin(), reference.end());
    GuardedText text(input);
    HGLOBAL block = CallFilter("charref2text", text.get());
    ASSERT_NE(block, nullptr) << reference;
    EXPECT_EQ(ShowUnits(TakeResult(block, input.size(), 2)),
              ShowUnits(e.characters + (e.semicolon ? u"" : u" ")))
        << reference;
  }
}

TEST(Filters, EmptyAndNullTextGiveOneFactorOfBytes) {
  for (const ExpectedFilter& f : kExpected) {
    if (Export(f.function) == nullptr) continue;
    GuardedText empty(u"");
    for (const char16_t* text : {empty.get(), static_cast<const char16_t*>(nullptr)}) {
      HGLOBAL block = CallFilter(f.function, text);
      ASSERT_NE(block, nullptr) << f.function;
      EXPECT_EQ(LastError(), 0);
      EXPECT_EQ(TakeResult(block, 0, f.factor), u"") << f.function;
    }
  }
}

#ifndef _WIN64
// The check behind every call above must be able to fail: a stdcall function
// removes its own arguments.
TEST(CallingConvention, CheckNoticesACalleeThatRemovesItsArguments) {
  FARPROC stdcall_function = GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetModuleHandleA");
  EXPECT_NONFATAL_FAILURE(CallExport(stdcall_function, {0}), "the callee removed its arguments");
}
#endif

TEST(LastError, ZeroBeforeAnyCall) {
  EXPECT_EQ(error_at_load, 0);
}

struct AllocationLog {
  HGLOBAL allocated = nullptr;
  HGLOBAL freed = nullptr;
  int frees = 0;
} allocation;
decltype(&GlobalAlloc) real_global_alloc = nullptr;
decltype(&GlobalFree) real_global_free = nullptr;

HGLOBAL WINAPI FailingGlobalAlloc(UINT, SIZE_T) {
  return nullptr;
}
HGLOBAL WINAPI LoggingGlobalAlloc(UINT flags, SIZE_T bytes) {
  return allocation.allocated = real_global_alloc(flags, bytes);
}
LPVOID WINAPI FailingGlobalLock(HGLOBAL) {
  return nullptr;
}
HGLOBAL WINAPI LoggingGlobalFree(HGLOBAL block) {
  allocation.freed = block;
  ++allocation.frees;
  return real_global_free(block);
}

TEST(LastError, AllocationFailure) {
  {
    ImportHook alloc(plugin, "KERNEL32.dll", "GlobalAlloc",
                     reinterpret_cast<void*>(FailingGlobalAlloc));
    EXPECT_EQ(CallFilter("untobbleC", u"abc"), nullptr);
    EXPECT_EQ(LastError(), 2);
  }
  HGLOBAL block = CallFilter("untobbleC", u"abc");
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(LastError(), 0);
  EXPECT_EQ(TakeResult(block, 3, 2), u"abc");
}

// A block that cannot be locked is freed, and the call fails like an
// allocation failure.
TEST(LastError, LockFailureFreesTheBlock) {
  {
    real_global_alloc = &GlobalAlloc;
    real_global_free = &GlobalFree;
    allocation = {};
    ImportHook alloc(plugin, "KERNEL32.dll", "GlobalAlloc",
                     reinterpret_cast<void*>(LoggingGlobalAlloc));
    ImportHook lock(plugin, "KERNEL32.dll", "GlobalLock",
                    reinterpret_cast<void*>(FailingGlobalLock));
    ImportHook free(plugin, "KERNEL32.dll", "GlobalFree",
                    reinterpret_cast<void*>(LoggingGlobalFree));
    EXPECT_EQ(CallFilter("tobbleC", u"abc"), nullptr);
    EXPECT_EQ(LastError(), 2);
    EXPECT_NE(allocation.allocated, nullptr);
    EXPECT_EQ(allocation.frees, 1);
    EXPECT_EQ(allocation.freed, allocation.allocated);
  }
  HGLOBAL block = CallFilter("tobbleC", u"abc");
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(LastError(), 0);
  GlobalFree(block);
}

}  // namespace
}  // namespace tobble::testing

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc != 4) {
    std::fprintf(stderr, "usage: plugin_test PLUGIN CASE_FILE ENTITIES_FILE\n");
    return 2;
  }
  using namespace tobble::testing;
  plugin = LoadLibraryA(argv[1]);
  if (plugin == nullptr) {
    std::fprintf(stderr, "cannot load %s: error %lu\n", argv[1], GetLastError());
    return 1;
  }
  case_file = argv[2];
  entities_file = argv[3];
  error_at_load = LastError();
  return RUN_ALL_TESTS();
}
