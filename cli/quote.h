// File names in messages, quoted the way GNU tools quote them, so that a
// name with a newline or an escape sequence in it cannot forge or garble a
// line of the terminal, and the quoted form can be pasted back into a shell.
#pragma once

#include <string>

namespace tobble::cli {

// `name` (bytes, meant as UTF-8) as it appears in a message:
//  - unchanged when every character is printable and none means anything to
//    a shell (`notes.txt`, `無い.txt`);
//  - in double quotes when it holds a single quote and otherwise only
//    letters, digits, spaces and `%+,-./:@]_` (`"it's"`);
//  - in single quotes otherwise (`'a b'`, `'it'\''s!'`), with each run of
//    control characters, invalid UTF-8 bytes and other unprintable
//    characters written as a $'...' segment of C escapes (`'a'$'\n''b'`).
std::string QuoteName(const std::string& name);

}  // namespace tobble::cli
