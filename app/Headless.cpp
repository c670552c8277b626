#include "app/Headless.h"

#include "app/LoopFds.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "engine/Context.h"
#include "engine/PollEngine.h"
#include "hooks/EventHooks.h"
#include "logs/EventText.h"
#include "logs/StoreHealth.h"
#include "net/NutServer.h"
#include "web/WebHost.h"
#include "serial/Comm.h"

namespace tessaro {

namespace {

void PrintStoreMessages(TStoreHealth& health) {
  for (const std::string& message : health.TakeMessages()) std::fprintf(stderr, "tessaro: %s\n", message.c_str());
}

void PrintEvent(const EventRecord& rec, int language) {
  const std::string text = EventRecordText(rec, language);
  std::printf("%s  %3u  %s\n", FormatDateTime(rec.Time).c_str(), rec.Address,
              text.empty() ? ("code " + std::to_string(rec.Code)).c_str() : text.c_str());
  std::fflush(stdout);
}

}  // namespace

int RunHeadless(const TAppOptions& options) {
  const TLoopFds loop;
  signal(SIGPIPE, SIG_IGN);
  if (!loop.Ok()) {
    std::fprintf(stderr, "tessaro: cannot set up timers: %s\n", std::strerror(errno));
    return 1;
  }

  TSystemClock clock;
  TContext ctx(options.DataDir, clock);
  try {
    ctx.Start();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tessaro: cannot prepare the data directory %s: %s\n", ctx.DataDir.c_str(), e.what());
    return 1;
  }
  for (const std::string& warning : CheckSettings(ctx.Settings))
    std::fprintf(stderr, "tessaro: warning: %s: %s\n", ctx.IniPath().c_str(), warning.c_str());
  ctx.EventLogger->OnAppended = [&ctx](const EventRecord& rec) { PrintEvent(rec, ctx.Settings.Language); };
  TStoreHealth& storeHealth = ctx.StoreHealth;
  // Event hooks from the first record on ("Monitor software is open").
  std::unique_ptr<hooks::TEventHooks> hooks;
  if (!ctx.Settings.HookOnEvent.empty()) {
    hooks = std::make_unique<hooks::TEventHooks>(ctx.Settings.HookOnEvent, ctx.DeviceList);
    hooks->OnFailure = [](const std::string& text) { std::fprintf(stderr, "tessaro: %s\n", text.c_str()); };
    ctx.EventLogger->Observers.push_back([h = hooks.get()](const EventRecord& rec) { h->Enqueue(rec); });
  }

  TComm port;
  ConfigureProgramPort(port);
  TPollEngine engine(ctx, port);
  engine.OnPortMessage = [](const std::string& text) {
    std::fprintf(stderr, "tessaro: %s\n", text.c_str());
  };
  std::string error;
  if (!engine.Start(&error)) {
    std::fprintf(stderr, "tessaro: %s\ntessaro: %s; retrying every %d s\n",
                 ctx.Settings.Language == 1 ? "开启串口时出错,请检查串口设置!"
                                            : "There was an error to open serial port,please check the serial port settings !",
                 error.c_str(), engine.ReopenTicks / 10);
    engine.ScheduleReopen();
  } else if (!engine.PortIsOpen()) {
    std::fprintf(stderr, "tessaro: port name \"%s\" is not COM1..COM256 or a /dev path; the port stays closed\n",
                 ctx.Settings.PortInfo.ComName.c_str());
  }

  // The network UPS server shares this loop; a server that cannot start is
  // reported and the monitor runs on without it.
  net::TNutServer nut({ctx.UpsInfo, ctx.DeviceList, ctx.Settings});
  const std::string nutAddress = options.NutListen.value_or(ctx.Settings.NutListen);
  if (!nutAddress.empty()) {
    std::string nutError;
    if (nut.Listen(nutAddress, nutError))
      std::fprintf(stderr, "tessaro: network UPS server listening on %s\n", nut.Address().c_str());
    else
      std::fprintf(stderr, "tessaro: network UPS server not started: %s\n", nutError.c_str());
  }

  // The web listener runs on threads of its own over a snapshot published
  // every tick; a listener that cannot bind is retried.
  web::TWebHost web(ctx, [&engine] { return engine.PortIsOpen(); });
  web.OnMessage = [](const std::string& text) { std::fprintf(stderr, "tessaro: %s\n", text.c_str()); };
  engine.OnAnswerAccepted = [&web](uint8_t address) { web.AnswerAccepted(address); };
  web.Start({options.WebListen.value_or(ctx.Settings.WebListen), ctx.Settings.WebUsersFile, ctx.Settings.WebPublic});

  loop.StartTicks();
  const auto started = std::chrono::steady_clock::now();
  bool running = true;
  while (running) {
    std::vector<pollfd> fds = {{loop.Signals(), POLLIN, 0}, {loop.Ticks(), POLLIN, 0}, {port.NotifyFd(), POLLIN, 0}};
    nut.AppendPollFds(fds);
    const int fastDue = engine.FastStepDueInMs();
    const int n = ::poll(fds.data(), fds.size(), fastDue >= 0 ? fastDue : 1000);
    if (n < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info;
      while (::read(loop.Signals(), &info, sizeof info) == sizeof info) running = false;
    }
    if (fds[2].fd >= 0 && (fds[2].revents & POLLIN)) port.DispatchNotifications();
    nut.Process();
    if (fds[1].revents & POLLIN) {
      uint64_t expirations = 0;
      if (::read(loop.Ticks(), &expirations, sizeof expirations) == sizeof expirations) {
        // A late wake-up runs the ticks it missed, so timing stays in ticks.
        for (uint64_t i = 0; i < std::min<uint64_t>(expirations, 50); ++i) {
          engine.Tick();
          if (hooks) hooks->Tick();
        }
        web.Tick();
      }
      storeHealth.Poll();
      PrintStoreMessages(storeHealth);
    }
    if (engine.FastStepDueInMs() == 0) engine.FastStep();
    if (options.Duration > 0 &&
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() >= options.Duration)
      running = false;
  }

  web.Stop();
  // The order of an orderly exit: settings saved, port closed, then the
  // engine logs its closing event.
  if (const std::error_code ec = SaveSettings(ctx.Settings, ctx.IniPath(), &ctx.LoadedSettings)) {
    if (ec == std::errc::operation_canceled)
      std::fprintf(stderr, "tessaro: %s changed on disk while running; left as it is, its values apply at the next start\n",
                   ctx.IniPath().c_str());
    else
      std::fprintf(stderr, "tessaro: cannot save the settings to %s: %s\n", ctx.IniPath().c_str(), ec.message().c_str());
  }
  engine.CloseCommPort();
  engine.Shutdown();
  // The hooks still running are left to finish.
  ctx.EventLogger->Observers.clear();

  // Whatever the interval held back is said now; lost records fail the run.
  storeHealth.Flush();
  PrintStoreMessages(storeHealth);
  const uint64_t lostEvents = storeHealth.Lost(TStoreKind::EventLog);
  const uint64_t lostData = storeHealth.Lost(TStoreKind::DataLog);
  if (lostEvents + lostData == 0) return 0;
  for (TStoreKind store : {TStoreKind::EventLog, TStoreKind::DataLog})
    if (storeHealth.Failing(store)) {
      const TStoreResult& last =
          store == TStoreKind::EventLog ? ctx.EventLogger->LastResult() : ctx.DataLogger->LastResult();
      std::fprintf(stderr, "tessaro: still failing: %s\n", last.Text().c_str());
    }
  std::fprintf(stderr, "tessaro: %llu event log and %llu data log records could not be written\n",
               static_cast<unsigned long long>(lostEvents), static_cast<unsigned long long>(lostData));
  return 1;
}

}  // namespace tessaro
