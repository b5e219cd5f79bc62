#include "tests/support/case_file.h"

#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "tests/support/utf.h"

namespace tobble::testing {
namespace {

std::string Trim(const std::string& s) {
  const size_t begin = s.find_first_not_of(' ');
  if (begin == std::string::npos) return "";
  return s.substr(begin, s.find_last_not_of(' ') - begin + 1);
}

// Appends the UTF-8 text as UTF-16 units; the case file is UTF-8.
void AppendText(std::u16string& out, const std::string& text) {
  const Utf8Reading reading = ReadUtf8(text);
  if (reading.replaced != 0) throw std::runtime_error("invalid UTF-8: " + text);
  out += reading.units;
}

}  // namespace

std::u16string ParseCaseText(const std::string& text) {
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    const size_t open = text.find('{', i);
    AppendText(out, text.substr(i, open - i));
    if (open == std::string::npos) break;
    const size_t close = text.find('}', open);
    if (close == std::string::npos) throw std::runtime_error("unclosed {");
    const std::string inner = text.substr(open + 1, close - open - 1);
    const size_t star = inner.find('*');
    if (star != std::string::npos) {
      std::u16string piece;
      AppendText(piece, inner.substr(star + 1));
      for (int k = std::stoi(inner.substr(0, star)); k > 0; --k) out += piece;
    } else if (!inner.empty()) {
      size_t used = 0;
      const unsigned long unit = std::stoul(inner, &used, 16);
      if (used != inner.size() || unit > 0xFFFF)
        throw std::runtime_error("bad unit {" + inner + "}");
      out += static_cast<char16_t>(unit);
    }
    i = close + 1;
  }
  return out;
}

std::vector<Case> ReadCaseFile(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw std::runtime_error("cannot open " + path);
  std::vector<Case> cases;
  std::vector<std::string> filters;
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    try {
      if (Trim(line).empty() || line[0] == '#') continue;
      if (line[0] == '[') {  // "[filter filter ...]": the filters of the cases below
        filters.clear();
        const std::string names = line.substr(1, line.find(']') - 1);
        for (size_t at = 0; at < names.size();) {
          const size_t end = std::min(names.find(' ', at), names.size());
          if (end > at) filters.push_back(names.substr(at, end - at));
          at = end + 1;
        }
        continue;
      }
      const size_t arrow = line.find(" => ");
      if (arrow == std::string::npos) throw std::runtime_error("no \" => \"");
      if (filters.empty()) throw std::runtime_error("case before any [filter]");
      const std::string expected = Trim(line.substr(arrow + 4));
      const std::u16string input = ParseCaseText(Trim(line.substr(0, arrow)));
      for (const std::string& filter : filters) {
        cases.push_back(
            {filter, input, expected == "{same}" ? input : ParseCaseText(expected), number});
      }
    } catch (const std::exception& e) {
      throw std::runtime_error(path + ":" + std::to_string(number) + ": " + e.what());
    }
  }
  return cases;
}

std::string ShowUnits(const std::u16string& units) {
  std::string shown;
  for (char16_t u : units) {
    if (u >= 0x20 && u < 0x7F && u != '{') {
      shown += static_cast<char>(u);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "{%X}", static_cast<unsigned>(u));
      shown += hex;
    }
  }
  return shown;
}

}  // namespace tobble::testing
