#include "ui/main/EngineHost.h"

#include <algorithm>
#include <string>

#include "engine/PollEngine.h"
#include "faces/Faces.h"
#include "serial/SerialPort.h"
#include "ui/main/LangTable.h"
#include "ui/widgets/MsgBox.h"

namespace tessaro {

namespace {
constexpr int ServeIntervalMs = 20;
}  // namespace

TEngineHost::TEngineHost(TPollEngine& engine, TSerialPort& port, QObject* parent)
    : QObject(parent), FEngine(engine), FPort(port) {
  Timer1.setInterval(100);
  connect(&Timer1, &QTimer::timeout, this, [this] {
    FEngine.Tick();
    if (FFaces) {
      FFaces->Tick();
      FFaces->Publish(1);
    }
    WatchNotifications();
  });
  FFastTimer.setSingleShot(true);
  FFastTimer.setTimerType(Qt::PreciseTimer);
  connect(&FFastTimer, &QTimer::timeout, this, [this] {
    FEngine.FastStep();
    ArmFastStep();
  });
  // Network clients wait at most one interval for an answer; an idle pass is
  // one poll call. Work a face has due sooner (answers held back so other
  // clients get their turn) brings the next pass forward.
  FServeTimer.setSingleShot(true);
  connect(&FServeTimer, &QTimer::timeout, this, [this] {
    if (!FFaces) return;
    FFaces->Serve();
    const int due = FFaces->ServeDueInMs();
    FServeTimer.start(due >= 0 ? std::min(due, ServeIntervalMs) : ServeIntervalMs);
  });
}

TEngineHost::~TEngineHost() {
  if (FFaces) FFaces->Stop();
  FEngine.Shutdown();
  // The closing event, and whatever else is queued, is on disk before the exit.
  FEngine.Context().StopLogWriter();
  FFaces.reset();
  Timer1.stop();
  FServeTimer.stop();
  FNotifier.reset();
}

void TEngineHost::AttachFaces(const TFaceOverrides& overrides, TFaceSay say) {
  FFaces = std::make_unique<TFaces>(FEngine.Context(), FEngine, overrides, std::move(say));
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
  if (!FFaces) return;
  FFaces->Start();
  if (FFaces->Serves()) FServeTimer.start(ServeIntervalMs);
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
