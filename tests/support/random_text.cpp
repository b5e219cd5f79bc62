#include "tests/support/random_text.h"

namespace tobble::testing {

std::vector<size_t> RandomText::PieceSizes(size_t length, int largest) {
  std::vector<size_t> sizes;
  for (size_t at = 0; at < length; at += sizes.back()) {
    sizes.push_back(static_cast<size_t>(Pick(0, largest)));
  }
  return sizes;
}

std::u16string RandomText::Hex(uint32_t value, int digits) {
  static const char16_t kHex[] = u"0123456789abcdef0123456789ABCDEF";
  const int upper = Pick(0, 3) == 0 ? 16 : 0;
  std::u16string field;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
    field += kHex[upper + ((value >> shift) & 0xF)];
  }
  return field;
}

std::u16string RandomText::Plain(size_t length) {
  static const std::u16string kSpecial = u"%+ \r\n-._~09AFaf";
  std::u16string text;
  while (text.size() < length) {
    switch (Pick(0, 7)) {
      case 0:
        text += OneOf(kSpecial);
        break;
      case 1:
      case 2:
        text += static_cast<char16_t>(Pick(1, 0x7F));
        break;
      case 3:
        text += static_cast<char16_t>(Pick(0x80, 0x7FF));
        break;
      case 4:
        text += static_cast<char16_t>(Pick(0x800, 0xFFFF));  // lone surrogates too
        break;
      case 5:  // a true pair
        text += static_cast<char16_t>(Pick(0xD800, 0xDBFF));
        text += static_cast<char16_t>(Pick(0xDC00, 0xDFFF));
        break;
      case 6:  // a lone high surrogate, also before a unit that is no low one
        text += static_cast<char16_t>(Pick(0xD800, 0xDBFF));
        break;
      case 7:
        text += static_cast<char16_t>(Pick(0xDC00, 0xDFFF));
        break;
    }
  }
  return text;
}

std::u16string RandomText::Pieces(const std::vector<std::u16string>& pieces, int most_pieces,
                                  int one_unit_in) {
  std::u16string text;
  for (int i = Pick(0, most_pieces); i > 0; --i) {
    if (Pick(0, one_unit_in - 1) == 0) {
      text += static_cast<char16_t>(Pick(1, 0xFFFF));
    } else {
      text += pieces[Below(pieces.size())];
    }
  }
  return text;
}

std::u16string RandomText::Special() {
  static const std::vector<std::u16string> kPieces = {
      u"\\u", u"\\U", u"\\", u"%", u"%E3%81", u"+", u"&", u"&#", u"&#x", u";", u"amp", u"not",
      u"notin;", u"0", u"41", u"1F600", u"ffff", u"\"", u"<", u">", u"'", u" ", u"\n", u"abcdefg",
      u"abcdefgh", u"abcdefghi", u"\u00e9", u"\u3042", u"\U0001F600",
      // Escaped UTF-8 that decodes to a character, to nothing that the text
      // can hold (the value 0, above 0x10FFFF), or breaks at its last byte.
      u"%e3%81%82", u"%E0%80%80", u"%F0%9F%98%80", u"%f4%90%80%80", u"%F0%9F%98%41"};
  return Pieces(kPieces, 40, 5);
}

std::u16string RandomText::Tricky(size_t length) {
  static const std::u16string kUnits = u"\\%+ uUxX-0123456789abcdefABCDEFg\t\n\r&#;.~_";
  static const std::u16string kFieldUnits = u"0123456789abcdefABCDEF \t+-xXg\\";
  std::u16string text;
  while (text.size() < length) {
    switch (Pick(0, 11)) {
      case 0:
        text += OneOf(kUnits);
        break;
      case 1:  // a run of letters, up to a few vectors long
        for (int k = Pick(0, 20); k > 0; --k) text += static_cast<char16_t>(Pick('a', 'z'));
        break;
      case 2:
        text += static_cast<char16_t>(Pick(0x80, 0xFFFF));  // lone surrogates too
        break;
      case 3:
        text += static_cast<char16_t>(Pick(0xD800, 0xDBFF));
        text += static_cast<char16_t>(Pick(0xDC00, 0xDFFF));
        break;
      case 4:  // "\u" and a field of any units an escape may hold
      case 5:
        text += Pick(0, 1) ? u"\\u" : u"\\U";
        for (int k = Pick(0, 9); k > 0; --k) text += OneOf(kFieldUnits);
        break;
      case 6:  // a good "\u" escape, zero and surrogates among them
        text += u"\\u" + Hex(Pick(0, 3) == 0 ? Pick(0, 0x7F) : Pick(0, 0xFFFF), 4);
        break;
      case 7:  // a "\U" escape of a code point, or just beyond
        text += u"\\U" + Hex(Pick(0, 3) == 0 ? Pick(0, 0xFFFF) : Pick(0, 0x110010), 8);
        break;
      case 8:  // a "\U" field past the 32-bit range, or negative
        text += u"\\U" + Hex(static_cast<uint32_t>(Pick(0x7FFFFFF0, 0x7FFFFFFF)) * 2, 8);
        break;
      case 9:  // "%" and a byte
        text += u"%" + Hex(Pick(0, 255), 2);
        break;
      case 10: {  // the escaped UTF-8 of a code point, maybe cut short
        const uint32_t value = Pick(0, 3) == 0 ? Pick(0, 0x7FF) : Pick(0, 0x10FFFF);
        const int continuation = value < 0x80 ? 0 : value < 0x800 ? 1 : value < 0x10000 ? 2 : 3;
        static const uint32_t kLeads[] = {0x00, 0xC0, 0xE0, 0xF0};
        text += u"%" + Hex(kLeads[continuation] | value >> (6 * continuation), 2);
        const int kept = Pick(0, 2) == 0 ? Pick(0, continuation) : continuation;
        for (int k = continuation - 1; k >= continuation - kept; --k) {
          text += u"%" + Hex(0x80 | ((value >> (6 * k)) & 0x3F), 2);
        }
        break;
      }
      case 11:
        text += static_cast<char16_t>(Pick(1, 0x7F));
        break;
    }
  }
  return text;
}

