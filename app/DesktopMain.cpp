// tessaro-desktop: the windows. tessaro hands over to it when started
// without a command or --headless; everything else runs here as it does there.

#include "app/Program.h"
#include "ui/main/Desktop.h"

int main(int argc, char** argv) {
  return tessaro::RunProgram(argc, argv, [](int count, char** values, const tessaro::TAppOptions& options) {
    return tessaro::RunDesktop(count, values, options.DataDir, options.NutListen, options.WebListen, options.Mqtt);
  });
}
