#include "net/UsersFile.h"

#include <crypt.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cctype>
#include <cstring>
#include <memory>

namespace tessaro::net {

namespace {

// Longer inputs are refused before they reach the hash function.
constexpr size_t MaxPasswordLength = 512;
constexpr size_t MaxFileSize = 1024 * 1024;

// Checked when the file has no user at all.
constexpr const char* DummyHash = "$6$tessaro.unknown$QqMQgmqkf8pW1D8Y/3ZrEkgp2I7vOd0y2mwlUFD0dGQ7sN8m3xKZLPM0tJ3Vdy0W8Zk6CWkvY9z5bZuo8m0Ye.";

bool ValidName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  for (const char c : name)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-' || c == '@')) return false;
  return true;
}

bool SupportedHash(std::string_view hash) {
  return (hash.rfind("$y$", 0) == 0 || hash.rfind("$6$", 0) == 0) && hash.size() > 8;
}

std::string OwnerName(uid_t uid) {
  if (const passwd* pw = ::getpwuid(uid)) return pw->pw_name;
  return "uid " + std::to_string(uid);
}

std::vector<std::string> SplitCommands(std::string_view text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find(',', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view item = text.substr(at, end - at);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
    if (!item.empty()) out.emplace_back(item);
    at = end + 1;
  }
  return out;
}

const std::string& FallbackHash() {
  static const std::string hash = DummyHash;
  return hash;
}

}  // namespace

bool PasswordMatches(std::string_view password, const std::string& hash) {
  if (password.size() > MaxPasswordLength || password.find('\0') != std::string_view::npos) return false;
  auto data = std::make_unique<crypt_data>();
  const std::string phrase(password);
  const char* out = ::crypt_r(phrase.c_str(), hash.c_str(), data.get());
  // libcrypt returns a string starting with '*' for a setting it cannot use.
  if (!out || out[0] == '*') return false;
  const size_t length = std::strlen(out);
  if (length != hash.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < length; ++i) diff |= static_cast<unsigned char>(out[i] ^ hash[i]);
  return diff == 0;
}

std::optional<TUsersFile> TUsersFile::Parse(std::string_view text, std::string& error) {
  TUsersFile file;
  int lineNo = 0;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    const std::string where = "line " + std::to_string(lineNo) + ": ";
    const size_t first = line.find(':');
    if (first == std::string_view::npos) {
      error = where + "not NAME:HASH[:COMMANDS]";
      return std::nullopt;
    }
    const size_t second = line.find(':', first + 1);
    TUser user;
    user.Name = std::string(line.substr(0, first));
    user.Hash = std::string(line.substr(first + 1, second == std::string_view::npos ? std::string_view::npos
                                                                                     : second - first - 1));
    if (!ValidName(user.Name)) {
      error = where + "a user name is 1 to 64 letters, digits and . _ - @";
      return std::nullopt;
    }
    if (!SupportedHash(user.Hash)) {
      error = where + "the password of \"" + user.Name +
              "\" is not a yescrypt ($y$) or SHA-512 ($6$) hash; make one with mkpasswd";
      return std::nullopt;
    }
    if (second != std::string_view::npos) {
      for (std::string& command : SplitCommands(line.substr(second + 1))) {
        if (command == "all")
          user.AllCommands = true;
        else if (command == "primary")
          user.Primary = true;
        else
          user.Commands.push_back(std::move(command));
      }
    }
    if (file.Find(user.Name)) {
      error = where + "\"" + user.Name + "\" is given twice";
      return std::nullopt;
    }
    file.FUsers.push_back(std::move(user));
  }
  return file;
}

std::optional<TUsersFile> TUsersFile::Load(const std::string& path, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    error = path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  struct stat st {};
  std::string text;
  const auto fail = [&](std::string why) {
    ::close(fd);
    error = path + ": " + why;
    return std::nullopt;
  };
  if (::fstat(fd, &st) != 0) return fail(std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return fail("not a regular file");
  if (st.st_uid != ::geteuid() && st.st_uid != 0)
    return fail("owned by " + OwnerName(st.st_uid) + "; it must belong to " + OwnerName(::geteuid()) + " or root");
  if (st.st_mode & (S_IROTH | S_IWOTH | S_IWGRP))
    return fail("others can read it or others can write it (chmod 600, or 640 for a group that may read it)");
  if (static_cast<size_t>(st.st_size) > MaxFileSize) return fail("larger than 1 MiB");
  text.resize(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  text.resize(got);
  ::close(fd);
  std::string parseError;
  auto file = Parse(text, parseError);
  if (!file) error = path + ": " + parseError;
  return file;
}

const TUser* TUsersFile::Find(std::string_view name) const {
  for (const TUser& user : FUsers)
    if (user.Name == name) return &user;
  return nullptr;
}

bool TUsersFile::Check(std::string_view name, std::string_view password) const {
  const bool matches = PasswordMatches(password, HashFor(name));
  return Find(name) && matches;
}

const std::string& TUsersFile::HashFor(std::string_view name) const {
  // An unknown name is checked against a real user's hash: the same kind and
  // cost as a known one, so timing does not tell which names exist.
  if (const TUser* user = Find(name)) return user->Hash;
  return FUsers.empty() ? FallbackHash() : FUsers.front().Hash;
}

bool TUsersFile::MayRun(std::string_view name, std::string_view command) const {
  const TUser* user = Find(name);
  if (!user) return false;
  if (user->AllCommands) return true;
  for (const std::string& c : user->Commands)
    if (c == command) return true;
  return false;
}

bool TUsersFile::IsPrimary(std::string_view name) const {
  const TUser* user = Find(name);
  return user && user->Primary;
}

}  // namespace tessaro::net
