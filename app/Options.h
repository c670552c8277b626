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
  std::string DataDir;    // ends with "/"; defaults to the directory given to ParseOptions
  double Duration = 0;    // seconds; 0 runs until a signal
  // --nut-listen: overrides [Network] NutListen when given; empty = off.
  std::optional<std::string> NutListen;
  std::string Error;      // set when the command line is bad
};

TAppOptions ParseOptions(const std::vector<std::string>& args, const std::string& exeDir);
std::string UsageText();
std::string ExecutableDir();

}  // namespace tessaro
