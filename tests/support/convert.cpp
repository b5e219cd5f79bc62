#include "tests/support/convert.h"

#include <stdio.h>

#include <algorithm>
#include <memory>

#include "filters/common/surrogate.h"
#include "filters/common/utf8.h"
#include "tests/support/case_file.h"

namespace tobble::testing {
namespace {

// The output room of a call, and the longest tail, by encoding.
size_t Room(const Filter& filter, size_t n, char16_t) {
  return OutputBound(filter, n) - 1;
}
size_t Room(const Filter& filter, size_t n, uint8_t) {
  return Utf8OutputBound(filter, n);
}

}  // namespace

std::string Show(const std::u16string& text) {
  constexpr size_t kShown = 160;
  if (text.size() <= kShown) return "\"" + ShowUnits(text) + "\"";
  return "\"" + ShowUnits(text.substr(0, kShown)) + "\"... (" + std::to_string(text.size()) +
         " units)";
}

std::string Show(const Bytes& text) {
  constexpr size_t kShown = 160;
  std::string shown = "\"";
  for (size_t i = 0; i < text.size() && i < kShown; ++i) {
    const uint8_t b = text[i];
    if (b >= 0x20 && b < 0x7F && b != '\\' && b != '"') {
      shown += static_cast<char>(b);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", b);
      shown += hex;
    }
  }
  shown += "\"";
  if (text.size() > kShown) shown += "... (" + std::to_string(text.size()) + " bytes)";
  return shown;
}

Utf8Text ToUtf8(const std::u16string& text) {
  Utf8Text utf8;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t code_point = text[i];
    if (IsHighSurrogate(code_point) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      code_point = CombineSurrogates(code_point, text[++i]);
    } else if (IsHighSurrogate(code_point) || IsLowSurrogate(code_point)) {
      code_point = kReplacementCharacter;
      ++utf8.replaced;
    }
    uint8_t bytes[4];
    utf8.bytes.append(bytes, WriteUtf8(bytes, code_point));
  }
  return utf8;
}

template <typename Unit>
CallResultOf<Unit> ConvertOnce(const Filter& filter, ConversionOf<Unit> conversion,
                               const std::basic_string<Unit>& in, bool last) {
  std::unique_ptr<Unit[]> input(new Unit[in.size()]);
  std::copy(in.begin(), in.end(), input.get());
  const size_t capacity = Room(filter, in.size(), Unit());
  std::unique_ptr<Unit[]> output(new Unit[capacity]);
  CallResultOf<Unit> result;
  result.done = conversion(input.get(), in.size(), output.get(), last);
  const char* const encoding = sizeof(Unit) == 1 ? " in UTF-8" : "";
  const std::string call =
      std::string(filter.function) + encoding + " on " + Show(in) + (last ? "" : " (last=false)");
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

template <typename Unit>
CallResultOf<Unit> ConvertPieces(const Filter& filter, ConversionOf<Unit> conversion,
                                 const std::basic_string<Unit>& text,
                                 const std::vector<size_t>& sizes) {
  CallResultOf<Unit> whole;
  std::basic_string<Unit> pending;
  size_t replaced = 0;
  size_t at = 0;
  for (size_t size : sizes) {
    size = std::min(size, text.size() - at);
    pending.append(text, at, size);
    at += size;
    CallResultOf<Unit> piece = ConvertOnce(filter, conversion, pending, false);
    if (piece.fault != CallFault::kNone) return piece;
    whole.out += piece.out;
    replaced += piece.done.replaced;
    pending.erase(0, piece.done.read);
    if (pending.size() > kMaxTailOf<Unit>) {
      whole.fault = CallFault::kTail;
      whole.message = std::string(filter.function) + " on " + Show(text) + ": a tail of " +
                      std::to_string(pending.size()) + " units after " + std::to_string(at) +
                      " units";
      return whole;
    }
  }
  pending.append(text, at, std::basic_string<Unit>::npos);
  CallResultOf<Unit> piece = ConvertOnce(filter, conversion, pending, true);
  if (piece.fault != CallFault::kNone) return piece;
  whole.out += piece.out;
  whole.done = {text.size(), whole.out.size(), replaced + piece.done.replaced};
  return whole;
}

template CallResultOf<char16_t> ConvertOnce(const Filter&, Conversion, const std::u16string&, bool);
template CallResultOf<uint8_t> ConvertOnce(const Filter&, Utf8Conversion, const Bytes&, bool);
template CallResultOf<char16_t> ConvertPieces(const Filter&, Conversion, const std::u16string&,
                                              const std::vector<size_t>&);
template CallResultOf<uint8_t> ConvertPieces(const Filter&, Utf8Conversion, const Bytes&,
                                             const std::vector<size_t>&);

}  // namespace tobble::testing
