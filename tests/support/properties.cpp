#include "tests/support/properties.h"

#include <algorithm>
#include <memory>

#include "filters/common/processor.h"
#include "filters/common/utf8.h"
#include "tests/support/api_target.h"
#include "tests/support/byte_stream_target.h"
#include "tests/support/case_file.h"
#include "tests/support/convert.h"
#include "tests/support/fuzz_text.h"
#include "tests/support/utf.h"

namespace tobble::testing {
namespace {

using Violations = std::vector<Violation>;

constexpr PropertyInfo kPropertyInfo[] = {
    {"bound",
     "Every call writes at most (n + 1) * factor / 2 - 1 units for its n input units, into a "
     "buffer of exactly that size after an input buffer of exactly n units, so AddressSanitizer "
     "reports any read or write beyond either."},
    {"no longer", "A decoder writes no more units than it reads."},
    {"ASCII", "An encoder writes no unit above 0x7F."},
    {"no zero unit",
     "No filter writes a zero unit, which would end the text for whoever reads it (fuzz texts "
     "hold none)."},
    {"round trip",
     "Decoding the encoded text gives it back: tobbleJ then untobbleJ and untobbleC, tobbleC then "
     "untobbleC (for texts without a backslash), text2charref and text2charrefx then "
     "charref2text, URLencode then URLdecode (every text)."},
    {"pieces",
     "Converting the text in pieces (calls with last=false, the unread tail passed again in "
     "front of the next piece, then one last call) gives exactly the whole-text output."},
    {"tail",
     "A call with last=false leaves at most 64 units unread; a call with last=true reads all."},
    {"scalar",
     "Where a filter's `convert` is not its plain `scalar` version, both give the same units and "
     "the same progress for the whole text, and both stream to that output."},
    {"validation",
     "The stream in strict mode with each transcoder the processor runs, given the bytes whole "
     "and in pieces, accepts or refuses them as a plain check written apart from the library "
     "does, and refuses at the same offset: that of the first byte of the first UTF-8 sequence "
     "that is invalid (an overlong form, a surrogate, above U+10FFFF, a stray byte) or cut short, "
     "or of the odd last byte of UTF-16LE or UTF-16BE."},
    {"stream output",
     "The stream in strict mode with each transcoder, fed whole and in pieces through slices and "
     "output blocks a little above their smallest, writes exactly the bytes before the first "
     "invalid one (all of them when valid) decoded plainly, converted at once by the filter's "
     "`scalar` version and encoded again (UTF-8 with each lone surrogate as U+FFFD, UTF-16 as it "
     "is), and counts exactly the lone surrogates of that output as replaced."},
    {"replaced bytes",
     "The stream in replace mode writes the whole input read plainly with one U+FFFD for each "
     "maximal subpart of an ill-formed UTF-8 sequence (the longest start of a well-formed "
     "sequence, else one byte) and for the odd last byte of UTF-16, converted and encoded the "
     "same way, and counts those U+FFFD."},
    {"UTF-8",
     "The filter's UTF-8 conversion, fast and plain, on the text in UTF-8 (each surrogate "
     "without a partner as U+FFFD) writes exactly the UTF-16 conversion's output in UTF-8, each "
     "surrogate without a partner as U+FFFD, and counts those U+FFFD; within its own bound of "
     "factor8 bytes for each byte and 16 more, and in pieces of bytes cut anywhere as whole."},
    {"bytes",
     "An encoder's conversions from UTF-16 units and from code points into bytes, fast and "
     "plain, write exactly its UTF-16 output as bytes, within their bound, whole and in "
     "pieces: on the text's units, on its code points with each pair joined, and on one code "
     "point for each unit, where a high surrogate code point and a low one after it pair as "
     "their units do."},
    {"stream calls",
     "Through include/tobble.h, any sequence of feeds in pieces, flushes, finishes, resets and "
     "streams destroyed and created again: what the callback has taken is always the start of "
     "what the input fed since the last reset, finished there, gives by the plain model (the "
     "reference codec, the filter's `scalar` version on all of it at once, strict or with "
     "U+FFFD), and all of it once the stream is finished or refuses the input; it refuses only "
     "input that stays invalid whatever follows, at the plain model's offset, and only in strict "
     "mode; the counts of output bytes and of replacements agree; a finished or stopped stream "
     "gives TOBBLE_ERROR_FINISHED; calls from the callback into its own stream give "
     "TOBBLE_ERROR_REENTERED and change nothing."},
    {"failed write",
     "A callback that fails stops its call with TOBBLE_ERROR_WRITE, is not called again, and "
     "what it took before is the start of the plain model's output; later calls give "
     "TOBBLE_ERROR_FINISHED until a reset."},
    {"one-shot call",
     "tobble_convert_bytes() on each finished input, with exactly the room "
     "tobble_output_bytes_bound() asks for, gives the plain model's status, bytes and error "
     "offset; a byte less is refused with TOBBLE_ERROR_CAPACITY and nothing written."},
};
static_assert(sizeof(kPropertyInfo) / sizeof(kPropertyInfo[0]) == kPropertyCount);

// The round trips the filter list names (its inverse column): the
// encoder's output read back by the decoder, each once. An encoder that
// leaves `\u0041` as it is while its decoder reads it (the escape filters)
// gives back only texts without a backslash, so such a trip is checked on
// those alone.
struct Trip {
  const char* encoder;
  const char* decoder;
  bool needs_no_backslash;
};

std::u16string Whole(const Filter& filter, const std::u16string& text) {
  return ConvertOnce(filter, filter.convert, text, true).out;
}

std::vector<Trip> MakeRoundTrips() {
  std::vector<Trip> trips;
  for (const Filter& filter : kFilters) {
    const RoundTrip trip = RoundTripOf(filter);
    if (trip.encoder == nullptr) continue;
    bool known = false;
    for (const Trip& t : trips) {
      known |= t.encoder == trip.encoder->function && t.decoder == trip.decoder->function;
    }
    if (known) continue;
    const std::u16string escape = u"\\u0041";
    const bool needs_no_backslash =
        Whole(*trip.encoder, escape) == escape && Whole(*trip.decoder, escape) != escape;
    trips.push_back({trip.encoder->function, trip.decoder->function, needs_no_backslash});
  }
  return trips;
}

const std::vector<Trip>& RoundTrips() {
  static const std::vector<Trip> trips = MakeRoundTrips();
  return trips;
}

// Whether the filter is the encoder (or the decoder) of some round trip.
bool IsRole(const Filter& filter, const char* Trip::*role) {
  for (const Trip& trip : RoundTrips()) {
    if (SameString(filter.function, trip.*role)) return true;
  }
  return false;
}

std::string On(const Filter& filter, const std::u16string& text) {
  return std::string(filter.function) + " on " + Show(text);
}
std::string On(const Filter& filter, const Bytes& text) {
  return std::string(filter.function) + " in UTF-8 on " + Show(text);
}

// Reports a faulty call; false when there was one, which leaves nothing to
// compare.
template <typename Unit>
bool Clean(const CallResultOf<Unit>& call, Violations& found) {
  switch (call.fault) {
    case CallFault::kNone:
      return true;
    case CallFault::kBound:
      found.push_back({Property::kBound, call.message});
      break;
    case CallFault::kRead:
    case CallFault::kTail:
      found.push_back({Property::kTail, call.message});
      break;
  }
  return false;
}

std::string ShowSizes(const std::vector<size_t>& sizes) {
  std::string shown;
  for (const size_t size : sizes) shown += (shown.empty() ? "" : ",") + std::to_string(size);
  return shown;
}

template <typename Unit>
void CheckPieces(const Filter& filter, ConversionOf<Unit> conversion,
                 const std::basic_string<Unit>& text, const std::vector<size_t>& sizes,
                 const CallResultOf<Unit>& whole_call, Violations& found) {
  const CallResultOf<Unit> pieces = ConvertPieces(filter, conversion, text, sizes);
  if (!Clean(pieces, found)) return;
  if (pieces.out != whole_call.out || pieces.done.replaced != whole_call.done.replaced) {
    found.push_back({Property::kPieces, On(filter, text) + " in pieces of " + ShowSizes(sizes) +
                                            ": " + Show(pieces.out) + ", whole " +
                                            Show(whole_call.out)});
  }
}

void CheckPieces(const Filter& filter, Conversion conversion, const std::u16string& text,
                 const std::vector<size_t>& sizes, const std::u16string& whole, Violations& found) {
  const CallResult pieces = ConvertPieces(filter, conversion, text, sizes);
  if (!Clean(pieces, found)) return;
  const std::u16string& streamed = pieces.out;
  if (streamed != whole) {
    found.push_back({Property::kPieces, On(filter, text) + " in pieces of " + ShowSizes(sizes) +
                                            ": " + Show(streamed) + ", whole " + Show(whole)});
  }
}

void CheckOutput(const Filter& filter, const std::u16string& text, const std::u16string& out,
                 Violations& found) {
  if (IsDecoder(filter) && out.size() > text.size()) {
    found.push_back({Property::kNoLonger, On(filter, text) + ": " + std::to_string(out.size()) +
                                              " units out of " + std::to_string(text.size())});
  }
  if (IsEncoder(filter)) {
    const auto wide = std::find_if(out.begin(), out.end(), [](char16_t u) { return u > 0x7F; });
    if (wide != out.end()) {
      found.push_back(
          {Property::kAscii,
           On(filter, text) + ": unit " + std::to_string(wide - out.begin()) + " of " + Show(out)});
    }
  }
  const size_t zero = out.find(u'\0');
  if (zero != std::u16string::npos) {
    found.push_back({Property::kNoZeroUnit,
                     On(filter, text) + ": unit " + std::to_string(zero) + " of " + Show(out)});
  }
}

void CheckScalar(const Filter& filter, const std::u16string& text, const std::u16string& out,
                 Progress done, Violations& found) {
  if (filter.convert == filter.scalar) return;
  const CallResult scalar = ConvertOnce(filter, filter.scalar, text, true);
  if (!Clean(scalar, found)) return;
  const std::u16string& plain = scalar.out;
  const Progress plain_done = scalar.done;
  if (plain != out || plain_done.read != done.read || plain_done.written != done.written) {
    const size_t at =
        std::mismatch(out.begin(), out.end(), plain.begin(), plain.end()).first - out.begin();
    found.push_back({Property::kScalar, On(filter, text) + ": convert " + Show(out) + ", scalar " +
                                            Show(plain) + ", first difference at " +
                                            std::to_string(at)});
  }
}

// The text as the UTF-8 conversions get it, and what they must write for it:
// the UTF-16 conversion's output, in UTF-8.
struct Utf8Case {
  Bytes text;
  Utf8Text expected;
};

bool MakeUtf8Case(const Filter& filter, const std::u16string& text, Utf8Case& c,
                  Violations& found) {
  if (filter.convert8 == nullptr) return false;
  c.text = ToUtf8(text).bytes;
  std::u16string valid;  // the text with U+FFFD for each surrogate without a partner
  for (size_t i = 0; i < c.text.size();) {
    const Character read = CharacterAt(c.text.data(), c.text.size(), i, true);
    if (read.value < 0x10000) {
      valid += static_cast<char16_t>(read.value);
    } else {
      valid += HighSurrogateOf(read.value);
      valid += LowSurrogateOf(read.value);
    }
    i += read.units;
  }
  const CallResult call = ConvertOnce(filter, filter.convert, valid, true);
  if (!Clean(call, found)) return false;
  c.expected = ToUtf8(call.out);
  return true;
}

// The UTF-8 conversions whole against the UTF-16 one, and `convert8`
// against `scalar8`; then in pieces of the given sizes.
void CheckUtf8(const Filter& filter, const std::u16string& text,
               const std::vector<std::vector<size_t>>& piece_sizes, Violations& found) {
  Utf8Case c;
  if (!MakeUtf8Case(filter, text, c, found)) return;
  std::vector<Utf8Conversion> conversions = {filter.convert8};
  if (filter.scalar8 != filter.convert8) conversions.push_back(filter.scalar8);
  std::vector<CallResultOf<uint8_t>> calls;
  for (const Utf8Conversion conversion : conversions) {
    calls.push_back(ConvertOnce(filter, conversion, c.text, true));
    const CallResultOf<uint8_t>& call = calls.back();
    if (!Clean(call, found)) return;
    if (call.out != c.expected.bytes || call.done.replaced != c.expected.replaced) {
      found.push_back({Property::kUtf8, On(filter, c.text) + ": " + Show(call.out) + " replacing " +
                                            std::to_string(call.done.replaced) + ", in UTF-16 " +
                                            Show(c.expected.bytes) + " replacing " +
                                            std::to_string(c.expected.replaced)});
      return;
    }
  }
  if (calls.size() == 2 && (calls[0].done.read != calls[1].done.read ||
                            calls[0].done.written != calls[1].done.written)) {
    found.push_back({Property::kScalar, On(filter, c.text) + ": convert8 and scalar8 differ"});
  }
  for (size_t k = 0; k < conversions.size(); ++k) {
    const size_t before = found.size();
    for (const std::vector<size_t>& sizes : piece_sizes) {
      CheckPieces(filter, conversions[k], c.text, sizes, calls[k], found);
      if (found.size() > before) break;  // one tells enough
    }
  }
}

// One ASCII conversion, fast or plain, on one form of the text, whole and
// in pieces, against the UTF-16 output as bytes.
template <typename In>
void CheckAsciiConversion(const Filter& filter, AsciiConversionOf<In> conversion,
                          const std::basic_string<In>& text, const std::vector<size_t>& sizes,
                          const Bytes& expected, Violations& found) {
  const CallResultOf<uint8_t> whole = ConvertOnce(filter, conversion, text, true);
  if (!Clean(whole, found)) return;
  if (whole.out != expected) {
    found.push_back({Property::kBytes, std::string(filter.function) + " from " +
                                           (sizeof(In) == 4 ? "code points" : "units") + ": " +
                                           Show(whole.out) + ", in UTF-16 " + Show(expected)});
    return;
  }
  const CallResultOf<uint8_t> pieces = ConvertPieces(filter, conversion, text, sizes);
  if (Clean(pieces, found) && pieces.out != expected) {
    found.push_back({Property::kBytes, std::string(filter.function) + " from " +
                                           (sizeof(In) == 4 ? "code points" : "units") +
                                           " in pieces of " + ShowSizes(sizes) + ": " +
                                           Show(pieces.out) + ", whole " + Show(expected)});
  }
}

void CheckAscii(const Filter& filter, const std::u16string& text, const std::u16string& out,
                const std::vector<size_t>& sizes, Violations& found) {
  const AsciiConversions& ascii = filter.ascii;
  if (ascii.from_units == nullptr) return;
  const Bytes expected(out.begin(), out.end());
  for (const AsciiConversionOf<char16_t> conversion : {ascii.from_units, ascii.from_units_scalar}) {
    CheckAsciiConversion(filter, conversion, text, sizes, expected, found);
  }
  for (const bool join_pairs : {true, false}) {
    const std::u32string code_points = CodePointsOf(text, join_pairs);
    for (const AsciiConversionOf<char32_t> conversion :
         {ascii.from_code_points, ascii.from_code_points_scalar}) {
      CheckAsciiConversion(filter, conversion, code_points, sizes, expected, found);
    }
  }
}

void CheckRoundTrips(const Filter& filter, const std::u16string& text, Violations& found) {
  for (const Trip& trip : RoundTrips()) {
    if (!SameString(filter.function, trip.encoder) && !SameString(filter.function, trip.decoder))
      continue;
    if (trip.needs_no_backslash && text.find(u'\\') != std::u16string::npos) continue;
    // The filter under test takes its own role: a broken one posing as it is what runs.
    const bool is_encoder = SameString(filter.function, trip.encoder);
    const Filter& encoder = is_encoder ? filter : *FindFilter(trip.encoder);
    const Filter& decoder = is_encoder ? *FindFilter(trip.decoder) : filter;
    const CallResult encoding = ConvertOnce(encoder, encoder.convert, text, true);
    if (!Clean(encoding, found)) continue;
    const std::u16string& encoded = encoding.out;
    const CallResult decoding = ConvertOnce(decoder, decoder.convert, encoded, true);
    if (!Clean(decoding, found)) continue;
    const std::u16string& decoded = decoding.out;
    if (decoded != text) {
      found.push_back({Property::kRoundTrip, std::string(trip.decoder) + " after " + trip.encoder +
                                                 " on " + Show(text) + ": " + Show(decoded) +
                                                 " by way of " + Show(encoded)});
    }
  }
}

// Piece sizes that follow from the text alone, so a saved input replays
// the same way: mostly short pieces, now and then a long one.
std::vector<size_t> PseudoRandomSizes(const std::u16string& text) {
  uint64_t state = 0xCBF29CE484222325u;
  for (const char16_t u : text) state = (state ^ u) * 0x100000001B3u;
  std::vector<size_t> sizes;
  for (size_t at = 0; at < text.size(); at += sizes.back()) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    const uint32_t r = static_cast<uint32_t>(state >> 33);
    sizes.push_back(r % 4 == 0 ? r / 4 % 130 : r / 4 % 9);
  }
  return sizes;
}

// The sizes of the pieces that end at the cuts.
std::vector<size_t> SizesAt(const std::vector<size_t>& cuts) {
  std::vector<size_t> sizes;
  size_t at = 0;
  for (const size_t cut : cuts) {
    sizes.push_back(cut - at);
    at = cut;
  }
  return sizes;
}

// Texts up to this long are also cut at every single position.
constexpr size_t kEveryCutUnits = 128;

Violations CheckFilterInput(const FuzzTarget& target, const uint8_t* data, size_t size) {
  const FuzzText text = ReadFuzzText(data, size);
  return CheckFilter(*target.filter, text.units,
                     text.cuts.empty() ? PseudoRandomSizes(text.units) : SizesAt(text.cuts));
}

// The first byte picks the filter, the rest is the text with its cuts.
Violations CheckStreamInput(const FuzzTarget&, const uint8_t* data, size_t size) {
  if (size == 0) return {};
  const FuzzText text = ReadFuzzText(data + 1, size - 1);
  return CheckStreaming(kFilters[data[0] % kFilterCount], text.units, text.cuts);
}

// The per-filter targets read a text alone, the streaming target the filter
// first.
std::vector<std::string> TextInputs(const Filter&, const std::u16string& text) {
  return {WriteFuzzText(text)};
}
std::vector<std::string> StreamInputs(const Filter& filter, const std::u16string& text) {
  return {std::string(1, static_cast<char>(&filter - kFilters)) + WriteFuzzText(text)};
}

std::vector<FuzzTarget> MakeFuzzTargets() {
  std::vector<FuzzTarget> targets;
  for (const Filter& filter : kFilters) {
    std::vector<Property> properties = {Property::kBound};
    if (IsDecoder(filter)) properties.push_back(Property::kNoLonger);
    if (IsEncoder(filter)) properties.push_back(Property::kAscii);
    properties.insert(properties.end(),
                      {Property::kNoZeroUnit, Property::kRoundTrip, Property::kPieces,
                       Property::kTail, Property::kScalar, Property::kUtf8});
    if (filter.ascii.from_units != nullptr) properties.push_back(Property::kBytes);
    targets.push_back({filter.function, &filter, CheckFilterInput, TextInputs,
                       "a text, in pieces at its cuts, or at pseudo-random points when it has none",
                       properties});
  }
  targets.push_back(
      {"stream",
       nullptr,
       CheckStreamInput,
       StreamInputs,
       "the first byte picks the filter, the rest is a text, in pieces at its cuts; texts up to " +
           std::to_string(kEveryCutUnits) +
           " units also at every single cut and one unit at a time",
       {Property::kBound, Property::kPieces, Property::kTail, Property::kScalar, Property::kUtf8}});
  targets.push_back(MakeByteStreamTarget());
  targets.push_back(MakeApiTarget());
  return targets;
}

}  // namespace

