#pragma once
// The desktop program: single instance, main window, poll engine, message loop.

class QApplication;

namespace tessaro {

struct TAppOptions;

// Picks a face that holds both Latin and Chinese glyphs, when one is installed.
void UseInterfaceFont(QApplication& app);

// Returns the process exit code. A second start brings the running window to
// the front and returns 0 at once.
int RunDesktop(int argc, char** argv, const TAppOptions& options);

}  // namespace tessaro
