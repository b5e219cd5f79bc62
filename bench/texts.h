// What the benchmark corpora are made of: a random sequence that is the
// same on every platform, a text that grows to a length, and the generators
// of the natural texts (bench/natural_texts.cpp) and of the adversarial ones
// (bench/adversarial_texts.cpp). bench/corpus.cpp makes the catalogue of
// named corpora from them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <utility>

#include "filters/common/surrogate.h"

namespace tobble::bench {

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

// Common English words: the English text's, and the filler between the
// adversarial texts' escapes and references.
inline constexpr const char* kWords[] = {
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

// The natural texts, each exactly `units` units long.
std::u16string English(size_t units);
std::u16string Japanese(size_t units);
std::u16string Emoji(size_t units);
std::u16string HtmlNamed(size_t units);

// The adversarial texts, each exactly `units` units long, from a seed: each
// keeps a decoder on its slowest path. `long_form` adds eight-digit fields.
std::u16string AdversarialEscapes(size_t units, bool long_form, uint64_t seed);
std::u16string AdversarialReferences(size_t units, uint64_t seed);
std::u16string AdversarialPercent(size_t units, uint64_t seed);

}  // namespace tobble::bench
