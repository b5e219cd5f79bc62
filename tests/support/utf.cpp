#include "tests/support/utf.h"

#include <algorithm>

#include "filters/common/surrogate.h"

namespace tobble::testing {
namespace {

// What begins at a byte: a whole, valid UTF-8 sequence (its code point and
// length), or else the length of the maximal subpart of an ill-formed one.
struct Sequence {
  uint32_t code_point;
  size_t length;
  bool valid;
};

// The code points a sequence of `length` bytes may hold: from the smallest
// that needs that many bytes, leaving out the surrogates, up to U+10FFFF.
bool CanHold(size_t length, uint32_t lowest, uint32_t highest) {
  constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  constexpr uint32_t kLargest[] = {0, 0x7F, 0x7FF, 0xFFFF, 0x10FFFF};
  lowest = std::max(lowest, kSmallest[length]);
  highest = std::min(highest, kLargest[length]);
  if (lowest > highest) return false;
  return !(lowest >= 0xD800 && highest <= 0xDFFF);  // not surrogates only
}

// Taken apart by the bit layout alone. The maximal subpart is the longest
// run of bytes, lead byte first, that some valid sequence begins with: the
// code points its bits still allow (the rest zeros to the rest ones) must
// include one that a sequence of that length may hold.
Sequence ReadSequence(const uint8_t* in, size_t n) {
  const uint8_t lead = in[0];
  if (lead < 0x80) return {lead, 1, true};
  size_t length = 0;
  uint32_t bits = 0;
  if (lead >> 5 == 0x6) {  // 110xxxxx
    length = 2;
    bits = lead & 0x1F;
  } else if (lead >> 4 == 0xE) {  // 1110xxxx
    length = 3;
    bits = lead & 0x0F;
  } else if (lead >> 3 == 0x1E) {  // 11110xxx
    length = 4;
    bits = lead & 0x07;
  } else {  // a continuation byte, or F8 to FF
    return {0, 1, false};
  }
  size_t taken = 1;
  for (;; ++taken) {
    const unsigned unknown = 6 * static_cast<unsigned>(length - taken);
    const uint32_t lowest = bits << unknown;
    const uint32_t highest = lowest | ((1u << unknown) - 1);
    if (!CanHold(length, lowest, highest)) return {0, std::max<size_t>(taken - 1, 1), false};
    if (taken == length) return {bits, length, true};
    if (taken == n || in[taken] >> 6 != 0x2) return {0, taken, false};  // 10xxxxxx
    bits = bits << 6 | (in[taken] & 0x3F);
  }
}

}  // namespace

void AppendUtf8(std::string& out, uint32_t code_point) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
    return;
  }
  constexpr uint8_t kLeadBits[] = {0, 0, 0xC0, 0xE0, 0xF0};
  const int length = code_point < 0x800 ? 2 : code_point < 0x10000 ? 3 : 4;
  out += static_cast<char>(kLeadBits[length] | code_point >> 6 * (length - 1));
  for (int k = length - 2; k >= 0; --k) {
    out += static_cast<char>(0x80 | (code_point >> 6 * k & 0x3F));
  }
}

void AppendUnits(std::u16string& units, uint32_t code_point) {
  if (code_point < 0x10000) {
    units += static_cast<char16_t>(code_point);
  } else {
    units += HighSurrogateOf(code_point);
    units += LowSurrogateOf(code_point);
  }
}

Utf8Reading ReadUtf8(const std::string& text) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
  Utf8Reading reading;
  reading.first_invalid = n;
  for (size_t i = 0; i < n;) {
    const Sequence sequence = ReadSequence(bytes + i, n - i);
    if (sequence.valid) {
      AppendUnits(reading.units, sequence.code_point);
    } else {
      if (reading.replaced == 0) {
        reading.first_invalid = i;
        reading.units_before = reading.units.size();
      }
      reading.units += u'\xFFFD';
      ++reading.replaced;
    }
    i += sequence.length;
  }
  if (reading.replaced == 0) reading.units_before = reading.units.size();
  return reading;
}

std::string WriteUtf8(const std::u16string& units, uint64_t* lone) {
  std::string out;
  if (lone != nullptr) *lone = 0;
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t code_point = units[i];
    if (IsHighSurrogate(code_point) && i + 1 < units.size() && IsLowSurrogate(units[i + 1])) {
      code_point = CombineSurrogates(code_point, units[++i]);
    } else if (IsHighSurrogate(code_point) || IsLowSurrogate(code_point)) {
      code_point = 0xFFFD;
      if (lone != nullptr) ++*lone;
    }
    AppendUtf8(out, code_point);
  }
  return out;
}

std::string WriteUtf16(const std::u16string& units, bool big_endian) {
  std::string out;
  for (const char16_t unit : units) {
    const char low = static_cast<char>(unit & 0xFF), high = static_cast<char>(unit >> 8);
    out += big_endian ? high : low;
    out += big_endian ? low : high;
  }
  return out;
}

std::u16string ReadUtf16(const std::string& bytes, bool big_endian) {
  std::u16string units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const uint8_t a = static_cast<uint8_t>(bytes[i]), b = static_cast<uint8_t>(bytes[i + 1]);
    units += static_cast<char16_t>(big_endian ? a << 8 | b : b << 8 | a);
  }
  return units;
}

std::u32string CodePointsOf(const std::u16string& units, bool join_pairs) {
  std::u32string code_points;
  for (size_t i = 0; i < units.size(); ++i) {
    const char32_t u = units[i];
    if (join_pairs && (u & 0xFC00) == 0xD800 && i + 1 < units.size() &&
        (units[i + 1] & 0xFC00) == 0xDC00) {
      code_points += 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else {
      code_points += u;
    }
  }
  return code_points;
}

}  // namespace tobble::testing
