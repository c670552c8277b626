#include "ui/settings/PortList.h"

#include <algorithm>
#include <filesystem>

namespace tessaro {

namespace fs = std::filesystem;

namespace {

// ttyS2 before ttyS10: a shorter name of the same prefix goes first.
bool NaturalLess(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

std::vector<std::string> Names(const fs::path& dir, const std::string& prefix) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(prefix, 0) == 0 && name.size() > prefix.size()) names.push_back(name);
  }
  std::sort(names.begin(), names.end(), NaturalLess);
  return names;
}

}  // namespace

std::vector<TPortEntry> MachinePorts(const std::string& devDir) {
  std::vector<TPortEntry> ports;
  const fs::path byId = fs::path(devDir) / "serial" / "by-id";
  std::vector<std::string> ids = Names(byId, "");
  std::sort(ids.begin(), ids.end());
  for (const std::string& id : ids) {
    const fs::path link = byId / id;
    std::error_code ec;
    const fs::path target = fs::canonical(link, ec);
    ports.push_back({link.string(), ec ? id : id + "  (" + target.string() + ")"});
  }
  for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS"})
    for (const std::string& name : Names(devDir, prefix)) {
      const std::string path = (fs::path(devDir) / name).string();
      ports.push_back({path, path});
    }
  return ports;
}

}  // namespace tessaro
