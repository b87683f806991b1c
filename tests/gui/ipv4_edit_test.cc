// The IPv4 address field: every key, paste, cut and delete rule, driven
// through real key events and the clipboard.
#include "gui/ipv4_edit.h"

#include <QApplication>
#include <QClipboard>

#include "tests/gui/gui_test.h"

namespace norvane {

class Ipv4EditTest : public QObject {
  Q_OBJECT

 private slots:
  void typing_data() {
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("expected");
    QTest::newRow("address") << ""
                             << "192.168.1.20"
                             << "192.168.1.20";
    QTest::newRow("256 refused at the 6") << ""
                                          << "256"
                                          << "25";
    QTest::newRow("fourth dot refused") << ""
                                        << "1.2.3.4."
                                        << "1.2.3.4";
    QTest::newRow("letters refused") << ""
                                     << "1a2b"
                                     << "12";
    QTest::newRow("blank and comma refused") << ""
                                             << "1 ,2"
                                             << "12";
    QTest::newRow("full text takes nothing more") << "255.255.255.255"
                                                  << "1"
                                                  << "255.255.255.255";
    QTest::newRow("empty parts allowed") << ""
                                         << ".."
                                         << "..";
  }
  void typing() {
    QFETCH(QString, start);
    QFETCH(QString, typed);
    QFETCH(QString, expected);
    Ipv4Edit edit;
    edit.setText(start);
    edit.setCursorPosition(static_cast<int>(start.size()));
    QTest::keyClicks(&edit, typed);
    QCOMPARE(edit.text(), expected);
  }

  void removals_data() {
    QTest::addColumn<QString>("start");
    QTest::addColumn<int>("caret");
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("expected");
    // Removing the dot of "1.25" would join "125": allowed. Of "25.5" it
    // would make "255": allowed. Of "99.9" it would make "999": refused.
    QTest::newRow("backspace joins to 999: refused")
        << "99.9" << 3 << int(Qt::Key_Backspace) << "99.9";
    QTest::newRow("backspace joins to 255") << "25.5" << 3 << int(Qt::Key_Backspace) << "255";
    QTest::newRow("delete joins to 999: refused") << "99.9" << 2 << int(Qt::Key_Delete) << "99.9";
    QTest::newRow("delete at the end: nothing") << "1.2" << 3 << int(Qt::Key_Delete) << "1.2";
    QTest::newRow("backspace at the start: nothing")
        << "1.2" << 0 << int(Qt::Key_Backspace) << "1.2";
    QTest::newRow("backspace in a full text")
        << "255.255.255.255" << 15 << int(Qt::Key_Backspace) << "255.255.255.25";
    QTest::newRow("delete in a full text refused")
        << "255.255.255.255" << 0 << int(Qt::Key_Delete) << "255.255.255.255";
  }
  void removals() {
    QFETCH(QString, start);
    QFETCH(int, caret);
    QFETCH(int, key);
    QFETCH(QString, expected);
    Ipv4Edit edit;
    edit.setText(start);
    edit.setCursorPosition(caret);
    QTest::keyClick(&edit, static_cast<Qt::Key>(key));
    QCOMPARE(edit.text(), expected);
  }

  void typedOverSelection() {
    Ipv4Edit edit;
    edit.setText("10.20.30.40");
    edit.setSelection(3, 2);  // "20"
    QTest::keyClicks(&edit, "9");
    QCOMPARE(edit.text(), QString("10.9.30.40"));
    edit.setSelection(0, 2);  // "10" -> "300" would be refused
    QTest::keyClicks(&edit, "3");
    QCOMPARE(edit.text(), QString("3.9.30.40"));
  }

  void paste_data() {
    QTest::addColumn<QString>("clipboard");
    QTest::addColumn<QString>("expected");
    QTest::newRow("address") << "10.1.2.3"
                             << "10.1.2.3";
    QTest::newRow("address and a blank") << "10.1.2.3 "
                                         << "10.1.2.3";
    QTest::newRow("letters dropped") << "x1.2y"
                                     << "1.2";
    QTest::newRow("15 characters fit") << "255.255.255.255"
                                       << "255.255.255.255";
    QTest::newRow("longer than the block: nothing") << "255.255.255.255 "
                                                    << "";
    QTest::newRow("checked per character") << "300"
                                           << "30";
  }
  void paste() {
    QFETCH(QString, clipboard);
    QFETCH(QString, expected);
    QApplication::clipboard()->setText(clipboard);
    Ipv4Edit edit;
    QTest::keySequence(&edit, QKeySequence::Paste);
    QCOMPARE(edit.text(), expected);
  }

  void cutIsCheckedAsRemoval() {
    Ipv4Edit edit;
    edit.setText("99.9");
    edit.setSelection(2, 1);
    edit.cut_checked();
    QCOMPARE(edit.text(), QString("99.9"));
    edit.setSelection(3, 1);
    edit.cut_checked();
    QCOMPARE(edit.text(), QString("99."));
  }

  void setAddress() {
    Ipv4Edit edit;
    edit.set_address(0x0A01A8C0);  // 192.168.1.10 in network order
    QCOMPARE(edit.text(), QString("192.168.1.10"));
    edit.set_address(0);
    QCOMPARE(edit.text(), QString());
  }
};

NORVANE_GUI_TEST(Ipv4EditTest);

}  // namespace norvane

#include "ipv4_edit_test.moc"
