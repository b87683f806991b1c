// The Add Entry dialog driven through its fields against a real engine:
// each record type answered by dig at once with the serial one higher and
// name.db rewritten, each refusal (EXIST, a bad address or preference, a
// bad or missing name) leaving the zone as it was, the per-type fields and
// Cancel.
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "engine/engine.h"
#include "gui/add_entry_dialog.h"
#include "gui/dialog_helpers.h"
#include "gui/language.h"
#include "tests/gui/gui_program.h"
#include "tests/gui/gui_test.h"

namespace norvane {
namespace {

using gui_test::OfficeProgram;
using gui_test::soa_serial;

// What the operator types: the type's index, then the name, the address
// field (address or preference), the target and the mail server.
struct Form {
  int type;
  const char* name;
  const char* address;
  const char* target;
  const char* mail_server;
};

struct OpenDialog : gui_test::ShownDialog<AddEntryDialog> {
  explicit OpenDialog(gui_test::Program& program)
      : ShownDialog(program.window->engine(), program.language, program.window.get()) {}
  QLabel* label(const char* name) { return dialog.findChild<QLabel*>(name); }
  QComboBox* type_list() { return dialog.findChild<QComboBox*>("type_list"); }
  void fill(const Form& form) {
    type_list()->setCurrentIndex(form.type);
    const std::pair<const char*, const char*> texts[] = {{"name", form.name},
                                                         {"address", form.address},
                                                         {"target", form.target},
                                                         {"mail_server", form.mail_server}};
    for (const auto& [name, text] : texts) type(name, text);
  }
  QStringList ok() { return click("ok_button"); }
};

}  // namespace

class AddEntryTest : public QObject {
  Q_OBJECT

 private slots:
  void eachTypeShowsOnlyItsFields() {
    Engine engine;
    Language english;
    gui_test::ShownDialog<AddEntryDialog> open(engine, english, nullptr);
    auto* types = open.dialog.findChild<QComboBox*>("type_list");
    QCOMPARE(types->currentIndex(), int(AddEntryDialog::kTypeIndexA));
    // Address, target and mail server field by type, the last type first so
    // that every entry is a change.
    const bool shown[4][3] = {
        {true, false, false}, {false, true, false}, {false, true, false}, {true, false, true}};
    for (int index = 3; index >= 0; --index) {
      types->setCurrentIndex(index);
      QCOMPARE(open.field("address")->isVisible(), shown[index][0]);
      QCOMPARE(open.field("target")->isVisible(), shown[index][1]);
      QCOMPARE(open.field("mail_server")->isVisible(), shown[index][2]);
    }
  }

  void germanFileGivesTheCaptionTypesAndLabels() {
    // A German locale chooses deutsch.ini from the Languages folder that the
    // build copies beside velisk.
    QTemporaryDir stores;
    Language german;
    german.load_language(SettingsStore(stores.path().toStdString()),
                         SettingsStore(stores.path().toStdString()), QLocale("de_DE"),
                         QFileInfo(NORVANE_VELISK_PATH).path().toStdString() + "/");
    QVERIFY(german.in_use());
    Engine engine;
    AddEntryDialog dialog(engine, german, nullptr);
    QCOMPARE(dialog.windowTitle(), QString("Eintrag hinzufügen"));
    auto* types = dialog.findChild<QComboBox*>("type_list");
    QCOMPARE(types->itemText(0), QString("IP-Adresse (A)"));
    types->setCurrentIndex(AddEntryDialog::kTypeIndexMx);
    QCOMPARE(dialog.findChild<QLabel*>("address_label")->text(), QString("Priorität:"));
    QCOMPARE(dialog.findChild<QLabel*>("more_label")->text(), QString("Mailserver:"));
    types->setCurrentIndex(AddEntryDialog::kTypeIndexA);
    QCOMPARE(dialog.findChild<QLabel*>("more_label")->text(), QString(" "));
  }

