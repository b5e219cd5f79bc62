// The whole plug-in call as the host makes it: the DLL loaded with
// LoadLibrary, the filter export called on a zero-terminated text, the result
// block freed with GlobalFree. Beside it, its limit: a copy of the same
// traffic (input bytes + output bytes) into a fresh GlobalAlloc block.
//
// Usage: plugin_bench PLUGIN [--sizes=64K,16M] [--rounds=N] [--min-time=SECONDS]
//
// Each round times a batch of calls lasting at least the minimum time, for
// the filter and then for the copy; the medians of the rounds are reported.
// Prints one JSON object a line: a measurement, or a filter it skipped, and
// last {"done":STATUS}. Exits with 1 if the plug-in's output differs from the
// core's.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "bench/corpus.h"

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

struct Options {
  std::vector<CorpusSize> sizes{std::begin(kSizes), std::end(kSizes)};
  int rounds = 5;
  double min_time = 0.2;
};

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
    } else {
      return false;
    }
  }
  return true;
}

// Measures one filter on one corpus; false if its output is not the core's.
bool Measure(const Filter& filter, FilterExport call, const std::string& corpus,
             const CorpusSize& size, const Options& options) {
  const std::u16string text = MakeCorpus(corpus, size.units);
  const std::u16string expected = ConvertWhole(filter, text);
  const HGLOBAL first = call(nullptr, text.c_str());
  const bool same = HoldsText(first, expected);
  if (first != nullptr) GlobalFree(first);
  if (!same) {
    printf("{\"filter\":\"%s\",\"corpus\":\"%s\",\"size\":\"%s\",\"error\":\"%s\"}\n",
           filter.function, corpus.c_str(), size.label,
           "the plug-in's output differs from the core's");
    return false;
  }
  const size_t in_bytes = text.size() * 2;
  const size_t out_bytes = expected.size() * 2;
  // The copy reads the input and the output as one source; its block is at
  // least the filter's block, so both take the same allocation path.
  std::string source(reinterpret_cast<const char*>(text.data()), in_bytes);
  source.append(reinterpret_cast<const char*>(expected.data()), out_bytes);
  const size_t block_bytes = std::max((text.size() + 1) * filter.factor, source.size() + 2);

  const Timing filter_time = TimePerCall([&] { GlobalFree(call(nullptr, text.c_str())); },
                                         options.rounds, options.min_time);
  const Timing copy_time = TimePerCall(
      [&] {
        const HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, block_bytes);
        void* to = GlobalLock(block);
        memcpy(to, source.data(), source.size());
        GlobalUnlock(block);
        GlobalFree(block);
      },
      options.rounds, options.min_time);
  printf(
      "{\"filter\":\"%s\",\"corpus\":\"%s\",\"size\":\"%s\",\"in_bytes\":%zu,"
      "\"out_bytes\":%zu,\"fingerprint\":\"%s\",\"rounds\":%d,\"filter_s\":%.9g,"
      "\"filter_best_s\":%.9g,\"copy_s\":%.9g,\"copy_best_s\":%.9g}\n",
      filter.function, corpus.c_str(), size.label, in_bytes, out_bytes, Fingerprint(text).c_str(),
      options.rounds, filter_time.median, filter_time.best, copy_time.median, copy_time.best);
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
            "usage: plugin_bench PLUGIN [--sizes=64K,16M] [--rounds=N] [--min-time=SECONDS]\n");
    return 2;
  }
  const HMODULE plugin = LoadLibraryA(argv[1]);
  if (plugin == nullptr) {
    fprintf(stderr, "plugin_bench: cannot load %s\n", argv[1]);
    return 1;
  }
  int status = 0;
  for (const tobble::Filter& filter : tobble::kFilters) {
    const FARPROC proc = GetProcAddress(plugin, filter.function);
    const char* skipped = proc == nullptr             ? "no export in this plug-in"
                          : filter.convert == nullptr ? "no conversion in this build"
                                                      : nullptr;
    if (skipped != nullptr) {
      printf("{\"filter\":\"%s\",\"skipped\":\"%s\"}\n", filter.function, skipped);
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
