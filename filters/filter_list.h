// The nine filters, in the order of the host's filter table. This is the one
// place a filter is listed: the core's table, the plug-in's exports and its
// .def file, the fuzz targets, the tool's --list and --help and the tests'
// per-filter loops all derive from it.
//
// TOBBLE_FILTER(export, name, name_en, key, factor, factor8, convert, scalar, inverse, example,
//               ascii):
//   export   the export name, an identifier
//   name     the display name, code page 932
//   name_en  the English display name
//   key      the host's key character
//   factor   result block bytes per input unit (and one more)
//   factor8  in UTF-8, output bytes per input byte at most
//   convert  the conversion, a function template over the code unit: the
//            row yields its UTF-16 and its UTF-8 instantiation
//   scalar   its plain unit-by-unit version, which the tests and fuzzers hold
//            `convert` to wherever that one takes faster paths
//   inverse  the export name of the filter it makes a round trip with, or
//            none: an encoder names the decoder that gives its input back
//            from its output; a decoder names an encoder whose output it
//            reads back, or none when the encoders' rows say it all. Of the
//            two, the decoder is the one that never lengthens a text (the
//            smaller factor). The round trips the tests, the fuzzers and the
//            Python package check, and the benchmark's decoders and the texts
//            they read, all come from this column. (untobbleC reads \u
//            escapes as well as \U ones, so it names tobbleJ: tobbleC's own
//            row names it already.)
//   example  a short UTF-8 text that shows what the filter does (the tool's
//            --help converts it)
//   ascii    units_to_bytes where `convert` and `scalar` also read UTF-16
//            units or code points and write bytes, their output being ASCII
//            for every text (AsciiConversionOf; the Python package's encoders
//            write a str's own storage this way), else none
//
// The build reads the export names from the lines that start with
// "TOBBLE_FILTER(", one filter a line.
#pragma once

// The headers that declare the conversions.
#include "filters/charref/charref.h"
#include "filters/escape/escape.h"
#include "filters/url/url.h"

// "HTMLアンエスケープ"
#define TOBBLE_NAME_HTML_UNESCAPE_JA "HTML\x83\x41\x83\x93\x83\x47\x83\x58\x83\x50\x81\x5B\x83\x76"
// "HTMLエスケープ"
#define TOBBLE_NAME_HTML_ESCAPE_JA "HTML\x83\x47\x83\x58\x83\x50\x81\x5B\x83\x76"
// "HTMLエスケープ(16進)"
#define TOBBLE_NAME_HTML_ESCAPE_HEX_JA "HTML\x83\x47\x83\x58\x83\x50\x81\x5B\x83\x76(16\x90\x69)"

// clang-format off
#define TOBBLE_FILTERS(TOBBLE_FILTER) \
TOBBLE_FILTER(tobbleJ, "tobbleJ", "tobbleJ", 'A', 12, 3, EncodeEscapesJ, EncodeEscapesJScalar, untobbleJ, u8"café 😀", units_to_bytes) \
TOBBLE_FILTER(untobbleJ, "untobbleJ", "untobbleJ", 'N', 2, 1, DecodeEscapesJ, DecodeEscapesJScalar, tobbleJ, u8"caf\\u00e9", none) \
TOBBLE_FILTER(tobbleC, "tobbleC", "tobbleC", 'B', 12, 3, EncodeEscapesC, EncodeEscapesCScalar, untobbleC, u8"café 😀", units_to_bytes) \
TOBBLE_FILTER(untobbleC, "untobbleC", "untobbleC", 'M', 2, 1, DecodeEscapesC, DecodeEscapesCScalar, tobbleJ, u8"caf\\u00e9 \\U0001f600", none) \
TOBBLE_FILTER(charref2text, TOBBLE_NAME_HTML_UNESCAPE_JA, "HTMLunescape", 'F', 2, 2, DecodeCharrefs, DecodeCharrefsScalar, none, u8"&lt;p&gt; &eacute;&#233;&#xe9;", none) \
TOBBLE_FILTER(text2charref, TOBBLE_NAME_HTML_ESCAPE_JA, "HTMLescape", 'P', 16, 6, EncodeCharrefs, EncodeCharrefsScalar, charref2text, u8"<é>", units_to_bytes) \
TOBBLE_FILTER(URLencode, "URLencode", "URLencode", 'E', 18, 3, EncodeUrl, EncodeUrlScalar, URLdecode, u8"a b/é", none) \
TOBBLE_FILTER(URLdecode, "URLdecode", "URLdecode", 'C', 2, 1, DecodeUrl, DecodeUrlScalar, URLencode, u8"a+b%2F%C3%A9", none) \
TOBBLE_FILTER(text2charrefx, TOBBLE_NAME_HTML_ESCAPE_HEX_JA, "HTMLescape(HEX)", '8', 16, 6, EncodeCharrefsHex, EncodeCharrefsHexScalar, charref2text, u8"<é>", units_to_bytes)
// clang-format on
