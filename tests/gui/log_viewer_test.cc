// The log viewer against real files: rows and icons of a hand-written log,
// the file list and its selection, the layout in dialog units, the log of a
// running engine read while the server keeps writing it, and printing to PDF
// files read back with pdfinfo and pdftotext.
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QPageLayout>
#include <QPageSize>
#include <QPrinter>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>

#include "gui/language.h"
#include "gui/log_printer.h"
#include "gui/log_viewer_dialog.h"
#include "gui/server_thread.h"
#include "runtime/settings.h"
#include "tests/gui/gui_test.h"
#include "tests/local_time.h"

namespace norvane {
namespace {

constexpr int kLoadWaitMs = 20'000;

using test_support::local_time;

// The rows as "icon|date|time|operation", the icon as "q" or "-".
QStringList row_texts(LogLineModel& model) {
  QStringList rows;
  for (int row = 0; row < model.rowCount(); ++row) {
    QStringList cells{model.is_query_row(row) ? "q" : "-"};
    for (int column = LogLineModel::kDateColumn; column < LogLineModel::kColumnCount; ++column)
      cells << model.data(model.index(row, column)).toString();
    rows << cells.join('|');
  }
  return rows;
}

bool waits_for_file(QSignalSpy& shown) { return shown.count() > 0 || shown.wait(kLoadWaitMs); }

bool last_row_visible(LogViewerDialog& dialog) {
  QTableView* list = dialog.log_list();
  const int last = dialog.model().rowCount() - 1;
  if (last < 0) return false;
  const QRect rect = list->visualRect(dialog.model().index(last, LogLineModel::kDateColumn));
  return rect.isValid() && list->viewport()->rect().intersects(rect);
}

QString run(const QString& program, const QStringList& arguments) {
  QProcess process;
  process.start(program, arguments);
  if (!process.waitForFinished(30'000)) {
    process.kill();
    process.waitForFinished();
    return {};
  }
  return QString::fromUtf8(process.readAllStandardOutput());
}

int pdf_pages(const QString& pdf) {
  const QRegularExpression pages(QStringLiteral("^Pages:\\s+(\\d+)$"),
                                 QRegularExpression::MultilineOption);
  const QRegularExpressionMatch match = pages.match(run("pdfinfo", {pdf}));
  return match.hasMatch() ? match.captured(1).toInt() : -1;
}

// Each page of a PDF as its header's page number and its other lines.
struct PrintedPage {
  int number = 0;
  QString header_path;
  QStringList lines;
};
QList<PrintedPage> pdf_text(const QString& pdf) {
  const QRegularExpression header(QStringLiteral("^(\\S+)\\s+--\\s+(\\d+)$"));
  QList<PrintedPage> pages;
  QStringList texts = run("pdftotext", {"-layout", pdf, "-"}).split('\f');
  if (!texts.isEmpty() && texts.last().trimmed().isEmpty()) texts.removeLast();
  for (const QString& text : texts) {
    PrintedPage page;
    for (const QString& raw : text.split('\n')) {
      const QString line = raw.trimmed();
      if (line.isEmpty()) continue;
      const QRegularExpressionMatch match = header.match(line);
      if (page.number == 0 && match.hasMatch()) {
        page.header_path = match.captured(1);
        page.number = match.captured(2).toInt();
      } else {
        page.lines << line;
      }
    }
    pages << page;
  }
  return pages;
}

// A PDF printer whose page holds exactly `lines` lines of the print font.
void set_up_pdf(QPrinter& printer, const QString& output, int lines) {
  printer.setOutputFormat(QPrinter::PdfFormat);
  printer.setOutputFileName(output);
  printer.setResolution(72);
  const int line_height = log_print_layout(printer, 0).line_height;
  const QPageSize size(QSizeF(600, lines * line_height + line_height / 2.0), QPageSize::Point,
                       QString(), QPageSize::ExactMatch);
  printer.setPageLayout(QPageLayout(size, QPageLayout::Portrait, QMarginsF(0, 0, 0, 0)));
}

QString numbered_log(int lines) {
  QString text;
  for (int line = 1; line <= lines; ++line)
    text += QString("2026-12-08 10:%1:%2 query line%3\n")
                .arg(line / 60 % 60, 2, 10, QChar('0'))
                .arg(line % 60, 2, 10, QChar('0'))
                .arg(line, 5, 10, QChar('0'));
  return text;
}

}  // namespace

class LogViewerTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  Language english_;
  QString data() const { return dir_.path() + "/data/"; }

