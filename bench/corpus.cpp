#include "bench/corpus.h"

#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <utility>

#include "filters/common/surrogate.h"

namespace tobble::bench {
namespace {

// splitmix64: the same sequence from the same seed on every platform and in
// both pointer widths, unlike the standard library's distributions.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }
  // A number in [0, n).
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(((Next() >> 32) * n) >> 32); }
  // A number in [low, high].
  uint32_t Between(uint32_t low, uint32_t high) { return low + Below(high - low + 1); }
  bool Percent(uint32_t p) { return Below(100) < p; }
  template <typename T, size_t N>
  const T& Pick(const T (&items)[N]) {
    return items[Below(N)];
  }

 private:
  uint64_t state_;
};

// A text being generated up to a length, with the column of its current line.
class Text {
 public:
  explicit Text(size_t units) : limit_(units) { units_.reserve(units + 1024); }
  bool Full() const { return units_.size() >= limit_; }
  size_t Column() const { return units_.size() - line_start_; }
  void Add(char16_t unit) {
    units_.push_back(unit);
    if (unit == u'\n') line_start_ = units_.size();
  }
  void Add(const char* ascii) {
    while (*ascii != 0) Add(static_cast<char16_t>(static_cast<unsigned char>(*ascii++)));
  }
  void Add(const char16_t* units) {
    while (*units != 0) Add(*units++);
  }
  void AddCodePoint(uint32_t code_point) {
    char16_t pair[2];
    const char16_t* end = WriteCodePoint(pair, code_point);
    for (const char16_t* u = pair; u != end; ++u) Add(*u);
  }
  void AddRepeated(const char* ascii, uint32_t times) {
    for (uint32_t i = 0; i < times; ++i) Add(ascii);
  }
  // A space, or a line break once the line has reached `width` units.
  void Space(size_t width) { Add(Column() >= width ? u'\n' : u' '); }
  // Exactly the limit's units; a high surrogate cut from its partner at the
  // end becomes a line break, so every corpus is valid UTF-16.
  std::u16string Take() {
    units_.resize(limit_);
    if (!units_.empty() && IsHighSurrogate(units_.back())) units_.back() = u'\n';
    return std::move(units_);
  }

 private:
  std::u16string units_;
  size_t limit_;
  size_t line_start_ = 0;
};

constexpr const char* kWords[] = {
    "the",      "of",      "and",     "to",       "in",      "is",      "was",     "that",
    "for",      "it",      "with",    "as",       "his",     "on",      "be",      "at",
    "by",       "had",     "this",    "not",      "but",     "from",    "or",      "have",
    "an",       "they",    "which",   "one",      "you",     "were",    "her",     "all",
    "she",      "there",   "would",   "their",    "we",      "him",     "been",    "has",
    "when",     "who",     "will",    "more",     "no",      "if",      "out",     "so",
    "said",     "what",    "up",      "its",      "about",   "into",    "than",    "them",
    "can",      "only",    "other",   "new",      "some",    "could",   "time",    "these",
    "two",      "may",     "then",    "do",       "first",   "any",     "my",      "now",
    "such",     "like",    "our",     "over",     "man",     "even",    "most",    "made",
    "after",    "also",    "did",     "many",     "before",  "must",    "through", "back",
    "years",    "where",   "much",    "your",     "way",     "well",    "down",    "should",
    "because",  "each",    "just",    "those",    "people",  "how",     "too",     "little",
    "state",    "good",    "very",    "make",     "world",   "still",   "own",     "see",
    "work",     "long",    "get",     "here",     "between", "both",    "life",    "being",
    "under",    "never",   "day",     "same",     "another", "know",    "while",   "last",
    "might",    "great",   "old",     "year",     "off",     "come",    "since",   "against",
    "river",    "letter",  "window",  "garden",   "morning", "evening", "number",  "paper",
    "station",  "machine", "picture", "kitchen",  "history", "market",  "harbour", "village",
    "question", "answer",  "summer",  "distance", "mountain"};

// Words of the English text, now and then marked up, quoted or linked.
void EnglishWord(Random& random, Text& text, bool capital) {
  const char* word = random.Pick(kWords);
  char first[2] = {static_cast<char>(capital ? word[0] - 'a' + 'A' : word[0]), 0};
  const uint32_t kind = random.Below(100);
  if (kind < 3) {
    text.Add("<em>");
  } else if (kind < 5) {
    text.Add("\"");
  } else if (kind < 7) {
    text.Add("(");
  } else if (kind < 9) {
    text.Add("<a href=\"https://example.org/");
    text.Add(word);
    text.Add("?id=");
    text.Add(std::to_string(random.Below(10000)).c_str());
    text.Add("\">");
  } else if (kind < 11) {
    text.Add(std::to_string(random.Below(2000)).c_str());
    text.Add(" ");
  }
  text.Add(first);
  text.Add(word + 1);
  if (kind < 3) {
    text.Add("</em>");
  } else if (kind < 5) {
    text.Add("\"");
  } else if (kind < 7) {
    text.Add(")");
  } else if (kind < 9) {
    text.Add("</a>");
  } else if (kind == 11) {
    text.Add(" & co.");
  }
}

