#include "app/Headless.h"

#include "app/LoopFds.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "config/DataDir.h"
#include "control/Control.h"
#include "control/NutControl.h"
#include "core/LinePrinter.h"
#include "engine/Context.h"
#include "engine/PollEngine.h"
#include "hooks/EventHooks.h"
#include "logs/EventText.h"
#include "logs/StoreHealth.h"
#include "mqtt/MqttHost.h"
#include "net/NutServer.h"
#include "serial/BusPort.h"
#include "serial/PortName.h"
#include "web/WebHost.h"

namespace tessaro {

namespace {

void PrintStoreMessages(TStoreHealth& health) {
  for (const std::string& message : health.TakeMessages()) std::fprintf(stderr, "tessaro: %s\n", message.c_str());
}

std::string EventLine(const EventRecord& rec, int language) {
  const std::string text = EventRecordText(rec, language);
  char address[8];
  std::snprintf(address, sizeof address, "%3u", rec.Address);
  return FormatDateTime(rec.Time) + "  " + address + "  " + (text.empty() ? "code " + std::to_string(rec.Code) : text);
}

std::string NotPrintedNotice(uint64_t lines) {
  return "tessaro: " + std::to_string(lines) + (lines == 1 ? " event line" : " event lines") +
         " not printed: standard output was not being read";
}

// Tests make every event sync this slow, to show that polling does not wait for the disk.
void SlowSyncsForTests(TEventLog& events) {
  const char* value = std::getenv("TESSARO_TEST_SYNC_DELAY_MS");
  if (!value || !*value) return;
  const auto delay = std::chrono::milliseconds(std::strtol(value, nullptr, 10));
  events.Io.Sync = [delay](int fd) {
    std::this_thread::sleep_for(delay);
    return ::fdatasync(fd);
  };
}

}  // namespace

int RunHeadless(const TAppOptions& options) {
  TLoopFds loop;
  signal(SIGPIPE, SIG_IGN);
  // A file size limit must fail a log write (and be reported), not end the monitor.
  signal(SIGXFSZ, SIG_IGN);
  if (!loop.Ok()) {
    std::fprintf(stderr, "tessaro: cannot set up timers: %s\n", std::strerror(errno));
    return 1;
  }

  // No second monitor on these logs, and settings (with a hook) only from
  // a place nobody else can change.
  TInstanceLock instanceLock;
  if (std::string refusal; !config::PrepareMonitorDataDir(options.DataDir, options.Args, instanceLock, refusal)) {
    std::fprintf(stderr, "tessaro: %s\n", refusal.c_str());
    return 1;
  }
  if (const std::string refusal = config::SettingsRefusal(options.DataDir); !refusal.empty()) {
    PrintErrorLines(refusal);
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
  for (const std::string& problem : ctx.DeviceList.Problems())
    std::fprintf(stderr, "tessaro: warning: %s: %s\n", ctx.DeviceList.FileName().c_str(), problem.c_str());
  if (!ctx.DeviceList.Problems().empty())
    std::fprintf(stderr, "tessaro: warning: the devices read from it are polled; the file as it is now is kept as "
                         "TreeNode_full.dat when the list is next changed\n");
  for (const TSettingsProblem& warning : CheckSettings(ctx.Settings))
    std::fprintf(stderr, "tessaro: warning: %s: %s\n", ctx.IniPath().c_str(),
                 warning.Text(ctx.Settings.Language).c_str());
  // Neither a slow disk nor an output nobody reads may hold up polling: the
  // logs are written by a thread of their own, and so are the printed events.
  SlowSyncsForTests(*ctx.EventLogger);
  ctx.StartLogWriter();
  TLinePrinter printer(STDOUT_FILENO, STDERR_FILENO, NotPrintedNotice);
  ctx.EventLogger->OnAppended = [&ctx, &printer](const EventRecord& rec) {
    printer.Print(EventLine(rec, ctx.Settings.Language));
  };
  TStoreHealth& storeHealth = ctx.StoreHealth;
  // Event hooks from the first record on ("Monitor software is open").
  std::unique_ptr<hooks::TEventHooks> hooks;
  if (const std::string refusal = ctx.Settings.HookOnEvent.empty() ? "" : hooks::HookRefusal(ctx.Settings.HookOnEvent);
      !refusal.empty()) {
    std::fprintf(stderr, "tessaro: event hook %s not run: %s\n", ctx.Settings.HookOnEvent.c_str(), refusal.c_str());
  } else if (!ctx.Settings.HookOnEvent.empty()) {
    hooks = std::make_unique<hooks::TEventHooks>(ctx.Settings.HookOnEvent, ctx.DeviceList);
    hooks->OnFailure = [](const std::string& text) { std::fprintf(stderr, "tessaro: %s\n", text.c_str()); };
    ctx.EventLogger->Observers.push_back([h = hooks.get()](const EventRecord& rec) { h->Enqueue(rec); });
  }

  // No window sends here, but a network command's outcome is said all the same.
  ctx.Commands.Subscribe([&ctx](const TTrackedCommand& command) {
    if (command.State == TCommandState::Pending) return;
    const std::string line = OutcomeLine(ctx, command, ctx.Settings.Language);
    std::fprintf(stderr, "tessaro: command %u: %s\n", command.Id, line.c_str());
  });

  TBusPort port;
  ConfigureProgramPort(port.Serial());
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
  } else if (!port.IsOpen()) {
    std::string why;
    if (ParsePortName(ctx.Settings.PortInfo.ComName, &why)) why = "ComName \"" + ctx.Settings.PortInfo.ComName + "\" names no port";
    std::fprintf(stderr, "tessaro: %s; the port stays closed\n", why.c_str());
  } else if (!engine.PortIsOpen()) {
    std::fprintf(stderr, "tessaro: connecting to %s\n", ctx.Settings.PortInfo.ComName.c_str());
  }

  // The network UPS server shares this loop. One that cannot bind yet keeps
  // trying; one whose address can never work is reported and the monitor
  // runs on without it.
  // Device commands through it take the windows' path, for the users of
  // its users file only.
  const std::function<void(const std::string&)> say = [](const std::string& text) {
    std::fprintf(stderr, "tessaro: %s\n", text.c_str());
  };
  const std::string nutAddress = options.NutListen.value_or(ctx.Settings.NutListen);
  const std::unique_ptr<TNutCommandHost> nutCommands =
      MakeNutCommandHost(ctx, [&engine] { return engine.PortIsOpen(); }, say, nutAddress.empty() ? decltype(say)() : say);
  net::TNutServer nut({ctx.UpsInfo, ctx.DeviceList, ctx.Settings, ctx.Freshness(), &nutCommands->Control}, clock);
  nut.OnMessage = say;
  if (std::string nutError; !nutAddress.empty() && !nut.Start(nutAddress, nutError))
    std::fprintf(stderr, "tessaro: network UPS server not started: %s\n", nutError.c_str());

  // The web listener runs on threads of its own over a snapshot published
  // every tick; a listener that cannot bind is retried.
  web::TWebHost web(ctx, [&engine] { return engine.PortIsOpen(); });
  web.OnMessage = [](const std::string& text) { std::fprintf(stderr, "tessaro: %s\n", text.c_str()); };
  // The MQTT publisher talks to its broker from a thread of its own.
  mqtt::TMqttHost mqtt(ctx, [&engine] { return engine.PortIsOpen(); });
  mqtt.OnMessage = say;
  engine.OnAnswerAccepted = [&web, &mqtt](uint8_t address) {
    web.AnswerAccepted(address);
    mqtt.AnswerAccepted(address);
  };
  web.Start({options.WebListen.value_or(ctx.Settings.WebListen), ctx.Settings.WebUsersFile, ctx.Settings.WebPublic});
  mqtt.Start(ctx.Settings, options.Mqtt);

  // The loop sleeps through ticks that would only count down, and runs them
  // when it next wakes, before anything else reaches the engine: the poll
  // schedule stays in ticks while an idle bus costs a few wake-ups a second.
  loop.StartGrid();
  uint64_t ticksRun = 0;
  uint64_t armedFor = 0;
  int ticksBudget = 0;  // a wake-up after a long stall (suspend) runs at most 50 late ticks
  // Late ticks only count down: after a stall, what came in is heard and the
  // tick now due decides, so no burst puts requests on the bus unanswered.
  const auto runTick = [&](bool late) {
    if (late && ticksBudget-- <= 0) return;
    if (late)
      engine.LateTick();
    else
      engine.Tick();
    if (hooks) hooks->Tick();
  };
  const auto started = std::chrono::steady_clock::now();
  bool running = true;
  while (running) {
    int idle = std::min(engine.IdleTicks(), web.IdleTicks());
    if (hooks && (hooks->Running() > 0 || hooks->Queued() > 0)) idle = 0;
    const uint64_t wakeAt = ticksRun + 1 + static_cast<uint64_t>(idle);
    if (wakeAt != armedFor) {
      loop.WakeAtTick(wakeAt);
      armedFor = wakeAt;
    }
    std::vector<pollfd> fds = {{loop.Signals(), POLLIN, 0}, {loop.Ticks(), POLLIN, 0}, {port.NotifyFd(), POLLIN, 0}};
    nut.AppendPollFds(fds);
    int timeout = 1000;
    for (const int due : {engine.FastStepDueInMs(), nut.NextTimeoutMs()})
      if (due >= 0) timeout = std::min(timeout, due);
    if (options.Duration > 0) {
      const double left =
          options.Duration - std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      timeout = std::min(timeout, std::max(0, static_cast<int>(std::ceil(left * 1000))));
    }
    const int n = ::poll(fds.data(), fds.size(), timeout);
    if (n < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info;
      while (::read(loop.Signals(), &info, sizeof info) == sizeof info) running = false;
    }
    if (fds[1].revents & POLLIN) loop.ClearTicks();
    const uint64_t elapsed = loop.TicksElapsed();
    const uint64_t owed = elapsed > ticksRun ? elapsed - ticksRun : 0;
    ticksBudget = 50;
    // The ticks slept through, then what came in, then the tick now due, as
    // a loop woken every tick would have had them.
    for (uint64_t i = 1; i < owed; ++i) runTick(true);
    const bool heard = fds[2].fd >= 0 && (fds[2].revents & POLLIN);
    if (heard) port.DispatchNotifications();
    nut.Process();
    if (owed > 0) {
      runTick(false);
      ticksRun = elapsed;
      storeHealth.Poll();
      PrintStoreMessages(storeHealth);
    }
    // An answer reaches the web pages at once, not at the next tick the loop wakes for.
    if (owed > 0 || heard) {
      web.Tick(static_cast<int>(std::min<uint64_t>(owed, 1 << 20)));
      mqtt.Tick(static_cast<int>(std::min<uint64_t>(owed, 1 << 20)));
    }
    if (engine.FastStepDueInMs() == 0) engine.FastStep();
    if (options.Duration > 0 &&
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() >= options.Duration)
      running = false;
  }

  web.Stop();
  mqtt.Stop();
  // The order of an orderly exit: settings saved, port closed, then the
  // engine logs its closing event.
  if (const std::error_code ec = ctx.SaveSettings(&ctx.LoadedSettings)) {
    if (ec == std::errc::operation_canceled)
      std::fprintf(stderr, "tessaro: %s changed on disk while running; left as it is, its values apply at the next start\n",
                   ctx.IniPath().c_str());
    else
      std::fprintf(stderr, "tessaro: cannot save the settings to %s: %s\n", ctx.IniPath().c_str(), ec.message().c_str());
  }
  engine.CloseCommPort();
  engine.Shutdown();
  // The closing event, and whatever else is queued, is on disk before the exit.
  ctx.StopLogWriter();
  ctx.EventLogger->OnAppended = nullptr;
  printer.Stop();
  // The hooks still running are left to finish.
  ctx.EventLogger->Observers.clear();

  // Whatever the interval held back is said now; lost records fail the run.
  storeHealth.Flush();
  PrintStoreMessages(storeHealth);
  const std::string lost = storeHealth.LostSummary();
  if (lost.empty()) return 0;
  for (TStoreKind store : {TStoreKind::EventLog, TStoreKind::DataLog})
    if (storeHealth.Failing(store)) {
      const TStoreResult& last =
          store == TStoreKind::EventLog ? ctx.EventLogger->LastResult() : ctx.DataLogger->LastResult();
      std::fprintf(stderr, "tessaro: still failing: %s\n", last.Text().c_str());
    }
  std::fprintf(stderr, "tessaro: %s\n", lost.c_str());
  return 1;
}

}  // namespace tessaro