 private slots:
  void init() {
    QDir(dir_.path()).removeRecursively();
    QDir().mkpath(data());
  }

  void rowsAndIconsOfAHandWrittenLog() {
    const QString long_line = "2026-12-08 09:00:02 query " + QString(274, 'x');
    gui_test::write_file(data() + "dns2612.log",
                         "2026-12-08 09:00:00\n"  // 19 characters: shown
                         "2026-12-08 09:00:0\n"   // 18 characters: skipped
                         "2026-12-08 09:00:01 Query (127.0.0.1 udp) host.office.lan IN A\n" +
                             long_line +
                             "\n"
                             "2026-12-08 09:00:03 local host.office.lan 3600 IN A 10.0.0.1\n");
    gui_test::write_file(data() + "dns2611.log", "2026-11-30 23:59:59 query late\n");
    gui_test::write_file(data() + "DNS2610.LOG", "2026-10-01 00:00:00 answer old\n");
    gui_test::write_file(data() + "notes.txt", "2026-12-08 09:00:00 not a log\n");

    LogViewerDialog dialog(english_, data().toStdString(), 0, nullptr, local_time(2026, 12, 8));
    QSignalSpy shown(&dialog, &LogViewerDialog::file_shown);
    dialog.show();
    QVERIFY(waits_for_file(shown));
    QComboBox* files = dialog.file_list();
    QCOMPARE(files->count(), 3);
    QCOMPARE(files->itemText(0), QString("DNS2610.LOG"));
    QCOMPARE(files->itemText(1), QString("dns2611.log"));
    QCOMPARE(files->currentText(), QString("dns2612.log"));
    const QStringList expected{
        "-|2026-12-08|09:00:00|",
        "q|2026-12-08|09:00:01|Query (127.0.0.1 udp) host.office.lan IN A",
        "q|2026-12-08|09:00:02|" + long_line.mid(20, 235),
        // The rest of the long line is a row of its own, cut at the same
        // offsets.
        "-|" + long_line.mid(255, 10) + "|" + long_line.mid(266, 8) + "|" + long_line.mid(275),
        "-|2026-12-08|09:00:03|local host.office.lan 3600 IN A 10.0.0.1"};
    QCOMPARE(row_texts(dialog.model()), expected);
    QVERIFY(last_row_visible(dialog));
    // Two icons, one for query lines and one for the rest.
    LogLineModel& model = dialog.model();
    const auto icon_key = [&model](int row) {
      return model.data(model.index(row, LogLineModel::kIconColumn), Qt::DecorationRole)
          .value<QIcon>()
          .pixmap(16)
          .toImage();
    };
    QVERIFY(!icon_key(0).isNull());
    QCOMPARE(icon_key(1), icon_key(2));
    QCOMPARE(icon_key(0), icon_key(3));
    QVERIFY(icon_key(0) != icon_key(1));
    QCOMPARE(model.data(model.index(1, LogLineModel::kIconColumn)), QVariant());
    QCOMPARE(model.headerData(LogLineModel::kOperationColumn, Qt::Horizontal).toString(),
             QString("Operation"));

    // Choosing another file empties the list and loads that one.
    emit files->activated(1);
    QVERIFY(shown.wait(kLoadWaitMs));
    QCOMPARE(row_texts(dialog.model()), QStringList{"q|2026-11-30|23:59:59|query late"});
    // A file that has gone in the meantime leaves the list empty.
    QFile::remove(data() + "DNS2610.LOG");
    emit files->activated(0);
    QCOMPARE(dialog.model().rowCount(), 0);
    QVERIFY(!dialog.model().loading());
  }

