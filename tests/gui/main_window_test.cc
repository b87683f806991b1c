// The main window over a real engine on a free loopback port, checked with
// dig: what the Database view shows, Remove, the Cache view after
// forwarding, close-hides, the port-in-use text and the exit sequence.
#include "gui/main_window.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QItemSelectionModel>
#include <QMenu>
#include <QTableView>
#include <memory>
#include <set>

#include "engine/dns_message.h"
#include "gui/server_thread.h"
#include "gui/tray_icon.h"
#include "gui/window_observer.h"
#include "tests/gui/gui_program.h"
#include "tests/gui/gui_test.h"

namespace norvane {
namespace {

using gui_test::FakeTray;
using gui_test::kReadyWaitMs;
using gui_test::Program;
using gui_test::ready_text;
using gui_test::soa_serial;

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void databaseViewShowsWhatDigSees() {
    gui_test::ServerTree tree(gui_test::find_free_port(), gui_test::kOfficeZone);
    Program program(tree);
    QTRY_COMPARE_WITH_TIMEOUT(program.window->bottom_status_text(), ready_text(tree.port()),
                              kReadyWaitMs);
    QCOMPARE(program.window->top_status_text(), QString(" 9 entries"));
    const QStringList rows = program.row_texts();
    QCOMPARE(rows.first(), QString("office.lan.|NS|ns1.office.lan.|300"));
    QVERIFY(rows.contains("office.lan.|MX|10   mail.office.lan.|300"));
    QVERIFY(rows.contains("printer.office.lan.|A|192.168.10.40|600"));
    QVERIFY(rows.contains("www.office.lan.|CNAME|host.office.lan.|300"));
    // Every address row is what dig gets for its name.
    for (const QString& row : rows) {
      const QStringList cells = row.split('|');
      if (cells[1] != "A" || cells[0].startsWith('*')) continue;
      QVERIFY2(gui_test::dig(tree.port(), cells[0], "A").contains(cells[2]), qPrintable(row));
    }
    QVERIFY(gui_test::dig(tree.port(), "www.office.lan", "CNAME").contains("host.office.lan."));
  }

  void removeOfThreeRowsReachesDigAndTheZoneFile() {
    gui_test::ServerTree tree(gui_test::find_free_port(), gui_test::kOfficeZone);
    Program program(tree);
    QTRY_COMPARE_WITH_TIMEOUT(program.window->bottom_status_text(), ready_text(tree.port()),
                              kReadyWaitMs);
    const uint32_t serial = soa_serial(tree.port());
    QVERIFY(serial != 0);
    const QStringList names = program.column(0);
    const int host = static_cast<int>(names.indexOf("host.office.lan."));
    const int printer = static_cast<int>(names.indexOf("printer.office.lan."));
    QVERIFY(host >= 0 && printer >= 0);
    program.select_rows({host, host + 1, printer});
    QCOMPARE(program.window->remove_selected(), 3);
    QCOMPARE(program.window->top_status_text(), QString(" 6 entries"));
    QCOMPARE(program.window->refresh_countdown(), 2);
    QVERIFY(!program.column(0).contains("host.office.lan."));
    QVERIFY(program.column(0).contains("www.office.lan."));
    QCOMPARE(gui_test::dig(tree.port(), "host.office.lan", "A"), QStringList{});
    QCOMPARE(gui_test::dig(tree.port(), "printer.office.lan", "A"), QStringList{});
    QCOMPARE(gui_test::dig(tree.port(), "mail.office.lan", "A"), QStringList{"192.168.10.25"});
    QCOMPARE(soa_serial(tree.port()), serial + 3);
    const QString zone = gui_test::read_file(tree.data() + "/name.db");
    QVERIFY(!zone.contains("192.168.10.20"));
    QVERIFY(!zone.contains("192.168.10.40"));
    QVERIFY(zone.contains("192.168.10.25"));
    QVERIFY(zone.contains(QString::number(serial + 3)));
  }

  void removeStopsAtARecordAlreadyGone() {
    gui_test::ServerTree tree(gui_test::find_free_port(), gui_test::kOfficeZone);
    Program program(tree);
    QTRY_COMPARE_WITH_TIMEOUT(program.window->bottom_status_text(), ready_text(tree.port()),
                              kReadyWaitMs);
    // Rows 1..3 selected; the record of row 2 disappears behind the list's
    // back (as a dynamic update would remove it).
    program.select_rows({1, 2, 3});
    Engine& engine = program.window->engine();
    {
      LocalZone::Guard guard = engine.zone.hold();
      const std::optional<ZoneRecord> record =
          guard.live().find_handle(program.window->model().record(2).handle);
      QVERIFY(record.has_value());
      QVERIFY(engine.zone.remove_zone_record(*record));
    }
    QCOMPARE(program.window->remove_selected(), 1);
    QCOMPARE(program.window->top_status_text(), QString(" 8 entries"));
  }

