// The core's filters behind a C interface, for tests/python_check.py.
#include "core/filters.h"

extern "C" {

// The filter's factor, or 0 for an unknown name.
unsigned tobble_factor(const char* function) {
  const tobble::Filter* filter = tobble::FindFilter(function);
  return filter == nullptr ? 0 : filter->factor;
}

// Converts in[0, n) whole into out, sized by the factor; returns the units
// written.
size_t tobble_convert(const char* function, const char16_t* in, size_t n, char16_t* out) {
  return tobble::FindFilter(function)->convert(in, n, out, true).written;
}
}
