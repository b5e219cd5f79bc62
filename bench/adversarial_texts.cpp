// The adversarial texts of the benchmark corpora: each keeps one decoder on
// its slowest path.
#include "bench/texts.h"

#include <stdio.h>

namespace tobble::bench {

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

namespace {

// Percent escapes of one byte, with upper- or lower-case digits.
void AddByteEscape(Random& random, Text& text, uint32_t byte) {
  char escape[16];
  snprintf(escape, sizeof escape, random.Percent(70) ? "%%%02X" : "%%%02x", byte);
  text.Add(escape);
}

}  // namespace

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

}  // namespace tobble::bench
