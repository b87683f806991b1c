// The Preferences sheet driven through its widgets against real engines: what
// enables Apply, the stored settings.ini after each page, the upstream switch
// and the client TTL seen with dig, Clear Cache in the Cache view, Cancel,
// a store that cannot be written, and the Language page retranslating the
// main window.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QFileInfo>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <atomic>
#include <cstring>
#include <thread>

#include "engine/query.h"
#include "engine/zone_file.h"
#include "gui/ipv4_edit.h"
#include "gui/language.h"
#include "gui/preferences_dialog.h"
#include "runtime/settings.h"
#include "tests/gui/gui_program.h"
#include "tests/gui/gui_test.h"
#include "ui_preferences_cache.h"
#include "ui_preferences_general.h"
#include "ui_preferences_language.h"
#include "ui_preferences_server.h"

namespace norvane {
namespace {

using gui_test::kReadyWaitMs;
using gui_test::Program;
using gui_test::ready_text;

// The folder beside velisk that holds Languages/.
std::string velisk_resources() {
  return QFileInfo(QStringLiteral(NORVANE_VELISK_PATH)).path().toStdString() + "/";
}

// A sheet over `engine` and the stores of `tree`, as velisk makes it.
std::unique_ptr<PreferencesDialog> make_sheet(Engine& engine, const gui_test::ServerTree& tree,
                                              Language& language, MainWindow* window = nullptr) {
  PreferencesContext context{engine,
                             SettingsStore(tree.store().toStdString()),
                             SettingsStore(tree.user_store().toStdString()),
                             language,
                             window,
                             velisk_resources(),
                             QLocale("en_US")};
  auto sheet = std::make_unique<PreferencesDialog>(std::move(context));
  language.translate_dialog(sheet.get());
  sheet->show();
  return sheet;
}

// A tree serving the office zone with `more_settings` in its store.
std::unique_ptr<gui_test::ServerTree> office_tree(const QString& more_settings = {}) {
  return std::make_unique<gui_test::ServerTree>(gui_test::find_free_port(), gui_test::kOfficeZone,
                                                "office.lan", more_settings);
}

// An engine read from the tree's store, without a server, and a sheet over
// it showing `page` (none: no sheet).
struct StoredSheet {
  StoredSheet(const gui_test::ServerTree& tree, int page) {
    settings_read(engine, SettingsStore(tree.store().toStdString()));
    if (page < 0) return;
    sheet = make_sheet(engine, tree, language);
    sheet->tabs()->setCurrentIndex(page);
  }
  Engine engine;
  Language language;
  std::unique_ptr<PreferencesDialog> sheet;
};

QString stored(const gui_test::ServerTree& tree) {
  return gui_test::read_file(tree.store() + "/settings.ini");
}

// Replaces the text of an address field by typing, as the user would.
void type_into(QLineEdit* field, const QString& text) {
  field->setFocus();
  field->selectAll();
  QTest::keyClick(field, Qt::Key_Delete);
  QTest::keyClicks(field, text);
}

// A check box takes clicks only on its box and text, so aim near its left
// edge rather than at the middle of the row the layout gave it.
void click(QAbstractButton* button) {
  const QPoint point = qobject_cast<QPushButton*>(button) != nullptr
                           ? button->rect().center()
                           : QPoint(4, button->height() / 2);
  QTest::mouseClick(button, Qt::LeftButton, {}, point);
}

// Brings the interfaces of a private network namespace up: loopback only.
bool enter_private_network() {
  if (unshare(CLONE_NEWNET) != 0) return false;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strcpy(request.ifr_name, "lo");
  request.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
  const bool up = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  close(fd);
  return up;
}

// An external name server on `address`:53: an engine of its own serving
// "remote.test", whose wildcard answers every name with `answer`, over a
// UDP socket of the test. External servers from the Server page always get
// port 53, so the two upstreams differ by address.
class Upstream {
 public:
  Upstream(const char* address, const char* answer) {
    dir_.reset(new QTemporaryDir);
    gui_test::write_file(dir_->path() + "/name.db",
                         QStringLiteral("$ORIGIN remote.test.\n"
                                        "@\tSOA\tns1.remote.test.\thostmaster.remote.test. 1 3600 "
                                        "600 86400 300\n"
                                        "@\t300\tNS\tns1\n"
                                        "ns1\t300\tA\t10.9.9.1\n"
                                        "*\t300\tA\t%1\n")
                             .arg(answer));
    engine_.settings.data_directory.set(dir_->path().toStdString() + "/");
    loaded_ = zone_load(engine_, 1) > 0;
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(53);
    local.sin_addr.s_addr = inet_addr(address);
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    if (bound_) thread_ = std::thread([this] { serve(); });
  }
  ~Upstream() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    close(fd_);
  }
  bool ready() const { return loaded_ && bound_; }
  int queries() const { return queries_.load(); }

