#pragma once
// The command line shared by both executables: the commands, the exports, the
// search and the headless monitor run here, in the calling process; the
// desktop is whatever the executable passes as runDesktop.

#include <functional>
#include <string>

#include "app/Options.h"

namespace tessaro {

using TDesktopRunner = std::function<int(int argc, char** argv, const TAppOptions& options)>;

int RunProgram(int argc, char** argv, const TDesktopRunner& runDesktop);

// The desktop executable, installed beside this one.
inline constexpr const char* DesktopProgramName = "tessaro-desktop";

}  // namespace tessaro
