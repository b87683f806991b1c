// One velisk per user.
#include "gui/single_instance.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <QLocalSocket>

namespace norvane {
namespace {

constexpr char kRestoreRequest[] = "restore\n";
constexpr char kRestoreReply[] = "ok\n";

}  // namespace

QString instance_name() {
  QString name = QStringLiteral("velisk-%1").arg(getuid());
  const QByteArray store = qgetenv("NORVANE_USER_STORE");
  if (!store.isEmpty()) {
    name += QLatin1Char('-') +
            QString::fromLatin1(
                QCryptographicHash::hash(store, QCryptographicHash::Sha1).toHex().left(12));
  }
  return name;
}

SingleInstance::SingleInstance(QString name, QObject* parent)
    : QObject(parent), name_(std::move(name)) {
  connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::serve_connection);
}

bool SingleInstance::ask_running_instance(int timeout_ms) const {
  QLocalSocket socket;
  socket.connectToServer(name_);
  if (!socket.waitForConnected(timeout_ms)) return false;
  socket.write(kRestoreRequest);
  if (!socket.waitForBytesWritten(timeout_ms)) return false;
  // The reply says that the request was read; a crashed instance's socket
  // may still accept a connection and then say nothing.
  while (!socket.canReadLine()) {
    if (!socket.waitForReadyRead(timeout_ms)) return false;
  }
  return socket.readLine() == kRestoreReply;
}

bool SingleInstance::listen() {
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  if (server_.listen(name_)) return true;
  QLocalServer::removeServer(name_);
  return server_.listen(name_);
}

void SingleInstance::serve_connection() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      if (!socket->canReadLine()) {
        // A client that sends a long line without an end is dropped.
        if (socket->bytesAvailable() > 64) socket->abort();
        return;
      }
      const QByteArray request = socket->readLine();
      if (request == kRestoreRequest) {
        socket->write(kRestoreReply);
        socket->flush();
        emit restore_requested();
      }
      socket->disconnectFromServer();
    });
  }
}

}  // namespace norvane
