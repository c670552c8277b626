#pragma once
// The desktop program: single instance, main window, poll engine, message loop.

#include <optional>
#include <string>

class QApplication;

namespace tessaro {

class TFrmMain;

// Picks a face that holds both Latin and Chinese glyphs, when one is installed.
void UseInterfaceFont(QApplication& app);

// Ends the message loop once the main window has closed (its exit confirmed,
// or a stop requested), whatever other windows are open.
void EndLoopWhenClosed(TFrmMain& main);
// What SIGTERM and SIGINT do: the orderly exit, with no question and no box.
void RequestStop(TFrmMain& main);

// Returns the process exit code. A second start brings the running window to
// the front and returns 0 at once. dataDir holds the settings, Record/ and
// Backup/, and ends with "/".
// nutListen, when given, overrides [Network] NutListen (empty: no server);
// webListen likewise [Web] Listen.
int RunDesktop(int argc, char** argv, const std::string& dataDir,
               const std::optional<std::string>& nutListen = std::nullopt,
               const std::optional<std::string>& webListen = std::nullopt,
               const std::optional<std::string>& mqtt = std::nullopt);

}  // namespace tessaro
