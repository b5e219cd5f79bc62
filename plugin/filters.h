// The nine filters, in the order of the host's filter table. The plug-in's
// exports, the command-line tool, the tests and the benchmarks all read this
// one list.
#pragma once

#include <stddef.h>

#include "charref/charref.h"
#include "common/conversion.h"
#include "escape/escape.h"
#include "url/url.h"

namespace tobble {

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
};

namespace names {
// Filters whose three names are equal share one string.
inline constexpr char kTobbleJ[] = "tobbleJ";
inline constexpr char kUntobbleJ[] = "untobbleJ";
inline constexpr char kTobbleC[] = "tobbleC";
inline constexpr char kUntobbleC[] = "untobbleC";
inline constexpr char kCharrefToText[] = "charref2text";
inline constexpr char kTextToCharref[] = "text2charref";
inline constexpr char kUrlEncode[] = "URLencode";
inline constexpr char kUrlDecode[] = "URLdecode";
inline constexpr char kTextToCharrefHex[] = "text2charrefx";
// "HTMLアンエスケープ"
inline constexpr char kHtmlUnescapeJa[] =
    "HTML\x83\x41\x83\x93\x83\x47\x83\x58\x83\x50\x81\x5B\x83\x76";
// "HTMLエスケープ"
inline constexpr char kHtmlEscapeJa[] = "HTML\x83\x47\x83\x58\x83\x50\x81\x5B\x83\x76";
// "HTMLエスケープ(16進)"
inline constexpr char kHtmlEscapeHexJa[] =
    "HTML\x83\x47\x83\x58\x83\x50\x81\x5B\x83\x76(16\x90\x69)";
inline constexpr char kHtmlUnescape[] = "HTMLunescape";
inline constexpr char kHtmlEscape[] = "HTMLescape";
inline constexpr char kHtmlEscapeHex[] = "HTMLescape(HEX)";
}  // namespace names

inline constexpr Filter kFilters[] = {
    {names::kTobbleJ, names::kTobbleJ, names::kTobbleJ, 'A', 12, EncodeEscapesJ,
     EncodeEscapesJScalar},
    {names::kUntobbleJ, names::kUntobbleJ, names::kUntobbleJ, 'N', 2, DecodeEscapesJ,
     DecodeEscapesJScalar},
    {names::kTobbleC, names::kTobbleC, names::kTobbleC, 'B', 12, EncodeEscapesC,
     EncodeEscapesCScalar},
    {names::kUntobbleC, names::kUntobbleC, names::kUntobbleC, 'M', 2, DecodeEscapesC,
     DecodeEscapesCScalar},
    {names::kCharrefToText, names::kHtmlUnescapeJa, names::kHtmlUnescape, 'F', 2, DecodeCharrefs,
     DecodeCharrefsScalar},
    {names::kTextToCharref, names::kHtmlEscapeJa, names::kHtmlEscape, 'P', 16, EncodeCharrefs,
     EncodeCharrefsScalar},
    {names::kUrlEncode, names::kUrlEncode, names::kUrlEncode, 'E', 18, EncodeUrl, EncodeUrlScalar},
    {names::kUrlDecode, names::kUrlDecode, names::kUrlDecode, 'C', 2, DecodeUrl, DecodeUrlScalar},
    {names::kTextToCharrefHex, names::kHtmlEscapeHexJa, names::kHtmlEscapeHex, '8', 16,
     EncodeCharrefsHex, EncodeCharrefsHexScalar},
};

inline constexpr size_t kFilterCount = sizeof(kFilters) / sizeof(kFilters[0]);

// The filter exported as `function`, or null.
const Filter* FindFilter(const char* function);

}  // namespace tobble
