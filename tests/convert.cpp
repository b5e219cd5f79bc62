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

}  // namespace tobble::testing
