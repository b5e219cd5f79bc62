#include "tests/entities.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tobble::testing {
namespace {

void AppendCodePoint(std::u16string& out, char32_t c) {
  if (c >= 0x10000) {
    out += static_cast<char16_t>(0xD7C0 + (c >> 10));
    out += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
  } else {
    out += static_cast<char16_t>(c);
  }
}

// Just enough JSON for the list: an object of objects holding a string and
// an array of numbers.
class JsonReader {
 public:
  explicit JsonReader(std::string text) : text_(std::move(text)) {}

  void Expect(char c) {
    if (Peek() != c) Fail(std::string("expected '") + c + "'");
    ++at_;
  }

  // Consumes c if it comes next.
  bool Take(char c) {
    if (Peek() != c) return false;
    ++at_;
    return true;
  }

  char Peek() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\r' || text_[at_] == '\t')) {
      ++at_;
    }
    return at_ < text_.size() ? text_[at_] : '\0';
  }

  // A string as UTF-16 units: escapes resolved, UTF-8 decoded.
  std::u16string String() {
    Expect('"');
    std::u16string out;
    while (at_ < text_.size() && text_[at_] != '"') {
      const unsigned char b = text_[at_++];
      if (b == '\\') {
        const char e = Next();
        if (e == 'u') {
          out += static_cast<char16_t>(std::stoul(text_.substr(at_, 4), nullptr, 16));
          at_ += 4;
        } else {
          const std::string from = "\"\\/bfnrt", to = "\"\\/\b\f\n\r\t";
          const size_t k = from.find(e);
          if (k == std::string::npos) Fail("bad escape");
          out += static_cast<char16_t>(to[k]);
        }
      } else {
        const int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
        char32_t c = extra == 0 ? b : b & (0x3F >> extra);
        for (int k = 0; k < extra; ++k) c = (c << 6) | (Next() & 0x3F);
        AppendCodePoint(out, c);
      }
    }
    Expect('"');
    return out;
  }

  std::vector<char32_t> Numbers() {
    std::vector<char32_t> numbers;
    Expect('[');
    do {
      Peek();
      size_t used = 0;
      numbers.push_back(static_cast<char32_t>(std::stoul(text_.substr(at_, 12), &used)));
      at_ += used;
    } while (Take(','));
    Expect(']');
    return numbers;
  }

  [[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error("entities list, byte " + std::to_string(at_) + ": " + what);
  }

 private:
  char Next() {
    if (at_ >= text_.size()) Fail("unexpected end");
    return text_[at_++];
  }

  std::string text_;
  size_t at_ = 0;
};

std::string Ascii(const std::u16string& units) {
  return std::string(units.begin(), units.end());
}

}  // namespace

std::vector<Entity> ReadEntities(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot open " + path);
  std::ostringstream text;
  text << file.rdbuf();
  JsonReader json(text.str());
  std::vector<Entity> entities;
  json.Expect('{');
  do {
    const std::string key = Ascii(json.String());
    json.Expect(':');
    json.Expect('{');
    std::u16string characters, from_code_points;
    do {
      const std::string field = Ascii(json.String());
      json.Expect(':');
      if (field == "characters") {
        characters = json.String();
      } else if (field == "codepoints") {
        for (char32_t c : json.Numbers()) AppendCodePoint(from_code_points, c);
      } else {
        json.Fail("unknown field " + field);
      }
    } while (json.Take(','));
    json.Expect('}');
    if (key.size() < 2 || key[0] != '&') json.Fail("bad name " + key);
    if (characters.empty() || characters != from_code_points) {
      json.Fail(key + ": characters and codepoints disagree");
    }
    const bool semicolon = key.back() == ';';
    entities.push_back({key.substr(1, key.size() - (semicolon ? 2 : 1)), semicolon, characters});
  } while (json.Take(','));
  json.Expect('}');
  return entities;
}

}  // namespace tobble::testing