std::u16string RandomText::PercentEncoded(size_t length) {
  static const int kBytes[] = {0x00, 0x01, 0x41, 0x7F, 0x80, 0x81, 0xBF, 0xC0, 0xC3, 0xDF,
                               0xE0, 0xE3, 0xED, 0xEF, 0xF0, 0xF4, 0xF7, 0xF8, 0xFF};
  std::u16string text;
  while (text.size() < length) {
    const int kind = Pick(0, 9);
    if (kind < 6) {  // an escape
      text += u"%" + Hex(kBytes[Below(sizeof(kBytes) / sizeof(kBytes[0]))], 2);
    } else if (kind == 6) {  // a lone "%" or half an escape
      text += u'%';
      if (Pick(0, 1)) text += Hex(Pick(0, 15), 1);
    } else if (kind == 7) {
      text += u'+';
    } else if (kind == 8) {
      text += static_cast<char16_t>(Pick(1, 0x7F));
    } else {
      text += static_cast<char16_t>(Pick(0x80, 0xFFFF));
    }
  }
  return text;
}

std::u16string RandomText::References() {
  static const std::vector<std::u16string> kPieces = {
      u"&",  u"&",     u"&#",    u"&#x",  u";",     u"#",   u"x", u"amp",
      u"lt", u"not",   u"notin", u"copy", u"fjlig", u"Afr", u"0", u"41",
      u"65", u"1F600", u"-",     u" ",    u"\n",    u"\"",  u"<", u"'"};
  return Pieces(kPieces, 30, 4);
}

std::u16string RandomText::ReferenceFastPaths(const std::vector<std::u16string>& names) {
  static const std::vector<std::u16string> kPieces = {
      u"&",  u"&&&", u"&#", u"&#x", u"&#X", u";", u"#",    u"0",    u"00000", u"9",
      u"65", u"-",   u"+",  u" ",   u"\t",  u"x", u"0x",   u"fF",   u"g",     u"\n",
      u"\"", u"<",   u">",  u"é",   u"あ",  u"😀", u"\xFF", u"\x100"};
  std::u16string text;
  for (size_t i = Below(24); i > 0; --i) {
    switch (Below(8)) {
      case 0: {  // a name, perhaps cut, changed or without ";"
        std::u16string name = names[Below(names.size())];
        if (Below(4) == 0) name.resize(Below(name.size() + 1));
        if (Below(4) == 0 && !name.empty()) name[Below(name.size())] ^= 0x20;
        text += u"&" + name;
        if (Below(3) != 0) text += u";";
        break;
      }
      case 1: {  // a number: decimal or hex, of 1 to 9 digits
        const bool hex = Below(2) == 0;
        text += hex ? u"&#x" : u"&#";
        for (size_t d = Below(9) + 1; d > 0; --d) {
          text += u"0123456789abcdefABCDEF"[Below(hex ? 22 : 10)];
        }
        if (Below(4) != 0) text += u";";
        break;
      }
      case 2:  // a run of name units around the 36-unit limit
        text += u"&" + std::u16string(30 + Below(12), OneOf(u"qZ-. \xE9"));
        if (Below(2) == 0) text += u";";
        break;
      case 3:  // plain units around the vector width
        text += std::u16string(Below(20), static_cast<char16_t>(u'a' + Below(26)));
        break;
      case 4:
        text += static_cast<char16_t>(Below(0x10000));
        break;
      default:
        text += kPieces[Below(kPieces.size())];
    }
  }
  return text;
}

}  // namespace tobble::testing
