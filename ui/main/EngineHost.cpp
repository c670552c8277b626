#include "ui/main/EngineHost.h"

#include <string>

#include "engine/PollEngine.h"
#include "serial/SerialPort.h"
#include "ui/main/LangTable.h"
#include "ui/main/MsgBox.h"

namespace tessaro {

TEngineHost::TEngineHost(TPollEngine& engine, TSerialPort& port, QObject* parent)
    : QObject(parent), FEngine(engine), FPort(port) {
  Timer1.setInterval(100);
  connect(&Timer1, &QTimer::timeout, this, [this] {
    FEngine.Tick();
    WatchNotifications();
  });
  FFastTimer.setSingleShot(true);
  FFastTimer.setTimerType(Qt::PreciseTimer);
  connect(&FFastTimer, &QTimer::timeout, this, [this] {
    FEngine.FastStep();
    ArmFastStep();
  });
}

TEngineHost::~TEngineHost() {
  FEngine.Shutdown();
  Timer1.stop();
  FNotifier.reset();
}

void TEngineHost::Start(QWidget* messageParent) {
  Timer1.start();
  std::string error;
  const bool opened = FEngine.Start(&error);
  WatchNotifications();
  if (!opened) {
    const int language = FEngine.Context().Settings.Language;
    ShowMessage(messageParent, LangText(TTextId::PortOpenFailed, language));
    // The software parameter dialog belongs here; until it exists, say so.
    ShowMessage(messageParent, LangText(TTextId::NotAvailableYet, language));
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
