#include "core/PathTrust.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <vector>

namespace tessaro {

namespace {

constexpr int MaxLinks = 40;  // as the kernel allows

std::string Octal(mode_t mode) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
  return buf;
}

std::deque<std::string> Components(const std::string& path) {
  std::deque<std::string> out;
  size_t at = 0;
  while (at <= path.size()) {
    const size_t slash = path.find('/', at);
    const size_t end = slash == std::string::npos ? path.size() : slash;
    if (end > at) out.push_back(path.substr(at, end - at));
    if (slash == std::string::npos) break;
    at = slash + 1;
  }
  return out;
}

std::string Parent(const std::string& resolved) {
  const size_t slash = resolved.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string() : resolved.substr(0, slash);
}

// One resolved directory or file. `above`: something follows it on the way,
// so a sticky directory may be writable by others.
TTrust Judge(const std::string& path, const struct stat& st, uid_t uid, bool above) {
  TTrust t;
  t.Path = path;
  t.Owner = st.st_uid;
  t.Mode = st.st_mode;
  if (st.st_uid != uid && st.st_uid != 0) {
    t.Problem = TTrustProblem::OwnedByOther;
    return t;
  }
  if (above && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) return {};
  if (st.st_mode & S_IWOTH)
    t.Problem = TTrustProblem::OthersWritable;
  else if (st.st_mode & S_IWGRP)
    t.Problem = TTrustProblem::GroupWritable;
  else
    return {};
  return t;
}

TTrust Failed(TTrustProblem problem, const std::string& path, int error = 0) {
  TTrust t;
  t.Problem = problem;
  t.Path = path;
  t.Error = error;
  return t;
}

}  // namespace

std::string TTrust::Text() const {
  switch (Problem) {
    case TTrustProblem::None:
      return Path + " is trusted";
    case TTrustProblem::Missing:
      return Path + " does not exist";
    case TTrustProblem::Unreadable:
      return Path + " cannot be looked at: " + std::strerror(Error);
    case TTrustProblem::OwnedByOther: {
      const std::string name = UserName(Owner);
      return Path + " belongs to " + name +
             (name.rfind("uid ", 0) == 0 ? std::string() : " (uid " + std::to_string(Owner) + ")");
    }
    case TTrustProblem::GroupWritable:
      return Path + " may be written by its group (mode " + Octal(Mode) + ")";
    case TTrustProblem::OthersWritable:
      return Path + " may be written by others (mode " + Octal(Mode) + ")";
    case TTrustProblem::TooManyLinks:
      return Path + ": too many levels of symbolic links";
  }
  return Path;
}

TTrust CheckTrusted(const std::string& path, uid_t uid) {
  std::string start = path;
  if (start.empty() || start[0] != '/') {
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd)) return Failed(TTrustProblem::Unreadable, path, errno);
    start = std::string(cwd) + "/" + path;
  }
  std::deque<std::string> todo = Components(start);
  std::string resolved;  // no links in it; "" is the root
  int links = 0;
  struct stat st {};
  if (::lstat("/", &st) != 0) return Failed(TTrustProblem::Unreadable, "/", errno);
  if (TTrust t = Judge("/", st, uid, true); !t.Trusted()) return t;
  while (!todo.empty()) {
    const std::string name = std::move(todo.front());
    todo.pop_front();
    if (name == ".") continue;
    if (name == "..") {
      resolved = Parent(resolved);
      continue;
    }
    const std::string next = resolved + "/" + name;
    if (::lstat(next.c_str(), &st) != 0)
      return Failed(errno == ENOENT ? TTrustProblem::Missing : TTrustProblem::Unreadable, next, errno);
    if (S_ISLNK(st.st_mode)) {
      // In a sticky directory the link's owner may replace it.
      if (st.st_uid != uid && st.st_uid != 0) {
        TTrust t = Failed(TTrustProblem::OwnedByOther, next);
        t.Owner = st.st_uid;
        return t;
      }
      if (++links > MaxLinks) return Failed(TTrustProblem::TooManyLinks, path);
      std::vector<char> target(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
      const ssize_t n = ::readlink(next.c_str(), target.data(), target.size());
      if (n < 0 || static_cast<size_t>(n) >= target.size()) return Failed(TTrustProblem::Unreadable, next, n < 0 ? errno : ENAMETOOLONG);
      const std::string to(target.data(), static_cast<size_t>(n));
      std::deque<std::string> more = Components(to);
      todo.insert(todo.begin(), more.begin(), more.end());
      if (!to.empty() && to[0] == '/') resolved.clear();
      continue;
    }
    if (TTrust t = Judge(next, st, uid, true); !t.Trusted()) return t;
    resolved = next;
  }
  // What the path names is held to the full rule: a sticky /tmp is no place
  // for settings.
  const std::string final = resolved.empty() ? "/" : resolved;
  if (::lstat(final.c_str(), &st) != 0) return Failed(TTrustProblem::Unreadable, final, errno);
  return Judge(final, st, uid, false);
}

std::string UserName(uid_t uid) {
  std::vector<char> buf(16384);
  passwd pw {};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_name)
    return found->pw_name;
  return "uid " + std::to_string(uid);
}

