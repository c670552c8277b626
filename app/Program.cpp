#include "app/Program.h"

#include <cstdio>
#include <string>
#include <vector>

#include "app/Export.h"
#include "app/Headless.h"
#include "app/Search.h"
#include "config/Commands.h"
#include "config/DataDir.h"
#include "core/Version.h"

namespace tessaro {

int RunProgram(int argc, char** argv, const TDesktopRunner& runDesktop) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const std::string defaultDataDir = config::DefaultDataDir(ExecutableDir());
  if (config::IsCommand(args)) {
    std::string out, err;
    const int status = config::RunCommand(args, defaultDataDir, out, err);
    std::fputs(out.c_str(), stdout);
    PrintErrorLines(err);
    if (status == 2) std::fputs(config::CommandUsage().c_str(), stderr);
    return status;
  }
  const TAppOptions options = ParseOptions(args, defaultDataDir);
  if (!options.Error.empty()) {
    std::fprintf(stderr, "tessaro: %s\n\n%s", options.Error.c_str(), UsageText().c_str());
    return 2;
  }
  if (options.Help) {
    std::fputs(UsageText().c_str(), stdout);
    std::printf("\nData directory without --data-dir: %s\n\n%s", defaultDataDir.c_str(),
                config::CommandUsage().c_str());
    return 0;
  }
  if (options.Version) {
    std::printf("tessaro %s\n", TESSARO_VERSION);
    return 0;
  }
  if (options.Export != TExportKind::None) return RunExport(options);
  if (options.SearchTo > 0) return RunSearch(options);
  if (options.Headless) return RunHeadless(options);
  return runDesktop(argc, argv, options);
}

}  // namespace tessaro
