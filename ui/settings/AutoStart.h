#pragma once
// Start at log-on through an XDG autostart entry, tessaro.desktop in the
// user's autostart directory ($XDG_CONFIG_HOME/autostart, else
// ~/.config/autostart).

#include <string>

namespace tessaro {

std::string AutoStartEntryPath();

// On: writes the entry running `command` unless one exists already (an
// existing entry, perhaps another installation's, is left alone). Off:
// removes the entry. False when the file could not be written or removed.
bool ApplyAutoStart(bool on, const std::string& command);

// `exePath` and its arguments as one Exec value, each quoted as the desktop
// entry format asks.
std::string AutoStartCommand(const std::string& exePath, const std::string& dataDir);

}  // namespace tessaro
