#include "bench/corpus.h"

#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <utility>

#include "bench/texts.h"
#include "filters/common/surrogate.h"

namespace tobble::bench {
namespace {

using Generator = std::u16string (*)(size_t units);
struct PlainText {
  const char* name;
  Generator generate;
  const char* description;
};
constexpr PlainText kPlainTexts[] = {
    {"english", English, "English-like ASCII prose with punctuation and some markup"},
    {"japanese", Japanese,
     "Japanese-like text: kana and kanji runs, ideographic and ASCII punctuation, line breaks"},
    {"emoji", Emoji, "emoji-dense text: surrogate pairs, joiner sequences, short ASCII words"},
    {"mixed", Mixed, "stretches of the three texts above in turn, 20 to 400 units each"},
};

enum class Adversary { kEscapesShort, kEscapesLong, kReferences, kPercent };

// The decoders are the filters the list's inverse column makes the reading
// side of a round trip; every other filter is measured as an encoder, on
// the plain texts. A decoder reads the output of each encoder whose own row
// names it, and its adversarial corpus, the one that hits its slowest path
// (a decoder without a row here has none, and the corpus tests fail).
struct DecoderCorpora {
  const char* function;
  Adversary adversary;
  bool named_references;  // reads the HTML-like text of named references too
};
constexpr DecoderCorpora kDecoderCorpora[] = {
    {"untobbleJ", Adversary::kEscapesShort, false},
    {"untobbleC", Adversary::kEscapesLong, false},
    {"charref2text", Adversary::kReferences, true},
    {"URLdecode", Adversary::kPercent, false},
};

struct Decoder {
  const Filter* filter;
  size_t index;  // among the decoders, in table order: its corpus's seed
  std::vector<const Filter*> encoders;
  const DecoderCorpora* corpora;  // null when the table above lacks it
};

std::vector<Decoder> MakeDecoders() {
  std::vector<Decoder> decoders;
  for (const Filter& filter : kFilters) {
    Decoder decoder = {&filter, decoders.size(), {}, nullptr};
    bool reads = false;
    for (const Filter& other : kFilters) {
      const RoundTrip trip = RoundTripOf(other);
      if (trip.decoder != &filter) continue;
      reads = true;
      if (trip.encoder == &other) decoder.encoders.push_back(&other);
    }
    if (!reads) continue;
    for (const DecoderCorpora& corpora : kDecoderCorpora) {
      if (SameString(corpora.function, filter.function)) decoder.corpora = &corpora;
    }
    decoders.push_back(decoder);
  }
  return decoders;
}

const std::vector<Decoder>& Decoders() {
  static const std::vector<Decoder> decoders = MakeDecoders();
  return decoders;
}

constexpr char kHtmlNamed[] = "html-named";
constexpr char kAdversarial[] = "adversarial";

const Decoder* FindDecoder(const std::string& function) {
  for (const Decoder& decoder : Decoders()) {
    if (function == decoder.filter->function) return &decoder;
  }
  return nullptr;
}

const PlainText* FindPlainText(const std::string& name) {
  for (const PlainText& plain : kPlainTexts) {
    if (name == plain.name) return &plain;
  }
  return nullptr;
}

// The name's parts before and after its first ".".
std::pair<std::string, std::string> SplitName(const std::string& name) {
  const size_t dot = name.find('.');
  if (dot == std::string::npos) return {name, ""};
  return {name.substr(0, dot), name.substr(dot + 1)};
}

[[noreturn]] void UnknownCorpus(const std::string& name) {
  fprintf(stderr, "unknown corpus %s\n", name.c_str());
  abort();
}

}  // namespace

bool ParseSizes(const std::string& list, std::vector<CorpusSize>* sizes) {
  sizes->clear();
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const std::string label = list.substr(start, end - start);
    bool known = false;
    for (const CorpusSize& size : kSizes) {
      if (label == size.label) {
        sizes->push_back(size);
        known = true;
      }
    }
    if (!known) return false;
    start = end + 1;
  }
  return !sizes->empty();
}

std::vector<std::string> CorporaFor(const Filter& filter) {
  std::vector<std::string> names;
  const Decoder* decoder = FindDecoder(filter.function);
  if (decoder == nullptr) {
    for (const PlainText& plain : kPlainTexts) names.push_back(plain.name);
    return names;
  }
  for (const Filter* encoder : decoder->encoders) {
    for (const PlainText& plain : kPlainTexts) {
      names.push_back(std::string(plain.name) + "." + encoder->function);
    }
  }
  if (decoder->corpora != nullptr && decoder->corpora->named_references) {
    names.push_back(kHtmlNamed);
  }
  names.push_back(std::string(kAdversarial) + "." + filter.function);
  return names;
}

