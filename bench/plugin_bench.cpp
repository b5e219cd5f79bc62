// The whole plug-in call as the host makes it: the DLL loaded with
// LoadLibrary, the filter export called on a zero-terminated text, the result
// block freed with GlobalFree. Beside it, its limit: a plain copy loop
// standing in for the filter, in the same call shape. It allocates the block
// the filter would ((n + 1) * factor bytes, GMEM_MOVEABLE), locks it, reads
// the input once and writes as many bytes as the filter's output has (the
// input repeated or thinned out to that length), unlocks it and frees it.
// And the same stand-in counting the text first, with the plug-in's own
// count: the least any filter can do, since it must find the end of a
// zero-terminated text to size the block before it converts a unit, and so
// reads a text too large for the caches twice.
//
// Usage: plugin_bench PLUGIN [--sizes=64K,16M] [--rounds=N] [--min-time=SECONDS]
//                           [--filters=NAME,...]
//
// Each round times a batch of calls lasting at least the minimum time, for
// the filter and then for the copy; the medians of the rounds are reported.
// A 64 KiB row converts eight different texts of that size in turn, cut from
// the 16 MiB corpus, and the one 64 KiB text over and over beside it.
// Prints one JSON object a line: a measurement, or a filter it skipped, and
// last {"done":STATUS}. Exits with 1 if the plug-in's output differs from the
// core's.
#include <emmintrin.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "bench/corpus.h"
#include "filters/common/count_units.h"

namespace tobble::bench {
namespace {

using FilterExport = HGLOBAL(__cdecl*)(void*, const char16_t*);

double Seconds() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Timing {
  double median;
  double best;
};

// Seconds per call of `step`, over `rounds` rounds.
template <typename Step>
Timing TimePerCall(Step step, int rounds, double min_time) {
  // One call to find how many make a round of at least min_time.
  double start = Seconds();
  step();
  const double once = Seconds() - start;
  const int calls = once >= min_time ? 1 : static_cast<int>(min_time / std::max(once, 1e-7)) + 1;
  std::vector<double> per_call;
  for (int round = 0; round < rounds; ++round) {
    start = Seconds();
    for (int i = 0; i < calls; ++i) step();
    per_call.push_back((Seconds() - start) / calls);
  }
  std::sort(per_call.begin(), per_call.end());
  return {per_call[per_call.size() / 2], per_call.front()};
}

// Whether the result block holds exactly `expected` and a zero unit.
bool HoldsText(HGLOBAL block, const std::u16string& expected) {
  if (block == nullptr) return false;
  const auto* units = static_cast<const char16_t*>(GlobalLock(block));
  const bool same = units != nullptr && memcmp(units, expected.data(), expected.size() * 2) == 0 &&
                    units[expected.size()] == 0;
  GlobalUnlock(block);
  return same;
}

// The stand-in's copy: reads each of the in_bytes at `from` once, 16 at a
// time, and writes out_bytes at `to` (at least 16 of each), spreading the
// input evenly over the output as a filter's output follows its input: each
// 16 input bytes fill their share of the output, repeated when the output is
// longer, overlapping when it is shorter.
void StandInCopy(const char* from, size_t in_bytes, char* to, size_t out_bytes) {
  const size_t vectors = (in_bytes + 15) / 16;
  const size_t step = out_bytes / vectors;
  const size_t rest = out_bytes % vectors;
  size_t carry = 0;
  size_t at = 0;
  for (size_t j = 0; j < vectors; ++j) {
    // The last vector ends at the input's end, overlapping the one before.
    const size_t from_at = std::min(j * 16, in_bytes - 16);
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + from_at));
    size_t share = step;
    carry += rest;
    if (carry >= vectors) {
      carry -= vectors;
      ++share;
    }
    const size_t end = at + share;
    for (; at < end; at += 16) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + std::min(at, out_bytes - 16)), v);
    }
    at = end;
  }
}

