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
