#include "tests/support/convert.h"

#include <algorithm>
#include <memory>

#include "tests/support/case_file.h"

namespace tobble::testing {

std::string Show(const std::u16string& text) {
  constexpr size_t kShown = 160;
  if (text.size() <= kShown) return "\"" + ShowUnits(text) + "\"";
  return "\"" + ShowUnits(text.substr(0, kShown)) + "\"... (" + std::to_string(text.size()) +
         " units)";
}

CallResult ConvertOnce(const Filter& filter, Conversion conversion, const std::u16string& in,
                       bool last) {
  std::unique_ptr<char16_t[]> input(new char16_t[in.size()]);
  std::copy(in.begin(), in.end(), input.get());
  const size_t capacity = OutputBound(filter, in.size()) - 1;
  std::unique_ptr<char16_t[]> output(new char16_t[capacity]);
  CallResult result;
  result.done = conversion(input.get(), in.size(), output.get(), last);
  const std::string call =
      std::string(filter.function) + " on " + Show(in) + (last ? "" : " (last=false)");
  if (result.done.written > capacity) {
    result.fault = CallFault::kBound;
    result.message = call + ": wrote " + std::to_string(result.done.written) + " units, room for " +
                     std::to_string(capacity);
  } else if (result.done.read > in.size() || (last && result.done.read != in.size())) {
    result.fault = CallFault::kRead;
    result.message = call + ": read " + std::to_string(result.done.read) + " of " +
                     std::to_string(in.size()) + " units";
  } else {
    result.out.assign(output.get(), result.done.written);
  }
  return result;
}

CallResult ConvertPieces(const Filter& filter, Conversion conversion, const std::u16string& text,
                         const std::vector<size_t>& sizes) {
  CallResult whole;
  std::u16string pending;
  size_t at = 0;
  for (size_t size : sizes) {
    size = std::min(size, text.size() - at);
    pending.append(text, at, size);
    at += size;
    CallResult piece = ConvertOnce(filter, conversion, pending, false);
    if (piece.fault != CallFault::kNone) return piece;
    whole.out += piece.out;
    pending.erase(0, piece.done.read);
    if (pending.size() > kMaxTail) {
      whole.fault = CallFault::kTail;
      whole.message = std::string(filter.function) + " on " + Show(text) + ": a tail of " +
                      std::to_string(pending.size()) + " units after " + std::to_string(at) +
                      " units";
      return whole;
    }
  }
  pending.append(text, at, std::u16string::npos);
  CallResult piece = ConvertOnce(filter, conversion, pending, true);
  if (piece.fault != CallFault::kNone) return piece;
  whole.out += piece.out;
  whole.done = {text.size(), whole.out.size()};
  return whole;
}

}  // namespace tobble::testing
