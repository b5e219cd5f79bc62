// Writes the benchmark corpora as UTF-8 files for the command-line
// benchmark, and prints their manifest.
//
// Usage: bench_corpus DIR [--sizes=64K,16M] > DIR/manifest.tsv
//
// Manifest, tab-separated, one line a filter and corpus:
//   filter corpus size file utf16_bytes utf8_bytes fingerprint description
// and for a filter without a conversion in this build:
//   filter - - - - - - skipped: no conversion in this build
#include <stdio.h>

#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "bench/corpus.h"

namespace tobble::bench {
namespace {

struct Written {
  std::string file;
  size_t utf16_bytes;
  size_t utf8_bytes;
  std::string fingerprint;
};

bool WriteFile(const std::string& path, const std::string& bytes) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return fclose(file) == 0 && written;
}

}  // namespace
}  // namespace tobble::bench

int main(int argc, char** argv) {
  using namespace tobble::bench;
  if (argc < 2) {
    fprintf(stderr, "usage: bench_corpus DIR [--sizes=64K,16M]\n");
    return 2;
  }
  const std::string dir = argv[1];
  std::vector<CorpusSize> sizes(std::begin(kSizes), std::end(kSizes));
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--sizes=", 0) != 0 || !ParseSizes(arg.substr(8), &sizes)) {
      fprintf(stderr, "bench_corpus: bad argument %s\n", argv[i]);
      return 2;
    }
  }
  // Several encoders read the same plain texts: each file is written once.
  std::map<std::string, Written> files;
  for (const tobble::Filter& filter : tobble::kFilters) {
    for (const CorpusSize& size : sizes) {
      for (const std::string& corpus : CorporaFor(filter)) {
        const std::string key = corpus + "-" + size.label;
        auto found = files.find(key);
        if (found == files.end()) {
          const std::u16string text = MakeCorpus(corpus, size.units);
          const std::string bytes = ToUtf8(text);
          Written written{dir + "/" + key + ".txt", text.size() * 2, bytes.size(),
                          Fingerprint(text)};
          if (!WriteFile(written.file, bytes)) {
            fprintf(stderr, "bench_corpus: cannot write %s\n", written.file.c_str());
            return 1;
          }
          found = files.emplace(key, written).first;
        }
        const Written& w = found->second;
        printf("%s\t%s\t%s\t%s\t%zu\t%zu\t%s\t%s\n", filter.function, corpus.c_str(), size.label,
               w.file.c_str(), w.utf16_bytes, w.utf8_bytes, w.fingerprint.c_str(),
               DescribeCorpus(corpus).c_str());
      }
    }
  }
  return 0;
}
