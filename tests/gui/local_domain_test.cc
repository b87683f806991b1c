// The Local Domain dialog driven through its fields against a real engine:
// a rename answered by dig under the new name and written to name.db, the
// mailbox in both directions, the NODOMAIN and NOMAIL refusals, number
// fields that keep their value, Cancel, and the refresh button of a
// secondary. Also the Qt-free texts the zone dialogs share.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <ctime>

#include "gui/local_domain_dialog.h"
#include "gui/zone_dialog_text.h"
#include "tests/gui/gui_program.h"
#include "tests/gui/gui_test.h"

namespace norvane {
namespace {

using gui_test::OfficeProgram;
using gui_test::soa_serial;

// The dialog over a running program.
struct OpenDialog : gui_test::ShownDialog<LocalDomainDialog> {
  explicit OpenDialog(gui_test::Program& program, RefreshStart start = {})
      : ShownDialog(program.window->engine(), program.language, program.window.get(),
                    std::move(start)) {}
};

// Opens the dialog, checks that field `name` shows `shown`, types `typed`
// there and presses OK. True when the dialog closed without a message.
bool change_field(gui_test::Program& program, const char* name, const QString& shown,
                  const QString& typed) {
  OpenDialog open(program);
  if (open.text(name) != shown) {
    qWarning() << name << "shows" << open.text(name);
    return false;
  }
  open.type(name, typed);
  return open.click("ok_button").isEmpty() && !open.dialog.isVisible();
}

// The SOA record dig gets for `domain`, as its fields.
QStringList soa_fields(uint16_t port, const QString& domain) {
  const QStringList soa = gui_test::dig(port, domain, "SOA");
  return soa.isEmpty() ? QStringList() : soa.first().split(' ');
}

}  // namespace

class LocalDomainTest : public QObject {
  Q_OBJECT