 private:
  void serve() {
    uint8_t buffer[1500];
    while (!stop_) {
      pollfd ready{fd_, POLLIN, 0};
      if (poll(&ready, 1, 50) <= 0) continue;
      RequestContext context;
      socklen_t length = sizeof context.client_address;
      const ssize_t received =
          recvfrom(fd_, buffer, sizeof buffer, 0,
                   reinterpret_cast<sockaddr*>(&context.client_address), &length);
      if (received <= 0) continue;
      context.socket = fd_;
      Reply reply;
      const int size = handle_message(engine_, context, reply, kUdpReplyLimit,
                                      {buffer, static_cast<size_t>(received)});
      ++queries_;
      if (size > 0)
        sendto(fd_, reply.message.data(), static_cast<size_t>(size), 0,
               reinterpret_cast<sockaddr*>(&context.client_address), length);
    }
  }

  std::unique_ptr<QTemporaryDir> dir_;
  Engine engine_;
  int fd_ = -1;
  bool loaded_ = false;
  bool bound_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> queries_{0};
  std::thread thread_;
};

// The TTL of the first answer record dig prints, -1 without one.
int answer_ttl(uint16_t port, const QString& name) {
  const QStringList lines = gui_test::dig(port, name, "A", {"+noshort", "+noall", "+answer"});
  if (lines.isEmpty()) return -1;
  const QStringList fields = lines.first().split(QRegularExpression("\\s+"));
  return fields.size() > 1 ? fields[1].toInt() : -1;
}

}  // namespace

class PreferencesTest : public QObject {
  Q_OBJECT

 private:
  bool private_network_ = false;

 private slots:
  void initTestCase() {
    // The upstreams listen on port 53 of their own loopback addresses; a
    // private namespace keeps them off the machine's port 53.
    private_network_ = enter_private_network();
  }

