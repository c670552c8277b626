#include "core/IniFile.h"

#include "core/AtomicFile.h"
#include "core/PathTrust.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

namespace tessaro {

namespace {

constexpr std::string_view Bom = "\xEF\xBB\xBF";
constexpr std::string_view Blanks = " \t\r\n\v\f";

std::string_view Trim(std::string_view s) {
  const auto first = s.find_first_not_of(Blanks);
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(Blanks);
  return s.substr(first, last - first + 1);
}

// ASCII only: GBK lead and trail bytes must compare exactly.
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

struct TParsedLine {
  enum { Other, Section, Key } Kind = Other;
  std::string_view Name;
  size_t Equals = 0;  // position of '=' in a key line
};

TParsedLine ParseLine(std::string_view text) {
  TParsedLine out;
  const std::string_view t = Trim(text);
  if (t.empty() || t.front() == ';') return out;
  if (t.front() == '[') {
    // The name runs to the last ']', as in "[CommPort]" or "[CommPort] ; note".
    const auto close = t.rfind(']');
    if (close == std::string_view::npos || close == 0) return out;
    out.Kind = TParsedLine::Section;
    out.Name = Trim(t.substr(1, close - 1));
    return out;
  }
  const auto eq = text.find('=');
  if (eq == std::string_view::npos) return out;
  const std::string_view name = Trim(text.substr(0, eq));
  if (name.empty()) return out;
  out.Kind = TParsedLine::Key;
  out.Name = name;
  out.Equals = eq;
  return out;
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

std::error_code LastError(int fallback = EIO) {
  return std::error_code(errno ? errno : fallback, std::generic_category());
}

// The whole file, or nullopt with ec set. A missing file is not an error here.
// Opened without waiting and checked once open: a FIFO swapped in under the
// name must not hold the program up.
std::optional<std::string> ReadWholeFile(const std::string& path, std::error_code& ec) {
  ec.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) ec = LastError();
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ec = S_ISDIR(st.st_mode) ? std::make_error_code(std::errc::is_a_directory)
                             : MakeErrorCode(TFileRefusal::NotRegular);
    ::close(fd);
    return std::nullopt;
  }
  if (static_cast<std::uintmax_t>(st.st_size) > MaxIniFileSize) {
    ec = std::make_error_code(std::errc::file_too_large);
    ::close(fd);
    return std::nullopt;
  }
  std::string data;
  char buf[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ec = LastError();
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
    if (data.size() > MaxIniFileSize) break;  // grew while we read
  }
  ::close(fd);
  if (data.size() > MaxIniFileSize) {
    ec = std::make_error_code(std::errc::file_too_large);
    return std::nullopt;
  }
  return data;
}

}  // namespace

std::optional<int32_t> ParseIniInteger(std::string_view text) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return std::nullopt;
  }
  int32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, 10);
  if (ec != std::errc{} || ptr != end) return std::nullopt;
  return value;
}

std::error_code TIniFile::Load(const std::string& path) {
  std::error_code ec;
  std::optional<std::string> data = ReadWholeFile(path, ec);
  FLoaded = data.has_value();
  SetText(data ? std::move(*data) : std::string{});
  return ec;
}

void TIniFile::SetText(std::string text) {
  FLines.clear();
  FBom = text.starts_with(Bom);
  std::string_view rest(text);
  if (FBom) rest.remove_prefix(Bom.size());
  while (!rest.empty()) {
    const auto nl = rest.find('\n');
    if (nl == std::string_view::npos) {
      FLines.push_back({std::string(rest), ""});
      break;
    }
    const bool crlf = nl > 0 && rest[nl - 1] == '\r';
    const size_t textLen = crlf ? nl - 1 : nl;
    FLines.push_back({std::string(rest.substr(0, textLen)), crlf ? "\r\n" : "\n"});
    rest.remove_prefix(nl + 1);
  }
}

std::string TIniFile::Text() const {
  std::string out;
  if (FBom) out += Bom;
  for (const TLine& line : FLines) {
    out += line.Text;
    out += line.End;
  }
  return out;
}

std::string TIniFile::NewLineEnd() const {
  for (const TLine& line : FLines)
    if (!line.End.empty()) return line.End;
  return "\n";
}

TIniFile::TKeyRef TIniFile::FindKey(std::string_view section, std::string_view key) const {
  section = Trim(section);
  key = Trim(key);
  TKeyRef ref;
  bool inSection = false;
  bool inFirstSection = false;
  for (int i = 0; i < static_cast<int>(FLines.size()); ++i) {
    const TParsedLine p = ParseLine(FLines[i].Text);
    if (p.Kind == TParsedLine::Section) {
      inSection = SameName(p.Name, section);
      inFirstSection = inSection && ref.InsertAfter < 0;
      if (inFirstSection) ref.InsertAfter = i;
    } else if (p.Kind == TParsedLine::Key && inSection) {
      if (SameName(p.Name, key)) {
        ref.Line = i;
        return ref;
      }
      if (inFirstSection) ref.InsertAfter = i;
    }
  }
  return ref;
}

