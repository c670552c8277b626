#include "net/NutLine.h"

#include <iterator>

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

namespace {

// clang-format off
// In the order of TNutError.
constexpr std::string_view ErrorWords[] = {
  "ACCESS-DENIED", "ALREADY-LOGGED-IN", "ALREADY-SET-PASSWORD", "ALREADY-SET-USERNAME",
  "CMD-NOT-SUPPORTED", "DATA-STALE", "FAILED", "FEATURE-NOT-CONFIGURED",
  "INSTCMD-FAILED", "INVALID-ARGUMENT", "PASSWORD-REQUIRED", "UNKNOWN",
  "UNKNOWN-COMMAND", "UNKNOWN-UPS", "USERNAME-REQUIRED", "VAR-NOT-SUPPORTED",
};
// clang-format on
static_assert(std::size(ErrorWords) == static_cast<size_t>(TNutError::VarNotSupported) + 1);

}  // namespace

std::string_view NutErrorWord(TNutError error) { return ErrorWords[static_cast<size_t>(error)]; }

std::string NutErrorLine(TNutError error) {
  std::string line = "ERR ";
  line += NutErrorWord(error);
  line += '\n';
  return line;
}

}  // namespace tessaro::net
