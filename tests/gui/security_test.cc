// The Security dialog driven through its widgets: the row-editing rules on a
// bare engine, and OK and Cancel against a running server checked with dig
// and in settings.ini.
#include <arpa/inet.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include "engine/engine.h"
#include "gui/language.h"
#include "gui/security_dialog.h"
#include "gui/server_thread.h"
#include "tests/gui/gui_program.h"

namespace norvane {
namespace {

uint32_t host_address(const char* text) {
  in_addr address{};
  inet_pton(AF_INET, text, &address);
  return ntohl(address.s_addr);
}

// The status word of dig's reply header ("NOERROR", "REFUSED"), or what
// went wrong instead.
QString dig_status(uint16_t port, const QString& name) {
  QProcess process;
  process.start("dig", {"+noedns", "+time=2", "+tries=1", "@127.0.0.1", "-p", QString::number(port),
                        name, "A"});
  if (!process.waitForFinished(10'000)) {
    process.kill();
    process.waitForFinished();
    return "dig did not finish";
  }
  const QString output = QString::fromUtf8(process.readAllStandardOutput());
  const qsizetype at = output.indexOf("status: ");
  if (at < 0) return "no reply";
  return output.mid(at + 8).section(',', 0, 0);
}

// The stored access values, "name=text" in store order.
QStringList stored_ranges(const QString& store) {
  QStringList values;
  for (const auto& [name, text] :
       SettingsStore(store.toStdString()).store_read_key("Velisk\\Access"))
    values << QString::fromStdString(name + "=" + text);
  return values;
}

// Replaces the text of an address edit as typing does: everything selected,
// then the new text typed over it, or erased with Backspace.
void type_into(QLineEdit* edit, const QString& text) {
  edit->selectAll();
  if (text.isEmpty()) {
    QTest::keyClick(edit, Qt::Key_Backspace);
  } else {
    QTest::keyClicks(edit, text);
  }
}

void click_row(SecurityDialog& dialog, int row) {
  QTreeWidget* list = dialog.range_list();
  const QRect rect = list->visualItemRect(list->topLevelItem(row));
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
}

// One step of a row-editing case (see rowEditingRules).
void run_step(SecurityDialog& dialog, const QString& step) {
  const QString word = step.section(' ', 0, 0);
  const QString rest = step.section(' ', 1);
  if (word == "row") {
    click_row(dialog, rest.toInt());
  } else if (word == "first") {
    type_into(dialog.first_edit(), rest);
  } else if (word == "last") {
    type_into(dialog.last_edit(), rest);
  } else if (word == "box") {
    QCheckBox* box = rest == "Q"   ? dialog.queries_box()
                     : rest == "Z" ? dialog.transfers_box()
                                   : dialog.updates_box();
    box->click();
  } else if (word == "key") {
    QTest::keyClick(dialog.range_list(), Qt::Key_Down);
  } else if (word == "add") {
    dialog.add_button()->click();
  } else if (word == "remove") {
    dialog.remove_button()->click();
  }
}

// One dialog over a bare engine whose live list is `ranges`.
struct BareDialog {
  explicit BareDialog(const std::vector<AccessRange>& ranges, bool enabled = true)
      : store(dir.path().toStdString()) {
    engine.access.replace_access_list(ranges);
    engine.settings.access_control.store(enabled ? 1 : 0);
    dialog = std::make_unique<SecurityDialog>(engine, store, language);
    dialog->show();
  }
  QTemporaryDir dir;
  SettingsStore store;
  Engine engine;
  Language language;
  std::unique_ptr<SecurityDialog> dialog;
};

std::vector<AccessRange> three_ranges() {
  return {{"Q ", host_address("10.0.0.1"), 0},
          {"Q Z U", host_address("192.168.0.1"), host_address("192.168.0.254")},
          {"Z ", 0, 0}};
}

QString describe(const std::vector<AccessRow>& rows) {
  QStringList texts;
  for (const AccessRow& row : rows) texts << row.rights + "|" + row.first + "|" + row.last;
  return texts.join(" / ");
}

}  // namespace

class SecurityTest : public QObject {
  Q_OBJECT

