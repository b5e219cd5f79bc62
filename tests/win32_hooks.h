// Tools for driving a plug-in as the host does, and for watching it: calls
// that check the calling convention, and import-table hooks.
#pragma once

#include <windows.h>

#include <cstdint>
#include <initializer_list>

namespace tobble::testing {

// Calls fn with the arguments in the platform's C calling convention. In the
// 32-bit build the call also checks that the callee left its arguments on the
// stack for the caller to remove (cdecl), and fails the test if not.
uintptr_t CallExport(FARPROC fn, std::initializer_list<uintptr_t> args);

// The slot in module's import address table through which it calls
// `function` of `dll`, or null.
void** FindImportSlot(HMODULE module, const char* dll, const char* function);

// Points an import slot elsewhere for the lifetime of the object.
class ImportHook {
 public:
  ImportHook(HMODULE module, const char* dll, const char* function, void* replacement);
  ~ImportHook();
  ImportHook(const ImportHook&) = delete;
  ImportHook& operator=(const ImportHook&) = delete;
  void* original() const { return original_; }

 private:
  void Set(void* value);
  void** slot_;
  void* original_;
};

}  // namespace tobble::testing