std::error_code MakeDirectories(const std::string& dir) {
  if (dir.empty()) return {};
  std::string prefix = dir[0] == '/' ? "" : ".";
  for (const std::string& name : Components(dir)) {
    prefix += "/" + name;
    if (::mkdir(prefix.c_str(), 0755) == 0 || errno == EEXIST) {
      struct stat st {};
      if (::stat(prefix.c_str(), &st) != 0) return {errno, std::generic_category()};
      if (!S_ISDIR(st.st_mode)) return std::make_error_code(std::errc::not_a_directory);
      continue;
    }
    return {errno, std::generic_category()};
  }
  return {};
}

namespace {

// Creates `dir` 0700 when missing; takes it when it is a directory (not a
// link) of `uid` and everything above it is trusted.
bool UsablePrivateDir(const std::string& dir, uid_t uid, std::string& why) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    why = dir + ": " + std::strerror(errno);
    return false;
  }
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    why = dir + (errno == ELOOP || errno == ENOTDIR ? std::string(" is not a directory")
                                                     : std::string(": ") + std::strerror(errno));
    return false;
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && st.st_uid != uid) {
    why = TTrust{TTrustProblem::OwnedByOther, dir, st.st_uid, st.st_mode, 0}.Text();
    ok = false;
  }
  if (ok && (st.st_mode & 077) && ::fchmod(fd, 0700) != 0) {
    why = dir + ": " + std::strerror(errno);
    ok = false;
  }
  ::close(fd);
  if (!ok) return false;
  if (const TTrust t = CheckTrusted(dir, uid); !t.Trusted()) {
    why = t.Text();
    return false;
  }
  return true;
}

std::string WithoutTrailingSlash(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

}  // namespace

std::string PrivateRuntimeDir(const char* xdgRuntimeDir, const char* tmpDir, uid_t uid, std::string& why) {
  why.clear();
  if (xdgRuntimeDir && xdgRuntimeDir[0] == '/') {
    const std::string xdg = WithoutTrailingSlash(xdgRuntimeDir);
    std::string xdgWhy;
    if (CheckTrusted(xdg, uid).Trusted() && UsablePrivateDir(xdg + "/tessaro", uid, xdgWhy))
      return xdg + "/tessaro/";
  }
  const std::string base = tmpDir && tmpDir[0] == '/' ? WithoutTrailingSlash(tmpDir) : "/tmp";
  const std::string dir = base + "/tessaro-" + std::to_string(uid);
  if (UsablePrivateDir(dir, uid, why)) return dir + "/";
  return {};
}

namespace {

class TFileRefusalCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "tessaro-file"; }
  std::string message(int code) const override {
    switch (static_cast<TFileRefusal>(code)) {
      case TFileRefusal::NotRegular:
        return "not a plain file (a FIFO, a device or a directory)";
      case TFileRefusal::SymbolicLink:
        return "a symbolic link, and logs are read only from plain files";
      case TFileRefusal::NotDirectoryOwners:
        return "it belongs to another user than its directory does";
    }
    return "refused";
  }
  std::error_condition default_error_condition(int code) const noexcept override {
    switch (static_cast<TFileRefusal>(code)) {
      case TFileRefusal::NotRegular:
        return std::errc::invalid_argument;
      case TFileRefusal::SymbolicLink:
        return std::errc::too_many_symbolic_link_levels;
      case TFileRefusal::NotDirectoryOwners:
        return std::errc::permission_denied;
    }
    return {code, *this};
  }
};

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  std::string dir = path.substr(0, slash);
  // "dir//file": a trailing slash would make lstat follow a link.
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir.empty() ? "/" : dir;
}

}  // namespace

const std::error_category& FileRefusalCategory() {
  static const TFileRefusalCategory category;
  return category;
}

std::error_code MakeErrorCode(TFileRefusal refusal) { return {static_cast<int>(refusal), FileRefusalCategory()}; }

int OpenOwnedFile(const std::string& path, std::error_code& ec) {
  ec.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    struct stat st {};
    ec = err == ELOOP && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)
             ? MakeErrorCode(TFileRefusal::SymbolicLink)
             : std::error_code(err, std::generic_category());
    return -1;
  }
  struct stat st {}, dir {};
  if (::fstat(fd, &st) != 0) {
    ec = {errno, std::generic_category()};
  } else if (!S_ISREG(st.st_mode)) {
    ec = MakeErrorCode(TFileRefusal::NotRegular);
  } else if (::lstat(DirectoryOf(path).c_str(), &dir) != 0) {
    ec = {errno, std::generic_category()};
  } else if (st.st_uid != dir.st_uid) {
    // A hard link to another user's file, or a linked directory of theirs.
    ec = MakeErrorCode(TFileRefusal::NotDirectoryOwners);
  }
  if (!ec) return fd;
  ::close(fd);
  return -1;
}

std::string ShellQuote(const std::string& text) {
  bool plain = !text.empty();
  for (const char c : text)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || std::strchr("_./=:,+@%-", c))) plain = false;
  if (plain) return text;
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace tessaro