  void currentFileIsLoadedEvenWhenAnotherIsSelected() {
    // Daily files: today's does not exist yet, so the first entry is
    // selected and the list stays empty.
    gui_test::write_file(data() + "dns261207.log", "2026-12-07 10:00:00 query yesterday\n");
    LogViewerDialog dialog(english_, data().toStdString(), 1, nullptr, local_time(2026, 12, 8));
    QCOMPARE(dialog.file_list()->currentText(), QString("dns261207.log"));
    QCOMPARE(dialog.model().rowCount(), 0);
    QVERIFY(!dialog.model().loading());

    // No log file at all: the current name is offered alone.
    QFile::remove(data() + "dns261207.log");
    LogViewerDialog empty(english_, data().toStdString(), 0, nullptr, local_time(2026, 12, 8));
    QCOMPARE(empty.file_list()->count(), 1);
    QCOMPARE(empty.file_list()->currentText(), QString("dns2612.log"));
    QCOMPARE(empty.model().rowCount(), 0);
  }

  void layoutInDialogUnitsKeepsTheBottomRowClearOfTheStatusBar() {
    LogViewerDialog dialog(english_, data().toStdString(), 0, nullptr, local_time(2026, 12, 8));
    const DialogUnits& units = dialog.units();
    QVERIFY(units.base_x > 0 && units.base_y > 0);
    QCOMPARE(dialog.minimumSize(), units.size(380, 100));
    QCOMPARE(dialog.size(), units.size(392, 182));
    dialog.show();
    for (const QSize size : {units.size(392, 182), units.size(380, 100), QSize(1000, 700)}) {
      dialog.resize(size);
      QCOMPARE(dialog.size(), size);
      const int margin_x = units.x(5);
      const int margin_y = units.y(5);
      const QRect status = dialog.status_bar()->geometry();
      QCOMPARE(status.bottom(), size.height() - 1);
      QCOMPARE(status.width(), size.width());
      const QRect ok = dialog.ok_button()->geometry();
      const QRect print = dialog.print_button()->geometry();
      const QRect files = dialog.file_list()->geometry();
      const QRect list = dialog.log_list()->geometry();
      QCOMPARE(ok.right() + 1, size.width() - 2 * margin_x);
      QCOMPARE(print.right() + 1, size.width() - 4 * margin_x - print.width());
      QCOMPARE(files.left(), 10 * margin_x);
      QCOMPARE(list.topLeft(), QPoint(margin_x, margin_y));
      QCOMPARE(list.width(), size.width() - 2 * margin_x);
      for (const QRect& control : {ok, print, files}) {
        QCOMPARE(control.bottom() + 1, status.top() - margin_y);
        QVERIFY(!control.intersects(list));
      }
      // Columns: 4, 13, 11 and 60 percent of the width less a scroll bar.
      QTableView* view = dialog.log_list();
      const int client = view->contentsRect().width() -
                         view->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, view);
      QCOMPARE(view->columnWidth(LogLineModel::kOperationColumn), client * 60 / 100);
      QCOMPARE(view->columnWidth(LogLineModel::kIconColumn), client * 4 / 100);
    }
  }

