#include <cstdio>
#include <string>
#include <vector>

#include "app/Headless.h"
#include "app/Options.h"
#include "app/Search.h"
#include "core/Version.h"
#ifdef TESSARO_WITH_UI
#include "ui/main/Desktop.h"
#endif

int main(int argc, char** argv) {
  using namespace tessaro;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const TAppOptions options = ParseOptions(args, ExecutableDir());
  if (!options.Error.empty()) {
    std::fprintf(stderr, "tessaro: %s\n\n%s", options.Error.c_str(), UsageText().c_str());
    return 2;
  }
  if (options.Help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  if (options.Version) {
    std::printf("tessaro %s\n", TESSARO_VERSION);
    return 0;
  }
  if (options.SearchTo > 0) return RunSearch(options);
  if (options.Headless) return RunHeadless(options);
#ifdef TESSARO_WITH_UI
  return RunDesktop(argc, argv, options.DataDir, options.NutListen);
#else
  std::fprintf(stderr, "tessaro: this build has no desktop; use --headless\n");
  return 2;
#endif
}