std::string DescribeCorpus(const std::string& name) {
  const auto [base, filter] = SplitName(name);
  if (const PlainText* plain = FindPlainText(base)) {
    return filter.empty() ? plain->description : filter + "'s output of the " + base + " text";
  }
  if (base == kHtmlNamed) return "HTML-like text dense with named, legacy and numeric references";
  if (base != kAdversarial) UnknownCorpus(name);
  const Decoder* decoder = FindDecoder(filter);
  if (decoder == nullptr || decoder->corpora == nullptr) UnknownCorpus(name);
  switch (decoder->corpora->adversary) {
    case Adversary::kEscapesShort:
      return "\"\\u\" escapes whose four-digit fields fail at their last unit";
    case Adversary::kEscapesLong:
      return "\"\\u\" and \"\\U\" escapes whose fields fail at their last unit";
    case Adversary::kReferences:
      return "\"&\" before names that match nothing: runs to the 36-unit limit, near misses";
    case Adversary::kPercent:
      return "chains of broken multi-byte percent-encoded UTF-8 sequences";
  }
  UnknownCorpus(name);
}

std::u16string MakeCorpus(const std::string& name, size_t units) {
  const auto [base, filter] = SplitName(name);
  if (const PlainText* plain = FindPlainText(base)) {
    if (filter.empty()) return plain->generate(units);
    const Filter* encoder = FindFilter(filter.c_str());
    if (encoder == nullptr) UnknownCorpus(name);
    std::u16string encoded = ConvertWhole(*encoder, plain->generate(units));
    if (encoded.size() > units) {
      const size_t line_end = encoded.rfind(u'\n', units - 1);
      encoded.resize(line_end == std::u16string::npos ? units : line_end + 1);
    }
    return encoded;
  }
  if (base == kHtmlNamed) return HtmlNamed(units);
  const Decoder* decoder = base == kAdversarial ? FindDecoder(filter) : nullptr;
  if (decoder == nullptr || decoder->corpora == nullptr) UnknownCorpus(name);
  const uint64_t seed = 100 + static_cast<uint64_t>(decoder->index);
  switch (decoder->corpora->adversary) {
    case Adversary::kEscapesShort:
      return AdversarialEscapes(units, false, seed);
    case Adversary::kEscapesLong:
      return AdversarialEscapes(units, true, seed);
    case Adversary::kReferences:
      return AdversarialReferences(units, seed);
    case Adversary::kPercent:
      return AdversarialPercent(units, seed);
  }
  UnknownCorpus(name);
}

std::u16string ConvertWhole(const Filter& filter, const std::u16string& text) {
  const size_t capacity = OutputBound(filter, text.size());
  std::unique_ptr<char16_t[]> out(new char16_t[capacity]);
  const Progress done = filter.convert(text.data(), text.size(), out.get(), true);
  return std::u16string(out.get(), done.written);
}

std::vector<std::u16string> DistinctTexts(const std::u16string& text,
                                          const std::u16string& source) {
  std::vector<std::u16string> texts;
  size_t start = 0;
  while (texts.size() < kDistinctTexts) {
    size_t end = start + text.size();
    if (end > source.size()) return {};
    const size_t line_end = source.find(u'\n', end - 1);
    if (line_end != std::u16string::npos && line_end < end + 1000) end = line_end + 1;
    texts.push_back(source.substr(start, end - start));
    start = end;
  }
  return texts;
}

std::u16string DistinctTextsSource(const std::string& corpus, size_t units) {
  // Room for the cuts after a line, and for a last unit that the shorter
  // corpus may end differently (half of a pair).
  return MakeCorpus(corpus, (kDistinctTexts + 2) * units);
}

std::string Fingerprint(const std::u16string& text) {
  uint64_t hash = 0xCBF29CE484222325u;
  for (const char16_t unit : text) {
    hash = (hash ^ (unit & 0xFF)) * 0x100000001B3u;
    hash = (hash ^ (unit >> 8)) * 0x100000001B3u;
  }
  char hex[17];
  snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return hex;
}

std::string ToUtf8(const std::u16string& text) {
  std::string bytes;
  bytes.reserve(text.size() * 3);
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      c = CombineSurrogates(c, text[++i]);
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      bytes += static_cast<char>(c);
    } else if (c < 0x800) {
      bytes += static_cast<char>(0xC0 | (c >> 6));
      bytes += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      bytes += static_cast<char>(0xE0 | (c >> 12));
      bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      bytes += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      bytes += static_cast<char>(0xF0 | (c >> 18));
      bytes += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      bytes += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return bytes;
}

}  // namespace tobble::bench