  void addedRecordIsAnsweredAtOnceAndRaisesTheSerialByOne() {
    OfficeProgram office;
    QVERIFY(office.ready());
    const struct {
      Form form;
      const char* query;   // name and type
      const char* answer;  // one line of dig +short
    } cases[] = {
        {{0, "newhost", "192.168.10.77", "", ""}, "newhost.office.lan A", "192.168.10.77"},
        {{0, "host", "192.168.10.22", "", ""}, "host.office.lan A", "192.168.10.22"},
        {{0, "Abs.Office.Lan.", "10.1.2.3", "", ""}, "abs.office.lan A", "10.1.2.3"},
        {{1, "", "", "ns2", ""}, "office.lan NS", "ns2.office.lan."},
        {{2, "alias", "", "mail", ""}, "alias.office.lan CNAME", "mail.office.lan."},
        {{2, "ftp", "", "files.example.org.", ""}, "ftp.office.lan CNAME", "files.example.org."},
        {{3, "", "20", "", "mx2"}, "office.lan MX", "20 mx2.office.lan."},
        {{3, "sub", "10.5", "", "mail.sub.office.lan."},
         "sub.office.lan MX",
         "10 mail.sub.office.lan."},
    };
    const auto answers = [](uint16_t port, const char* query) {
      const QStringList words = QString(query).split(' ');
      return gui_test::dig(port, words[0], words[1]);
    };
    for (const auto& entry : cases) {
      const uint32_t serial = soa_serial(office.port());
      OpenDialog open(office.program);
      open.fill(entry.form);
      QVERIFY(open.ok().isEmpty());
      QVERIFY2(!open.dialog.isVisible(), entry.query);
      QVERIFY2(answers(office.port(), entry.query).contains(entry.answer), entry.answer);
      QCOMPARE(soa_serial(office.port()), serial + 1);
    }
    // name.db holds them all: a server started on it answers every one.
    OfficeProgram reloaded({}, office.zone_file());
    QVERIFY(reloaded.ready());
    QCOMPARE(soa_serial(reloaded.port()), soa_serial(office.port()));
    for (const auto& entry : cases)
      QVERIFY2(answers(reloaded.port(), entry.query).contains(entry.answer), entry.answer);
    // The record takes the domain's default TTL (300 in this zone).
    QCOMPARE(
        gui_test::dig(office.port(), "newhost.office.lan", "A", {"+noshort", "+noall", "+answer"})
            .value(0)
            .split(QRegularExpression("\\s+"))
            .value(1),
        QString("300"));
  }

