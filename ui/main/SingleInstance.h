#pragma once
// One running window per user and data directory: the first start listens on
// a local socket in the user's private runtime directory; a later start
// connects to it, asks the running one to come to the front, and ends. Both
// ends check who is on the other side: a socket of another user is never
// obeyed, and nobody else can bring this window up.

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <string>

class QWidget;

namespace tessaro {

// Brings the running window to the front for a second start. Only a
// minimised window is restored, to the state it had before (a maximised one
// comes back maximised); otherwise its size and state are kept.
void BringToFront(QWidget& window);

class TSingleInstance : public QObject {
  Q_OBJECT

 public:
  // The socket of this user's instance on dataDir: "instance-" and a hash of
  // the directory, in $XDG_RUNTIME_DIR/tessaro/ or the private fallback
  // (PrivateRuntimeDir). Empty, with `why` set, when no private directory
  // can be had.
  static QString SocketPath(const std::string& dataDir, std::string& why);

  // `name`: a socket path, or a name QLocalServer places in the temporary directory.
  explicit TSingleInstance(QString name, QObject* parent = nullptr);

  // True when an instance of this user answered and was asked to come to
  // the front; a listener of another user is not spoken to.
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
