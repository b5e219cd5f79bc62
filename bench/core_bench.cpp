// The core's conversions into a reused buffer, beside memcpy of the same
// traffic: as many bytes as the conversion reads and writes together.
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
  const size_t n = sample.text.size();
  // Value-initialised, so every page is in place before the first timing.
  std::vector<char16_t> out(OutputBound(*filter, n));
  for (auto _ : state) {
    Progress done = filter->convert(sample.text.data(), n, out.data(), true);
    benchmark::DoNotOptimize(done);
    benchmark::ClobberMemory();
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
            ->UseRealTime()
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
