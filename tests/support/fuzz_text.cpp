#include "tests/support/fuzz_text.h"

namespace tobble::testing {
namespace {

// Units that a conversion treats at an edge, reached by one byte each.
constexpr char16_t kAwkwardUnits[] = {
    // High surrogates, then low ones: pairs, lone units, values past U+10FFFF.
    0xD800, 0xD801, 0xD83D, 0xD87F, 0xDB40, 0xDBFF,  //
    0xDC00, 0xDC01, 0xDE00, 0xDE4F, 0xDFFE, 0xDFFF,  //
    // Two-byte UTF-8 and the units a character reference name may hold.
    0x0080, 0x0081, 0x0085, 0x009F, 0x00A0, 0x00A9, 0x00AD, 0x00C3, 0x00E9, 0x00FF, 0x0100, 0x07FF,
    // Three-byte UTF-8, fullwidth digits and letters (never digits here).
    0x0800, 0x0FFF, 0x1000, 0x2028, 0x3000, 0x3042, 0x65E5, 0xD7FF, 0xE000, 0xF8FF, 0xFB01, 0xFEFF,
    0xFF05, 0xFF06, 0xFF10, 0xFF19, 0xFF21, 0xFF3C, 0xFF41, 0xFFFD, 0xFFFE, 0xFFFF,
    // Low or high byte equal to a unit that starts or ends a sequence, so a
    // conversion that looks at 8 bits only is caught.
    0x0123, 0x0125, 0x0126, 0x0130, 0x013B, 0x0141, 0x0155, 0x015C, 0x0175, 0x0178, 0x0A5C, 0x2B3B,
    0x4E26, 0x2500, 0x2600, 0x5C00};
constexpr size_t kAwkwardCount = sizeof(kAwkwardUnits) / sizeof(kAwkwardUnits[0]);

constexpr uint8_t kRawUnit = 0x00;
constexpr uint8_t kFirstAwkward = 0x80;
constexpr uint8_t kCut = 0xFF;

}  // namespace

FuzzText ReadFuzzText(const uint8_t* data, size_t size) {
  FuzzText text;
  for (size_t i = 0; i < size; ++i) {
    const uint8_t b = data[i];
    if (b == kCut) {
      text.cuts.push_back(text.units.size());
    } else if (b >= kFirstAwkward) {
      text.units += kAwkwardUnits[(b - kFirstAwkward) % kAwkwardCount];
    } else if (b != kRawUnit) {
      text.units += static_cast<char16_t>(b);
    } else if (i + 2 < size) {
      const char16_t unit = static_cast<char16_t>(data[i + 1] | data[i + 2] << 8);
      if (unit != 0) text.units += unit;
      i += 2;
    } else {
      break;  // a raw unit cut short ends the text
    }
  }
  return text;
}

std::string WriteFuzzText(const std::u16string& units) {
  std::string bytes;
  for (const char16_t u : units) {
    if (u == 0) continue;
    if (u < kFirstAwkward) {
      bytes += static_cast<char>(u);
    } else {
      bytes += static_cast<char>(kRawUnit);
      bytes += static_cast<char>(u & 0xFF);
      bytes += static_cast<char>(u >> 8);
    }
  }
  return bytes;
}

}  // namespace tobble::testing