// English-like prose in paragraphs, some of them in <p> elements, with a
// heading now and then; lines of about 72 units; pure ASCII, no backslash.
std::u16string English(size_t units) {
  Random random(1);
  Text text(units);
  while (!text.Full()) {
    if (random.Percent(10)) {
      text.Add("<h2>");
      EnglishWord(random, text, true);
      text.Add("</h2>\n\n");
    }
    const bool element = random.Percent(30);
    if (element) text.Add("<p>");
    for (uint32_t s = random.Between(2, 6); s > 0; --s) {
      const uint32_t words = random.Between(5, 19);
      for (uint32_t w = 0; w < words; ++w) {
        if (w > 0) {
          if (random.Percent(8)) text.Add(random.Percent(80) ? "," : ";");
          text.Space(72);
        }
        EnglishWord(random, text, w == 0);
      }
      const uint32_t end = random.Below(100);
      text.Add(end < 85 ? "." : end < 95 ? "?" : "!");
      if (s > 1) text.Space(72);
    }
    if (element) text.Add("</p>");
    text.Add("\n\n");
  }
  return text.Take();
}

constexpr char16_t kKanji[] =
    u"日本語文字時間人年月大小中山川田本学生先私上下目手口子女男気分出入見行来言話書読食飲休"
    u"雨電車東西南北国会社長高安新古白赤青金土水火木今前後午半毎何週円万千百十外内明朝夜昼夕"
    u"方家店駅道町村都市区県所名前物事自動者地方場合同業発表現実的問題関係最近経済政府調査";

// Japanese-like text: runs of kanji, hiragana and katakana in clauses and
// sentences, ideographic and ASCII punctuation, lines of about 40 units.
std::u16string Japanese(size_t units) {
  Random random(2);
  Text text(units);
  constexpr size_t kKanjiCount = sizeof(kKanji) / sizeof(kKanji[0]) - 1;
  while (!text.Full()) {
    for (uint32_t c = random.Between(1, 4); c > 0; --c) {
      const uint32_t extra = random.Below(100);
      if (extra < 12) {
        text.Add(u'(');
        for (uint32_t k = random.Between(2, 6); k > 0; --k) {
          text.Add(static_cast<char16_t>(random.Between(0x30A1, 0x30F3)));
        }
        text.Add(u"ー)");
      } else if (extra < 18) {
        text.Add(std::to_string(random.Between(1, 2024)).c_str());
        text.Add(u'年');
      } else if (extra < 21) {
        text.Add(random.Percent(50) ? "PDF" : "URL");
      } else if (extra < 40) {
        for (uint32_t k = random.Between(2, 6); k > 0; --k) {
          text.Add(static_cast<char16_t>(random.Between(0x30A1, 0x30F3)));
        }
      }
      for (uint32_t k = random.Between(1, 3); k > 0; --k) {
        text.Add(kKanji[random.Below(kKanjiCount)]);
      }
      for (uint32_t k = random.Between(1, 5); k > 0; --k) {
        text.Add(static_cast<char16_t>(random.Between(0x3041, 0x3093)));
      }
      if (c > 1) text.Add(random.Percent(80) ? u'、' : u',');
    }
    const uint32_t end = random.Below(100);
    text.Add(end < 75 ? u'。' : end < 85 ? u'!' : end < 95 ? u'?' : u'.');
    if (text.Column() >= 40) text.Add(random.Percent(15) ? u"\n\n" : u"\n");
  }
  return text.Take();
}

// Emoji-dense text: groups of emoji (surrogate pairs), some with skin tones,
// joiner sequences or variation selectors, between short ASCII words.
std::u16string Emoji(size_t units) {
  Random random(3);
  Text text(units);
  constexpr uint32_t kRanges[][2] = {
      {0x1F300, 0x1F5FF}, {0x1F600, 0x1F64F}, {0x1F680, 0x1F6FF}, {0x1F900, 0x1F9FF}};
  constexpr const char* kShortWords[] = {"ok", "lol", "yes", "wow", "nice", "go", "so", "me"};
  while (!text.Full()) {
    for (uint32_t e = random.Between(1, 5); e > 0; --e) {
      const uint32_t kind = random.Below(100);
      if (kind < 8) {
        text.Add(u"\U0001F468\u200D\U0001F469\u200D\U0001F467");
      } else if (kind < 13) {
        text.Add(u"\u2764\uFE0F");
      } else {
        const auto& range = random.Pick(kRanges);
        text.AddCodePoint(random.Between(range[0], range[1]));
        if (kind < 18) text.AddCodePoint(random.Between(0x1F3FB, 0x1F3FF));
      }
    }
    if (random.Percent(15)) {
      text.Add(u' ');
      text.Add(random.Pick(kShortWords));
    }
    text.Space(40);
  }
  return text.Take();
}

