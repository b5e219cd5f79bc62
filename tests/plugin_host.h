// Driving a loaded plug-in as the host does, for the test programs under
// Wine: its exports called by name, texts placed where reading past them
// crashes, and result blocks checked and freed as the host frees them.
#pragma once

#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <string>

namespace tobble::testing {

// The plug-in under test; main() loads it.
extern HMODULE plugin;

FARPROC Export(const char* name);

// Calls the export with the arguments, as the host would; throws
// std::runtime_error when there is no such export.
uintptr_t Call(const char* name, std::initializer_list<uintptr_t> args);

intptr_t LastError();

// Calls a filter export with the text.
HGLOBAL CallFilter(const char* function, const char16_t* text);

// What the host must find in the table, written down independently of the
// plug-in's sources: export name, display name, English name, key, factor.
struct ExpectedFilter {
  const char* function;
  const char16_t* name;
  const char* name_en;
  char key;
  unsigned factor;
};
inline constexpr ExpectedFilter kExpected[] = {
    {"tobbleJ", u"tobbleJ", "tobbleJ", 'A', 12},
    {"untobbleJ", u"untobbleJ", "untobbleJ", 'N', 2},
    {"tobbleC", u"tobbleC", "tobbleC", 'B', 12},
    {"untobbleC", u"untobbleC", "untobbleC", 'M', 2},
    {"charref2text", u"HTMLアンエスケープ", "HTMLunescape", 'F', 2},
    {"text2charref", u"HTMLエスケープ", "HTMLescape", 'P', 16},
    {"URLencode", u"URLencode", "URLencode", 'E', 18},
    {"URLdecode", u"URLdecode", "URLdecode", 'C', 2},
    {"text2charrefx", u"HTMLエスケープ(16進)", "HTMLescape(HEX)", '8', 16},
};

const ExpectedFilter* FindExpected(const std::string& function);

// A text whose terminating zero unit is the last unit of a read-only page,
// right before an inaccessible page: reading past it or writing to it crashes.
// With `odd` the text starts at an odd address, and one byte is left between
// its zero unit and that page.
class GuardedText {
 public:
  explicit GuardedText(const std::u16string& text, bool odd = false);
  ~GuardedText();
  GuardedText(const GuardedText&) = delete;
  GuardedText& operator=(const GuardedText&) = delete;
  const char16_t* get() const { return text_; }

 private:
  BYTE* base_;
  size_t data_bytes_;
  char16_t* text_;
};

// The text of a result block, after checking the block as the host gets it:
// unlocked, and exactly (n + 1) * factor bytes. Frees the block.
std::u16string TakeResult(HGLOBAL block, size_t n, unsigned factor);

}  // namespace tobble::testing
