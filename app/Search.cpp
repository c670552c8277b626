#include "app/Search.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "app/LoopFds.h"
#include "app/Options.h"
#include "config/DataDir.h"
#include "engine/Context.h"
#include "faces/Faces.h"
#include "serial/PortName.h"

namespace tessaro {

namespace {

const char* const ProtocolNames[] = {"modular-UPS ASCII", "power-frequency ASCII", "Modbus", "RXA"};

// The engine logs link events as it probes; they go to a scratch directory
// that is removed afterwards, so the data directory stays as it was.
class TScratchDir {
 public:
  TScratchDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tessaro-search-XXXXXX";
    if (::mkdtemp(pattern.data())) FPath = pattern + "/";
  }
  ~TScratchDir() {
    std::error_code ec;
    if (!FPath.empty()) std::filesystem::remove_all(FPath, ec);
  }
  TScratchDir(const TScratchDir&) = delete;
  TScratchDir& operator=(const TScratchDir&) = delete;
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

}  // namespace

int RunSearch(const TAppOptions& options) {
  if (const std::string refusal = config::SettingsRefusal(options.DataDir); !refusal.empty()) {
    PrintErrorLines(refusal);
    return 1;
  }
  TSystemClock clock;
  TContext ctx(options.DataDir, clock);
  ctx.LoadSettings();
  TPortInfo& port = ctx.Settings.PortInfo;
  for (const TSettingsProblem& warning : CheckSettings(ctx.Settings))
    std::fprintf(stderr, "tessaro: warning: %s: %s\n", ctx.IniPath().c_str(),
                 warning.Text(ctx.Settings.Language).c_str());
  if (port.MaxReSend <= 1 || port.Protocol > ProtocolRxa) {
    std::fprintf(stderr, "tessaro: with these settings no probe is ever sent; nothing searched\n");
    return 1;
  }

  TScratchDir scratch;
  if (scratch.Path().empty()) {
    std::fprintf(stderr, "tessaro: cannot make a temporary directory: %s\n", std::strerror(errno));
    return 1;
  }
  ctx.EventLogger = std::make_unique<TEventLog>(scratch.Path(), "EventLog.dat", scratch.Path(), ctx.UpsInfo, clock);
  ctx.DataLogger = std::make_unique<TDataLog>(scratch.Path());
  ctx.Settings.RecInterval = 0;  // no snapshots

  const TLoopFds loop;
  if (!loop.Ok()) {
    std::fprintf(stderr, "tessaro: cannot set up timers: %s\n", std::strerror(errno));
    return 1;
  }

  std::string why;
  if (!ParsePortName(port.ComName, &why)) {
    std::fprintf(stderr, "tessaro: %s\n", why.c_str());
    return 1;
  }
  TProgramEngine program(ctx);
  TBusPort& comm = program.Port;
  TPollEngine& engine = program.Engine;
  // A network port connects in the background; a failure ends the search.
  std::string failure;
  comm.OnPortFailure = [&failure, engineSide = comm.OnPortFailure](const TPortFailure& f) {
    failure = f.Text.empty() ? "failed" : f.Text;
    if (engineSide) engineSide(f);
  };
  try {
    engine.OpenCommPort();
  } catch (const ECommsError& e) {
    std::fprintf(stderr, "tessaro: cannot open the serial port %s: %s\n", port.ComName.c_str(), e.what());
    return 1;
  }
  if (!comm.IsOpen()) {
    std::fprintf(stderr, "tessaro: port name \"%s\" names no port\n", port.ComName.c_str());
    return 1;
  }

  std::printf("searching %d-%d on %s (%s)\n", options.SearchFrom, options.SearchTo, port.ComName.c_str(),
              ProtocolNames[port.Protocol]);
  std::fflush(stdout);
  std::set<int> found;
  int scanAddr = options.SearchFrom - 1;
  const int total = options.SearchTo - options.SearchFrom + 1;
  // On a terminal, the address being probed is shown on one line of standard error.
  const bool progress = ::isatty(STDERR_FILENO) == 1;
  auto clearProgress = [&] {
    if (progress) std::fprintf(stderr, "\r\033[K");
  };
  ctx.Vars.SearchMode = 255;
  engine.NextSearchAddress = [&] {
    ++scanAddr;
    if (scanAddr > options.SearchTo) {
      ctx.Vars.SearchMode = 0;
      clearProgress();
    } else if (progress) {
      std::fprintf(stderr, "\rprobing %d (%d of %d)\033[K", scanAddr, scanAddr - options.SearchFrom + 1, total);
    }
    return static_cast<uint8_t>(scanAddr);
  };
  engine.DeviceFound = [&](uint8_t address) {
    if (!found.insert(address).second) return;
    clearProgress();
    std::printf("found %d\n", address);
    std::fflush(stdout);
  };

  loop.StartTicks();
  bool interrupted = false;
  while (ctx.Vars.SearchMode && !interrupted) {
    pollfd p[3] = {{loop.Signals(), POLLIN, 0}, {loop.Ticks(), POLLIN, 0}, {comm.NotifyFd(), POLLIN, 0}};
    if (::poll(p, 3, 1000) < 0 && errno != EINTR) break;
    if (p[0].revents & POLLIN) interrupted = true;
    if (p[2].fd >= 0 && (p[2].revents & POLLIN)) comm.DispatchNotifications();
    uint64_t expirations = 0;
    if ((p[1].revents & POLLIN) && ::read(loop.Ticks(), &expirations, sizeof expirations) == sizeof expirations)
      for (uint64_t i = 0; i < std::min<uint64_t>(expirations, 50) && ctx.Vars.SearchMode; ++i) engine.Tick();
    if (!failure.empty() && ctx.Vars.SearchMode) {
      clearProgress();
      std::fprintf(stderr, "tessaro: the serial port failed during the search: %s\n", failure.c_str());
      interrupted = true;
    }
  }
  ctx.Vars.SearchMode = 0;
  clearProgress();
  engine.CloseCommPort();

  std::string list;
  for (int a : found) list += (list.empty() ? "" : ", ") + std::to_string(a);
  const int probed = std::min(scanAddr, options.SearchTo) - options.SearchFrom + 1;
  if (interrupted)
    std::printf("search stopped after %d of %d addresses: ", std::max(probed, 0), total);
  else
    std::printf("search of %d-%d done: ", options.SearchFrom, options.SearchTo);
  if (found.empty())
    std::printf("no device found\n");
  else
    std::printf("%zu device%s found: %s\n", found.size(), found.size() == 1 ? "" : "s", list.c_str());
  std::fflush(stdout);
  return interrupted ? 1 : 0;
}

}  // namespace tessaro
