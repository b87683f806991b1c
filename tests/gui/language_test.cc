// Choosing the language file and switching the window's texts both ways.
#include "gui/language.h"

#include <QAction>
#include <QFileInfo>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QTableView>

#include "gui/main_window.h"
#include "runtime/language_file.h"
#include "runtime/settings.h"
#include "tests/gui/gui_test.h"

namespace norvane {
namespace {

const char* const kGerman =
    "[Common]\nLANGUAGE=Deutsch\nVERSION=1.0\nTitle=Norvane DNS-Server\n"
    "[Menu]\nFILE=&Datei\nEXIT=&Beenden\nCACHE=&Zwischenspeicher\nDATABASE=\n"
    "[Strings]\nENTRIES=Einträge\nREADY=Bereit an Port\nNAME=Name\nTYPE=Typ\n"
    "RESOURCE=Ressource\nTTL=TTL (s)\nREMOVE=Entfernen\nEXIT=Beenden\nFAILED=Dialog fehlt\n";

// The texts of the menu bar's entries and of their items, in order.
QStringList menu_texts(const MainWindow& window) {
  QStringList texts;
  for (QAction* top : window.menuBar()->actions()) {
    texts << top->text();
    if (top->menu() == nullptr) continue;
    for (QAction* item : top->menu()->actions())
      if (!item->isSeparator()) texts << item->text();
  }
  return texts;
}

}  // namespace

class LanguageTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  QString resources() const { return dir_.path() + "/res/"; }
  SettingsStore user() const { return SettingsStore((dir_.path() + "/user").toStdString()); }
  SettingsStore machine() const { return SettingsStore((dir_.path() + "/machine").toStdString()); }

 private slots:
  void init() {
    QDir(dir_.path()).removeRecursively();
    QDir().mkpath(resources() + "Languages");
    gui_test::write_file(resources() + "Languages/deutsch.ini", kGerman);
    gui_test::write_file(resources() + "Languages/notitle.ini",
                         "[Common]\nLANGUAGE=Plain\n[Strings]\nENTRIES=rows\n");
    gui_test::write_file(resources() + "Languages/nolanguage.ini",
                         "[Common]\nTitle=Nope\n[Strings]\nENTRIES=nope\n");
    QString big = "[Common]\nLANGUAGE=Big\n[Strings]\n";
    for (int key = 0; key < 10000; ++key) big += QString("K%1=v%1\n").arg(key);
    big += "ENTRIES=" + QString(1 << 20, QChar(0x00e4)) + "\n";
    gui_test::write_file(resources() + "Languages/big.ini", big);
  }

  void choosesTheFile_data() {
    QTest::addColumn<QString>("user_value");
    QTest::addColumn<QString>("machine_value");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("entries");
    const QString product = "Norvane DNS Server";
    QTest::newRow("nothing, English desktop") << ""
                                              << ""
                                              << "en_US"
                                              << "" << product << "entries";
    QTest::newRow("nothing, German desktop") << ""
                                             << ""
                                             << "de_DE"
                                             << "deutsch.ini"
                                             << "Norvane DNS-Server"
                                             << "Einträge";
    QTest::newRow("user value") << "deutsch.ini"
                                << ""
                                << "en_US"
                                << "deutsch.ini"
                                << "Norvane DNS-Server"
                                << "Einträge";
    QTest::newRow("machine value when the user has none") << ""
                                                          << "deutsch.ini"
                                                          << "en_US"
                                                          << "deutsch.ini"
                                                          << "Norvane DNS-Server"
                                                          << "Einträge";
    QTest::newRow("user's English over machine's German") << "English"
                                                          << "deutsch.ini"
                                                          << "de_DE"
                                                          << "" << product << "entries";
    QTest::newRow("no LANGUAGE: not used") << "nolanguage.ini"
                                           << ""
                                           << "en_US"
                                           << "" << product << "entries";
    QTest::newRow("no Title: product title") << "notitle.ini"
                                             << ""
                                             << "en_US"
                                             << "notitle.ini" << product << "rows";
    QTest::newRow("missing file") << "gone.ini"
                                  << ""
                                  << "en_US"
                                  << "" << product << "entries";
  }
  void choosesTheFile() {
    QFETCH(QString, user_value);
    QFETCH(QString, machine_value);
    QFETCH(QString, locale);
    QFETCH(QString, file);
    QFETCH(QString, title);
    QFETCH(QString, entries);
    SettingsStore user_store = user();
    SettingsStore machine_store = machine();
    user_store.store_write_text(kMainKey, "Language",
                                user_value.isEmpty() ? nullptr : user_value.toUtf8().constData());
    machine_store.store_write_text(
        kMainKey, "Language",
        machine_value.isEmpty() ? nullptr : machine_value.toUtf8().constData());
    Language language;
    language.load_language(user_store, machine_store, QLocale(locale), resources().toStdString());
    QCOMPARE(language.file_name(), file);
    QCOMPARE(language.window_title(), title);
    QCOMPARE(language.load_text(11, "ENTRIES", 64), entries);
  }

