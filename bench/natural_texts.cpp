// The natural texts of the benchmark corpora: English-like prose, Japanese-like
// text, emoji-dense text and HTML-like text dense with references.
#include "bench/texts.h"

namespace tobble::bench {

namespace {

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

}  // namespace

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

}  // namespace tobble::bench