 private slots:
  void germanTextsComeFromTheirOwnSections() {
    // ACCESS names both the switch (Control) and the first column (Strings).
    QTemporaryDir scratch;
    Language german;
    gui_test::load_shipped_language(german, "de_DE", scratch.path());
    QCOMPARE(german.file_name(), QString("deutsch.ini"));
    Engine engine;
    SecurityDialog dialog(engine, SettingsStore(scratch.path().toStdString()), german);
    german.translate_dialog(&dialog);
    QCOMPARE(dialog.windowTitle(), QString("Sicherheit"));
    QCOMPARE(dialog.access_box()->text(), QString("Zugriffskontrolle aktivieren"));
    QCOMPARE(dialog.queries_box()->text(), QString("Anfragen"));
    QCOMPARE(dialog.range_list()->headerItem()->text(0), QString("Zugriff"));
    QCOMPARE(dialog.range_list()->headerItem()->text(1), QString("Adressbereich"));
    QCOMPARE(dialog.cancel_button()->text(), QString("Abbrechen"));
  }

  void rowEditingRules() {
    // Each case runs its steps on the three ranges: "row N" clicks row N,
    // "key down" moves down the list, "first TEXT" and "last TEXT" type over
    // an address edit, "box L" clicks the rights box of letter L, "add" and
    // "remove" press those buttons.
    struct Case {
      const char* name;
      QStringList steps;
      const char* rows;
      const char* first_edit;
      const char* last_edit;
      int selected;
    };
    const char* const unchanged = "Q |10.0.0.1| / Q Z U|192.168.0.1|192.168.0.254 / Z |*|";
    const std::vector<Case> cases = {
        {"a click shows the row in the edits and boxes",
         {"row 1"},
         unchanged,
         "192.168.0.1",
         "192.168.0.254",
         1},
        {"a row chosen with the keyboard is shown too",
         {"row 0", "key down"},
         unchanged,
         "192.168.0.1",
         "192.168.0.254",
         1},
        {"rights are written Q, Z, U whatever the click order",
         {"row 0", "box U", "box Z"},
         "Q Z U|10.0.0.1| / Q Z U|192.168.0.1|192.168.0.254 / Z |*|",
         "10.0.0.1",
         "",
         0},
        {"unchecking every right empties the rights",
         {"row 1", "box Q", "box U", "box Z"},
         "Q |10.0.0.1| / |192.168.0.1|192.168.0.254 / Z |*|",
         "192.168.0.1",
         "192.168.0.254",
         1},
        {"a right without a selected row changes no row", {"box U"}, unchanged, "", "", -1},
        {"a partly typed first address leaves the row",
         {"row 0", "first 10.0."},
         unchanged,
         "10.0.",
         "",
         0},
        {"a whole first address goes into the row",
         {"row 0", "first 10.1.2.3"},
         "Q |10.1.2.3| / Q Z U|192.168.0.1|192.168.0.254 / Z |*|",
         "10.1.2.3",
         "",
         0},
        {"an emptied first address alone means every address",
         {"row 0", "first "},
         "Q |*| / Q Z U|192.168.0.1|192.168.0.254 / Z |*|",
         "",
         "",
         0},
        {"an emptied first address before a last one stays empty",
         {"row 1", "first "},
         "Q |10.0.0.1| / Q Z U||192.168.0.254 / Z |*|",
         "",
         "192.168.0.254",
         1},
        {"a last address typed behind * clears the first",
         {"row 2", "last 10.9.9.9"},
         "Q |10.0.0.1| / Q Z U|192.168.0.1|192.168.0.254 / Z ||10.9.9.9",
         "",
         "10.9.9.9",
         2},
        {"a partly typed last address leaves the row",
         {"row 1", "last 192.168"},
         unchanged,
         "192.168.0.1",
         "192.168",
         1},
        {"emptying the only address gives every address back",
         {"row 2", "last 10.9.9.9", "last "},
         unchanged,
         "",
         "",
         2},
        {"typing without a selected row changes no row",
         {"first 10.7.7.7", "last 10.7.7.8"},
         unchanged,
         "10.7.7.7",
         "10.7.7.8",
         -1},
        {"add inserts at the selected row and selects the new one",
         {"row 1", "add"},
         "Q |10.0.0.1| / Q |*| / Q Z U|192.168.0.1|192.168.0.254 / Z |*|",
         "*",
         "",
         1},
        {"add without a selection appends",
         {"add"},
         "Q |10.0.0.1| / Q Z U|192.168.0.1|192.168.0.254 / Z |*| / Q |*|",
         "*",
         "",
         3},
        {"remove deletes the selected row and shows the first",
         {"row 2", "remove"},
         "Q |10.0.0.1| / Q Z U|192.168.0.1|192.168.0.254",
         "10.0.0.1",
         "",
         0},
    };
    for (const Case& test : cases) {
      BareDialog bare(three_ranges());
      SecurityDialog& dialog = *bare.dialog;
      for (const QString& step : test.steps) run_step(dialog, step);
      QVERIFY2(describe(dialog.rows()) == test.rows,
               qPrintable(QString("%1: %2").arg(test.name, describe(dialog.rows()))));
      QVERIFY2(dialog.first_edit()->text() == test.first_edit, test.name);
      QVERIFY2(dialog.last_edit()->text() == test.last_edit, test.name);
      QVERIFY2(dialog.selected_row() == test.selected, test.name);
      if (test.selected >= 0) {
        // The boxes show the selected row's rights.
        const QString rights = dialog.rows()[static_cast<size_t>(test.selected)].rights;
        QVERIFY2(dialog.queries_box()->isChecked() == rights.contains('Q'), test.name);
        QVERIFY2(dialog.transfers_box()->isChecked() == rights.contains('Z'), test.name);
        QVERIFY2(dialog.updates_box()->isChecked() == rights.contains('U'), test.name);
      }
      // The live list is only ever changed by OK.
      QVERIFY2(bare.engine.access.access_list() == three_ranges(), test.name);
    }
  }

