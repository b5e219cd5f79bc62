#include "plugin/filters.h"

#include "plugin/contract.h"

namespace tobble {

size_t CountUnits(const char16_t* text) {
  const char16_t* end = text;
  while (*end != 0) ++end;
  return static_cast<size_t>(end - text);
}

const Filter* FindFilter(const char* function) {
  for (const Filter& filter : kFilters) {
    if (SameString(function, filter.function)) return &filter;
  }
  return nullptr;
}

}  // namespace tobble
