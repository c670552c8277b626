#include "ui/settings/AutoStart.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace tessaro {

namespace fs = std::filesystem;

namespace {
std::string Quoted(const std::string& arg) {
  std::string out = "\"";
  for (char c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}
}  // namespace

std::string AutoStartEntryPath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string dir;
  if (config && config[0] == '/') {
    dir = config;
  } else {
    const char* home = std::getenv("HOME");
    dir = std::string(home && *home ? home : ".") + "/.config";
  }
  return dir + "/autostart/tessaro.desktop";
}

std::string AutoStartCommand(const std::string& exePath, const std::string& dataDir) {
  // The percent sign is a field code in Exec and is doubled on its own.
  std::string command = Quoted(exePath) + " --data-dir " + Quoted(dataDir);
  std::string out;
  for (char c : command) out += c == '%' ? std::string("%%") : std::string(1, c);
  return out;
}

bool ApplyAutoStart(bool on, const std::string& command) {
  const fs::path path = AutoStartEntryPath();
  std::error_code ec;
  if (!on) {
    fs::remove(path, ec);
    return !ec;
  }
  if (fs::exists(fs::symlink_status(path, ec))) return true;
  fs::create_directories(path.parent_path(), ec);
  if (ec) return false;
  const fs::path temp = path.string() + ".tmp" + std::to_string(::getpid());
  {
    std::ofstream out(temp, std::ios::trunc);
    out << "[Desktop Entry]\nType=Application\nName=Tessaro\nComment=UPS monitor\nExec=" << command
        << "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
    out.flush();
    if (!out) {
      fs::remove(temp, ec);
      return false;
    }
  }
  fs::rename(temp, path, ec);
  if (ec) fs::remove(temp, ec);
  return !ec;
}

}  // namespace tessaro