bool IsEncoder(const Filter& filter) {
  return IsRole(filter, &Trip::encoder);
}
bool IsDecoder(const Filter& filter) {
  return IsRole(filter, &Trip::decoder);
}

const PropertyInfo& Describe(Property property) {
  return kPropertyInfo[static_cast<int>(property)];
}

Violations CheckFilter(const Filter& filter, const std::u16string& text,
                       const std::vector<size_t>& piece_sizes) {
  Violations found;
  const CallResult whole = ConvertOnce(filter, filter.convert, text, true);
  if (Clean(whole, found)) {
    CheckOutput(filter, text, whole.out, found);
    CheckScalar(filter, text, whole.out, whole.done, found);
    CheckPieces(filter, filter.convert, text, piece_sizes, whole.out, found);
    CheckAscii(filter, text, whole.out, piece_sizes, found);
    // Where the processor has AVX-512, the paths of every other processor
    // (the 32-bit plug-in's, the WebAssembly module's) as well.
    if (avx512::Use()) {
      const size_t before = found.size();
      avx512::Choose(false);
      const CallResult other = ConvertOnce(filter, filter.convert, text, true);
      if (Clean(other, found)) CheckScalar(filter, text, other.out, other.done, found);
      CheckAscii(filter, text, whole.out, piece_sizes, found);
      avx512::Choose(true);
      for (size_t k = before; k < found.size(); ++k) found[k].message += " (AVX-512 paths off)";
    }
  }
  CheckRoundTrips(filter, text, found);
  CheckUtf8(filter, text, {piece_sizes}, found);
  return found;
}