  void rowsBecomeRangesAsStoredOnesRead() {
    // The rows the editing rules can leave, and the range each stands for.
    const std::vector<AccessRow> rows = {
        {"Q ", "*", ""},        {"Q Z U", "192.168.0.1", "192.168.0.254"},
        {"", "10.0.0.1", ""},   {"U", "", "10.0.0.9"},
        {"Z ", "10.0.0.5", ""}, {"Q Z U extra", "*", "garbage"},
    };
    const std::vector<AccessRange> expected = {
        {"Q ", 0, 0},
        {"Q Z U", host_address("192.168.0.1"), host_address("192.168.0.254")},
        {"U", host_address("10.0.0.9"), 0},
        {"Z ", host_address("10.0.0.5"), 0},
        {"Q Z U e", 0, 0},
    };
    QCOMPARE(access_ranges(rows), expected);
    for (const AccessRange& range : expected) {
      if (range.rights.size() < kMaxAccessRights)
        QCOMPARE(access_ranges({access_row(range)}), std::vector<AccessRange>{range});
    }
  }

  void okWithAStoreThatCannotBeWrittenSaysSoAndKeepsTheFormerList() {
    // A store folder that is a file: no write can succeed.
    QTemporaryDir dir;
    const QString not_a_folder = dir.path() + "/store";
    QVERIFY(gui_test::write_file(not_a_folder, "x"));
    Engine engine;
    engine.access.replace_access_list(three_ranges());
    Language language;
    SecurityDialog dialog(engine, SettingsStore(not_a_folder.toStdString()), language);
    dialog.show();
    dialog.access_box()->click();
    click_row(dialog, 0);
    dialog.remove_button()->click();
    QCOMPARE(dialog.rows().size(), size_t{2});
    const QStringList boxes =
        gui_test::messages_during([&] { QTest::mouseClick(dialog.ok_button(), Qt::LeftButton); });
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes.first(), QString("The settings could not be saved."));
    QVERIFY(engine.access.access_list() == three_ranges());
    QCOMPARE(engine.settings.access_control.load(), 0u);
    QVERIFY(!dialog.isVisible());
  }

