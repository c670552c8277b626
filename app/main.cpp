// tessaro: the monitor without Qt. Commands, exports, the search and the
// headless service run in this process; the desktop is a program of its own,
// so that a server needs no Qt and the service maps no Qt library.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/Program.h"

namespace {

int HandOverToDesktop(int argc, char** argv, const tessaro::TAppOptions&) {
  const std::string desktop = tessaro::ExecutableDir() + tessaro::DesktopProgramName;
  std::vector<char*> args(argv, argv + argc);
  args[0] = const_cast<char*>(desktop.c_str());
  args.push_back(nullptr);
  ::execv(desktop.c_str(), args.data());
  if (errno == ENOENT) {
    std::fprintf(stderr,
                 "tessaro: the desktop is not installed (%s; Debian package tessaro); "
                 "the monitor runs without it: tessaro --headless\n",
                 desktop.c_str());
  } else {
    std::fprintf(stderr, "tessaro: cannot start the desktop %s: %s\n", desktop.c_str(), std::strerror(errno));
  }
  return 2;
}

}  // namespace

int main(int argc, char** argv) { return tessaro::RunProgram(argc, argv, HandOverToDesktop); }
