#include "ui/main/SingleInstance.h"

#include <QCryptographicHash>
#include <QLocalSocket>
#include <QWidget>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "core/PathTrust.h"

namespace tessaro {

namespace {
const QByteArray ActivateRequest = QByteArrayLiteral("activate\n");

// The process at the other end of a local socket runs as this user.
bool PeerIsThisUser(qintptr fd) {
  ucred cred {};
  socklen_t len = sizeof cred;
  return fd >= 0 && ::getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 &&
         cred.uid == ::geteuid();
}
}  // namespace

void BringToFront(QWidget& window) {
  if (window.isMinimized()) window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
  window.raise();
  window.activateWindow();
}

QString TSingleInstance::SocketPath(const std::string& dataDir, std::string& why) {
  const std::string dir = PrivateRuntimeDir(std::getenv("XDG_RUNTIME_DIR"), std::getenv("TMPDIR"), ::geteuid(), why);
  if (dir.empty()) return {};
  std::string key = dataDir;
  while (key.size() > 1 && key.back() == '/') key.pop_back();
  std::error_code ec;
  if (const std::filesystem::path canonical = std::filesystem::weakly_canonical(key, ec); !ec) key = canonical.string();
  const QByteArray hash =
      QCryptographicHash::hash(QByteArray::fromStdString(key), QCryptographicHash::Sha256).toHex().left(16);
  return QString::fromStdString(dir) + QStringLiteral("instance-") + QString::fromLatin1(hash);
}

TSingleInstance::TSingleInstance(QString name, QObject* parent) : QObject(parent), FName(std::move(name)) {
  connect(&FServer, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* client = FServer.nextPendingConnection()) {
      connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
      if (!PeerIsThisUser(client->socketDescriptor())) {
        client->abort();
        continue;
      }
      connect(client, &QLocalSocket::readyRead, this, [this, client] {
        if (client->readAll().contains(ActivateRequest)) emit Activated();
        client->disconnectFromServer();
      });
    }
  });
}

bool TSingleInstance::ActivateRunning(int timeoutMs) const {
  if (FName.isEmpty()) return false;
  QLocalSocket socket;
  socket.connectToServer(FName);
  if (!socket.waitForConnected(timeoutMs)) return false;
  if (!PeerIsThisUser(socket.socketDescriptor())) {
    socket.abort();
    return false;
  }
  socket.write(ActivateRequest);
  socket.waitForBytesWritten(timeoutMs);
  socket.disconnectFromServer();
  return true;
}

bool TSingleInstance::Listen() {
  if (FName.isEmpty()) return false;
  FServer.setSocketOptions(QLocalServer::UserAccessOption);
  if (FServer.listen(FName)) return true;
  // Nobody of ours answered before, so the socket is a leftover or another
  // user's; in our own directory it can go.
  QLocalServer::removeServer(FName);
  return FServer.listen(FName);
}

}  // namespace tessaro
