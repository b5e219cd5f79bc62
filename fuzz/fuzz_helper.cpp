// The fuzzers' helper for the build and for tools/fuzz.py:
//
//   fuzz_helper seeds DIR CASE_FILE  writes each target's seed corpus to DIR/TARGET/: the
//                                    inputs and expected outputs of the case file, and what
//                                    every encoder makes of each input, as the target reads
//                                    texts (FuzzTarget::inputs)
//   fuzz_helper describe             prints, in Markdown, how each target reads its input
//                                    and what it checks
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/case_file.h"
#include "tests/support/properties.h"

namespace tobble::testing {
namespace {

std::u16string ConvertWhole(const Filter& filter, const std::u16string& text) {
  std::vector<char16_t> out(OutputBound(filter, text.size()));
  const Progress done = filter.convert(text.data(), text.size(), out.data(), true);
  return std::u16string(out.data(), done.written);
}

void WriteCorpus(const std::filesystem::path& dir, const std::set<std::string>& inputs) {
  std::filesystem::create_directories(dir);
  for (const std::string& input : inputs) {
    uint64_t hash = 0xCBF29CE484222325u;
    for (const char byte : input) hash = (hash ^ static_cast<uint8_t>(byte)) * 0x100000001B3u;
    char name[17];
    std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(hash));
    std::ofstream(dir / name, std::ios::binary) << input;
  }
}

int WriteSeeds(const std::filesystem::path& dir, const std::string& case_file) {
  // Texts with a filter to convert them: each case's input and expected
  // output with its filter, and what every encoder makes of each input with
  // every decoder. Each target writes them as its inputs.
  std::vector<std::pair<const Filter*, std::u16string>> texts;
  for (const Case& c : ReadCaseFile(case_file)) {
    const Filter* filter = FindFilter(c.filter.c_str());
    texts.emplace_back(filter, c.input);
    texts.emplace_back(filter, c.expected);
    for (const Filter& encoder : kFilters) {
      if (!IsEncoder(encoder)) continue;
      const std::u16string encoded = ConvertWhole(encoder, c.input);
      for (const Filter& decoder : kFilters) {
        if (IsDecoder(decoder)) texts.emplace_back(&decoder, encoded);
      }
    }
  }
  std::filesystem::remove_all(dir);
  for (const FuzzTarget& target : FuzzTargets()) {
    std::set<std::string> inputs;
    for (const auto& [filter, text] : texts) {
      for (std::string& input : target.inputs(*filter, text)) inputs.insert(std::move(input));
    }
    WriteCorpus(dir / target.name, inputs);
  }
  return 0;
}

int PrintDescription() {
  std::printf("| Target | Input | Properties |\n|---|---|---|\n");
  for (const FuzzTarget& target : FuzzTargets()) {
    std::string properties;
    for (const Property p : target.properties) {
      properties += (properties.empty() ? "" : ", ") + std::string(Describe(p).name);
    }
    std::printf("| `%s` | %s | %s |\n", target.name.c_str(), target.input.c_str(),
                properties.c_str());
  }
  std::printf("\n| Property | What it checks |\n|---|---|\n");
  for (int p = 0; p < kPropertyCount; ++p) {
    const PropertyInfo& info = Describe(static_cast<Property>(p));
    std::printf("| %s | %s |\n", info.name, info.checks);
  }
  std::string faster;
  for (const Filter& filter : kFilters) {
    if (filter.convert != filter.scalar)
      faster += (faster.empty() ? "" : ", ") + std::string(filter.function);
  }
  std::printf("\nFilters with a `convert` of their own beside `scalar`: %s.\n",
              faster.empty() ? "none yet (the scalar check compares as soon as there is one)"
                             : faster.c_str());
  return 0;
}

}  // namespace
}  // namespace tobble::testing

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "seeds" && argc == 4) return tobble::testing::WriteSeeds(argv[2], argv[3]);
  if (command == "describe" && argc == 2) return tobble::testing::PrintDescription();
  std::fprintf(stderr, "usage: fuzz_helper seeds DIR CASE_FILE | fuzz_helper describe\n");
  return 2;
}