Violations CheckStreaming(const Filter& filter, const std::u16string& text,
                          const std::vector<size_t>& cuts) {
  Violations found;
  const CallResult call = ConvertOnce(filter, filter.convert, text, true);
  if (!Clean(call, found)) return found;
  const std::u16string& whole = call.out;
  CheckScalar(filter, text, whole, call.done, found);
  std::vector<Conversion> conversions = {filter.convert};
  if (filter.scalar != filter.convert) conversions.push_back(filter.scalar);
  for (const Conversion conversion : conversions) {
    // One violation tells enough; the same one at every cut would not tell more.
    const size_t before = found.size();
    CheckPieces(filter, conversion, text, SizesAt(cuts), whole, found);
    if (text.size() > kEveryCutUnits) continue;
    for (size_t cut = 0; cut <= text.size() && found.size() == before; ++cut) {
      CheckPieces(filter, conversion, text, {cut}, whole, found);
    }
    if (found.size() > before) continue;
    CheckPieces(filter, conversion, text, std::vector<size_t>(text.size(), 1), whole, found);
  }
  // In UTF-8 the same cuts fall in bytes, inside characters too.
  std::vector<std::vector<size_t>> utf8_sizes = {SizesAt(cuts)};
  const size_t bytes = ToUtf8(text).bytes.size();
  if (bytes <= kEveryCutUnits) {
    for (size_t cut = 0; cut <= bytes; ++cut) utf8_sizes.push_back({cut});
    utf8_sizes.push_back(std::vector<size_t>(bytes, 1));
  }
  CheckUtf8(filter, text, utf8_sizes, found);
  return found;
}

const std::vector<FuzzTarget>& FuzzTargets() {
  static const std::vector<FuzzTarget> targets = MakeFuzzTargets();
  return targets;
}

const FuzzTarget* FindFuzzTarget(const std::string& name) {
  for (const FuzzTarget& target : FuzzTargets()) {
    if (target.name == name) return &target;
  }
  return nullptr;
}

}  // namespace tobble::testing
