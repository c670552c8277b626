#include "app/Headless.h"

#include "app/LoopFds.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "config/DataDir.h"
#include "control/Control.h"
#include "core/LinePrinter.h"
#include "engine/Context.h"
#include "faces/Faces.h"
#include "logs/EventText.h"
#include "logs/StoreHealth.h"
#include "serial/PortName.h"

namespace tessaro {

namespace {

void Say(const std::string& text) { std::fprintf(stderr, "tessaro: %s\n", text.c_str()); }

void PrintStoreMessages(TStoreHealth& health) {
  for (const std::string& message : health.TakeMessages()) Say(message);
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

// No second monitor on these logs, and settings (with a hook) only from a
// place nobody else can change.
bool MayMonitor(const TAppOptions& options, TInstanceLock& lock) {
  if (std::string refusal; !config::PrepareMonitorDataDir(options.DataDir, options.Args, lock, refusal)) {
    Say(refusal);
    return false;
  }
  if (const std::string refusal = config::SettingsRefusal(options.DataDir); !refusal.empty()) {
    PrintErrorLines(refusal);
    return false;
  }
  return true;
}

// Creates the directories and loads the settings and the device list; what
// is wrong with them is warned about, and polling goes on.
bool StartContext(TContext& ctx) {
  try {
    ctx.Start();
  } catch (const std::exception& e) {
    Say("cannot prepare the data directory " + ctx.DataDir + ": " + e.what());
    return false;
  }
  for (const std::string& problem : ctx.DeviceList.Problems())
    Say("warning: " + ctx.DeviceList.FileName() + ": " + problem);
  if (!ctx.DeviceList.Problems().empty())
    Say("warning: the devices read from it are polled; the file as it is now is kept as "
        "TreeNode_full.dat when the list is next changed");
  for (const TSettingsProblem& warning : CheckSettings(ctx.Settings))
    Say("warning: " + ctx.IniPath() + ": " + warning.Text(ctx.Settings.Language));
  return true;
}

// Every event log record on standard output, and the outcome of every
// network command on standard error: no window sends here, but it is said
// all the same.
void PrintEvents(TContext& ctx, TLinePrinter& printer) {
  ctx.EventLogger->OnAppended = [&ctx, &printer](const EventRecord& rec) {
    printer.Print(EventLine(rec, ctx.Settings.Language));
  };
  ctx.Commands.Subscribe([&ctx](const TTrackedCommand& command) {
    if (command.State == TCommandState::Pending) return;
    Say("command " + std::to_string(command.Id) + ": " + OutcomeLine(ctx, command, ctx.Settings.Language));
  });
}

// A port that cannot be opened is retried; one the settings name wrongly
// stays closed.
void StartEngine(TContext& ctx, TProgramEngine& program) {
  TPollEngine& engine = program.Engine;
  engine.OnPortMessage = Say;
  std::string error;
  if (!engine.Start(&error)) {
    Say(ctx.Settings.Language == 1 ? "开启串口时出错,请检查串口设置!"
                                   : "There was an error to open serial port,please check the serial port settings !");
    Say(error + "; retrying every " + std::to_string(engine.ReopenTicks / 10) + " s");
    engine.ScheduleReopen();
  } else if (!program.Port.IsOpen()) {
    const std::string& name = ctx.Settings.PortInfo.ComName;
    std::string why;
    if (ParsePortName(name, &why)) why = "ComName \"" + name + "\" names no port";
    Say(why + "; the port stays closed");
  } else if (!engine.PortIsOpen()) {
    Say("connecting to " + ctx.Settings.PortInfo.ComName);
  }
}

// The loop sleeps through ticks that would only count down, and runs them
// when it next wakes, before anything else reaches the engine: the poll
// schedule stays in ticks while an idle bus costs a few wake-ups a second.
class THeadlessLoop {
 public:
  THeadlessLoop(TLoopFds& loop, TProgramEngine& program, TFaces& faces, TStoreHealth& health, double duration)
      : FLoop(loop),
        FEngine(program.Engine),
        FPort(program.Port),
        FFaces(faces),
        FHealth(health),
        FDuration(duration) {}

  // Until a signal, or the end of the duration.
  void Run() {
    FLoop.StartGrid();
    FStarted = std::chrono::steady_clock::now();
    while (Pass()) {
    }
  }

 private:
  enum { SignalFd, TickFd, PortFd };

  bool Pass() {
    ArmWake();
    std::vector<pollfd> fds = {{FLoop.Signals(), POLLIN, 0}, {FLoop.Ticks(), POLLIN, 0}, {FPort.NotifyFd(), POLLIN, 0}};
    FFaces.AppendPollFds(fds);
    const int n = ::poll(fds.data(), fds.size(), TimeoutMs());
    if (n < 0 && errno != EINTR) return false;
    bool running = true;
    if (fds[SignalFd].revents & POLLIN) {
      signalfd_siginfo info;
      while (::read(FLoop.Signals(), &info, sizeof info) == sizeof info) running = false;
    }
    if (fds[TickFd].revents & POLLIN) FLoop.ClearTicks();
    RunDue(fds[PortFd].fd >= 0 && (fds[PortFd].revents & POLLIN));
    return running && !(FDuration > 0 && SecondsRun() >= FDuration);
  }

  // The ticks slept through, then what came in, then the tick now due, as a
  // loop woken every tick would have had them.
  void RunDue(bool heard) {
    const uint64_t elapsed = FLoop.TicksElapsed();
    const uint64_t owed = elapsed > FTicksRun ? elapsed - FTicksRun : 0;
    FTicksBudget = 50;
    for (uint64_t i = 1; i < owed; ++i) RunTick(true);
    if (heard) FPort.DispatchNotifications();
    FFaces.Serve();
    if (owed > 0) {
      RunTick(false);
      FTicksRun = elapsed;
      FHealth.Poll();
      PrintStoreMessages(FHealth);
    }
    // An answer reaches the faces at once, not at the next tick the loop wakes for.
    if (owed > 0 || heard) FFaces.Publish(static_cast<int>(std::min<uint64_t>(owed, 1 << 20)));
    if (FEngine.FastStepDueInMs() == 0) FEngine.FastStep();
  }

  // Late ticks only count down: after a stall, what came in is heard and the
  // tick now due decides, so no burst puts requests on the bus unanswered.
  // A wake-up after a long stall (suspend) runs at most 50 late ticks.
  void RunTick(bool late) {
    if (late && FTicksBudget-- <= 0) return;
    if (late)
      FEngine.LateTick();
    else
      FEngine.Tick();
    FFaces.Tick();
  }

  void ArmWake() {
    const int idle = std::min(FEngine.IdleTicks(), FFaces.IdleTicks());
    const uint64_t wakeAt = FTicksRun + 1 + static_cast<uint64_t>(idle);
    if (wakeAt == FArmedFor) return;
    FLoop.WakeAtTick(wakeAt);
    FArmedFor = wakeAt;
  }

  int TimeoutMs() const {
    int timeout = 1000;
    for (const int due : {FEngine.FastStepDueInMs(), FFaces.ServeDueInMs()})
      if (due >= 0) timeout = std::min(timeout, due);
    if (FDuration > 0)
      timeout = std::min(timeout, std::max(0, static_cast<int>(std::ceil((FDuration - SecondsRun()) * 1000))));
    return timeout;
  }

  double SecondsRun() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - FStarted).count();
  }