  void translatedTitlesAndControls() {
    const QString resources = dir_.path() + "/res/";
    gui_test::write_file(resources + "Languages/deutsch.ini",
                         "[Common]\nLANGUAGE=Deutsch\n"
                         "[Control]\nFILE=Datei:\nPRINT=&Drucken\n"
                         "[Strings]\nPROTOCOL=Protokoll\nDATE=Datum\nTIME=Uhrzeit\n"
                         "OPER=Vorgang und noch viel mehr\n");
    SettingsStore user((dir_.path() + "/user").toStdString());
    user.store_write_text(kMainKey, "Language", "deutsch.ini");
    Language german;
    german.load_language(user, SettingsStore((dir_.path() + "/machine").toStdString()),
                         QLocale("en_US"), resources.toStdString());
    QVERIFY(german.in_use());
    LogViewerDialog dialog(german, data().toStdString(), 0, nullptr, local_time(2026, 12, 8));
    QCOMPARE(dialog.windowTitle(), QString("Protokoll"));
    QCOMPARE(dialog.print_button()->text(), QString("&Drucken"));
    QCOMPARE(dialog.findChild<QLabel*>("FILE")->text(), QString("Datei:"));
    LogLineModel& model = dialog.model();
    QCOMPARE(model.headerData(LogLineModel::kDateColumn, Qt::Horizontal).toString(),
             QString("Datum"));
    // Column titles are cut to 15 characters.
    QCOMPARE(model.headerData(LogLineModel::kOperationColumn, Qt::Horizontal).toString(),
             QString("Vorgang und noc"));
  }

  void logOfARunningEngineWhileTheViewerIsOpen() {
    gui_test::ServerTree tree(gui_test::find_free_port(), gui_test::kOfficeZone, "office.lan",
                              "Log=1\nCreateLog=1\n");
    tree.use();
    ServerThread server(SettingsStore(tree.store().toStdString()), nullptr);
    QVERIFY(server.start());
    QTRY_COMPARE_WITH_TIMEOUT(gui_test::dig(tree.port(), "host.office.lan", "A").size(), 2,
                              kLoadWaitMs);
    Engine& engine = server.engine();
    const QString current = QString::fromStdString(
        choose_log_files(*engine.settings.data_directory.get(), std::time(nullptr), 1).current);
    const QString path = tree.data() + "/" + current;
    QTRY_VERIFY_WITH_TIMEOUT(gui_test::read_file(path).contains("host.office.lan"), kLoadWaitMs);

    LogViewerDialog dialog(english_, *engine.settings.data_directory.get(),
                           engine.settings.create_log.load());
    QSignalSpy shown(&dialog, &LogViewerDialog::file_shown);
    dialog.show();
    QVERIFY(waits_for_file(shown));
    QCOMPARE(dialog.file_list()->currentText(), current);
    QStringList rows = row_texts(dialog.model());
    QVERIFY2(!rows.filter(QRegularExpression("^q\\|.*\\|query \\(127\\.0\\.0\\.1 udp\\) "
                                             "host\\.office\\.lan IN A$"))
                  .isEmpty(),
             qPrintable(rows.join('\n')));
    QVERIFY(!rows.filter(QRegularExpression("^-\\|.*\\|local host\\.office\\.lan ")).isEmpty());
    const int before = static_cast<int>(rows.size());

    // The server answers while the viewer is open, and choosing the file
    // again shows what it logged meanwhile.
    QCOMPARE(gui_test::dig(tree.port(), "mail.office.lan", "A"), QStringList{"192.168.10.25"});
    QTRY_VERIFY_WITH_TIMEOUT(gui_test::read_file(path).contains("mail.office.lan"), kLoadWaitMs);
    emit dialog.file_list()->activated(dialog.file_list()->currentIndex());
    QVERIFY(shown.wait(kLoadWaitMs));
    rows = row_texts(dialog.model());
    QVERIFY(rows.size() > before);
    QVERIFY(!rows.filter("query (127.0.0.1 udp) mail.office.lan IN A").isEmpty());
    QVERIFY(last_row_visible(dialog));
    QVERIFY(server.stop_and_join());
  }

