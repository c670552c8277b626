#include "config/DataDir.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "core/UserParaIni.h"

namespace tessaro::config {

namespace {

bool IsSystemDir(const std::string& dir) {
  for (const char* prefix : {"/usr/", "/bin/", "/sbin/"})
    if (dir.rfind(prefix, 0) == 0) return true;
  return false;
}

}  // namespace

std::string DefaultDataDir(const std::string& exeDir, const char* xdgDataHome, const char* home) {
  std::error_code ec;
  if (std::filesystem::exists(SettingsPath(exeDir), ec)) return exeDir;
  if (!IsSystemDir(exeDir) && ::access(exeDir.c_str(), W_OK) == 0) return exeDir;
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

}  // namespace tessaro::config
