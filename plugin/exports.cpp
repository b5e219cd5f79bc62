// Everything the host sees: the filter table, the host queries, the filter
// exports and the library entry point.
#include <stdint.h>

#include "filters/common/count_units.h"
#include "filters/filters.h"
#include "plugin/contract.h"
#include "plugin/platform.h"

using tobble::Filter;
using tobble::kFilters;

namespace {

// The record the host reads for each filter. Its layout is fixed per build:
// 40 bytes with 64-bit pointers, 20 with 32-bit ones, padding all zero.
struct FilterInfo {
  int32_t size;
  const char* function;
  const char* name;
  const char* name_en;
  char key;
};
static_assert(sizeof(void*) == 8 ? sizeof(FilterInfo) == 40 && offsetof(FilterInfo, key) == 32
                                 : sizeof(FilterInfo) == 20 && offsetof(FilterInfo, key) == 16);

// A record for each filter in table order, then the end record of zeros.
#define TOBBLE_FILTER_RECORD(function, name, name_en, key, ...) \
  {sizeof(FilterInfo), #function, name, name_en, key},
constexpr FilterInfo kFilterTable[] = {TOBBLE_FILTERS(TOBBLE_FILTER_RECORD){}};
#undef TOBBLE_FILTER_RECORD
static_assert(sizeof(kFilterTable) / sizeof(kFilterTable[0]) == tobble::kFilterCount + 1);

constexpr char kEmpty[] = "";
// "パラメータはありません": the filter has no parameters.
constexpr char kNoParameters[] =
    "\x83\x70\x83\x89\x83\x81\x81\x5B\x83\x5E\x82\xCD\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1";
// "指定された関数はありません": there is no such filter.
constexpr char kNoSuchFunction[] =
    "\x8E\x77\x92\xE8\x82\xB3\x82\xEA\x82\xBD\x8A\xD6\x90\x94\x82\xCD\x82\xA0\x82\xE8\x82\xDC\x82"
    "\xB9"
    "\x82\xF1";

constexpr int32_t kOutOfMemory = 2;

// The outcome of the last filter call: 0 for success, 2 when its result
// block could not be had. Host queries leave it alone.
int32_t last_error = 0;

// One filter call: count the text, allocate the block for the filter's worst
// case, convert straight into it. A null text is the empty text.
HGLOBAL RunFilter(const Filter& filter, const char16_t* text) {
  if (text == nullptr) text = u"";
  const size_t n = tobble::CountUnits(text);
  if (!tobble::FitsInBlock(n, filter.factor)) {
    last_error = kOutOfMemory;
    return nullptr;
  }
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, (n + 1) * filter.factor);
  if (block == nullptr) {
    last_error = kOutOfMemory;
    return nullptr;
  }
  auto* out = static_cast<char16_t*>(GlobalLock(block));
  if (out == nullptr) {
    GlobalFree(block);
    last_error = kOutOfMemory;
    return nullptr;
  }
  const tobble::Progress done = filter.convert(text, n, out, true);
  out[done.written] = 0;
  GlobalUnlock(block);
  last_error = 0;
  return block;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
  return TRUE;
}

const FilterInfo* __cdecl EnumQuarnelFilter() {
  return kFilterTable;
}

UINT __cdecl QuarnelFilterGetVersion() {
  return 0x1002B;
}

const char* __cdecl GetName(uintptr_t index) {
  return index < tobble::kFilterCount ? kFilterTable[index].name : kEmpty;
}

const char* __cdecl GetNameEN(uintptr_t index) {
  return index < tobble::kFilterCount ? kFilterTable[index].name_en : kEmpty;
}

const char* __cdecl GetFunction(uintptr_t index) {
  return index < tobble::kFilterCount ? kFilterTable[index].function : kEmpty;
}

UINT __cdecl GetModuleInfo() {
  return 31;
}

intptr_t __cdecl GetError() {
  return last_error;
}

intptr_t __cdecl HasParameter(const char* function) {
  return function != nullptr && tobble::FindFilter(function) != nullptr ? 0 : -1;
}

const char* __cdecl ParameterDialog(HWND owner, const char* function) {
  const bool known = function != nullptr && tobble::FindFilter(function) != nullptr;
  MessageBoxA(owner, known ? kNoParameters : kNoSuchFunction, function ? function : kEmpty,
              MB_ICONINFORMATION);
  return kEmpty;
}

// Each filter export runs the table's filter of the same name.
#define TOBBLE_FILTER_EXPORT(function, ...)                   \
  HGLOBAL __cdecl function(void*, const char16_t* text) {     \
    constexpr size_t kIndex = tobble::FilterIndex(#function); \
    return RunFilter(kFilters[kIndex], text);                 \
  }
TOBBLE_FILTERS(TOBBLE_FILTER_EXPORT)
#undef TOBBLE_FILTER_EXPORT

}  // extern "C"