  void menuCommandAddsARowToTheDatabaseView() {
    OfficeProgram office;
    QVERIFY(office.ready());
    MainWindow& window = *office.program.window;
    window.set_command_hook(kCommandAddEntry, [&] {
      launch_dialog(&window, office.program.language, [&](QWidget* owner) {
        return std::make_unique<AddEntryDialog>(window.engine(), office.program.language, &window,
                                                owner);
      });
    });
    // The dialog runs modal; a timer fills it in once it shows.
    QTimer fill;
    fill.setInterval(20);
    connect(&fill, &QTimer::timeout, [&fill] {
      auto* dialog = qobject_cast<AddEntryDialog*>(QApplication::activeModalWidget());
      if (dialog == nullptr) return;
      fill.stop();
      QTest::keyClicks(dialog->findChild<QLineEdit*>("name"), "menuhost");
      QTest::keyClicks(dialog->findChild<QLineEdit*>("address"), "192.168.10.88");
      QTest::mouseClick(dialog->findChild<QPushButton*>("ok_button"), Qt::LeftButton);
    });
    fill.start();
    window.run_command(kCommandAddEntry);
    QVERIFY(!fill.isActive());
    QCOMPARE(window.refresh_countdown(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(office.program.column(0).contains("menuhost.office.lan."), 5'000);
    QCOMPARE(gui_test::dig(office.port(), "menuhost.office.lan", "A"),
             QStringList({"192.168.10.88"}));
  }

  void refusedEntryKeepsTheDialogAndTheZone() {
    OfficeProgram office;
    QVERIFY(office.ready());
    const QString stored = office.zone_file();
    const uint32_t serial = soa_serial(office.port());
    const QString exist = "An entry with this name already exists.";
    const std::string long_name(245, 'n');
    const struct {
      Form form;
      QString message;  // empty: refused silently
    } cases[] = {
        // The database refuses.
        {{0, "host", "192.168.10.20", "", ""}, exist},
        {{2, "host", "", "mail", ""}, exist},
        {{0, "www", "192.168.10.30", "", ""}, exist},
        {{3, "", "10", "", "mail"}, exist},
        // A bad address.
        {{0, "x", "0.0.0.0", "", ""}, {}},
        {{0, "x", "255.255.255.255", "", ""}, {}},
        {{0, "x", "10.0.0", "", ""}, {}},
        {{0, "x", "", "", ""}, {}},
        // A missing or bad name.
        {{0, "", "10.0.0.1", "", ""}, {}},
        {{0, long_name.c_str(), "10.0.0.1", "", ""}, {}},
        {{1, "x", "", "", ""}, {}},
        {{1, "x", "", long_name.c_str(), ""}, {}},
        {{2, "", "", "host", ""}, {}},
        {{2, "x", "", "", ""}, {}},
        // A missing preference or mail server.
        {{3, "", "", "", "mail"}, {}},
        {{3, "", "10", "", ""}, {}},
    };
    for (const auto& entry : cases) {
      OpenDialog open(office.program);
      open.fill(entry.form);
      const QStringList messages = open.ok();
      QCOMPARE(messages, entry.message.isEmpty() ? QStringList() : QStringList({entry.message}));
      QVERIFY2(open.dialog.isVisible(), entry.form.name);
      QCOMPARE(open.field("name")->text(), QString(entry.form.name));
    }
    QCOMPARE(soa_serial(office.port()), serial);
    QCOMPARE(office.zone_file(), stored);
    QCOMPARE(gui_test::dig(office.port(), "host.office.lan", "A").size(), 2);
  }

  void relativeNameWithoutADomainIsRefusedAndAnAbsoluteOneAdded() {
    OfficeProgram office;
    QVERIFY(office.ready());
    office.program.window->engine().zone.hold().set_domain("");
    OpenDialog open(office.program);
    open.fill({0, "relative", "10.9.9.9", "", ""});
    QVERIFY(open.ok().isEmpty());
    QVERIFY(open.dialog.isVisible());
    open.fill({0, "host.elsewhere.org.", "10.9.9.9", "", ""});
    QVERIFY(open.ok().isEmpty());
    QVERIFY(!open.dialog.isVisible());
    const LocalZone::Guard zone = office.program.window->engine().zone.hold();
    QVERIFY(zone.find_zone_record(zone.live(), "host.elsewhere.org", 1).has_value());
    QVERIFY(!zone.find_zone_record(zone.live(), "relative", 255).has_value());
  }

  void cancelAfterEditsChangesNothing() {
    OfficeProgram office;
    QVERIFY(office.ready());
    const QString stored = office.zone_file();
    const uint32_t serial = soa_serial(office.port());
    OpenDialog open(office.program);
    open.fill({3, "", "5", "", "cancelled"});
    QTest::mouseClick(open.button("CANCEL"), Qt::LeftButton);
    QVERIFY(!open.dialog.isVisible());
    QCOMPARE(soa_serial(office.port()), serial);
    QVERIFY(!gui_test::dig(office.port(), "office.lan", "MX").join(' ').contains("cancelled"));
    QCOMPARE(office.zone_file(), stored);
  }
};

NORVANE_GUI_TEST(AddEntryTest);

}  // namespace norvane

#include "add_entry_test.moc"
