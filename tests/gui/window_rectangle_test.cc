// The stored window rectangle: defaults, the far-edge and negative rules, the
// minimum size, and the exit sequence that writes it (0 deleted).
#include "gui/window_rectangle.h"

#include <QDir>

#include "runtime/settings.h"
#include "tests/gui/gui_test.h"

namespace norvane {

class WindowRectangleTest : public QObject {
  Q_OBJECT

 private slots:
  void readRules_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QList<int>>("expected");
    QTest::newRow("first run") << "" << QList<int>{0, 0, 500, 300};
    QTest::newRow("kept") << "left=100\ntop=50\nwidth=640\nheight=480\n"
                          << QList<int>{100, 50, 640, 480};
    QTest::newRow("negative left") << "left=-300\ntop=20\n" << QList<int>{0, 20, 500, 300};
    QTest::newRow("within 5 of the far edge") << "left=1019\ntop=763\n"
                                              << QList<int>{0, 0, 500, 300};
    QTest::newRow("6 from the far edge") << "left=1018\ntop=762\n"
                                         << QList<int>{1018, 762, 500, 300};
    QTest::newRow("below the minimum") << "width=100\nheight=-5\n" << QList<int>{0, 0, 250, 200};
    QTest::newRow("not numbers") << "left=abc\nwidth=5x\n" << QList<int>{0, 0, 500, 300};
  }
  void readRules() {
    QFETCH(QString, stored);
    QFETCH(QList<int>, expected);
    QTemporaryDir dir;
    gui_test::write_file(dir.path() + "/settings.ini", "[Velisk]\n" + stored);
    const SettingsStore user(dir.path().toStdString());
    const WindowRectangle rectangle = read_window_rectangle(user, 1024, 768, 250, 200);
    QCOMPARE((QList<int>{rectangle.left, rectangle.top, rectangle.width, rectangle.height}),
             expected);
  }

  void writeDeletesZerosAndKeepsSigns() {
    QTemporaryDir dir;
    gui_test::write_file(dir.path() + "/settings.ini", "[Velisk]\nleft=7\nLanguage=x.ini\n");
    SettingsStore user(dir.path().toStdString());
    QCOMPARE(write_window_rectangle(user, WindowRectangle{0, -300, 640, 480}), 1);
    QCOMPARE(user.store_read_text(kMainKey, "left", "missing"), std::string("missing"));
    QCOMPARE(user.store_read_text(kMainKey, "top", ""), std::string("-300"));
    QCOMPARE(user.store_read_text(kMainKey, "width", ""), std::string("640"));
    QCOMPARE(user.store_read_text(kMainKey, "Language", ""), std::string("x.ini"));
    // Read back: -300 is folded to 0 by the position rule.
    const WindowRectangle back = read_window_rectangle(user, 1024, 768, 250, 200);
    QCOMPARE(back, (WindowRectangle{0, 0, 640, 480}));
  }

  void malformedStoreGivesDefaults() {
    QTemporaryDir dir;
    gui_test::write_file(dir.path() + "/settings.ini",
                         QString("\x01garbage\n[Velisk\nleft=\n=5\n") + QString(100000, 'x'));
    const SettingsStore user(dir.path().toStdString());
    QCOMPARE(read_window_rectangle(user, 1024, 768, 250, 200), WindowRectangle{});
  }
};

NORVANE_GUI_TEST(WindowRectangleTest);

}  // namespace norvane

#include "window_rectangle_test.moc"
