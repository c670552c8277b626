#include "web/Json.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace tessaro::web {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0.
size_t Utf8Length(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((b(i + k) & 0xC0) != 0x80) return 0;
  if (n == 2 && c < 0xC2) return 0;                              // overlong
  if (n == 3 && c == 0xE0 && b(i + 1) < 0xA0) return 0;          // overlong
  if (n == 3 && c == 0xED && b(i + 1) >= 0xA0) return 0;         // surrogate
  if (n == 4 && (c > 0xF4 || (c == 0xF0 && b(i + 1) < 0x90) || (c == 0xF4 && b(i + 1) >= 0x90))) return 0;
  return n;
}

}  // namespace

void AppendJsonString(std::string_view value, std::string& out) {
  out += '"';
  for (size_t i = 0; i < value.size();) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else if (const size_t n = Utf8Length(value, i)) {
      out.append(value.substr(i, n));
      i += n;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  out += '"';
}

void TJson::Separate() {
  if (FAfterKey) {
    FAfterKey = false;
    return;
  }
  if (!FFirst) FOut += ',';
  FFirst = false;
}

TJson& TJson::BeginObject() {
  Separate();
  FOut += '{';
  FFirst = true;
  return *this;
}

TJson& TJson::EndObject() {
  FOut += '}';
  FFirst = false;
  return *this;
}

TJson& TJson::BeginArray() {
  Separate();
  FOut += '[';
  FFirst = true;
  return *this;
}

TJson& TJson::EndArray() {
  FOut += ']';
  FFirst = false;
  return *this;
}

TJson& TJson::Key(std::string_view key) {
  Separate();
  AppendJsonString(key, FOut);
  FOut += ':';
  FAfterKey = true;
  return *this;
}

TJson& TJson::String(std::string_view value) {
  Separate();
  AppendJsonString(value, FOut);
  return *this;
}

TJson& TJson::Number(double value) {
  Separate();
  if (!std::isfinite(value)) {
    FOut += "null";
    return *this;
  }
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  FOut.append(buf, r.ptr);
  return *this;
}

TJson& TJson::Integer(long long value) {
  Separate();
  FOut += std::to_string(value);
  return *this;
}

TJson& TJson::Bool(bool value) {
  Separate();
  FOut += value ? "true" : "false";
  return *this;
}

TJson& TJson::Null() {
  Separate();
  FOut += "null";
  return *this;
}

TJson& TJson::Raw(std::string_view json) {
  Separate();
  FOut.append(json);
  return *this;
}

}  // namespace tessaro::web
