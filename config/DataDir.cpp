#include "config/DataDir.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "core/PathTrust.h"
#include "core/UserParaIni.h"

namespace tessaro::config {

namespace {

bool IsSystemDir(const std::string& dir) {
  for (const char* prefix : {"/usr/", "/bin/", "/sbin/"})
    if (dir.rfind(prefix, 0) == 0) return true;
  return false;
}

std::string WithoutSlash(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

// What a person does about an untrusted place.
std::string Advice(const TTrust& t, const std::string& dataDir, const std::vector<std::string>& args) {
  switch (t.Problem) {
    case TTrustProblem::OwnedByOther:
      return "run Tessaro as " + UserName(t.Owner) + ": " + SudoLine(t.Owner, dataDir, args);
    case TTrustProblem::GroupWritable:
    case TTrustProblem::OthersWritable:
      return "chmod go-w " + ShellQuote(t.Path);
    default:
      return {};
  }
}

// Why `path` is not used by a monitor running as `uid`; empty when it is
// trusted or does not exist yet (what is above it was checked).
std::string Distrust(const std::string& what, const std::string& path, uid_t uid, const std::string& dataDir,
                     const std::vector<std::string>& args) {
  const TTrust t = CheckTrusted(path, uid);
  if (t.Trusted() || t.Problem == TTrustProblem::Missing) return {};
  std::string text = what + " " + path + " is not used: " + t.Text();
  if (t.Problem == TTrustProblem::OwnedByOther || t.Problem == TTrustProblem::GroupWritable ||
      t.Problem == TTrustProblem::OthersWritable)
    text += ", and settings and event hooks are taken only from places that belong to " +
            (uid == 0 ? std::string() : UserName(uid) + " or ") + "root and that nobody else may write";
  if (const std::string advice = Advice(t, dataDir, args); !advice.empty()) text += "; " + advice;
  return text;
}

// Why the monitor could not write `path` (a directory it creates files in,
// or a log it appends to); empty when it can or when there is no such path.
std::string Unwritable(const std::string& path, bool directory, const std::string& dataDir) {
  if (::faccessat(AT_FDCWD, path.c_str(), directory ? W_OK | X_OK : W_OK, AT_EACCESS) == 0 || errno == ENOENT)
    return {};
  const int err = errno;
  struct stat st {};
  const std::string owner = ::stat(path.c_str(), &st) == 0 ? " (it belongs to " + UserName(st.st_uid) + ")" : "";
  return "cannot write " + path + owner + ": " + std::strerror(err) +
         "; events and data would be lost. Give the data directory to the user who runs Tessaro: chown -R " +
         UserName(::geteuid()) + ": " + ShellQuote(WithoutSlash(dataDir));
}

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a plain file";
}

// Why the monitor will not use `path`, which it reads or appends to: what is
// there (after links) is no plain file, so what it writes would vanish
// (/dev/null) or what it reads would be no list at all (/dev/zero). Empty
// for a plain file or nothing.
std::string NotPlain(const std::string& what, const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return {};
  std::string shown = KindOf(st.st_mode);
  struct stat link {};
  char target[4096];
  if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n > 0) shown += std::string(", through a link to ") + std::string(target, static_cast<size_t>(n));
  }
  return what + " " + path + " is not a plain file (" + shown + "), and nothing would be kept in it or read from it; "
         "remove it or move it aside (mv " + ShellQuote(path) + " " + ShellQuote(path + ".bad") +
         ") and the monitor makes a new one";
}

// The files the monitor appends to; the rest it replaces whole or only creates.
bool IsAppendedLog(const std::string& name) {
  return name == "EventLog.dat" || (name.rfind("DataLog", 0) == 0 && name.size() > 4 &&
                                    name.compare(name.size() - 4, 4, ".dat") == 0);
}

}  // namespace

std::string DefaultDataDir(const std::string& exeDir, const char* xdgDataHome, const char* home) {
  std::error_code ec;
  // A copy of the program in a directory others may write must not take its
  // settings (and with them an event hook) from there.
  if (CheckTrusted(exeDir, ::geteuid()).Trusted()) {
    if (std::filesystem::exists(SettingsPath(exeDir), ec)) return exeDir;
    if (!IsSystemDir(exeDir) && ::access(exeDir.c_str(), W_OK) == 0) return exeDir;
  }
  if (xdgDataHome && xdgDataHome[0] == '/') return std::string(xdgDataHome) + "/tessaro/";
  std::string base = home && home[0] == '/' ? home : "";
  if (base.empty()) {
    // A service or a cron job may run without $HOME.
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) base = pw->pw_dir;
  }
  if (base.empty()) base = ".";
  return base + "/.local/share/tessaro/";
}

