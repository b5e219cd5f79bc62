#include "tests/support/gtest_convert.h"

#include <gtest/gtest.h>

#include "tests/support/convert.h"

namespace tobble::testing {
namespace {

std::u16string OutputOf(const CallResult& call) {
  EXPECT_EQ(call.fault, CallFault::kNone) << call.message;
  return call.out;
}

}  // namespace

std::u16string Convert(const Filter& filter, const std::u16string& text) {
  return OutputOf(ConvertOnce(filter, filter.convert, text, true));
}

std::u16string ConvertInPieces(const Filter& filter, const std::u16string& text,
                               const std::vector<size_t>& sizes) {
  return OutputOf(ConvertPieces(filter, filter.convert, text, sizes));
}

}  // namespace tobble::testing
