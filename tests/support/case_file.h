// Reads tests/cases.txt, the conversion cases that the native tests and the
// plug-in tests under Wine both run.
#pragma once

#include <string>
#include <vector>

namespace tobble::testing {

struct Case {
  std::string filter;  // export name
  std::u16string input;
  std::u16string expected;
  int line;  // in the case file, for messages
};

// All cases of the file, in file order. Throws std::runtime_error naming the
// line of anything malformed.
std::vector<Case> ReadCaseFile(const std::string& path);

// Parses one side of a case: text stands for itself, "{XXXX}" is the unit of
// that hex value, "{N*text}" is text repeated N times, "{}" is nothing.
std::u16string ParseCaseText(const std::string& text);

// Shows units readably for failure messages: ASCII as itself, others {XXXX}.
std::string ShowUnits(const std::u16string& units);

}  // namespace tobble::testing
