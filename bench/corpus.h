// The benchmark corpora: texts generated from fixed seeds, so that the core
// benchmark, the plug-in benchmark under Wine and the command-line benchmark
// all measure the very same texts, on every machine.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "filters/filters.h"

namespace tobble::bench {

// A corpus size, named by its length in bytes of UTF-16.
struct CorpusSize {
  const char* label;
  size_t units;
};
inline constexpr CorpusSize kSizes[] = {{"64K", 32 * 1024}, {"16M", 8 * 1024 * 1024}};

// The sizes named in a comma-separated list of labels ("64K,16M"). False on an
// unknown label or an empty list.
bool ParseSizes(const std::string& list, std::vector<CorpusSize>* sizes);

// The names of the corpora a filter is measured on, in table order. A
// decoder reads its
// encoders' output of the plain texts ("english.tobbleJ"), and its own
// adversarial corpus ("adversarial.untobbleJ"); an encoder reads the plain
// texts ("english").
std::vector<std::string> CorporaFor(const Filter& filter);

// One line on what the corpus holds.
std::string DescribeCorpus(const std::string& name);

// The corpus `name` at `units` units. Plain and adversarial texts have exactly
// that many units; an encoder's output is cut after its last line break
// within that length, so that no escape or reference is cut in two.
std::u16string MakeCorpus(const std::string& name, size_t units);

// How many different texts a 64 KiB row converts in turn.
inline constexpr size_t kDistinctTexts = 8;

// kDistinctTexts texts about as long as `text`, one after another from the
// start of `source` (the corpus at 16 MiB), each cut after a line so that no
// escape or reference is cut in two; none when the source is too short.
// Called on one text over and over, a processor's branch predictor learns
// that text, which flatters branchy code.
std::vector<std::u16string> DistinctTexts(const std::u16string& text, const std::u16string& source);

// The corpus's start that DistinctTexts cuts texts of `units` from: the
// corpus at 16 MiB begins with it, and making only this much keeps the
// smoke tests short.
std::u16string DistinctTextsSource(const std::string& corpus, size_t units);

// The filter's output for the whole text.
std::u16string ConvertWhole(const Filter& filter, const std::u16string& text);

// A 64-bit FNV-1a hash of the units, as 16 hex digits: the measurements
// print it, so the report can check that all of them read the same text.
std::string Fingerprint(const std::u16string& text);

// The text as UTF-8. Lone surrogates (no corpus holds one) become U+FFFD.
std::string ToUtf8(const std::u16string& text);

}  // namespace tobble::bench
