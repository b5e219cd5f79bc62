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
template <typename In, typename Out>
size_t Room(const Filter& filter, size_t n) {
  if constexpr (sizeof(In) == 1) {
    return Utf8OutputBound(filter, n);
  } else if constexpr (sizeof(Out) == 1) {
    return AsciiOutputBound<In>(filter, n);
  } else {
    return OutputBound(filter, n) - 1;
  }
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

namespace {

// The input for messages: code points shown as the units they make.
std::u16string Shown(const std::u16string& in) {
  return in;
}
Bytes Shown(const Bytes& in) {
  return in;
}
std::u16string Shown(const std::u32string& in) {
  std::u16string units;
  for (const char32_t c : in) {
    if (c < 0x10000) {
      units += static_cast<char16_t>(c);
    } else {
      units += HighSurrogateOf(c);
      units += LowSurrogateOf(c);
    }
  }
  return units;
}

}  // namespace

template <typename In, typename Out>
CallResultOf<Out> ConvertOnce(const Filter& filter,
                              Progress (*conversion)(const In*, size_t, Out*, bool),
                              const std::basic_string<In>& in, bool last) {
  std::unique_ptr<In[]> input(new In[in.size()]);
  std::copy(in.begin(), in.end(), input.get());
  const size_t capacity = Room<In, Out>(filter, in.size());
  std::unique_ptr<Out[]> output(new Out[capacity]);
  CallResultOf<Out> result;
  result.done = conversion(input.get(), in.size(), output.get(), last);
  const char* const encoding = sizeof(In) == 1    ? " in UTF-8"
                               : sizeof(In) == 4  ? " from code points into bytes"
                               : sizeof(Out) == 1 ? " into bytes"
                                                  : "";
  const std::string call = std::string(filter.function) + encoding + " on " + Show(Shown(in)) +
                           (last ? "" : " (last=false)");
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

template <typename In, typename Out>
CallResultOf<Out> ConvertPieces(const Filter& filter,
                                Progress (*conversion)(const In*, size_t, Out*, bool),
                                const std::basic_string<In>& text,
                                const std::vector<size_t>& sizes) {
  CallResultOf<Out> whole;
  std::basic_string<In> pending;
  size_t replaced = 0;
  size_t at = 0;
  for (size_t size : sizes) {
    size = std::min(size, text.size() - at);
    pending.append(text, at, size);
    at += size;
    CallResultOf<Out> piece = ConvertOnce(filter, conversion, pending, false);
    if (piece.fault != CallFault::kNone) return piece;
    whole.out += piece.out;
    replaced += piece.done.replaced;
    pending.erase(0, piece.done.read);
    if (pending.size() > kMaxTailOf<In>) {
      whole.fault = CallFault::kTail;
      whole.message = std::string(filter.function) + " on " + Show(Shown(text)) + ": a tail of " +
                      std::to_string(pending.size()) + " units after " + std::to_string(at) +
                      " units";
      return whole;
    }
  }
  pending.append(text, at, std::basic_string<In>::npos);
  CallResultOf<Out> piece = ConvertOnce(filter, conversion, pending, true);
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
template CallResultOf<uint8_t> ConvertOnce(const Filter&, AsciiConversionOf<char16_t>,
                                           const std::u16string&, bool);
template CallResultOf<uint8_t> ConvertOnce(const Filter&, AsciiConversionOf<char32_t>,
                                           const std::u32string&, bool);
template CallResultOf<uint8_t> ConvertPieces(const Filter&, AsciiConversionOf<char16_t>,
                                             const std::u16string&, const std::vector<size_t>&);
template CallResultOf<uint8_t> ConvertPieces(const Filter&, AsciiConversionOf<char32_t>,
                                             const std::u32string&, const std::vector<size_t>&);

}  // namespace tobble::testing
