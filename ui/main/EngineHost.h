#pragma once
// Runs the poll engine on the user-interface thread: a 100 ms timer calling
// Tick, and a socket notifier on the port's notification descriptor calling
// its dispatch, so every receive is handled between two ticks. Created after
// the main window and destroyed before it, as the engine writes to the event
// log that the main window's start-up creates.

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <memory>

class QWidget;

namespace tessaro {

class TPollEngine;
class TSerialPort;

class TEngineHost : public QObject {
  Q_OBJECT

 public:
  TEngineHost(TPollEngine& engine, TSerialPort& port, QObject* parent = nullptr);
  // Logs "Monitor software is closed", stops the timer and closes the port.
  ~TEngineHost() override;

  // Logs "Monitor software is open", starts the poll timer and opens the
  // port. When the port cannot be opened the operator is told (in the
  // language of the settings) and the settings dialog comes up.
  void Start(QWidget* messageParent);

  QTimer Timer1;

 private:
  void WatchNotifications();
  void ArmFastStep();  // a one-shot timer for the engine's next fast step
  QTimer FFastTimer;

  TPollEngine& FEngine;
  TSerialPort& FPort;
  std::unique_ptr<QSocketNotifier> FNotifier;
  int FNotifyFd = -1;
};

}  // namespace tessaro