std::string DefaultDataDir(const std::string& exeDir) {
  return DefaultDataDir(exeDir, std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
}

bool PrepareMonitorDataDir(const std::string& dataDir, const std::vector<std::string>& args, TInstanceLock& lock,
                           std::string& error) {
  const uid_t uid = ::geteuid();
  const std::string dir = WithoutSlash(dataDir);
  if (!(error = Distrust("the data directory", dir, uid, dataDir, args)).empty()) return false;
  if (const std::error_code ec = MakeDirectories(dir)) {
    error = "cannot create the data directory " + dir + ": " + ec.message();
    return false;
  }
  // Made just now or there before, it is held to the same rule.
  if (!(error = Distrust("the data directory", dir, uid, dataDir, args)).empty()) return false;
  const struct {
    const char* What;
    const char* Name;
  } inside[] = {{"the settings file", SettingsFileName}, {"the directory", "Record"}, {"the directory", "Backup"}};
  for (const auto& p : inside)
    if (!(error = Distrust(p.What, dataDir + p.Name, uid, dataDir, args)).empty()) return false;

  for (const char* sub : {"", "Record", "Backup"})
    if (!(error = Unwritable(WithoutSlash(dataDir + sub), true, dataDir)).empty()) return false;
  if (!(error = NotPlain("the settings file", dataDir + SettingsFileName)).empty()) return false;
  if (!(error = NotPlain("the device list", dataDir + "Record/TreeNode.dat")).empty()) return false;
  if (DIR* d = ::opendir((dataDir + "Record").c_str())) {
    while (const dirent* e = ::readdir(d)) {
      if (!IsAppendedLog(e->d_name)) continue;
      const std::string log = dataDir + "Record/" + e->d_name;
      if (!(error = NotPlain("the log", log)).empty()) break;
      if (!(error = Unwritable(log, false, dataDir)).empty()) break;
    }
    ::closedir(d);
    if (!error.empty()) return false;
  }
  return lock.Acquire(dataDir, error);
}

std::string SudoLine(uid_t owner, const std::string& dataDir, const std::vector<std::string>& args) {
  const std::string name = UserName(owner);
  std::string line = "sudo -u " + (name.rfind("uid ", 0) == 0 ? "'#" + std::to_string(owner) + "'" : ShellQuote(name)) +
                     " tessaro --data-dir " + ShellQuote(WithoutSlash(dataDir));
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--data-dir") {
      ++i;
      continue;
    }
    line += " " + ShellQuote(args[i]);
  }
  return line;
}

std::string SettingsRefusal(const std::string& dataDir) {
  const std::string path = SettingsPath(dataDir);
  const std::vector<std::string> problems = SettingsFileProblems(path);
  if (problems.empty()) return {};
  std::string text = path + " was not understood, and the monitor does not start on settings it cannot read "
                     "whole (what it cannot read falls back to the port COM1 and protocol 0):";
  for (const std::string& p : problems) text += "\n  " + p;
  return text + "\n" + SettingsFileAdvice(path);
}

bool ActAsDataDirOwner(const std::string& dataDir, const std::vector<std::string>& args, std::string& error) {
  const uid_t uid = ::geteuid();
  // The directory, or the nearest one above it that exists.
  std::string at = WithoutSlash(dataDir);
  struct stat st {};
  bool exists = true;
  while (::stat(at.c_str(), &st) != 0) {
    if (errno != ENOENT || at == "/" || at.empty()) {
      error = "cannot look at " + at + ": " + std::strerror(errno);
      return false;
    }
    exists = false;
    const size_t slash = at.rfind('/');
    at = slash == std::string::npos ? "." : slash == 0 ? "/" : at.substr(0, slash);
  }
  // A new directory made in root's (as /var/lib) belongs to whoever makes it.
  if (st.st_uid == uid || (!exists && st.st_uid == 0)) return true;
  const std::string owner = UserName(st.st_uid);
  const std::string line = SudoLine(st.st_uid, dataDir, args);
  if (uid != 0) {
    error = (exists ? WithoutSlash(dataDir) : at) + " belongs to " + owner +
            ": what this command would create there would belong to " + UserName(uid) +
            " instead; nothing changed. Run it as " + owner + ": " + line;
    return false;
  }
  const gid_t gid = st.st_gid;
  std::vector<char> buf(16384);
  passwd pw {};
  passwd* found = nullptr;
  const bool named = ::getpwuid_r(st.st_uid, &pw, buf.data(), buf.size(), &found) == 0 && found;
  const bool groupsSet = named ? ::initgroups(found->pw_name, gid) == 0 : ::setgroups(1, &gid) == 0;
  if (!groupsSet || ::setresgid(gid, gid, gid) != 0 || ::setresuid(st.st_uid, st.st_uid, st.st_uid) != 0 ||
      ::geteuid() != st.st_uid) {
    error = "cannot act as " + owner + ", the owner of " + (exists ? WithoutSlash(dataDir) : at) + ": " +
            std::strerror(errno) + "; nothing changed. Run it as " + owner + ": " + line;
    return false;
  }
  return true;
}

}  // namespace tessaro::config
