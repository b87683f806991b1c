// One velisk per user: the first instance listens on a local socket named for
// the user; a later start connects, asks it to restore its window and exits.
// GUI thread only.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

namespace norvane {

// "velisk-<uid>", with a hash of NORVANE_USER_STORE behind it when that is
// set: an instance stands for one user's store, so tests and demos with a
// store of their own do not meet the user's own window.
QString instance_name();

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  explicit SingleInstance(QString name, QObject* parent = nullptr);

  // Asks a running instance to restore its window. True when one answered.
  bool ask_running_instance(int timeout_ms = 3000) const;
  // Starts listening for later starts; a socket left behind by a crashed
  // instance is removed first. False when listening failed.
  bool listen();

 signals:
  void restore_requested();

 private:
  void serve_connection();

  QString name_;
  QLocalServer server_;
};

}  // namespace norvane