  TLoopFds& FLoop;
  TPollEngine& FEngine;
  TBusPort& FPort;
  TFaces& FFaces;
  TStoreHealth& FHealth;
  const double FDuration;
  std::chrono::steady_clock::time_point FStarted;
  uint64_t FTicksRun = 0;
  uint64_t FArmedFor = 0;
  int FTicksBudget = 0;
};

void SaveSettingsAtExit(TContext& ctx) {
  const std::error_code ec = ctx.SaveSettings(&ctx.LoadedSettings);
  if (!ec) return;
  if (ec == std::errc::operation_canceled)
    Say(ctx.IniPath() + " changed on disk while running; left as it is, its values apply at the next start");
  else
    Say("cannot save the settings to " + ctx.IniPath() + ": " + ec.message());
}

// Whatever the interval held back is said now; lost records fail the run.
int ReportLostRecords(TContext& ctx) {
  TStoreHealth& health = ctx.StoreHealth;
  health.Flush();
  PrintStoreMessages(health);
  const std::string lost = health.LostSummary();
  if (lost.empty()) return 0;
  for (TStoreKind store : {TStoreKind::EventLog, TStoreKind::DataLog})
    if (health.Failing(store)) {
      const TStoreResult& last =
          store == TStoreKind::EventLog ? ctx.EventLogger->LastResult() : ctx.DataLogger->LastResult();
      Say("still failing: " + last.Text());
    }
  Say(lost);
  return 1;
}

}  // namespace

int RunHeadless(const TAppOptions& options) {
  TLoopFds loop;
  signal(SIGPIPE, SIG_IGN);
  // A file size limit must fail a log write (and be reported), not end the monitor.
  signal(SIGXFSZ, SIG_IGN);
  if (!loop.Ok()) {
    Say(std::string("cannot set up timers: ") + std::strerror(errno));
    return 1;
  }
  TInstanceLock instanceLock;
  if (!MayMonitor(options, instanceLock)) return 1;
  TSystemClock clock;
  TContext ctx(options.DataDir, clock);
  if (!StartContext(ctx)) return 1;
  // Neither a slow disk nor an output nobody reads may hold up polling: the
  // logs are written by a thread of their own, and so are the printed events.
  SlowSyncsForTests(*ctx.EventLogger);
  ctx.StartLogWriter();
  TLinePrinter printer(STDOUT_FILENO, STDERR_FILENO, NotPrintedNotice);
  PrintEvents(ctx, printer);

  TProgramEngine program(ctx);
  auto faces = std::make_unique<TFaces>(ctx, program.Engine, TFaceOverrides{options.NutListen, options.WebListen, options.Mqtt},
                                        [](const TFaceMessage& message) { Say(message.Text); });
  StartEngine(ctx, program);
  faces->Start();
  THeadlessLoop(loop, program, *faces, ctx.StoreHealth, options.Duration).Run();
  faces->Stop();

  // The order of an orderly exit: settings saved, port closed, then the
  // engine logs its closing event.
  SaveSettingsAtExit(ctx);
  program.Engine.CloseCommPort();
  program.Engine.Shutdown();
  // The closing event, and whatever else is queued, is on disk before the exit.
  ctx.StopLogWriter();
  ctx.EventLogger->OnAppended = nullptr;
  printer.Stop();
  faces.reset();
  return ReportLostRecords(ctx);
}

}  // namespace tessaro