// Names of the HTML standard's list, most of them common in real pages.
constexpr const char* kNamedReferences[] = {
    "amp",    "lt",     "gt",     "quot",   "apos",   "nbsp",   "copy",   "reg",    "trade",
    "hellip", "mdash",  "ndash",  "lsquo",  "rsquo",  "ldquo",  "rdquo",  "laquo",  "raquo",
    "bull",   "middot", "deg",    "plusmn", "times",  "divide", "frac12", "euro",   "pound",
    "yen",    "cent",   "sect",   "para",   "eacute", "egrave", "ecirc",  "euml",   "aacute",
    "agrave", "acirc",  "auml",   "aring",  "atilde", "ccedil", "iacute", "igrave", "icirc",
    "iuml",   "ntilde", "oacute", "ograve", "ocirc",  "ouml",   "otilde", "oslash", "uacute",
    "ugrave", "ucirc",  "uuml",   "yacute", "szlig",  "Eacute", "Agrave", "Ccedil", "Ouml",
    "Uuml",   "alpha",  "beta",   "gamma",  "delta",  "pi",     "sigma",  "omega",  "Omega",
    "larr",   "rarr",   "uarr",   "darr",   "harr",   "rArr",   "hArr",   "le",     "ge",
    "ne",     "asymp",  "infin",  "sum",    "prod",   "radic",  "isin",   "notin",  "cap",
    "cup",    "forall", "exist",  "empty",  "hearts", "spades", "dagger", "permil", "prime",
    "thinsp", "ensp",   "emsp",   "sbquo",  "bdquo",  "lsaquo", "rsaquo", "oelig",  "scaron",
    "fjlig",  "acE",    "Afr",    "Gt",     "notinva"};
// Long names of the list.
constexpr const char* kLongNamedReferences[] = {
    "CounterClockwiseContourIntegral", "DoubleLongLeftRightArrow", "NotNestedGreaterGreater"};

// Legacy names, which may stand without a semicolon.
constexpr const char* kLegacyReferences[] = {
    "amp",    "lt",   "gt",   "quot", "copy",   "reg",   "nbsp",   "eacute", "egrave", "agrave",
    "ccedil", "ouml", "uuml", "deg",  "middot", "times", "frac12", "sect",   "para",   "not"};

// HTML-like text dense with references: named ones mostly, some legacy
// names without the semicolon, some decimal and hexadecimal ones.
std::u16string HtmlNamed(size_t units) {
  Random random(4);
  Text text(units);
  while (!text.Full()) {
    text.Add("<p class=\"note\">");
    for (uint32_t w = random.Between(6, 20); w > 0; --w) {
      text.Add(random.Pick(kWords));
      const uint32_t kind = random.Below(100);
      if (kind < 30) {
        text.Add("&");
        text.Add(kind == 0 ? random.Pick(kLongNamedReferences) : random.Pick(kNamedReferences));
        text.Add(";");
      } else if (kind < 38) {
        text.Add(" &");
        text.Add(random.Pick(kLegacyReferences));
      } else if (kind < 45) {
        text.Add("&#");
        text.Add(std::to_string(random.Between(0xA0, 0x2FFF)).c_str());
        text.Add(";");
      } else if (kind < 50) {
        char hex[16];
        snprintf(hex, sizeof hex, "&#x%X;", random.Between(0xA0, 0x1FFFF));
        text.Add(hex);
      }
      text.Space(72);
    }
    text.Add("&hellip;</p>\n");
  }
  return text.Take();
}

// Escape fields that fail only at their last unit: a backslash that starts
// the next escape, or a letter after the digits. A chain of "\u000" makes
// every field fail on its fourth unit and the scan resume one unit later.
constexpr const char* kLateFailingShort[] = {"\\u000",  "\\u000",  "\\u000",  "\\u123g",
                                             "\\u+12z", "\\u-ffx", "\\u 0xg", "\\u\t\t1g",
                                             "\\u0x4g", "\\uABCx", "\\u  -z"};
constexpr const char* kLateFailingLong[] = {"\\U0000000",    "\\U0000000",  "\\U0001f60g",
                                            "\\U +0x1f6g",   "\\U-000000z", "\\U0010FFFx",
                                            "\\U\t\t0x1F6z", "\\U0001\\u00"};

