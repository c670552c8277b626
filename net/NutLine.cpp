#include "net/NutLine.h"

namespace tessaro::net {

namespace {
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
}  // namespace

bool SplitLine(std::string_view line, std::vector<std::string>& words) {
  words.clear();
  size_t i = 0;
  while (i < line.size()) {
    if (IsBlank(line[i])) {
      ++i;
      continue;
    }
    std::string word;
    bool quoted = false;
    // A word runs to the next blank outside quotes; quotes may open anywhere
    // in it, as in the protocol's own parser.
    while (i < line.size() && (quoted || !IsBlank(line[i]))) {
      const char c = line[i++];
      if (c == '\\') {
        if (i >= line.size()) return false;
        word += line[i++];
      } else if (c == '"') {
        quoted = !quoted;
      } else {
        word += c;
      }
    }
    if (quoted) return false;
    words.push_back(std::move(word));
  }
  return true;
}

std::string Quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

}  // namespace tessaro::net
