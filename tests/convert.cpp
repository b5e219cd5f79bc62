#include "tests/convert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace tobble::testing {
namespace {

// Converts `units` with `last` as given, appending the output to `out`;
// returns the number of units read.
size_t ConvertStep(const Filter& filter, const std::u16string& units, bool last,
                   std::u16string& out) {
  // Exactly the units the factor allows, less the terminating zero unit.
  const size_t capacity = (units.size() + 1) * filter.factor / 2 - 1;
  std::unique_ptr<char16_t[]> buffer(new char16_t[capacity == 0 ? 1 : capacity]);
  // The input in a block of its own size too, so that a read past its end
  // (a vector load too many) is caught as well.
  std::unique_ptr<char16_t[]> input(new char16_t[units.empty() ? 1 : units.size()]);
  std::copy(units.begin(), units.end(), input.get());
  const Progress done = filter.convert(input.get(), units.size(), buffer.get(), last);
  EXPECT_LE(done.written, capacity) << filter.function;
  EXPECT_LE(done.read, units.size()) << filter.function;
  if (last) {
    EXPECT_EQ(done.read, units.size()) << filter.function;
  }
  out.append(buffer.get(), done.written);
  return done.read;
}

}  // namespace

std::u16string Convert(const Filter& filter, const std::u16string& text) {
  std::u16string out;
  ConvertStep(filter, text, true, out);
  return out;
}

std::u16string ConvertInPieces(const Filter& filter, const std::u16string& text,
                               const std::vector<size_t>& sizes) {
  std::u16string out;
  std::u16string pending;
  size_t at = 0;
  for (size_t size : sizes) {
    size = std::min(size, text.size() - at);
    pending.append(text, at, size);
    at += size;
    pending.erase(0, ConvertStep(filter, pending, false, out));
    EXPECT_LE(pending.size(), kMaxTail) << filter.function;
  }
  pending.append(text, at, std::u16string::npos);
  ConvertStep(filter, pending, true, out);
  return out;
}

std::u16string RandomPieces(std::mt19937& rng, const std::vector<std::u16string>& pieces,
                            int most_pieces, int one_unit_in) {
  std::u16string text;
  const int count = std::uniform_int_distribution<int>(0, most_pieces)(rng);
  for (int i = 0; i < count; ++i) {
    if (std::uniform_int_distribution<int>(0, one_unit_in - 1)(rng) == 0) {
      text += static_cast<char16_t>(std::uniform_int_distribution<int>(1, 0xFFFF)(rng));
    } else {
      text += pieces[std::uniform_int_distribution<size_t>(0, pieces.size() - 1)(rng)];
    }
  }
  return text;
}

void AppendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace tobble::testing