std::vector<int> TIniFile::LinesNotUnderstood() const {
  std::vector<int> out;
  bool inSection = false;
  for (size_t i = 0; i < FLines.size(); ++i) {
    const std::string& text = FLines[i].Text;
    const bool control = std::any_of(text.begin(), text.end(), [](char c) {
      const auto u = static_cast<unsigned char>(c);
      return (u < 0x20 && c != '\t') || u == 0x7F;
    });
    const TParsedLine p = ParseLine(text);
    const std::string_view t = Trim(text);
    bool understood = !control;
    if (understood && p.Kind == TParsedLine::Section) {
      inSection = true;
    } else if (understood && p.Kind == TParsedLine::Key) {
      understood = inSection;
    } else if (understood) {
      understood = t.empty() || t.front() == ';' || t.front() == '#';
    }
    if (!understood) out.push_back(static_cast<int>(i) + 1);
  }
  return out;
}

std::string TIniFile::LineText(int number) const {
  return number >= 1 && number <= static_cast<int>(FLines.size()) ? FLines[number - 1].Text : std::string();
}

void TIniFile::DropLines(const std::vector<int>& numbers) {
  std::vector<bool> drop(FLines.size(), false);
  for (const int n : numbers)
    if (n >= 1 && n <= static_cast<int>(FLines.size())) drop[n - 1] = true;
  std::vector<TLine> kept;
  bool inDroppedSection = false;
  for (size_t i = 0; i < FLines.size(); ++i) {
    if (ParseLine(FLines[i].Text).Kind == TParsedLine::Section) inDroppedSection = drop[i];
    if (!drop[i] && !inDroppedSection) kept.push_back(std::move(FLines[i]));
  }
  FLines = std::move(kept);
}

int TIniFile::LineOf(std::string_view section, std::string_view key) const { return FindKey(section, key).Line + 1; }

std::optional<std::string> TIniFile::ReadString(std::string_view section,
                                                std::string_view key) const {
  const TKeyRef ref = FindKey(section, key);
  if (ref.Line < 0) return std::nullopt;
  const std::string& text = FLines[ref.Line].Text;
  std::string_view value = Trim(std::string_view(text).substr(text.find('=') + 1));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return std::string(value);
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view defaultValue) const {
  std::optional<std::string> value = ReadString(section, key);
  return value ? std::move(*value) : std::string(defaultValue);
}

int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key,
                              int32_t defaultValue) const {
  const std::optional<std::string> text = ReadString(section, key);
  if (!text) return defaultValue;
  return ParseIniInteger(*text).value_or(defaultValue);
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool defaultValue) const {
  return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

std::error_code TIniFile::WriteString(std::string_view section, std::string_view key,
                                      std::string_view value) {
  section = Trim(section);
  key = Trim(key);
  if (section.empty() || key.empty() || HasLineBreak(section) || HasLineBreak(key) ||
      HasLineBreak(value) || key.find('=') != std::string_view::npos || key.front() == ';' ||
      key.front() == '[')
    return std::make_error_code(std::errc::invalid_argument);

  const TKeyRef ref = FindKey(section, key);
  if (ref.Line >= 0) {
    // Keep everything up to the value (name, '=', the blanks after it).
    std::string& text = FLines[ref.Line].Text;
    size_t keep = text.find('=') + 1;
    while (keep < text.size() && (text[keep] == ' ' || text[keep] == '\t')) ++keep;
    text.resize(keep);
    text += value;
    return {};
  }

  std::vector<TLine> added;
  if (ref.InsertAfter < 0) added.push_back({"[" + std::string(section) + "]", ""});
  added.push_back({std::string(key) + "=" + std::string(value), ""});

  const std::string nl = NewLineEnd();
  const int at = ref.InsertAfter >= 0 ? ref.InsertAfter : static_cast<int>(FLines.size()) - 1;
  // A file whose last line has no line end keeps that style: the added lines
  // take over the missing end.
  const bool lastWithoutEnd = at >= 0 && FLines[at].End.empty();
  for (TLine& line : added) line.End = nl;
  if (lastWithoutEnd) {
    FLines[at].End = nl;
    added.back().End.clear();
  }
  FLines.insert(FLines.begin() + (at + 1), added.begin(), added.end());
  return {};
}

std::error_code TIniFile::WriteInteger(std::string_view section, std::string_view key,
                                       int64_t value) {
  return WriteString(section, key, std::to_string(value));
}

std::error_code TIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
  return WriteString(section, key, value ? "1" : "0");
}

std::error_code TIniFile::Save(const std::string& path) const {
  const std::string text = Text();
  std::error_code readEc;
  const std::optional<std::string> old = ReadWholeFile(path, readEc);
  if (old && *old == text) return {};
  return ReplaceFileAtomically(path, text);
}

}  // namespace tessaro
