#pragma once
// `tessaro devices ...` and `tessaro config ...`: the device list and the
// settings file changed from a shell, checked as the desktop's dialogs check
// them and written the same all-or-nothing way.

#include <string>
#include <vector>

namespace tessaro::config {

// The command line names "devices" or "config" (after any --data-dir DIR).
bool IsCommand(const std::vector<std::string>& args);

// args: the command word and what follows it; "--data-dir DIR" may stand
// anywhere and replaces defaultDataDir (which ends with "/"). What a person
// reads goes to `out`, problems to `err`. Returns the exit status: 0 done,
// 1 refused or failed (nothing changed), 2 a bad command line.
int RunCommand(const std::vector<std::string>& args, const std::string& defaultDataDir, std::string& out,
               std::string& err);

std::string CommandUsage();

}  // namespace tessaro::config