 private slots:
  void zoneTextsFollowTheirRules() {
    const std::string long_label(250, 'h');
    const struct {
      std::string name, domain;
      std::optional<std::string> qualified;
    } names[] = {
        {"host", "office.lan", "host.office.lan"},
        {"host.office.lan.", "office.lan", "host.office.lan"},
        {"mail.other.org.", "", "mail.other.org"},
        {"host", "", std::nullopt},
        {"", "office.lan", "office.lan"},
        {"", "", std::nullopt},
        {long_label, "office.lan", std::nullopt},             // 261 characters
        {std::string(245, 'h'), "office.lan", std::nullopt},  // 256 characters
        {std::string(244, 'h'), "office.lan", std::string(244, 'h') + ".office.lan"},
    };
    for (const auto& entry : names)
      QVERIFY2(qualify_entered_name(entry.name, entry.domain) == entry.qualified,
               entry.name.c_str());

    const struct {
      std::string entered;
      std::optional<std::string> stored;
    } mailboxes[] = {
        {"admin@example.org", "admin.example.org"},
        {"first.last@example.org.", "first.last.example.org"},
        {"a@b@c", "a.b@c"},
        {"admin", std::nullopt},
        {"@example.org", std::nullopt},
        {"admin@", std::nullopt},
        {"admin@.", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& entry : mailboxes)
      QVERIFY2(mailbox_stored(entry.entered) == entry.stored, entry.entered.c_str());

    const std::pair<std::string, std::string> shown[] = {
        {"hostmaster.office.lan", "hostmaster@office.lan"},
        {"postmaster", "postmaster"},
        {"already@there.org", "already@there.org"},
    };
    for (const auto& [stored, text] : shown) QCOMPARE(mailbox_shown(stored), text);

    const std::pair<std::string, std::optional<uint32_t>> numbers[] = {
        {"3600", 3600u},
        {"10.5", 10u},
        {" 7x", 7u},
        {"", std::nullopt},
        {"abc", std::nullopt},
        {"-5", std::nullopt},
        {"4294967295", 4294967295u},
        {"4294967296", std::nullopt},
    };
    for (const auto& [text, value] : numbers)
      QVERIFY2(leading_unsigned(text) == value, text.c_str());
  }

  void renamedDomainIsAnsweredUnderItsNewNameAndStored() {
    OfficeProgram office;
    QVERIFY(office.ready());
    QVERIFY(change_field(office.program, "domain_name", "office.lan", "branch.lan."));
    QCOMPARE(gui_test::dig(office.port(), "host.branch.lan", "A"),
             QStringList({"192.168.10.20", "192.168.10.21"}));
    QCOMPARE(gui_test::dig(office.port(), "www.branch.lan", "CNAME").value(0),
             QString("host.branch.lan."));
    QCOMPARE(soa_fields(office.port(), "branch.lan").value(0), QString("ns1.office.lan."));
    const QString stored = office.zone_file();
    QVERIFY2(stored.contains("branch.lan"), qPrintable(stored));
    QVERIFY2(!stored.contains("host.office.lan"), qPrintable(stored));
    // The rows of the Database view belong to the reloaded records.
    QTRY_VERIFY_WITH_TIMEOUT(office.program.column(0).contains("host.branch.lan."), 5'000);
    QVERIFY(!office.program.column(0).contains("host.office.lan."));
  }

  void mailboxIsShownWithAtAndStoredWithADot() {
    OfficeProgram office;
    QVERIFY(office.ready());
    QVERIFY(
        change_field(office.program, "mailbox", "hostmaster@office.lan", "dnsadmin@example.org."));
    QCOMPARE(soa_fields(office.port(), "office.lan").value(1), QString("dnsadmin.example.org."));
    QVERIFY(office.zone_file().contains("dnsadmin.example.org"));
    OpenDialog again(office.program);
    QCOMPARE(again.text("mailbox"), QString("dnsadmin@example.org"));
  }

  void refusedDomainOrMailboxKeepsTheDialogAndTheZone() {
    OfficeProgram office;
    QVERIFY(office.ready());
    const QString stored = office.zone_file();
    const uint32_t serial = soa_serial(office.port());
    const struct {
      const char* field;
      const char* text;
      const char* message;
    } cases[] = {
        {"domain_name", "", "A name for the local domain is required."},
        {"domain_name", ".", "A name for the local domain is required."},
        {"mailbox", "hostmaster", "Not a valid email address."},
        {"mailbox", "@office.lan", "Not a valid email address."},
        {"mailbox", "hostmaster@", "Not a valid email address."},
        {"mailbox", "", "Not a valid email address."},
    };
    for (const auto& entry : cases) {
      OpenDialog open(office.program);
      open.type("serial", "777");
      open.type(entry.field, entry.text);
      QCOMPARE(open.click("ok_button"), QStringList({entry.message}));
      QVERIFY2(open.dialog.isVisible(), entry.text);
      QCOMPARE(open.text(entry.field), QString(entry.text));
    }
    QCOMPARE(office.zone_file(), stored);
    QCOMPARE(soa_serial(office.port()), serial);
  }

  void numberFieldKeepsItsValueWhenEmptyOrNotANumber() {
    OfficeProgram office;
    QVERIFY(office.ready());
    {
      OpenDialog open(office.program);
      open.type("serial", "next");  // the serial field takes any text
      open.type("refresh", "");
      open.type("retry", "9x00");  // letters never reach a number field
      open.type("expire", "604800");
      open.type("ttl", "");
      QCOMPARE(open.text("retry"), QString("900"));
      QVERIFY(open.click("ok_button").isEmpty());
    }
    // SOA: primary, mailbox, serial, refresh, retry, expire, minimum.
    QCOMPARE(soa_fields(office.port(), "office.lan").mid(2),
             QStringList({"2026120701", "3600", "900", "604800", "300"}));
  }

  void cancelAfterEditsChangesNothing() {
    OfficeProgram office;
    QVERIFY(office.ready());
    const QString stored = office.zone_file();
    const QStringList soa = soa_fields(office.port(), "office.lan");
    OpenDialog open(office.program);
    for (const char* field : {"domain_name", "primary_server", "mailbox", "serial", "refresh",
                              "retry", "expire", "ttl"})
      open.type(field, "12");
    QVERIFY(open.click("CANCEL").isEmpty());
    QVERIFY(!open.dialog.isVisible());
    QCOMPARE(open.dialog.result(), int(QDialog::Rejected));
    QCOMPARE(soa_fields(office.port(), "office.lan"), soa);
    QCOMPARE(gui_test::dig(office.port(), "host.office.lan", "A").size(), 2);
    QCOMPARE(office.zone_file(), stored);
  }

  void refreshButtonOnlyOnASecondaryStartsAndReturnsAtOnce() {
    {
      OfficeProgram plain;
      QVERIFY(plain.ready());
      OpenDialog open(plain.program);
      QVERIFY(open.button("RELOAD")->isHidden());
      QVERIFY(open.dialog.findChild<QLabel*>("load_time")->text().endsWith(" (db)"));
    }
    // A secondary whose primary is not there: the start-up transfer fails
    // and the zone file stays in force.
    OfficeProgram office("Primary=127.0.0.1\n");
    QVERIFY(office.ready());
    Engine& engine = office.program.window->engine();
    const std::time_t refreshed_at = std::time(nullptr) - 3600;
    engine.zone.hold().set_refreshed_at(refreshed_at);
    int started = 0;
    OpenDialog open(office.program, [&started] { return ++started; });
    QVERIFY(!open.button("RELOAD")->isHidden());
    char clock[32];
    std::tm local{};
    localtime_r(&refreshed_at, &local);
    std::strftime(clock, sizeof clock, " %H:%M:%S (server)", &local);
    const QString label = open.dialog.findChild<QLabel*>("load_time")->text();
    QVERIFY2(label.endsWith(clock), qPrintable(label));

    office.program.window->set_refresh_countdown(0);
    const std::time_t before = std::time(nullptr);
    QVERIFY(open.click("RELOAD").isEmpty());
    QCOMPARE(started, 1);
    QVERIFY(!open.dialog.isVisible());
    QCOMPARE(office.program.window->refresh_countdown(), 3);
    // The timed refresh of the serving loop is held off meanwhile.
    const LocalZone::Guard zone = engine.zone.hold();
    QVERIFY(zone.retry_after() >= before + static_cast<std::time_t>(zone.retry()));
  }
};

NORVANE_GUI_TEST(LocalDomainTest);

}  // namespace norvane

#include "local_domain_test.moc"
