// The Statistics dialog over a running server asked with dig, and the About
// dialog's texts and link colour.
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <tuple>

#include "engine/engine.h"
#include "gui/about_dialog.h"
#include "gui/language.h"
#include "gui/server_thread.h"
#include "gui/statistics_dialog.h"
#include "tests/gui/gui_test.h"

namespace norvane {
namespace {

constexpr int kReadyWaitMs = 15'000;
// Several refresh periods: the dialog must show a change by itself within it.
constexpr int kRefreshWaitMs = 5'000;

QString shown(uint32_t counter) { return QStringLiteral("%1 ").arg(counter); }

// Pixels of the button drawn in pure blue.
int blue_pixels(QWidget* button) {
  const QImage image = button->grab().toImage().convertToFormat(QImage::Format_RGB32);
  int count = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (image.pixel(x, y) == qRgb(0, 0, 255)) ++count;
  return count;
}

}  // namespace

class StatisticsAboutTest : public QObject {
  Q_OBJECT

 private slots:
  void statisticsMoveWhileTheDialogIsOpen() {
    gui_test::ServerTree tree(gui_test::find_free_port(), gui_test::kOfficeZone);
    tree.use();
    ServerThread server(SettingsStore(tree.store().toStdString()), nullptr);
    const QueryStatistics& statistics = server.engine().statistics;
    Language language;
    StatisticsDialog dialog(statistics, language);
    dialog.show();
    // Nothing has been asked yet.
    for (int i = 0; i < StatisticsDialog::kCounterCount; ++i)
      QCOMPARE(dialog.value_field(i)->text(), QString("0 "));
    QVERIFY(dialog.refreshing());

    QVERIFY(server.start());
    QTRY_COMPARE_WITH_TIMEOUT(gui_test::dig(tree.port(), "host.office.lan", "A").size(), 2,
                              kReadyWaitMs);
    // Each kind of question moves its own field; no call of the test makes
    // the dialog show them.
    const std::tuple<const char*, const char*, int> cases[] = {
        {"host.office.lan", "A", 0},
        {"office.lan", "NS", 1},
        {"www.office.lan", "CNAME", 2},
        {"office.lan", "MX", 3},
        {"40.10.168.192.in-addr.arpa", "PTR", 5},
    };
    for (const auto& [name, type, field] : cases) {
      const size_t counter = static_cast<size_t>(field);
      const auto before = statistics.snapshot();
      QVERIFY2(!gui_test::dig(tree.port(), name, type).isEmpty(), type);
      QCOMPARE(statistics.snapshot()[counter], before[counter] + 1);
      QTRY_COMPARE_WITH_TIMEOUT(dialog.value_field(field)->text(), shown(before[counter] + 1),
                                kRefreshWaitMs);
    }
    // The summary fields too show their own counters.
    for (int i = 0; i < StatisticsDialog::kCounterCount; ++i)
      QTRY_COMPARE_WITH_TIMEOUT(dialog.value_field(i)->text(),
                                shown(statistics.snapshot()[static_cast<size_t>(i)]),
                                kRefreshWaitMs);

    // Escape closes the dialog and ends the refresh.
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QVERIFY(!dialog.isVisible());
    QVERIFY(!dialog.refreshing());
    QVERIFY(server.stop_and_join());
  }

  void germanTextsReachLabelsButNeverValues() {
    // Some value fields are named like a label's key; translating the dialog
    // (as its launch does once more) must leave their numbers.
    QTemporaryDir scratch;
    Language german;
    gui_test::load_shipped_language(german, "de_DE", scratch.path());
    QueryStatistics statistics;
    StatisticsDialog dialog(statistics, german);
    german.translate_dialog(&dialog);
    QCOMPARE(dialog.windowTitle(), QString("Statistik"));
    QCOMPARE(dialog.findChild<QLabel*>("QUERIES")->text(), QString("Anfragen:"));
    QCOMPARE(dialog.findChild<QGroupBox*>("SUMMARY")->title(), QString("Zusammenfassung"));
    for (int i = 0; i < StatisticsDialog::kCounterCount; ++i)
      QCOMPARE(dialog.value_field(i)->text(), QString("0 "));
  }

  void aboutShowsTitleVersionAndTheNoticeOfTheLocale() {
    Language language;
    const struct {
      const char* locale;
      const char* notice;
    } cases[] = {{"en_US", AboutDialog::kEnglishNotice},
                 {"de_DE", AboutDialog::kGermanNotice},
                 {"de_AT", AboutDialog::kGermanNotice},
                 {"fr_FR", AboutDialog::kEnglishNotice}};
    for (const auto& test : cases) {
      AboutDialog dialog(language, QLocale(test.locale), [](const QUrl&) {});
      QCOMPARE(dialog.windowTitle(), QString("Norvane DNS Server"));
      QCOMPARE(dialog.findChild<QLabel*>("title_label")->text(),
               QString("Norvane DNS Server 1.5.3"));
      QCOMPARE(dialog.findChild<QLabel*>("notice_label")->text(), QString::fromUtf8(test.notice));
    }
  }

  void aboutLinkIsBlueUntilClickedOnceInTheProcess() {
    Language language;
    QList<QUrl> opened;
    auto open = [&opened](const QUrl& url) { opened << url; };
    {
      AboutDialog dialog(language, QLocale("en_US"), open);
      dialog.show();
      LinkButton* link = dialog.findChild<LinkButton*>("link_button");
      QVERIFY(!LinkButton::visited());
      QCOMPARE(link->link_colour(), QColor(0, 0, 255));
      QVERIFY(blue_pixels(link) > 0);
      QTest::mouseClick(link, Qt::LeftButton);
      QCOMPARE(opened, QList<QUrl>{QUrl(AboutDialog::kSiteAddress)});
      QVERIFY(LinkButton::visited());
      QVERIFY(link->link_colour() != QColor(0, 0, 255));
      QCOMPARE(blue_pixels(link), 0);
      dialog.findChild<QPushButton*>("ok_button")->click();
      QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }
    // A later opening keeps the visited look.
    AboutDialog again(language, QLocale("en_US"), open);
    again.show();
    QCOMPARE(blue_pixels(again.findChild<LinkButton*>("link_button")), 0);
    QCOMPARE(opened.size(), 1);
  }
};

NORVANE_GUI_TEST(StatisticsAboutTest);

}  // namespace norvane

#include "statistics_about_test.moc"