struct Options {
  std::vector<CorpusSize> sizes{std::begin(kSizes), std::end(kSizes)};
  int rounds = 5;
  double min_time = 0.2;
  std::string filters;  // comma-separated export names; empty: all
};

// Whether the comma-separated list names the filter, or is empty.
bool Selected(const std::string& list, const char* function) {
  return list.empty() ||
         ("," + list + ",").find("," + std::string(function) + ",") != std::string::npos;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--sizes=", 0) == 0) {
      if (!ParseSizes(arg.substr(8), &options->sizes)) return false;
    } else if (arg.rfind("--rounds=", 0) == 0) {
      options->rounds = atoi(arg.c_str() + 9);
      if (options->rounds < 1) return false;
    } else if (arg.rfind("--min-time=", 0) == 0) {
      options->min_time = atof(arg.c_str() + 11);
    } else if (arg.rfind("--filters=", 0) == 0) {
      options->filters = arg.substr(10);
    } else {
      return false;
    }
  }
  return true;
}

struct Sample {
  std::u16string text;
  size_t out_bytes;
  size_t block_bytes;
};

// The stand-in's call on one sample: the block allocated, locked, the input
// copied into it, unlocked and freed. With `count`, the text's units are
// counted first, and the copy reads as many.
void StandInCall(const Sample& sample, bool count) {
  const char* from = reinterpret_cast<const char*>(sample.text.c_str());
  const size_t in_bytes = (count ? CountUnits(sample.text.c_str()) : sample.text.size()) * 2;
  const HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, sample.block_bytes);
  auto* to = static_cast<char*>(GlobalLock(block));
  if (in_bytes >= 16 && sample.out_bytes >= 16) {
    StandInCopy(from, in_bytes, to, sample.out_bytes);
  } else {
    for (size_t i = 0; i < sample.out_bytes; ++i) to[i] = from[i % in_bytes];
  }
  to[sample.out_bytes] = to[sample.out_bytes + 1] = 0;  // the terminating zero unit
  GlobalUnlock(block);
  GlobalFree(block);
}

// The call of the filter and of its stand-in, without and with the count, on
// each sample in turn, per call.
struct Timings {
  Timing filter;
  Timing copy;
  Timing count_copy;
};
Timings TimeSamples(FilterExport call, const std::vector<Sample>& samples, size_t units,
                    const Options& options) {
  const Timing filter_time = TimePerCall(
      [&] {
        for (const Sample& sample : samples) GlobalFree(call(nullptr, sample.text.c_str()));
      },
      options.rounds, options.min_time);
  const auto time_stand_in = [&](bool count) {
    return TimePerCall(
        [&] {
          for (const Sample& sample : samples) StandInCall(sample, count);
        },
        options.rounds, options.min_time);
  };
  const Timing copy_time = time_stand_in(false);
  const Timing count_copy_time = time_stand_in(true);
  // Per text, scaled to a text of `units` units: the texts' lengths differ
  // by part of a line.
  size_t total = 0;
  for (const Sample& sample : samples) total += sample.text.size();
  const double scale = static_cast<double>(units) / static_cast<double>(total);
  const auto scaled = [scale](Timing t) { return Timing{t.median * scale, t.best * scale}; };
  return {scaled(filter_time), scaled(copy_time), scaled(count_copy_time)};
}

// A sample of the text, after checking the plug-in's output for it against
// the core's; false when they differ.
bool MakeSample(const Filter& filter, FilterExport call, const std::u16string& text,
                Sample* sample) {
  const std::u16string expected = ConvertWhole(filter, text);
  const HGLOBAL first = call(nullptr, text.c_str());
  const bool same = HoldsText(first, expected);
  if (first != nullptr) GlobalFree(first);
  *sample = {text, expected.size() * 2, (text.size() + 1) * filter.factor};
  return same;
}

