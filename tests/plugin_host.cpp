#include "tests/plugin_host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "filters/common/conversion.h"
#include "tests/win32_hooks.h"

namespace tobble::testing {

HMODULE plugin = nullptr;

FARPROC Export(const char* name) {
  return GetProcAddress(plugin, name);
}

uintptr_t Call(const char* name, std::initializer_list<uintptr_t> args) {
  FARPROC fn = Export(name);
  if (fn == nullptr) throw std::runtime_error(std::string("no export ") + name);
  return CallExport(fn, args);
}

intptr_t LastError() {
  return static_cast<intptr_t>(Call("GetError", {}));
}

HGLOBAL CallFilter(const char* function, const char16_t* text) {
  return reinterpret_cast<HGLOBAL>(Call(function, {0x1234, reinterpret_cast<uintptr_t>(text)}));
}

const ExpectedFilter* FindExpected(const std::string& function) {
  for (const ExpectedFilter& f : kExpected) {
    if (function == f.function) return &f;
  }
  return nullptr;
}

GuardedText::GuardedText(const std::u16string& text, bool odd) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  const size_t page = info.dwPageSize;
  const size_t bytes = (text.size() + 1) * 2 + (odd ? 1 : 0);
  data_bytes_ = (bytes + page - 1) / page * page;
  base_ = static_cast<BYTE*>(
      VirtualAlloc(nullptr, data_bytes_ + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  if (base_ == nullptr) throw std::runtime_error("VirtualAlloc failed");
  text_ = reinterpret_cast<char16_t*>(base_ + data_bytes_ - bytes);
  std::memcpy(text_, text.c_str(), (text.size() + 1) * 2);
  DWORD old;
  VirtualProtect(base_, data_bytes_, PAGE_READONLY, &old);
  VirtualProtect(base_ + data_bytes_, page, PAGE_NOACCESS, &old);
}

GuardedText::~GuardedText() {
  VirtualFree(base_, 0, MEM_RELEASE);
}

std::u16string TakeResult(HGLOBAL block, size_t n, unsigned factor) {
  EXPECT_EQ(GlobalFlags(block) & GMEM_LOCKCOUNT, 0u) << "block returned locked";
  EXPECT_EQ(GlobalSize(block), (n + 1) * factor);
  const auto* units = static_cast<const char16_t*>(GlobalLock(block));
  std::u16string text(units);
  EXPECT_LT(text.size(), OutputBound(factor, n)) << "no terminating zero unit in the block";
  GlobalUnlock(block);
  GlobalFree(block);
  return text;
}

}  // namespace tobble::testing