  void printsPagesWithHeadersAndCopiesInOrder() {
    const QString log = data() + "dns2612.log";
    gui_test::write_file(log, numbered_log(100));
    struct Case {
      int copies;
      bool collate;
      QList<int> order;
    };
    const QList<Case> cases{
        {1, true, {1, 2, 3}},
        {2, true, {1, 2, 3, 1, 2, 3}},
        {2, false, {1, 1, 2, 2, 3, 3}},
    };
    for (const Case& c : cases) {
      const QString pdf = dir_.path() + QString("/print-%1-%2.pdf").arg(c.copies).arg(c.collate);
      QPrinter printer;
      set_up_pdf(printer, pdf, 50);
      QCOMPARE(log_print_layout(printer, 0).lines_per_page, 48);
      printer.setCopyCount(c.copies);
      printer.setCollateCopies(c.collate);
      QVERIFY(print_log_file_to(printer, log));
      QCOMPARE(printer.copyCount(), 1);
      QCOMPARE(pdf_pages(pdf), static_cast<int>(c.order.size()));
      const QList<PrintedPage> pages = pdf_text(pdf);
      QCOMPARE(pages.size(), c.order.size());
      for (int i = 0; i < pages.size(); ++i) {
        const PrintedPage& page = pages[i];
        QCOMPARE(page.number, c.order[i]);
        QCOMPARE(page.header_path, log);
        const int first = (page.number - 1) * 48 + 1;
        QCOMPARE(page.lines.size(), page.number < 3 ? 48 : 4);
        QVERIFY(page.lines.first().endsWith(QString("line%1").arg(first, 5, 10, QChar('0'))));
        QVERIFY(page.lines.last().endsWith(
            QString("line%1").arg(first + page.lines.size() - 1, 5, 10, QChar('0'))));
      }
    }
  }

  void printingStopsAtTheLineLimit() {
    const QString log = data() + "dns2612.log";
    gui_test::write_file(log, numbered_log(30'050));
    const QString pdf = dir_.path() + "/ceiling.pdf";
    QPrinter printer;
    set_up_pdf(printer, pdf, 1002);
    QCOMPARE(log_print_layout(printer, 0).pages, 30);
    QVERIFY(print_log_file_to(printer, log));
    QCOMPARE(pdf_pages(pdf), 30);
    const QList<PrintedPage> pages = pdf_text(pdf);
    QCOMPARE(pages.size(), 30);
    QCOMPARE(pages.last().lines.size(), 1000);
    QVERIFY(pages.last().lines.last().endsWith("line30000"));

    const QString limited = dir_.path() + "/limited.pdf";
    QPrinter small;
    set_up_pdf(small, limited, 50);
    QVERIFY(print_log_file_to(small, log, 50));
    const QList<PrintedPage> two = pdf_text(limited);
    QCOMPARE(two.size(), 2);
    QCOMPARE(two[1].lines.size(), 2);
  }

  void failedOrCancelledPrintingPrintsNothing() {
    const QString log = data() + "dns2612.log";
    gui_test::write_file(log, numbered_log(10));
    // The log file cannot be opened.
    const QString missing_pdf = dir_.path() + "/missing.pdf";
    QPrinter missing;
    set_up_pdf(missing, missing_pdf, 50);
    QVERIFY(!print_log_file_to(missing, data() + "dns2601.log"));
    QVERIFY(!QFile::exists(missing_pdf));
    // The document cannot be started.
    QPrinter unwritable;
    set_up_pdf(unwritable, dir_.path() + "/no/such/folder/out.pdf", 50);
    QVERIFY(!print_log_file_to(unwritable, log));
    // The print dialog is cancelled: success, and no page.
    const QString cancelled_pdf = dir_.path() + "/cancelled.pdf";
    QPrinter cancelled;
    set_up_pdf(cancelled, cancelled_pdf, 50);
    QTimer::singleShot(0, [] {
      if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
    });
    QVERIFY(print_log_file(nullptr, cancelled, log));
    QVERIFY(!QFile::exists(cancelled_pdf));

    // The viewer reports a failure in its status bar.
    LogViewerDialog dialog(english_, data().toStdString(), 0, nullptr, local_time(2026, 12, 8));
    QFile::remove(log);
    QTimer::singleShot(0, [] {
      if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) modal->accept();
    });
    QVERIFY(!dialog.print_chosen_file());
    QVERIFY(dialog.status_bar()->currentMessage().contains(dialog.path_of("dns2612.log")));
  }
};

NORVANE_GUI_TEST(LogViewerTest);

}  // namespace norvane

#include "log_viewer_test.moc"
