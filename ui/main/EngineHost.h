#pragma once
// Runs the poll engine on the user-interface thread: a 100 ms timer calling
// Tick, and a socket notifier on the port's notification descriptor calling
// its dispatch, so every receive is handled between two ticks. Created after
// the main window and destroyed before it, as the engine writes to the event
// log that the main window's start-up creates. The faces the settings ask
// for (faces/Faces.h) run on the same thread: ticked with the engine, and a
// face that serves sockets (the network UPS server) by a short timer that
// fires sooner when it has work due.

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>

#include "faces/Face.h"

class QWidget;

namespace tessaro {

class TPollEngine;
class TSerialPort;
class TFaces;

class TEngineHost : public QObject {
  Q_OBJECT

 public:
  TEngineHost(TPollEngine& engine, TSerialPort& port, QObject* parent = nullptr);
  // Logs "Monitor software is closed", stops the timer and closes the port.
  ~TEngineHost() override;

  // Attaches the faces the settings ask for, `overrides` over them; what
  // they have to say goes to `say`. Call before Start, so the opening
  // record has its hook run too.
  void AttachFaces(const TFaceOverrides& overrides, TFaceSay say);
  const TFaces* Faces() const { return FFaces.get(); }

  // Logs "Monitor software is open", starts the poll timer and opens the
  // port. When the port cannot be opened the operator is told (in the
  // language of the settings) and then `openSettings` runs (the settings
  // dialog); start-up goes on whether or not the port is then open, and the
  // faces start.
  void Start(QWidget* messageParent, const std::function<void()>& openSettings = {});

  QTimer Timer1;

 private:
  void WatchNotifications();
  void ArmFastStep();  // a one-shot timer for the engine's next fast step
  QTimer FFastTimer;

  TPollEngine& FEngine;
  TSerialPort& FPort;
  std::unique_ptr<QSocketNotifier> FNotifier;
  int FNotifyFd = -1;
  std::unique_ptr<TFaces> FFaces;
  QTimer FServeTimer;
};

}  // namespace tessaro
