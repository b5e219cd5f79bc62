// The nine filters, in the order of the host's filter table. This is the one
// place a filter is listed: the core's table, the plug-in's exports and its
// .def file, the fuzz targets, the tool's --list and --help and the tests'
// per-filter loops all derive from it.
//
// TOBBLE_FILTER(export, name, name_en, key, factor, convert, scalar):
//   export   the export name, an identifier
//   name     the display name, code page 932
//   name_en  the English display name
//   key      the host's key character
//   factor   result block bytes per input unit (and one more)
//   convert  the conversion
//   scalar   its plain unit-by-unit version, which the tests and fuzzers hold
//            `convert` to wherever that one takes faster paths
//
// The build reads the export names from the lines that start with
// "TOBBLE_FILTER(", one filter a line.
#pragma once

// "HTMLアンエスケープ"
#define TOBBLE_NAME_HTML_UNESCAPE_JA "HTML\x83\x41\x83\x93\x83\x47\x83\x58\x83\x50\x81\x5B\x83\x76"
// "HTMLエスケープ"
#define TOBBLE_NAME_HTML_ESCAPE_JA "HTML\x83\x47\x83\x58\x83\x50\x81\x5B\x83\x76"
// "HTMLエスケープ(16進)"
#define TOBBLE_NAME_HTML_ESCAPE_HEX_JA "HTML\x83\x47\x83\x58\x83\x50\x81\x5B\x83\x76(16\x90\x69)"

// clang-format off
#define TOBBLE_FILTERS(TOBBLE_FILTER) \
TOBBLE_FILTER(tobbleJ, "tobbleJ", "tobbleJ", 'A', 12, EncodeEscapesJ, EncodeEscapesJScalar) \
TOBBLE_FILTER(untobbleJ, "untobbleJ", "untobbleJ", 'N', 2, DecodeEscapesJ, DecodeEscapesJScalar) \
TOBBLE_FILTER(tobbleC, "tobbleC", "tobbleC", 'B', 12, EncodeEscapesC, EncodeEscapesCScalar) \
TOBBLE_FILTER(untobbleC, "untobbleC", "untobbleC", 'M', 2, DecodeEscapesC, DecodeEscapesCScalar) \
TOBBLE_FILTER(charref2text, TOBBLE_NAME_HTML_UNESCAPE_JA, "HTMLunescape", 'F', 2, DecodeCharrefs, DecodeCharrefsScalar) \
TOBBLE_FILTER(text2charref, TOBBLE_NAME_HTML_ESCAPE_JA, "HTMLescape", 'P', 16, EncodeCharrefs, EncodeCharrefsScalar) \
TOBBLE_FILTER(URLencode, "URLencode", "URLencode", 'E', 18, EncodeUrl, EncodeUrlScalar) \
TOBBLE_FILTER(URLdecode, "URLdecode", "URLdecode", 'C', 2, DecodeUrl, DecodeUrlScalar) \
TOBBLE_FILTER(text2charrefx, TOBBLE_NAME_HTML_ESCAPE_HEX_JA, "HTMLescape(HEX)", '8', 16, EncodeCharrefsHex, EncodeCharrefsHexScalar)
// clang-format on