  void applyIsEnabledOnlyByTheListedChanges() {
    gui_test::ServerTree tree(gui_test::find_free_port(), gui_test::kOfficeZone);
    struct Case {
      const char* name;
      int page;
      std::function<void(PreferencesDialog&)> act;
      bool enables;
    };
    const std::vector<Case> cases = {
        {"nothing but opening the page", PreferencesDialog::kGeneral, [](auto&) {}, false},
        {"Log transactions", PreferencesDialog::kGeneral,
         [](PreferencesDialog& d) { click(d.general().ui().LOG); }, true},
        {"System Tray Icon", PreferencesDialog::kGeneral,
         [](PreferencesDialog& d) { click(d.general().ui().TRAY); }, true},
        {"Start iconic", PreferencesDialog::kGeneral,
         [](PreferencesDialog& d) { click(d.general().ui().ICONIC); }, true},
        {"opening the Server page", PreferencesDialog::kServer, [](auto&) {}, false},
        {"a digit in the 2nd server field", PreferencesDialog::kServer,
         [](PreferencesDialog& d) { QTest::keyClicks(d.server().ui().dns2, "1"); }, true},
        {"Secondary Server", PreferencesDialog::kServer,
         [](PreferencesDialog& d) { click(d.server().ui().SECONDARY); }, true},
        {"opening the Cache page", PreferencesDialog::kCache, [](auto&) {}, false},
        {"a digit in the cache size", PreferencesDialog::kCache,
         [](PreferencesDialog& d) { QTest::keyClicks(d.cache().ui().cache_entries, "7"); }, true},
        {"a letter in the cache size", PreferencesDialog::kCache,
         [](PreferencesDialog& d) { QTest::keyClicks(d.cache().ui().cache_entries, "x"); }, false},
        {"Save cache on exit", PreferencesDialog::kCache,
         [](PreferencesDialog& d) { click(d.cache().ui().CACHEDUMP); }, true},
        {"Clear Cache", PreferencesDialog::kCache,
         [](PreferencesDialog& d) { click(d.cache().ui().CACHECLEAR); }, false},
        {"a click on a language", PreferencesDialog::kLanguage,
         [](PreferencesDialog& d) {
           QTreeWidget* list = d.language_page().ui().language_list;
           const QRect row = list->visualItemRect(list->topLevelItem(0));
           QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row.center());
         },
         false},
    };
    for (const Case& test : cases) {
      StoredSheet stored_engine(tree, test.page);
      auto& sheet = stored_engine.sheet;
      QVERIFY2(!sheet->apply_button()->isEnabled(), test.name);
      test.act(*sheet);
      QVERIFY2(sheet->apply_button()->isEnabled() == test.enables, test.name);
      if (test.enables) {
        click(sheet->apply_button());
        QVERIFY2(!sheet->apply_button()->isEnabled(), test.name);
      }
    }
  }

  void generalPageWritesLogAndWindowValues() {
    const auto tree_owner = office_tree("Log=2\nCreateLog=1\n");
    const gui_test::ServerTree& tree = *tree_owner;
    StoredSheet stored_engine(tree, PreferencesDialog::kGeneral);
    auto& sheet = stored_engine.sheet;
    GeneralPage& page = sheet->general();
    QVERIFY(page.ui().SERVICE->isHidden());
    QVERIFY(page.ui().LOG->isChecked());
    QVERIFY(page.ui().DAILY->isChecked());
    QVERIFY(page.ui().TRAY->isChecked());
    // Unchecking the log greys out the period at once, before Apply.
    click(page.ui().LOG);
    QVERIFY(!page.ui().DAILY->isEnabled() && !page.ui().MONTHLY->isEnabled());
    click(page.ui().LOG);
    QVERIFY(page.ui().DAILY->isEnabled());
    click(page.ui().MONTHLY);
    click(page.ui().TRAY);
    click(page.ui().ICONIC);
    click(sheet->ok_button());
    // The level the box cannot show becomes 1; both 1 and monthly are the
    // defaults, so neither stays in the store.
    QCOMPARE(stored_engine.engine.log.level(), 1u);
    QCOMPARE(stored_engine.engine.settings.create_log.load(), 0u);
    const QString text = stored(tree);
    QVERIFY2(!text.contains("Log=") && !text.contains("CreateLog"), qPrintable(text));
    QVERIFY2(text.contains("TrayIcon=0\n") && text.contains("Iconic=1\n"), qPrintable(text));
    QVERIFY(!text.contains("Service", Qt::CaseInsensitive));
  }

  void serverPageCompactsServersAndIgnoresPartialAddresses() {
    const auto tree_owner = office_tree("DNS1=10.1.1.1\nDNS2=10.1.1.2\nPrimary=10.5.5.5\n");
    const gui_test::ServerTree& tree = *tree_owner;
    {
      StoredSheet opened(tree, PreferencesDialog::kServer);
      auto& sheet = opened.sheet;
      auto& ui = sheet->server().ui();
      QCOMPARE(ui.dns1->text(), QString("10.1.1.1"));
      QCOMPARE(ui.dns3->text(), QString());
      QVERIFY(ui.primary_address->isEnabled());
      // No network configuration without the probe: no automatic boxes.
      QVERIFY(ui.AUTO_IF->isHidden() && ui.AUTO_DNS->isHidden());
      type_into(ui.dns1, "");
      type_into(ui.dns2, "192.0.2.2");
      type_into(ui.dns3, "10.7.7");
      type_into(ui.dns4, "192.0.2.4");
      // Unchecked, the primary is gone even with its address still shown.
      click(ui.SECONDARY);
      QVERIFY(!ui.primary_address->isEnabled());
      click(sheet->apply_button());
      const auto servers = opened.engine.settings.external_servers.get();
      QCOMPARE(servers->size(), size_t{2});
      QCOMPARE((*servers)[0].address, inet_addr("192.0.2.2"));
      QCOMPARE((*servers)[1].address, inet_addr("192.0.2.4"));
      QCOMPARE(opened.engine.settings.primary.load(), 0u);
      const QString text = stored(tree);
      QVERIFY2(text.contains("DNS1=192.0.2.2\n") && text.contains("DNS2=192.0.2.4\n"),
               qPrintable(text));
      QVERIFY2(!text.contains("DNS3") && !text.contains("Primary"), qPrintable(text));
    }
    StoredSheet reopened(tree, PreferencesDialog::kServer);
    auto& sheet = reopened.sheet;
    auto& ui = sheet->server().ui();
    const QStringList shown = {ui.dns1->text(), ui.dns2->text(), ui.dns3->text(), ui.dns4->text()};
    QCOMPARE(shown, QStringList({"192.0.2.2", "192.0.2.4", "", ""}));
    QVERIFY(!ui.SECONDARY->isChecked() && !ui.primary_address->isEnabled());
  }

  void cacheFieldsReadNeutralOldOrNumber_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<uint>("expected");
    QTest::newRow("empty gives the neutral value") << "" << 1024u;
    QTest::newRow("a number") << "250" << 250u;
    QTest::newRow("digits then more") << "77x" << 77u;
    QTest::newRow("not beginning with a number keeps the old") << "x77" << 500u;
    QTest::newRow("a blank first keeps the old") << " 9" << 500u;
    QTest::newRow("above 32 bits stops at the largest") << "99999999999" << 0xFFFFFFFFu;
  }
  void cacheFieldsReadNeutralOldOrNumber() {
    QFETCH(QString, text);
    QFETCH(uint, expected);
    QCOMPARE(cache_field_value(text.toStdString(), 1024, 500), expected);
  }

  void cachePageStoresNeutralValuesForEmptyFields() {
    const auto tree_owner = office_tree("CacheEntries=500\nClientTTL=60\nServerTTL=30\n");
    const gui_test::ServerTree& tree = *tree_owner;
    {
      StoredSheet stored_engine(tree, PreferencesDialog::kCache);
      auto& ui = stored_engine.sheet->cache().ui();
      const QStringList shown = {ui.server_ttl->text(), ui.client_ttl->text(),
                                 ui.cache_entries->text()};
      QCOMPARE(shown, QStringList({"30", "60", "500"}));
      type_into(ui.cache_entries, "");
      type_into(ui.client_ttl, "");
      // Pasted text that is not a number leaves the setting as it was.
      ui.server_ttl->setText("soon");
      click(ui.CACHEDUMP);
      click(stored_engine.sheet->ok_button());
      const ServerSettings& settings = stored_engine.engine.settings;
      QCOMPARE(settings.cache_entries.load(), 1024u);
      QCOMPARE(settings.client_ttl.load(), 0xFFFFFFFFu);
      QCOMPARE(settings.server_ttl.load(), 30u);
      QCOMPARE(settings.cache_dump.load(), 1u);
      const QString text = stored(tree);
      QVERIFY2(!text.contains("CacheEntries") && !text.contains("ClientTTL"), qPrintable(text));
      QVERIFY2(text.contains("ServerTTL=30\n") && text.contains("CacheDump=1\n"), qPrintable(text));
    }
    StoredSheet reopened(tree, PreferencesDialog::kCache);
    auto& sheet = reopened.sheet;
    QCOMPARE(sheet->cache().ui().client_ttl->text(), QString());
    QCOMPARE(sheet->cache().ui().cache_entries->text(), QString("1024"));
  }

  void newUpstreamAndClientTtlServeTheNextQuery() {
    if (!private_network_) QSKIP("no private network namespace (needs root)");
    Upstream first("127.0.0.2", "10.0.0.2");
    Upstream second("127.0.0.3", "10.0.0.3");
    QVERIFY(first.ready() && second.ready());
    const auto tree_owner = office_tree("DNS1=127.0.0.2\n");
    const gui_test::ServerTree& tree = *tree_owner;
    Program program(tree);
    QTRY_COMPARE_WITH_TIMEOUT(program.window->bottom_status_text(), ready_text(tree.port()),
                              kReadyWaitMs);
    QCOMPARE(gui_test::dig(tree.port(), "one.remote.test", "A"), QStringList{"10.0.0.2"});
    QCOMPARE(answer_ttl(tree.port(), "two.remote.test"), 300);

    auto sheet = make_sheet(program.window->engine(), tree, program.language, program.window.get());
    sheet->tabs()->setCurrentIndex(PreferencesDialog::kServer);
    type_into(sheet->server().ui().dns1, "");
    type_into(sheet->server().ui().dns3, "127.0.0.3");
    sheet->tabs()->setCurrentIndex(PreferencesDialog::kCache);
    type_into(sheet->cache().ui().client_ttl, "5");
    click(sheet->apply_button());

    const int asked_first = first.queries();
    QCOMPARE(gui_test::dig(tree.port(), "three.remote.test", "A"), QStringList{"10.0.0.3"});
    QCOMPARE(first.queries(), asked_first);
    const int ttl = answer_ttl(tree.port(), "four.remote.test");
    QVERIFY2(ttl >= 0 && ttl <= 5, qPrintable(QString::number(ttl)));
    const QString text = stored(tree);
    QVERIFY2(text.contains("DNS1=127.0.0.3\n") && text.contains("ClientTTL=5\n"), qPrintable(text));
  }

  void clearCacheEmptiesTheCacheViewWhileTheSheetIsOpen() {
    gui_test::ServerTree tree(gui_test::find_free_port(), gui_test::kOfficeZone);
    Program program(tree);
    QTRY_COMPARE_WITH_TIMEOUT(program.window->bottom_status_text(), ready_text(tree.port()),
                              kReadyWaitMs);
    Cache& cache = program.window->engine().cache;
    for (const char* name : {"a.example.test", "b.example.test"})
      QVERIFY(cache.cache_add(CacheMode::kRestored, 1, name, inet_addr("10.0.0.9"), "",
                              cache.now() + 600) != 0);
    program.window->run_command(kCommandCache);
    QCOMPARE(program.window->model().rowCount(), 2);

    auto sheet = make_sheet(program.window->engine(), tree, program.language, program.window.get());
    sheet->tabs()->setCurrentIndex(PreferencesDialog::kCache);
    click(sheet->cache().ui().CACHECLEAR);
    QTRY_COMPARE(program.window->model().rowCount(), 0);
    QVERIFY(sheet->isVisible());
    QVERIFY(!sheet->apply_button()->isEnabled());
    click(sheet->cancel_button());
    program.window->refresh(true);
    QCOMPARE(program.window->model().rowCount(), 0);
  }

  void cancelAfterEditsChangesNothing() {
    const auto tree_owner = office_tree("DNS1=127.0.0.2\nLog=1\nCacheEntries=300\n");
    const gui_test::ServerTree& tree = *tree_owner;
    Program program(tree);
    QTRY_COMPARE_WITH_TIMEOUT(program.window->bottom_status_text(), ready_text(tree.port()),
                              kReadyWaitMs);
    const QString before = stored(tree);
    const QString user_before = gui_test::read_file(tree.user_store() + "/settings.ini");
    const auto image_before = settings_image(program.window->engine());
    const QString title_before = program.window->windowTitle();
    const QStringList answer_before = gui_test::dig(tree.port(), "host.office.lan", "A");

    auto sheet = make_sheet(program.window->engine(), tree, program.language, program.window.get());
    click(sheet->general().ui().LOG);
    click(sheet->general().ui().TRAY);
    sheet->tabs()->setCurrentIndex(PreferencesDialog::kServer);
    type_into(sheet->server().ui().dns1, "192.0.2.9");
    click(sheet->server().ui().SECONDARY);
    type_into(sheet->server().ui().primary_address, "192.0.2.1");
    sheet->tabs()->setCurrentIndex(PreferencesDialog::kCache);
    type_into(sheet->cache().ui().cache_entries, "12");
    sheet->tabs()->setCurrentIndex(PreferencesDialog::kLanguage);
    QTreeWidget* list = sheet->language_page().ui().language_list;
    list->setCurrentItem(list->topLevelItem(0));
    click(sheet->cancel_button());

    QCOMPARE(stored(tree), before);
    QCOMPARE(gui_test::read_file(tree.user_store() + "/settings.ini"), user_before);
    QVERIFY(settings_image(program.window->engine()) == image_before);
    QCOMPARE(program.window->windowTitle(), title_before);
    QCOMPARE(gui_test::dig(tree.port(), "host.office.lan", "A"), answer_before);
  }

  void storeThatCannotBeWrittenIsReportedAndNothingStays() {
    const auto tree_owner = office_tree("CacheEntries=300\n");
    const gui_test::ServerTree& tree = *tree_owner;
    StoredSheet stored_engine(tree, -1);
    Language language;
    // A store folder below a file: no writer can create it, not even root.
    PreferencesContext context{stored_engine.engine,
                               SettingsStore(tree.store().toStdString() + "/settings.ini/x"),
                               SettingsStore(tree.user_store().toStdString()),
                               language,
                               nullptr,
                               velisk_resources(),
                               QLocale("en_US")};
    PreferencesDialog sheet(std::move(context));
    sheet.show();
    sheet.tabs()->setCurrentIndex(PreferencesDialog::kCache);
    type_into(sheet.cache().ui().cache_entries, "77");
    QString shown;
    QTimer closer;
    connect(&closer, &QTimer::timeout, [&shown] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        shown += box->text() + "|";
        box->accept();
      }
    });
    closer.start(20);
    QVERIFY(!sheet.apply_opened_pages());
    closer.stop();
    QVERIFY2(shown.contains("The settings could not be saved."), qPrintable(shown));
    // The live settings are what the (unwritable) store holds, not the edit.
    QVERIFY(stored_engine.engine.settings.cache_entries.load() != 77u);
  }

  void languagePageSwitchesTheMainWindowAtOnce() {
    gui_test::ServerTree tree(gui_test::find_free_port(), gui_test::kOfficeZone);
    Program program(tree);
    QMenu* file_menu = program.window->menuBar()->actions().first()->menu();
    QCOMPARE(file_menu->title(), QString("&File"));

    auto sheet = make_sheet(program.window->engine(), tree, program.language, program.window.get());
    sheet->tabs()->setCurrentIndex(PreferencesDialog::kLanguage);
    auto& ui = sheet->language_page().ui();
    QCOMPARE(ui.current_language->text(), QString("English"));
    QStringList rows;
    for (int row = 0; row < ui.language_list->topLevelItemCount(); ++row) {
      const QTreeWidgetItem* item = ui.language_list->topLevelItem(row);
      rows << item->text(0) + "|" + item->text(1) + "|" + item->text(2);
    }
    // Sorted by file name with a capital first letter; English for the
    // built-in texts since no file is English.
    QCOMPARE(rows, QStringList({"Deutsch.ini|Deutsch|1.5.3", "English|English|1.5.3",
                                "Francais.ini|Français|1.5.3"}));
    const QRect german = ui.language_list->visualItemRect(ui.language_list->topLevelItem(0));
    QTest::mouseClick(ui.language_list->viewport(), Qt::LeftButton, {}, german.center());
    QCOMPARE(ui.author->text(), QString("Die Entwickler von Norvane DNS Server"));
    click(sheet->ok_button());

    QCOMPARE(file_menu->title(), QString("&Datei"));
    QCOMPARE(program.window->windowTitle(), QString("Norvane DNS-Server"));
    QCOMPARE(program.window->model().headerData(1, Qt::Horizontal).toString(), QString("Typ"));
    QVERIFY(
        gui_test::read_file(tree.user_store() + "/settings.ini").contains("Language=deutsch.ini"));

    auto again = make_sheet(program.window->engine(), tree, program.language, program.window.get());
    again->tabs()->setCurrentIndex(PreferencesDialog::kLanguage);
    auto& again_ui = again->language_page().ui();
    QCOMPARE(again_ui.current_language->text(), QString("Deutsch"));
    QCOMPARE(again_ui.LANGUAGE->text(), QString("Aktuelle Sprache:"));
    again_ui.language_list->setCurrentItem(again_ui.language_list->topLevelItem(1));
    click(again->general().ui().TRAY);
    click(again->apply_button());
    QCOMPARE(again_ui.current_language->text(), QString("English"));
    QCOMPARE(file_menu->title(), QString("&File"));
    QCOMPARE(program.window->windowTitle(), QString("Norvane DNS Server"));
  }
};

NORVANE_GUI_TEST(PreferencesTest);

}  // namespace norvane

#include "preferences_test.moc"
