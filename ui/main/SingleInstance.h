#pragma once
// One running program per user: the first start listens on a local socket
// named after the program; a later start connects to it, asks the running
// one to come to the front, and ends.

#include <QLocalServer>
#include <QObject>
#include <QString>

class QWidget;

namespace tessaro {

// Brings the running window to the front for a second start. Only a
// minimised window is restored, to the state it had before (a maximised one
// comes back maximised); otherwise its size and state are kept.
void BringToFront(QWidget& window);

class TSingleInstance : public QObject {
  Q_OBJECT

 public:
  // The socket name of the user's running instance.
  static QString DefaultName();

  explicit TSingleInstance(QString name, QObject* parent = nullptr);

  // True when another instance answered and was asked to come to the front.
  bool ActivateRunning(int timeoutMs = 1000) const;
  // Starts listening; a socket left behind by a crashed instance is removed.
  bool Listen();

 signals:
  void Activated();

 private:
  QString FName;
  QLocalServer FServer;
};

}  // namespace tessaro