  void hugeFileIsCutNotFatal() {
    SettingsStore user_store = user();
    user_store.store_write_text(kMainKey, "Language", "big.ini");
    Language language;
    language.load_language(user_store, machine(), QLocale("en_US"), resources().toStdString());
    QVERIFY(language.in_use());
    const QString text = language.load_text(11, "ENTRIES", 64);
    // 63 bytes hold 31 two-byte characters; the cut never splits one.
    QCOMPARE(text, QString(31, QChar(0x00e4)));
    QCOMPARE(language.load_text(0, "K9999", 64), QString("v9999"));
  }

  void shippedTranslationsCoverTheWindow_data() {
    QTest::addColumn<QString>("file");
    QTest::newRow("German") << "deutsch.ini";
    QTest::newRow("French") << "francais.ini";
  }
  // Every menu text, the title and the status texts come from the shipped
  // file (the build copies it beside velisk as Languages/).
  void shippedTranslationsCoverTheWindow() {
    QFETCH(QString, file);
    const std::string shipped = QFileInfo(NORVANE_VELISK_PATH).path().toStdString() + "/";
    SettingsStore user_store = user();
    user_store.store_write_text(kMainKey, "Language", file.toUtf8().constData());
    Language language;
    language.load_language(user_store, machine(), QLocale("en_US"), shipped);
    QCOMPARE(language.file_name(), file);
    Engine engine;
    MainWindow window(engine, language, user_store, {}, nullptr);
    window.build_menus();
    window.refresh(true);
    QVERIFY(window.windowTitle() != Language::product_title());
    QVERIFY(!window.top_status_text().endsWith(" entries"));
    QVERIFY(!window.bottom_status_text().startsWith(" Ready on Port"));
    for (QAction* top : window.menuBar()->actions()) {
      const std::string menu_key = top->menu()->property("key").toString().toStdString();
      QCOMPARE(top->text().toStdString(), *language.choice().file->value("Menu", menu_key, 256));
      for (QAction* item : top->menu()->actions()) {
        if (item->isSeparator()) continue;
        const std::string key = item->property("key").toString().toStdString();
        // The text is the file's own (some words, such as "&Cache", are
        // the same in both languages).
        QCOMPARE(item->text().toStdString(), *language.choice().file->value("Menu", key, 256));
      }
    }
  }

  void windowSwitchesBothWays() {
    Engine engine;
    engine.settings.port = 5353;
    SettingsStore user_store = user();
    Language language;
    language.load_language(user_store, machine(), QLocale("en_US"), resources().toStdString());
    MainWindow window(engine, language, user_store, {}, nullptr);
    window.build_menus();
    window.refresh(true);
    const QStringList english = menu_texts(window);
    QCOMPARE(english.first(), QString("&File"));
    QVERIFY(english.contains("E&xit"));
    QCOMPARE(window.top_status_text(), QString(" 0 entries"));
    QCOMPARE(window.bottom_status_text(), QString(" Ready on Port 5353"));
    QCOMPARE(window.windowTitle(), QString("Norvane DNS Server"));

    user_store.store_write_text(kMainKey, "Language", "deutsch.ini");
    language.load_language(user_store, machine(), QLocale("en_US"), resources().toStdString());
    window.build_menus();
    window.refresh(true);
    const QStringList german = menu_texts(window);
    QCOMPARE(german.first(), QString("&Datei"));
    QVERIFY(german.contains("&Beenden"));
    QVERIFY(german.contains("&Zwischenspeicher"));
    // An empty value keeps the built-in text.
    QVERIFY(german.contains("&Database"));
    QCOMPARE(window.top_status_text(), QString(" 0 Einträge"));
    QCOMPARE(window.bottom_status_text(), QString(" Bereit an Port 5353"));
    QCOMPARE(window.windowTitle(), QString("Norvane DNS-Server"));
    QCOMPARE(window.model().headerData(1, Qt::Horizontal).toString(), QString("Typ"));
    QCOMPARE(window.item_menu()->actions().first()->text(), QString("Entfernen"));
    QCOMPARE(window.tray_menu()->actions().first()->text(), QString("Beenden"));

    user_store.store_write_text(kMainKey, "Language", "English");
    language.load_language(user_store, machine(), QLocale("de_DE"), resources().toStdString());
    window.build_menus();
    window.refresh(true);
    QCOMPARE(menu_texts(window), english);
    QCOMPARE(window.top_status_text(), QString(" 0 entries"));
    QCOMPARE(window.windowTitle(), QString("Norvane DNS Server"));
    QCOMPARE(window.model().headerData(1, Qt::Horizontal).toString(), QString("Type"));
  }
};

NORVANE_GUI_TEST(LanguageTest);

}  // namespace norvane

#include "language_test.moc"
