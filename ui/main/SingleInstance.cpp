#include "ui/main/SingleInstance.h"

#include <QLocalSocket>
#include <QWidget>

#include <unistd.h>

namespace tessaro {

namespace {
const QByteArray ActivateRequest = QByteArrayLiteral("activate\n");
}

void BringToFront(QWidget& window) {
  if (window.isMinimized()) window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
  window.raise();
  window.activateWindow();
}

QString TSingleInstance::DefaultName() { return QStringLiteral("Tessaro-%1").arg(getuid()); }

TSingleInstance::TSingleInstance(QString name, QObject* parent) : QObject(parent), FName(std::move(name)) {
  connect(&FServer, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* client = FServer.nextPendingConnection()) {
      connect(client, &QLocalSocket::readyRead, this, [this, client] {
        if (client->readAll().contains(ActivateRequest)) emit Activated();
        client->disconnectFromServer();
      });
      connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    }
  });
}

bool TSingleInstance::ActivateRunning(int timeoutMs) const {
  QLocalSocket socket;
  socket.connectToServer(FName);
  if (!socket.waitForConnected(timeoutMs)) return false;
  socket.write(ActivateRequest);
  socket.waitForBytesWritten(timeoutMs);
  socket.disconnectFromServer();
  return true;
}

bool TSingleInstance::Listen() {
  FServer.setSocketOptions(QLocalServer::UserAccessOption);
  if (FServer.listen(FName)) return true;
  // Nobody answered before, so the socket is a leftover.
  QLocalServer::removeServer(FName);
  return FServer.listen(FName);
}

}  // namespace tessaro
