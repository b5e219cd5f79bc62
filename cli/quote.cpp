#include "cli/quote.h"

#include <stddef.h>
#include <stdint.h>

namespace tobble::cli {
namespace {

// What a printable ASCII character is to the quoting.
enum class Kind : uint8_t {
  kPlain,       // needs no quotes, and may stand inside double quotes
  kUnquoted,    // needs no quotes, but not safe inside double quotes ({, })
  kSpecial,     // needs quotes, and may stand inside double quotes (space)
  kShell,       // needs quotes, and only single quotes hold it as it is
  kAtStart,     // kSpecial as the first character, else kUnquoted (#, ~)
  kSingleQuote  // '
};

Kind AsciiKind(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
    return Kind::kPlain;
  }
  switch (c) {
    case '%':
    case '+':
    case ',':
    case '-':
    case '.':
    case '/':
    case ':':
    case '@':
    case ']':
    case '_':
      return Kind::kPlain;
    case '{':
    case '}':
      return Kind::kUnquoted;
    case ' ':
      return Kind::kSpecial;
    case '#':
    case '~':
      return Kind::kAtStart;
    case '\'':
      return Kind::kSingleQuote;
    default:  // ! " $ & ( ) * ; < = > ? [ \ ^ ` |
      return Kind::kShell;
  }
}

// The length of the valid UTF-8 sequence at text[i] that encodes a printable
// character, or 0 for a control character, an invalid or cut-short
// sequence, and the characters a terminal would not show as they are: C1
// controls, the line and paragraph separators, noncharacters.
size_t PrintableLength(const std::string& text, size_t i) {
  const uint8_t lead = static_cast<uint8_t>(text[i]);
  if (lead < 0x80) return lead >= 0x20 && lead < 0x7F ? 1 : 0;
  size_t length;
  uint32_t code;
  uint32_t minimum;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    const uint8_t next = static_cast<uint8_t>(text[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    code = code << 6 | (next & 0x3F);
  }
  const bool valid = code >= minimum && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
  const bool shown = code > 0x9F && code != 0x2028 && code != 0x2029 &&
                     !(code >= 0xFDD0 && code <= 0xFDEF) && (code & 0xFFFE) != 0xFFFE;
  return valid && shown ? length : 0;
}

// Appends byte c as a C escape for a $'...' segment.
void AppendEscape(std::string& out, uint8_t c) {
  static constexpr char kLetters[] = "abtnvfr";  // \a (7) to \r (13)
  out += '\\';
  if (c >= 7 && c <= 13) {
    out += kLetters[c - 7];
  } else {
    out += static_cast<char>('0' + (c >> 6));
    out += static_cast<char>('0' + ((c >> 3) & 7));
    out += static_cast<char>('0' + (c & 7));
  }
}

}  // namespace

std::string QuoteName(const std::string& name) {
  if (name.empty()) return "''";
  bool needs_quotes = false;
  bool printable = true;
  bool double_quotes_hold_it = true;
  bool has_single_quote = false;
  for (size_t i = 0; i < name.size();) {
    const size_t length = PrintableLength(name, i);
    if (length == 0) {
      needs_quotes = true, printable = false;
      ++i;
      continue;
    }
    if (length == 1) {
      Kind kind = AsciiKind(name[i]);
      if (kind == Kind::kAtStart) kind = i == 0 ? Kind::kSpecial : Kind::kUnquoted;
      // A brace alone is a shell word of its own.
      if (kind == Kind::kUnquoted && name.size() == 1 && name[0] != '#' && name[0] != '~') {
        kind = Kind::kShell;
      }
      needs_quotes |= kind == Kind::kSpecial || kind == Kind::kShell || kind == Kind::kSingleQuote;
      double_quotes_hold_it &= kind != Kind::kShell && kind != Kind::kUnquoted;
      has_single_quote |= kind == Kind::kSingleQuote;
    }
    i += length;
  }
  if (!needs_quotes) return name;
  if (printable && has_single_quote && double_quotes_hold_it) return '"' + name + '"';

  std::string out = "'";
  bool quoted = true;  // inside single quotes
  for (size_t i = 0; i < name.size();) {
    const size_t length = PrintableLength(name, i);
    if (length > 0) {
      if (name[i] == '\'') {
        // Out of the quotes for an escaped quote, then in again.
        out += quoted ? "'\\''" : "\\''";
      } else {
        if (!quoted) out += '\'';
        out.append(name, i, length);
      }
      quoted = true;
      i += length;
      continue;
    }
    // A run of unprintable bytes: the quotes closed, a $'...' segment.
    out += "'$'";
    for (; i < name.size() && PrintableLength(name, i) == 0; ++i) {
      AppendEscape(out, static_cast<uint8_t>(name[i]));
    }
    out += '\'';
    quoted = false;
  }
  if (quoted) out += '\'';
  return out;
}

}  // namespace tobble::cli
