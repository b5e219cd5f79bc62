// Reads filters/charref/entities.json, the HTML standard's list of named character
// references, for the native tests and the plug-in tests under Wine.
#pragma once

#include <string>
#include <vector>

namespace tobble::testing {

struct Entity {
  std::string name;           // without "&" and without ";"
  bool semicolon;             // listed with ";"; without it for a legacy name
  std::u16string characters;  // the replacement text
};

// Every entry of the list, in file order. Throws std::runtime_error for
// anything that is not the list's shape, or an entry whose "characters" and
// "codepoints" disagree.
std::vector<Entity> ReadEntities(const std::string& path);

}  // namespace tobble::testing
