#pragma once
// Desktop notifications through the session's notification service
// (org.freedesktop.Notifications on the D-Bus session bus): mains failure and
// return, low battery, a lost link and its return, and commands' outcomes.
// Without the service nothing is sent, and that is said once.

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <array>
#include <functional>

#include "core/TrayState.h"
#include "core/UpsInfo.h"

namespace tessaro {

class TContext;

class TNotifier : public QObject {
  Q_OBJECT

 public:
  explicit TNotifier(QDBusConnection bus, QObject* parent = nullptr);

  // Whether the session bus has the service now.
  bool Available() const;
  // Sends one notification without waiting for the service; false when there is none.
  bool Notify(const QString& summary, const QString& body, bool urgent);

  // After each refresh: what changed for each listed device since the last
  // call. The first call only takes the devices' looks.
  void Watch(const TContext& ctx, bool portOpen);
  // A command's outcome, once it has one.
  void CommandOutcome(const QString& line, bool failed, int language);

  // Told once when there is no service (the status bar).
  std::function<void(const QString&)> Say;
  int Sent() const { return FSent; }

 private:
  bool Ready(int language);
  QDBusConnection FBus;
  std::array<TDeviceLook, SlotCount> FLooks{};
  bool FToldMissing = false;
  int FSent = 0;
};

}  // namespace tessaro