  void selectionFollowsRecordsAcrossRefill() {
    gui_test::ServerTree tree(gui_test::find_free_port(), gui_test::kOfficeZone);
    Program program(tree);
    QTRY_COMPARE_WITH_TIMEOUT(program.window->bottom_status_text(), ready_text(tree.port()),
                              kReadyWaitMs);
    const int mail = static_cast<int>(program.column(0).indexOf("mail.office.lan."));
    program.select_rows({mail});
    // A record before it goes: after the refill the rows shift up by one.
    Engine& engine = program.window->engine();
    {
      LocalZone::Guard guard = engine.zone.hold();
      engine.zone.remove_zone_record(
          *guard.live().find_handle(program.window->model().record(0).handle));
    }
    program.window->refresh(true);
    const QModelIndexList selected =
        program.window->record_list()->selectionModel()->selectedRows();
    QCOMPARE(selected.size(), 1);
    QCOMPARE(program.window->model().data(selected[0]).toString(), QString("mail.office.lan."));
  }

  void cacheViewShowsForwardedAnswers() {
    const char* const upstream_zone =
        "$ORIGIN example.test.\n"
        "@\tSOA\tns1.example.test.\thostmaster.example.test. 1 3600 600 86400 300\n"
        "www\t900\tA\t10.9.8.7\n"
        "host\t900\tA\t172.16.5.4\n";
    gui_test::ServerTree upstream_tree(gui_test::find_free_port(), upstream_zone, "example.test");
    Program upstream(upstream_tree);
    QTRY_COMPARE_WITH_TIMEOUT(upstream.window->bottom_status_text(),
                              ready_text(upstream_tree.port()), kReadyWaitMs);
    gui_test::ServerTree tree(gui_test::find_free_port(), gui_test::kOfficeZone, "office.lan",
                              QString("DNS1=127.0.0.1\nDNS-Port1=%1\n").arg(upstream_tree.port()));
    Program program(tree);
    QTRY_COMPARE_WITH_TIMEOUT(program.window->bottom_status_text(), ready_text(tree.port()),
                              kReadyWaitMs);
    QCOMPARE(gui_test::dig(tree.port(), "www.example.test", "A"), QStringList{"10.9.8.7"});
    QCOMPARE(gui_test::dig(tree.port(), "4.5.16.172.in-addr.arpa", "PTR"),
             QStringList{"host.example.test."});
    // An entry that died a minute ago stays out of the view.
    Cache& cache = program.window->engine().cache;
    QVERIFY(cache.cache_add(CacheMode::kRestored, kTypeA, "old.example.test", inet_addr("10.0.0.9"),
                            "", cache.now() - 60) != 0);

    program.window->run_command(kCommandCache);
    QCOMPARE(program.window->view_mode(), ViewMode::kCache);
    const QStringList rows = program.row_texts();
    bool www = false;
    bool ptr = false;
    for (const QString& row : rows) {
      const QStringList cells = row.split('|');
      QVERIFY2(cells[0] != "old.example.test.", qPrintable(row));
      if (cells[0] == "www.example.test." && cells[1] == "A" && cells[2] == "10.9.8.7") {
        www = true;
        QVERIFY(cells[3].toUInt() > 0 && cells[3].toUInt() <= 900);
      }
      if (cells[0] == "4.5.16.172.in-addr.arpa." && cells[1] == "PTR" &&
          cells[2] == "host.example.test.")
        ptr = true;
    }
    QVERIFY2(www, qPrintable(rows.join('\n')));
    QVERIFY2(ptr, qPrintable(rows.join('\n')));
    QCOMPARE(program.window->top_status_text(), QString(" %1 entries").arg(rows.size()));

    // Remove of a cache row goes through the cache.
    const int www_row = static_cast<int>(program.column(0).indexOf("www.example.test."));
    program.select_rows({www_row});
    QCOMPARE(program.window->remove_selected(), 1);
    program.window->refresh(true);
    QVERIFY(!program.column(0).contains("www.example.test."));

    program.window->run_command(kCommandDatabase);
    QCOMPARE(program.window->top_status_text(), QString(" 9 entries"));
  }

