// The core's conversions into a reused buffer, beside memcpy of the same
// traffic: as many bytes as the conversion reads and writes together. A
// 64 KiB row converts eight different texts of that size in turn, cut from
// the 16 MiB corpus.
//
// Usage: core_bench [--sizes=64K,16M] [Google Benchmark options]
//
// Benchmarks are named KIND/FILTER/CORPUS/SIZE, KIND being "core" (the
// conversion) or "memcpy" (its limit). Both count bytes of UTF-16 input, so
// their bytes_per_second compare directly. The label is the corpus's
// fingerprint. With repetitions, a "min" aggregate gives the fastest.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "bench/corpus.h"

namespace tobble::bench {
namespace {

// A corpus with what the benchmarks need to know of it.
struct Sample {
  std::u16string text;
  std::string fingerprint;
  size_t out_units;
  // What the conversion converts in turn: for a 64 KiB row eight different
  // texts of that size cut from the 16 MiB corpus, else the text itself.
  std::vector<std::u16string> texts;
};

// The corpus of a filter at a size, made on first use and kept, so that the
// benchmark's repeated runs time only the conversion.
const Sample& GetSample(const Filter& filter, const std::string& corpus, size_t units) {
  static auto* samples = new std::map<std::tuple<std::string, std::string, size_t>, Sample>;
  const auto key = std::make_tuple(std::string(filter.function), corpus, units);
  auto found = samples->find(key);
  if (found == samples->end()) {
    Sample sample;
    sample.text = MakeCorpus(corpus, units);
    sample.fingerprint = Fingerprint(sample.text);
    sample.out_units = ConvertWhole(filter, sample.text).size();
    if (units < kSizes[1].units) {
      sample.texts = DistinctTexts(sample.text, DistinctTextsSource(corpus, units));
    }
    if (sample.texts.empty()) sample.texts.push_back(sample.text);
    found = samples->emplace(key, std::move(sample)).first;
  }
  return found->second;
}

void Describe(benchmark::State& state, const Sample& sample) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sample.text.size() * 2));
  state.counters["in_bytes"] = static_cast<double>(sample.text.size() * 2);
  state.counters["out_bytes"] = static_cast<double>(sample.out_units * 2);
  state.SetLabel(sample.fingerprint);
}

void Convert(benchmark::State& state, const Filter* filter, const std::string& corpus,
             size_t units) {
  const Sample& sample = GetSample(*filter, corpus, units);
  size_t longest = 0;
  for (const std::u16string& text : sample.texts) longest = std::max(longest, text.size());
  // Value-initialised, so every page is in place before the first timing.
  std::vector<char16_t> out(OutputBound(*filter, longest));
  // Each text in turn, its time scaled to the length of the corpus's text.
  size_t k = 0;
  for (auto _ : state) {
    const std::u16string& text = sample.texts[k];
    k = k + 1 == sample.texts.size() ? 0 : k + 1;
    const auto start = std::chrono::steady_clock::now();
    Progress done = filter->convert(text.data(), text.size(), out.data(), true);
    benchmark::DoNotOptimize(done);
    benchmark::ClobberMemory();
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(seconds.count() * static_cast<double>(sample.text.size()) /
                           static_cast<double>(text.size()));
  }
  Describe(state, sample);
}

void Memcpy(benchmark::State& state, const Filter* filter, const std::string& corpus,
            size_t units) {
  const Sample& sample = GetSample(*filter, corpus, units);
  const size_t traffic = (sample.text.size() + sample.out_units) * 2;
  std::vector<char> from(traffic, 'x');
  std::vector<char> to(traffic);
  for (auto _ : state) {
    memcpy(to.data(), from.data(), traffic);
    benchmark::ClobberMemory();
  }
  Describe(state, sample);
}

// The fastest repetition: on a shared machine other work only ever adds time.
double Fastest(const std::vector<double>& values) {
  return *std::min_element(values.begin(), values.end());
}

}  // namespace
}  // namespace tobble::bench

int main(int argc, char** argv) {
  using namespace tobble::bench;
  std::vector<CorpusSize> sizes(std::begin(kSizes), std::end(kSizes));
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--sizes=", 0) == 0) {
      if (!ParseSizes(arg.substr(8), &sizes)) {
        fprintf(stderr, "core_bench: unknown size in %s\n", argv[i]);
        return 2;
      }
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;

  for (const tobble::Filter& filter : tobble::kFilters) {
    for (const CorpusSize& size : sizes) {
      for (const std::string& corpus : CorporaFor(filter)) {
        const std::string name = std::string(filter.function) + "/" + corpus + "/" + size.label;
        benchmark::RegisterBenchmark(("core/" + name).c_str(), Convert, &filter, corpus, size.units)
            ->UseManualTime()
            ->ComputeStatistics("min", Fastest);
        benchmark::RegisterBenchmark(("memcpy/" + name).c_str(), Memcpy, &filter, corpus,
                                     size.units)
            ->UseRealTime()
            ->ComputeStatistics("min", Fastest);
      }
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
