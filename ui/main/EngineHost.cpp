#include "ui/main/EngineHost.h"

#include <algorithm>
#include <string>

#include "control/NutControl.h"
#include "control/Shutdown.h"
#include "engine/PollEngine.h"
#include "hooks/EventHooks.h"
#include "net/NutServer.h"
#include "web/WebHost.h"
#include "serial/SerialPort.h"
#include "ui/main/LangTable.h"
#include "ui/widgets/MsgBox.h"

namespace tessaro {

namespace {
constexpr int NutIntervalMs = 20;
}  // namespace

TEngineHost::TEngineHost(TPollEngine& engine, TSerialPort& port, QObject* parent)
    : QObject(parent), FEngine(engine), FPort(port) {
  Timer1.setInterval(100);
  connect(&Timer1, &QTimer::timeout, this, [this] {
    FEngine.Tick();
    if (FHooks) FHooks->Tick();
    if (FWeb) FWeb->Tick();
    if (FShutdowns) FShutdowns->Poll();
    WatchNotifications();
  });
  FFastTimer.setSingleShot(true);
  FFastTimer.setTimerType(Qt::PreciseTimer);
  connect(&FFastTimer, &QTimer::timeout, this, [this] {
    FEngine.FastStep();
    ArmFastStep();
  });
  // Network clients wait at most one interval for an answer; an idle pass is
  // one poll call. Work the server has due sooner (answers held back so
  // other clients get their turn) brings the next pass forward.
  FNutTimer.setSingleShot(true);
  connect(&FNutTimer, &QTimer::timeout, this, [this] {
    if (!FNut) return;
    FNut->Process();
    const int due = FNut->NextTimeoutMs();
    FNutTimer.start(due >= 0 ? std::min(due, NutIntervalMs) : NutIntervalMs);
  });
}

TEngineHost::~TEngineHost() {
  if (FWeb) FWeb->Stop();
  FEngine.OnAnswerAccepted = nullptr;
  FEngine.Shutdown();
  // The closing event, and whatever else is queued, is on disk before the exit.
  FEngine.Context().StopLogWriter();
  if (FHooks) {
    // Hooks still running are left to finish.
    auto& observers = FEngine.Context().EventLogger->Observers;
    if (FHookObserver < observers.size()) observers.erase(observers.begin() + static_cast<std::ptrdiff_t>(FHookObserver));
    FHooks.reset();
  }
  Timer1.stop();
  FNutTimer.stop();
  FShutdowns.reset();
  FNut.reset();
  FNotifier.reset();
}

bool TEngineHost::ServeNut(const std::string& address, std::string& error,
                           std::function<void(const std::string&)> onMessage) {
  TContext& ctx = FEngine.Context();
  // Device commands through it take the windows' path; each is said like the server's messages.
  auto commands = MakeNutCommandHost(ctx, [this] { return FEngine.PortIsOpen(); }, onMessage, onMessage);
  auto server = std::make_unique<net::TNutServer>(
      net::TNutSource{ctx.UpsInfo, ctx.DeviceList, ctx.Settings, ctx.Freshness(), &commands->Control}, ctx.Clock);
  server->OnMessage = onMessage;
  if (!server->Start(address, error)) return false;
  FShutdowns = std::make_unique<TShutdownWatch>(ctx);
  FShutdowns->OnMessage = std::move(onMessage);
  FShutdowns->Start();
  FNutCommands = std::move(commands);
  FNut = std::move(server);
  FNutTimer.start(NutIntervalMs);
  return true;
}

void TEngineHost::ServeWeb(const web::TWebConfig& config, std::function<void(const std::string&)> onMessage) {
  if (config.Listen.empty()) return;
  FWeb = std::make_unique<web::TWebHost>(FEngine.Context(), [this] { return FEngine.PortIsOpen(); });
  FWeb->OnMessage = std::move(onMessage);
  FEngine.OnAnswerAccepted = [w = FWeb.get()](uint8_t address) { w->AnswerAccepted(address); };
  FWeb->Start(config);
}

void TEngineHost::RunEventHooks(const std::string& program, std::function<void(const std::string&)> onFailure) {
  TContext& ctx = FEngine.Context();
  FHooks = std::make_unique<hooks::TEventHooks>(program, ctx.DeviceList);
  FHooks->OnFailure = std::move(onFailure);
  FHookObserver = ctx.EventLogger->Observers.size();
  ctx.EventLogger->Observers.push_back([h = FHooks.get()](const EventRecord& rec) { h->Enqueue(rec); });
}

void TEngineHost::Start(QWidget* messageParent, const std::function<void()>& openSettings) {
  Timer1.start();
  std::string error;
  const bool opened = FEngine.Start(&error);
  WatchNotifications();
  if (!opened) {
    const int language = FEngine.Context().Settings.Language;
    ShowMessage(messageParent, LangText(TTextId::PortOpenFailed, language));
    if (openSettings && !Stopping()) openSettings();
    WatchNotifications();
  }
}

void TEngineHost::WatchNotifications() {
  const int fd = FPort.NotifyFd();
  if (fd == FNotifyFd) return;
  FNotifier.reset();
  FNotifyFd = fd;
  if (fd < 0) return;
  FNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  connect(FNotifier.get(), &QSocketNotifier::activated, this, [this] {
    FPort.DispatchNotifications();
    ArmFastStep();
  });
}

void TEngineHost::ArmFastStep() {
  const int due = FEngine.FastStepDueInMs();
  if (due >= 0 && !FFastTimer.isActive()) FFastTimer.start(due);
}

}  // namespace tessaro