  void portInUseShowsTheFailedText() {
    const uint16_t port = gui_test::find_free_port();
    const int taken = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    QCOMPARE(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    gui_test::ServerTree tree(port, gui_test::kOfficeZone);
    {
      Program program(tree);
      QTRY_COMPARE_WITH_TIMEOUT(program.window->bottom_status_text(),
                                QString(" Failed to listen on Port %1").arg(port), kReadyWaitMs);
      // The window still lists the database.
      QCOMPARE(program.window->top_status_text(), QString(" 9 entries"));
    }
    close(taken);
  }

  void closeHidesAndTheServerKeepsAnswering() {
    gui_test::ServerTree tree(gui_test::find_free_port(), gui_test::kOfficeZone);
    Program program(tree);
    QTRY_COMPARE_WITH_TIMEOUT(program.window->bottom_status_text(), ready_text(tree.port()),
                              kReadyWaitMs);
    QVERIFY(program.window->isVisible());
    QVERIFY(program.tray->adds == 1 && program.window->tray_shown());
    QVERIFY(program.window->close() == false);
    QVERIFY(!program.window->isVisible());
    QCOMPARE(gui_test::dig(tree.port(), "mail.office.lan", "A"), QStringList{"192.168.10.25"});
    // The tray's left click restores.
    program.tray->restore();
    QVERIFY(program.window->isVisible());
    // Minimising hides as well.
    program.window->showMinimized();
    QTRY_VERIFY(!program.window->isVisible());
    program.window->run_command(kCommandRestore);
    QVERIFY(program.window->isVisible());
  }

  void timerRefillsOnlyWhileTheCountdownRuns() {
    gui_test::ServerTree tree(gui_test::find_free_port(), gui_test::kOfficeZone);
    Program program(tree);
    QTRY_COMPARE_WITH_TIMEOUT(program.window->bottom_status_text(), ready_text(tree.port()),
                              kReadyWaitMs);
    QTRY_COMPARE(program.window->refresh_countdown(), 0);
    program.window->on_timer();
    Engine& engine = program.window->engine();
    {
      LocalZone::Guard guard = engine.zone.hold();
      engine.zone.remove_zone_record(
          *guard.live().find_handle(program.window->model().record(0).handle));
    }
    // Countdown 0: the tick leaves the list alone.
    program.window->on_timer();
    QCOMPARE(program.window->model().rowCount(), 9);
    program.window->set_refresh_countdown(1);
    program.window->on_timer();
    QCOMPARE(program.window->model().rowCount(), 8);
    QCOMPARE(program.window->refresh_countdown(), 0);
  }

  void trayAndIconicSettings() {
    Engine engine;
    Language language;
    QTemporaryDir dir;
    {
      // Iconic with no tray: hidden, and only a restore request brings it back.
      MainWindow::Options options;
      options.tray_icon = false;
      options.iconic = true;
      auto fake = std::make_unique<FakeTray>();
      FakeTray* tray = fake.get();
      MainWindow window(engine, language, SettingsStore(dir.path().toStdString()), options,
                        std::move(fake));
      window.build_menus();
      window.show_and_start();
      QVERIFY(!window.isVisible());
      QCOMPARE(tray->adds, 0);
      QVERIFY(!window.tray_shown());
      window.restore_window();
      QVERIFY(window.isVisible());
    }
    {
      // A desktop without a tray: the icon counts as not shown.
      auto fake = std::make_unique<FakeTray>(false);
      MainWindow window(engine, language, SettingsStore(dir.path().toStdString()), {},
                        std::move(fake));
      window.build_menus();
      QVERIFY(!window.tray_shown());
    }
    {
      // The tray menu's Exit runs the exit sequence; the tooltip is the title.
      auto fake = std::make_unique<FakeTray>();
      FakeTray* tray = fake.get();
      MainWindow window(engine, language, SettingsStore(dir.path().toStdString()), {},
                        std::move(fake));
      bool stopped = false;
      window.set_stop_hook([&stopped] { stopped = true; });
      window.build_menus();
      QCOMPARE(tray->tooltip, QString("Norvane DNS Server"));
      QVERIFY(tray->menu != nullptr);
      QCOMPARE(tray->menu->defaultAction()->text(), QString("Exit"));
      window.hide();
      tray->menu->defaultAction()->trigger();
      QVERIFY(stopped);
      QCOMPARE(tray->removes, 1);
    }
  }

  void exitSavesTheRectangleAndStopsTheServer() {
    gui_test::ServerTree tree(gui_test::find_free_port(), gui_test::kOfficeZone);
    gui_test::write_file(tree.user_store() + "/settings.ini",
                         "[Velisk]\nleft=40\ntop=30\nwidth=620\nheight=410\n");
    auto program = std::make_unique<Program>(tree);
    QTRY_COMPARE_WITH_TIMEOUT(program->window->bottom_status_text(), ready_text(tree.port()),
                              kReadyWaitMs);
    QCOMPARE(program->window->size(), QSize(620, 410));
    program->window->resize(700, 450);
    program->window->move(0, 12);
    program->window->exit_program(false);
    QVERIFY(!program->server->running());
    QCOMPARE(program->tray->removes, 1);
    const SettingsStore user(tree.user_store().toStdString());
    QCOMPARE(user.store_read_text("Velisk", "left", "deleted"), std::string("deleted"));
    QCOMPARE(user.store_read_text("Velisk", "top", ""), std::string("12"));
    QCOMPARE(user.store_read_text("Velisk", "width", ""), std::string("700"));
    QCOMPARE(user.store_read_text("Velisk", "height", ""), std::string("450"));
    QVERIFY(!gui_test::dig(tree.port(), "mail.office.lan", "A", {"+tries=1", "+time=1"})
                 .contains("192.168.10.25"));
  }
};

NORVANE_GUI_TEST(MainWindowTest);

}  // namespace norvane

#include "main_window_test.moc"