// Measures one filter on one corpus; false if its output is not the core's.
// A 64 KiB row is timed on different texts of that size cut from the 16 MiB
// corpus, and on the one 64 KiB text over and over beside it.
bool Measure(const Filter& filter, FilterExport call, const std::string& corpus,
             const CorpusSize& size, const Options& options) {
  const std::u16string text = MakeCorpus(corpus, size.units);
  std::vector<std::u16string> texts;
  if (size.units < kSizes[1].units) {
    texts = DistinctTexts(text, DistinctTextsSource(corpus, size.units));
  }
  std::vector<Sample> one(1);
  std::vector<Sample> distinct(texts.size());
  bool same = MakeSample(filter, call, text, &one[0]);
  for (size_t k = 0; k < texts.size(); ++k)
    same &= MakeSample(filter, call, texts[k], &distinct[k]);
  if (!same) {
    printf("{\"filter\":\"%s\",\"corpus\":\"%s\",\"size\":\"%s\",\"error\":\"%s\"}\n",
           filter.function, corpus.c_str(), size.label,
           "the plug-in's output differs from the core's");
    return false;
  }
  const Timings one_text = TimeSamples(call, one, text.size(), options);
  const Timings timings =
      distinct.empty() ? one_text : TimeSamples(call, distinct, text.size(), options);
  printf(
      "{\"filter\":\"%s\",\"corpus\":\"%s\",\"size\":\"%s\",\"in_bytes\":%zu,"
      "\"out_bytes\":%zu,\"fingerprint\":\"%s\",\"rounds\":%d,\"texts\":%zu,\"filter_s\":%.9g,"
      "\"filter_best_s\":%.9g,\"copy_s\":%.9g,\"copy_best_s\":%.9g,\"count_copy_s\":%.9g,"
      "\"count_copy_best_s\":%.9g",
      filter.function, corpus.c_str(), size.label, text.size() * 2, one[0].out_bytes,
      Fingerprint(text).c_str(), options.rounds, distinct.empty() ? 1 : distinct.size(),
      timings.filter.median, timings.filter.best, timings.copy.median, timings.copy.best,
      timings.count_copy.median, timings.count_copy.best);
  if (!distinct.empty()) {
    printf(",\"filter_one_text_best_s\":%.9g,\"copy_one_text_best_s\":%.9g", one_text.filter.best,
           one_text.copy.best);
  }
  printf("}\n");
  fflush(stdout);
  return true;
}

}  // namespace
}  // namespace tobble::bench

int main(int argc, char** argv) {
  using namespace tobble::bench;
  Options options;
  if (argc < 2 || !ParseOptions(argc, argv, &options)) {
    fprintf(stderr,
            "usage: plugin_bench PLUGIN [--sizes=64K,16M] [--rounds=N] [--min-time=SECONDS]"
            " [--filters=NAME,...]\n");
    return 2;
  }
  const HMODULE plugin = LoadLibraryA(argv[1]);
  if (plugin == nullptr) {
    fprintf(stderr, "plugin_bench: cannot load %s\n", argv[1]);
    return 1;
  }
  int status = 0;
  for (const tobble::Filter& filter : tobble::kFilters) {
    if (!Selected(options.filters, filter.function)) continue;
    const FARPROC proc = GetProcAddress(plugin, filter.function);
    if (proc == nullptr) {
      printf("{\"filter\":\"%s\",\"skipped\":\"no export in this plug-in\"}\n", filter.function);
      continue;
    }
    // Through void (*)(), the generic function pointer type, to the real one.
    const auto call = reinterpret_cast<FilterExport>(reinterpret_cast<void (*)()>(proc));
    for (const CorpusSize& size : options.sizes) {
      for (const std::string& corpus : CorporaFor(filter)) {
        if (!Measure(filter, call, corpus, size, options)) status = 1;
      }
    }
  }
  FreeLibrary(plugin);
  printf("{\"done\":%d}\n", status);
  return status;
}