// Text that keeps the escape decoders on fields that fail late; with
// `long_form` also eight-digit fields.
std::u16string AdversarialEscapes(size_t units, bool long_form, uint64_t seed) {
  Random random(seed);
  Text text(units);
  while (!text.Full()) {
    const char* piece = long_form && random.Percent(50) ? random.Pick(kLateFailingLong)
                                                        : random.Pick(kLateFailingShort);
    text.AddRepeated(piece, random.Between(1, 8));
    if (random.Percent(20)) {
      text.Add(' ');
      text.Add(random.Pick(kWords));
    }
    if (text.Column() >= 72) text.Add('\n');
  }
  return text.Take();
}

// Legacy names with the last letter changed: each shares a prefix with a
// legacy name and is the beginning of none.
constexpr const char* kNearLegacy[] = {
    "frac19", "sup4",   "ordx",   "Aumx",   "copx",   "nbsx",   "acirx", "yacutx",
    "eacutx", "middox", "micrx",  "divids", "curreb", "brvbax", "iexcx", "iquesx",
    "raqux",  "laqux",  "plusmx", "quox",   "shx",    "umx",    "yex",   "THORx",
    "szlix",  "Ntildx", "Ograx",  "ccedix", "Eacutx", "AEliq",  "cenx",  "egravx"};
// Long names with the last letter changed.
constexpr const char* kNearLongNames[] = {
    "CounterClockwiseContourIntegrax", "DoubleLongLeftRightArrox", "ClockwiseContourIntegrax",
    "NotSquareSupersetEqux",           "NotNestedGreaterGreatex",  "LeftArrowRightArrox"};
// First letters that begin no legacy name, and letters to run on with.
constexpr char kNoLegacyStart[] = "hjkvwxzBDFHJKMPSVWXZ";
constexpr char kNameLetters[] = "abcdefghijklmnopqrstuvwxyz ,.-";

// Text that keeps the reference decoder on names that match nothing: runs
// of name units up to the 36-unit limit, names that nearly match legacy or
// long names, over-long numbers, runs of "&".
std::u16string AdversarialReferences(size_t units, uint64_t seed) {
  Random random(seed);
  Text text(units);
  while (!text.Full()) {
    const uint32_t kind = random.Below(100);
    text.Add('&');
    if (kind < 30) {
      // A run that fills the name buffer, then fails as a legacy name.
      char run[2] = {kNoLegacyStart[random.Below(sizeof kNoLegacyStart - 1)], 0};
      text.Add(run);
      for (uint32_t k = random.Between(20, 45); k > 0; --k) {
        run[0] = kNameLetters[random.Below(sizeof kNameLetters - 1)];
        text.Add(run);
      }
    } else if (kind < 55) {
      text.Add(random.Pick(kNearLegacy));
      text.Add(' ');
      text.Add(random.Pick(kWords));
    } else if (kind < 75) {
      // The same near misses, as names with a semicolon.
      text.Add(random.Percent(50) ? random.Pick(kNearLongNames) : random.Pick(kNearLegacy));
      text.Add(';');
    } else if (kind < 82) {
      // 36 and 37 name units before the semicolon.
      text.AddRepeated("q", random.Between(36, 37));
      text.Add(';');
    } else if (kind < 88) {
      text.Add("#x");
      text.AddRepeated("1", 35);
    } else if (kind < 93) {
      text.Add('#');
      text.AddRepeated("9", 40);
      text.Add(';');
    } else {
      text.AddRepeated("&", random.Between(1, 6));
      text.Add(random.Percent(50) ? "#12a;" : "#xG;");
    }
    if (text.Column() >= 72) text.Add('\n');
  }
  return text.Take();
}

// Percent escapes of one byte, with upper- or lower-case digits.
void AddByteEscape(Random& random, Text& text, uint32_t byte) {
  char escape[16];
  snprintf(escape, sizeof escape, random.Percent(70) ? "%%%02X" : "%%%02x", byte);
  text.Add(escape);
}

// Text that keeps the percent decoder on multi-byte sequences broken off
// before their end, by the next lead byte or by another escape or unit.
std::u16string AdversarialPercent(size_t units, uint64_t seed) {
  Random random(seed);
  Text text(units);
  constexpr const char* kBreakers[] = {"%41", "+", "%zz", "%4", "%%", "x", "%F8", " "};
  while (!text.Full()) {
    const uint32_t length = random.Between(2, 4);
    const uint32_t lead = length == 2   ? random.Between(0xC2, 0xDF)
                          : length == 3 ? random.Between(0xE0, 0xEF)
                                        : random.Between(0xF0, 0xF4);
    AddByteEscape(random, text, lead);
    for (uint32_t k = random.Below(length - 1); k > 0; --k) {
      AddByteEscape(random, text, random.Between(0x80, 0xBF));
    }
    if (random.Percent(30)) text.Add(random.Pick(kBreakers));
    if (text.Column() >= 72) text.Add('\n');
  }
  return text.Take();
}

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
