// The quoting of file names in the tool's messages, against what GNU ls
// --quoting-style=shell-escape prints for the same names in a UTF-8 locale.
#include "cli/quote.h"

#include <gtest/gtest.h>

#include <string>

namespace tobble::cli {
namespace {

struct QuoteCase {
  std::string name;
  std::string quoted;
};

const QuoteCase kCases[] = {
    // Left as they are.
    {"notes.txt", "notes.txt"},
    {"-x", "-x"},
    {"a%b+c,d:e@f]g_h", "a%b+c,d:e@f]g_h"},
    {"a{b}", "a{b}"},
    {"{}", "{}"},
    {"a{", "a{"},
    {"}a", "}a"},
    {"a#", "a#"},
    {"a~", "a~"},
    {u8"無い.txt", u8"無い.txt"},
    {u8"😀", u8"😀"},
    {u8"a\u00a0b", u8"a\u00a0b"},
    // Single quotes for what a shell would read otherwise.
    {"", "''"},
    {"a b", "'a b'"},
    {"#a", "'#a'"},
    {"~a", "'~a'"},
    {"a!b", "'a!b'"},
    {"a$b", "'a$b'"},
    {"a\\b", "'a\\b'"},
    {"a=b", "'a=b'"},
    {"{", "'{'"},
    {"}", "'}'"},
    {"#", "'#'"},
    {"~", "'~'"},
    {"a*b", "'a*b'"},
    {"a?b", "'a?b'"},
    {"a[b", "'a[b'"},
    {"a|b", "'a|b'"},
    {"a`b", "'a`b'"},
    {"\"", "'\"'"},
    {"\"q\"", "'\"q\"'"},
    // A single quote: in double quotes where they hold everything else.
    {"'", "\"'\""},
    {"it's", "\"it's\""},
    {"it's a b", "\"it's a b\""},
    {"a'b'c", "\"a'b'c\""},
    {"#it's", "\"#it's\""},
    {u8"it'sé", u8"\"it'sé\""},
    {"it's!", "'it'\\''s!'"},
    {"it's $x", "'it'\\''s $x'"},
    {"it's#", "'it'\\''s#'"},
    {"it's{", "'it'\\''s{'"},
    {"it's\"", "'it'\\''s\"'"},
    // Unprintable characters and invalid UTF-8 as $'...' segments.
    {"a\nb", "'a'$'\\n''b'"},
    {"\nb", "''$'\\n''b'"},
    {"a\tb", "'a'$'\\t''b'"},
    {"a\rb", "'a'$'\\r''b'"},
    {"a\a\b\f\v", "'a'$'\\a\\b\\f\\v'"},
    {"a\n\n\x01", "'a'$'\\n\\n\\001'"},
    {"a\x1b[31m", "'a'$'\\033''[31m'"},
    {"a\x7f"
     "b",
     "'a'$'\\177''b'"},
    {"a'\nb", "'a'\\'''$'\\n''b'"},
    {"\"\n'#", "'\"'$'\\n'\\''#'"},
    {"\n'", "''$'\\n'\\'''"},
    {"$'", "'$'\\'''"},
    {"'$", "''\\''$'"},
    {"x\xffy", "'x'$'\\377''y'"},
    {"\xc3", "''$'\\303'"},
    {"\xc0\xaf", "''$'\\300\\257'"},
    {"\xed\xa0\x80", "''$'\\355\\240\\200'"},
    {"\xf4\x90\x80\x80", "''$'\\364\\220\\200\\200'"},
    {"a\xc2\x85"
     "b",
     "'a'$'\\302\\205''b'"},
    {"a\xe2\x80\xa8"
     "b",
     "'a'$'\\342\\200\\250''b'"},
    {"a\xef\xbf\xbe"
     "b",
     "'a'$'\\357\\277\\276''b'"},
};

class QuoteTest : public testing::TestWithParam<QuoteCase> {};

TEST_P(QuoteTest, QuotesAsGnuToolsDo) {
  EXPECT_EQ(QuoteName(GetParam().name), GetParam().quoted);
}

INSTANTIATE_TEST_SUITE_P(Names, QuoteTest, testing::ValuesIn(kCases));

}  // namespace
}  // namespace tobble::cli
