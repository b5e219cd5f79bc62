// The filter table of the core, made from the one list in filters/filter_list.h.
// The plug-in's exports, the library, the tests and the benchmarks all read
// it.
#pragma once

#include <stddef.h>

#include "filters/common/conversion.h"
#include "filters/filter_list.h"

namespace tobble {

// A row's conversions from UTF-16 units and from code points into bytes,
// with their plain versions: all null but for encoders whose output is
// ASCII and that have them.
struct AsciiConversions {
  AsciiConversionOf<char16_t> from_units;
  AsciiConversionOf<char16_t> from_units_scalar;
  AsciiConversionOf<char32_t> from_code_points;
  AsciiConversionOf<char32_t> from_code_points_scalar;
};

struct Filter {
  const char* function;  // export name
  const char* name;      // display name, code page 932
  const char* name_en;   // English display name
  char key;              // the host's key character
  unsigned factor;       // result block bytes per input unit (and one more)
  Conversion convert;
  // The plain unit-by-unit version of the same conversion, which the tests
  // and fuzzers hold `convert` to wherever that one takes faster paths.
  Conversion scalar;
  // The export name of the filter it makes a round trip with, or null
  // (filters/filter_list.h tells which way the trip runs).
  const char* inverse;
  const char* example;  // a short UTF-8 text that shows what the filter does
  // The same conversions over UTF-8, and their worst case in output bytes
  // per input byte. Null in the plug-ins, which convert UTF-16 alone, and
  // in stand-ins that tests make.
  unsigned factor8;
  Utf8Conversion convert8;
  Utf8Conversion scalar8;
  AsciiConversions ascii;
};

// Every filter converts: a row that gave null for a conversion would pick
// the deleted overload and not compile.
constexpr Conversion Required(Conversion conversion) {
  return conversion;
}
Conversion Required(decltype(nullptr)) = delete;
constexpr Utf8Conversion RequiredUtf8(Utf8Conversion conversion) {
  return conversion;
}
Utf8Conversion RequiredUtf8(decltype(nullptr)) = delete;

// Whether two zero-terminated byte strings are equal. The comparison stops
// at the first difference, so nothing past either string's end is read.
constexpr bool SameString(const char* a, const char* b) {
  for (; *a == *b; ++a, ++b) {
    if (*a == 0) return true;
  }
  return false;
}

// A row's inverse: null for `none`.
constexpr const char* Inverse(const char* function) {
  return SameString(function, "none") ? nullptr : function;
}

#ifdef TOBBLE_UTF16_ONLY
#define TOBBLE_UTF8_CONVERSION(conversion) nullptr
#else
#define TOBBLE_UTF8_CONVERSION(conversion) RequiredUtf8(conversion)
#endif

#if defined(TOBBLE_SCALAR_ONLY)
// A build that measures what the fast paths are worth (the WebAssembly
// benchmark's): every filter converts unit by unit.
#define TOBBLE_FAST_OR_SCALAR(convert, scalar) scalar
#else
#define TOBBLE_FAST_OR_SCALAR(convert, scalar) convert
#endif

#if defined(TOBBLE_UTF16_ONLY)
#define TOBBLE_ASCII_units_to_bytes(convert, scalar) \
  {}
#else
#define TOBBLE_ASCII_units_to_bytes(convert, scalar)                                           \
  {                                                                                            \
    &TOBBLE_FAST_OR_SCALAR(convert, scalar)<char16_t, uint8_t>, &scalar<char16_t, uint8_t>,    \
        &TOBBLE_FAST_OR_SCALAR(convert, scalar)<char32_t, uint8_t>, &scalar<char32_t, uint8_t> \
  }
#endif
#define TOBBLE_ASCII_none(convert, scalar) \
  {}

#define TOBBLE_FILTER_ROW(function, name, name_en, key, factor, factor8, convert, scalar, inverse, \
                          example, ascii)                                                          \
  {#function,                                                                                      \
   name,                                                                                           \
   name_en,                                                                                        \
   key,                                                                                            \
   factor,                                                                                         \
   Required(TOBBLE_FAST_OR_SCALAR(convert, scalar)),                                               \
   Required(scalar),                                                                               \
   Inverse(#inverse),                                                                              \
   example,                                                                                        \
   factor8,                                                                                        \
   TOBBLE_UTF8_CONVERSION(TOBBLE_FAST_OR_SCALAR(convert, scalar)),                                 \
   TOBBLE_UTF8_CONVERSION(scalar),                                                                 \
   TOBBLE_ASCII_##ascii(convert, scalar)},
inline constexpr Filter kFilters[] = {TOBBLE_FILTERS(TOBBLE_FILTER_ROW)};
#undef TOBBLE_FILTER_ROW
#undef TOBBLE_ASCII_units_to_bytes
#undef TOBBLE_ASCII_none

inline constexpr size_t kFilterCount = sizeof(kFilters) / sizeof(kFilters[0]);

// The units of output room converting n units with the filter needs.
constexpr size_t OutputBound(const Filter& filter, size_t n) {
  return OutputBound(filter.factor, n);
}

// The bytes of output room an ASCII conversion of the filter needs for n
// units of In.
template <typename In>
constexpr size_t AsciiOutputBound(const Filter& filter, size_t n) {
  return AsciiOutputBound<In>(filter.factor, n);
}

// The bytes of output room converting n bytes of UTF-8 with the filter needs.
constexpr size_t Utf8OutputBound(const Filter& filter, size_t n) {
  return Utf8OutputBound(filter.factor8, n);
}

// The index of the filter exported as `function`, or kFilterCount.
constexpr size_t FilterIndex(const char* function) {
  size_t i = 0;
  while (i < kFilterCount && !SameString(function, kFilters[i].function)) ++i;
  return i;
}

// The filter exported as `function`, or null.
constexpr const Filter* FindFilter(const char* function) {
  const size_t i = FilterIndex(function);
  return i < kFilterCount ? &kFilters[i] : nullptr;
}

// The round trip a filter's row names: its encoder, whose output its
// decoder gives back as the text it was. The decoder is the side that never
// lengthens a text. Both null when the row names no inverse.
struct RoundTrip {
  const Filter* encoder;
  const Filter* decoder;
};
constexpr RoundTrip RoundTripOf(const Filter& filter) {
  const Filter* inverse = filter.inverse ? FindFilter(filter.inverse) : nullptr;
  if (inverse == nullptr) return {nullptr, nullptr};
  if (inverse->factor < filter.factor) return {&filter, inverse};
  return {inverse, &filter};
}

// Every inverse names a filter of the table that takes the other side of
// the trip: one of the two lengthens texts and the other does not.
constexpr bool InversesAreSound() {
  for (const Filter& filter : kFilters) {
    if (filter.inverse == nullptr) continue;
    const size_t inverse = FilterIndex(filter.inverse);
    if (inverse == kFilterCount || kFilters[inverse].factor == filter.factor) return false;
  }
  return true;
}
static_assert(InversesAreSound(), "an inverse names no filter, or one on the same side");

}  // namespace tobble
