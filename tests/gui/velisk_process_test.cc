// velisk as a program: one instance per user store, a second start restores
// the first and exits 0 without starting a server.
#include <QLocalSocket>
#include <QSignalSpy>
#include <atomic>
#include <thread>

#include "gui/single_instance.h"
#include "tests/gui/gui_test.h"

namespace norvane {

class VeliskProcessTest : public QObject {
  Q_OBJECT

 private slots:
  void secondStartAsksTheFirstToRestore() {
    SingleInstance first(QStringLiteral("velisk-test-%1").arg(QCoreApplication::applicationPid()));
    QVERIFY(first.listen());
    QSignalSpy restores(&first, &SingleInstance::restore_requested);
    SingleInstance second(QStringLiteral("velisk-test-%1").arg(QCoreApplication::applicationPid()));
    // The first answers from this thread's event loop, so the second asks
    // from a thread of its own, as another process would.
    std::atomic<int> answered{-1};
    std::thread asker([&] { answered = second.ask_running_instance(5000) ? 1 : 0; });
    QTRY_COMPARE_WITH_TIMEOUT(answered.load(), 1, 10'000);
    asker.join();
    QCOMPARE(restores.count(), 1);
  }

  void strayClientsDoNotRestore() {
    const QString name = QStringLiteral("velisk-stray-%1").arg(QCoreApplication::applicationPid());
    SingleInstance first(name);
    QVERIFY(first.listen());
    QSignalSpy restores(&first, &SingleInstance::restore_requested);
    QLocalSocket socket;
    socket.connectToServer(name);
    QVERIFY(socket.waitForConnected(5000));
    socket.write(QByteArray(4096, 'x'));
    socket.flush();
    QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QLocalSocket::UnconnectedState, 10'000);
    QCOMPARE(restores.count(), 0);
  }

  void secondProcessExitsZeroAndLeavesTheServer() {
    gui_test::ServerTree tree(gui_test::find_free_port(), gui_test::kOfficeZone);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("NORVANE_MACHINE_STORE", tree.store());
    environment.insert("NORVANE_USER_STORE", tree.user_store());
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    QProcess first;
    first.setProcessEnvironment(environment);
    first.start(NORVANE_VELISK_PATH, {});
    QVERIFY(first.waitForStarted(10'000));
    QTRY_VERIFY_WITH_TIMEOUT(
        gui_test::dig(tree.port(), "mail.office.lan", "A").contains("192.168.10.25"), 20'000);

    QProcess second;
    second.setProcessEnvironment(environment);
    second.start(NORVANE_VELISK_PATH, {});
    QVERIFY(second.waitForFinished(20'000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(first.state(), QProcess::Running);
    QVERIFY(gui_test::dig(tree.port(), "mail.office.lan", "A").contains("192.168.10.25"));
    // SIGTERM runs the exit sequence: a clean exit that stores the window's
    // rectangle.
    first.terminate();
    if (!first.waitForFinished(20'000)) {
      first.kill();
      first.waitForFinished();
      QFAIL("velisk did not end on SIGTERM");
    }
    QCOMPARE(first.exitStatus(), QProcess::NormalExit);
    QCOMPARE(first.exitCode(), 0);
    QVERIFY(gui_test::read_file(tree.user_store() + "/settings.ini").contains("width=500"));
  }
};

NORVANE_GUI_TEST(VeliskProcessTest);

}  // namespace norvane

#include "velisk_process_test.moc"
