#pragma once
// Command line of the tessaro executable.

#include <optional>
#include <string>
#include <vector>

namespace tessaro {

struct TAppOptions {
  bool Headless = false;
  bool Help = false;
  bool Version = false;
  std::string DataDir;    // ends with "/"; defaults to the executable's directory
  double Duration = 0;    // seconds; 0 runs until a signal
  // --nut-listen: overrides [Network] NutListen when given; empty = off.
  std::optional<std::string> NutListen;
  // --search FROM-TO: probe these bus addresses and exit; 0 when not given.
  int SearchFrom = 0;
  int SearchTo = 0;
  std::string Error;      // set when the command line is bad
};

TAppOptions ParseOptions(const std::vector<std::string>& args, const std::string& exeDir);
// "FROM-TO" with 1 <= FROM <= TO <= 252.
bool ParseSearchRange(const std::string& text, int& from, int& to);
std::string UsageText();
std::string ExecutableDir();

}  // namespace tessaro