  void okRefusesAndAllowsOverTheWire() {
    gui_test::OfficeProgram office(
        "AccessControl=1\n[Velisk\\Access]\n0=Q ,127.0.0.1\n"
        "1=Q Z U,192.168.0.1-192.168.0.254\n2=Z ,*\n3=U,10.0.0.9\n");
    QVERIFY(office.ready());
    const gui_test::ServerTree& tree = office.tree;
    ServerThread& server = *office.program.server;
    Language language;
    const SettingsStore store(tree.store().toStdString());
    {
      // Without the loopback range, and with a row whose rights were all
      // unchecked: two rows are left to store, so "2" and "3" must go.
      SecurityDialog dialog(server.engine(), store, language);
      dialog.show();
      click_row(dialog, 0);
      dialog.remove_button()->click();
      click_row(dialog, 1);
      dialog.transfers_box()->click();
      dialog.ok_button()->click();
      QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }
    QCOMPARE(dig_status(tree.port(), "host.office.lan"), QString("REFUSED"));
    QCOMPARE(stored_ranges(tree.store()),
             (QStringList{"0=Q Z U,192.168.0.1-192.168.0.254", "1=U,10.0.0.9"}));
    {
      // The loopback address added back in front of the others.
      SecurityDialog dialog(server.engine(), store, language);
      dialog.show();
      click_row(dialog, 0);
      dialog.add_button()->click();
      type_into(dialog.first_edit(), "");
      type_into(dialog.first_edit(), "127.0.0.1");
      dialog.ok_button()->click();
    }
    QCOMPARE(dig_status(tree.port(), "host.office.lan"), QString("NOERROR"));
    QCOMPARE(stored_ranges(tree.store()),
             (QStringList{"0=Q ,127.0.0.1", "1=Q Z U,192.168.0.1-192.168.0.254", "2=U,10.0.0.9"}));
    {
      // Every row removed: nothing left stored, every query refused.
      SecurityDialog dialog(server.engine(), store, language);
      dialog.show();
      for (int i = 0; i < 3; ++i) {
        click_row(dialog, 0);
        dialog.remove_button()->click();
      }
      QVERIFY(dialog.rows().empty());
      dialog.ok_button()->click();
    }
    QCOMPARE(dig_status(tree.port(), "host.office.lan"), QString("REFUSED"));
    QVERIFY(stored_ranges(tree.store()).isEmpty());
    QVERIFY(server.engine().access.access_list().empty());
  }

  void newInstallationAddThenOkAllowsQueriesFromEverywhere() {
    gui_test::OfficeProgram office;
    QVERIFY(office.ready());
    const gui_test::ServerTree& tree = office.tree;
    ServerThread& server = *office.program.server;
    Language language;
    SecurityDialog dialog(server.engine(), SettingsStore(tree.store().toStdString()), language);
    dialog.show();
    QVERIFY(dialog.rows().empty());
    // The range controls follow the switch at once.
    for (QWidget* control : range_controls(dialog)) QVERIFY(!control->isEnabled());
    dialog.access_box()->click();
    for (QWidget* control : range_controls(dialog)) QVERIFY(control->isEnabled());
    dialog.add_button()->click();
    dialog.ok_button()->click();
    QCOMPARE(stored_ranges(tree.store()), QStringList{"0=Q ,*"});
    QVERIFY(gui_test::read_file(tree.store() + "/settings.ini").contains("\nAccessControl=1\n"));
    QCOMPARE(server.engine().settings.access_control.load(), 1u);
    QCOMPARE(dig_status(tree.port(), "host.office.lan"), QString("NOERROR"));
  }

  void cancelAfterEditsChangesNothing() {
    gui_test::OfficeProgram office("AccessControl=1\n[Velisk\\Access]\n0=Q ,127.0.0.1\n1=Z ,*\n");
    QVERIFY(office.ready());
    const gui_test::ServerTree& tree = office.tree;
    ServerThread& server = *office.program.server;
    const QString stored = gui_test::read_file(tree.store() + "/settings.ini");
    const std::vector<AccessRange> live = server.engine().access.access_list();
    Language language;
    for (bool escape : {false, true}) {
      SecurityDialog dialog(server.engine(), SettingsStore(tree.store().toStdString()), language);
      dialog.show();
      click_row(dialog, 0);
      dialog.queries_box()->click();
      type_into(dialog.first_edit(), "10.1.1.1");
      dialog.add_button()->click();
      click_row(dialog, 2);
      dialog.remove_button()->click();
      dialog.access_box()->click();
      if (escape) {
        QTest::keyClick(&dialog, Qt::Key_Escape);
      } else {
        dialog.cancel_button()->click();
      }
      QCOMPARE(dialog.result(), int(QDialog::Rejected));
      QCOMPARE(gui_test::read_file(tree.store() + "/settings.ini"), stored);
      QVERIFY(server.engine().access.access_list() == live);
      QCOMPARE(server.engine().settings.access_control.load(), 1u);
      QCOMPARE(dig_status(tree.port(), "host.office.lan"), QString("NOERROR"));
    }
  }

 private:
  static std::vector<QWidget*> range_controls(SecurityDialog& dialog) {
    return {dialog.range_list(),  dialog.first_edit(),    dialog.last_edit(),
            dialog.queries_box(), dialog.transfers_box(), dialog.updates_box(),
            dialog.add_button(),  dialog.remove_button()};
  }
};

NORVANE_GUI_TEST(SecurityTest);

}  // namespace norvane

#include "security_test.moc"
