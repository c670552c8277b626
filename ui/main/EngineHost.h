#pragma once
// Runs the poll engine on the user-interface thread: a 100 ms timer calling
// Tick, and a socket notifier on the port's notification descriptor calling
// its dispatch, so every receive is handled between two ticks. Created after
// the main window and destroyed before it, as the engine writes to the event
// log that the main window's start-up creates. The network UPS server, when
// configured, runs on the same thread, served by a short timer that fires
// sooner when the server has work due; the web listener runs on threads of
// its own over a snapshot published every tick.

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>

class QWidget;

namespace tessaro {

class TPollEngine;
class TShutdownWatch;
struct TNutCommandHost;
class TSerialPort;
namespace net {
class TNutServer;
}
namespace hooks {
class TEventHooks;
}
namespace web {
class TWebHost;
struct TWebConfig;
}

class TEngineHost : public QObject {
  Q_OBJECT

 public:
  TEngineHost(TPollEngine& engine, TSerialPort& port, QObject* parent = nullptr);
  // Logs "Monitor software is closed", stops the timer and closes the port.
  ~TEngineHost() override;

  // Logs "Monitor software is open", starts the poll timer and opens the
  // port. When the port cannot be opened the operator is told (in the
  // language of the settings) and then `openSettings` runs (the settings
  // dialog); start-up goes on whether or not the port is then open.
  void Start(QWidget* messageParent, const std::function<void()>& openSettings = {});

  // Serves every configured device over the network UPS protocol, device
  // commands only for the users of [Network] UsersFile,
  // on `address` (ADDRESS:PORT); an address that cannot be bound yet is
  // tried again every few seconds, and `onMessage` hears the first failure
  // and the listen that works. False with the reason when the address can
  // never work.
  bool ServeNut(const std::string& address, std::string& error, std::function<void(const std::string&)> onMessage);
  const net::TNutServer* NutServer() const { return FNut.get(); }

  // Serves the web dashboard, the JSON API and the metrics as configured (an
  // empty address: off); what it has to say goes to `onMessage`.
  void ServeWeb(const web::TWebConfig& config, std::function<void(const std::string&)> onMessage);

  // Runs `program` for every event log record from now on (call before
  // Start, so the opening record has its run too); failures go to `onFailure`.
  void RunEventHooks(const std::string& program, std::function<void(const std::string&)> onFailure);

  QTimer Timer1;

 private:
  void WatchNotifications();
  void ArmFastStep();  // a one-shot timer for the engine's next fast step
  QTimer FFastTimer;

  TPollEngine& FEngine;
  TSerialPort& FPort;
  std::unique_ptr<QSocketNotifier> FNotifier;
  int FNotifyFd = -1;
  std::unique_ptr<TNutCommandHost> FNutCommands;  // outlives FNut, which points into it
  std::unique_ptr<net::TNutServer> FNut;
  std::unique_ptr<TShutdownWatch> FShutdowns;  // with FNut: the policy, and clear-fsd
  QTimer FNutTimer;
  std::unique_ptr<hooks::TEventHooks> FHooks;
  std::unique_ptr<web::TWebHost> FWeb;
  size_t FHookObserver = 0;  // its place in the event log's observers
};

}  // namespace tessaro
