#include "tests/win32_hooks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#ifndef _WIN64
// uintptr_t CallCdeclCounted(const void* fn, const uintptr_t* args, int count, int* left)
// Pushes the arguments, calls fn and reports in *left how many bytes of
// arguments are still on the stack after it returned: 4 * count for cdecl.
asm(R"(
    .text
    .globl _CallCdeclCounted
_CallCdeclCounted:
    pushl %ebp
    movl %esp, %ebp
    pushl %esi
    pushl %edi
    movl 16(%ebp), %ecx
    movl 12(%ebp), %edx
    movl %esp, %esi
1:  testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%edx,%ecx,4)
    jmp 1b
2:  call *8(%ebp)
    movl %esi, %ecx
    subl %esp, %ecx
    movl %esi, %esp
    movl 20(%ebp), %edx
    movl %ecx, (%edx)
    popl %edi
    popl %esi
    popl %ebp
    ret
)");
extern "C" uintptr_t CallCdeclCounted(const void* fn, const uintptr_t* args, int count, int* left);
#endif

namespace tobble::testing {

uintptr_t CallExport(FARPROC fn, std::initializer_list<uintptr_t> args) {
  const std::vector<uintptr_t> a(args);
#ifdef _WIN64
  // Through void (*)(), the generic function pointer type, to the real one.
  const auto generic = reinterpret_cast<void (*)()>(fn);
  switch (a.size()) {
    case 0:
      return reinterpret_cast<uintptr_t (*)()>(generic)();
    case 1:
      return reinterpret_cast<uintptr_t (*)(uintptr_t)>(generic)(a[0]);
    case 2:
      return reinterpret_cast<uintptr_t (*)(uintptr_t, uintptr_t)>(generic)(a[0], a[1]);
  }
  throw std::logic_error("too many arguments");
#else
  int left = -1;
  const uintptr_t result = CallCdeclCounted(reinterpret_cast<const void*>(fn), a.data(),
                                            static_cast<int>(a.size()), &left);
  EXPECT_EQ(left, static_cast<int>(4 * a.size())) << "the callee removed its arguments";
  return result;
#endif
}

void** FindImportSlot(HMODULE module, const char* dll, const char* function) {
  auto* base = reinterpret_cast<BYTE*>(module);
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.Size == 0) return nullptr;
  for (auto* desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
       desc->Name != 0; ++desc) {
    if (_stricmp(reinterpret_cast<const char*>(base + desc->Name), dll) != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), function) == 0) {
        return reinterpret_cast<void**>(&slots->u1.Function);
      }
    }
  }
  return nullptr;
}

ImportHook::ImportHook(HMODULE module, const char* dll, const char* function, void* replacement)
    : slot_(FindImportSlot(module, dll, function)) {
  if (slot_ == nullptr) throw std::runtime_error(std::string("no import of ") + function);
  original_ = *slot_;
  Set(replacement);
}

ImportHook::~ImportHook() {
  Set(original_);
}

void ImportHook::Set(void* value) {
  DWORD old;
  VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &old);
  *slot_ = value;
  VirtualProtect(slot_, sizeof *slot_, old, &old);
}

}  // namespace tobble::testing
