// Runner of the window tests: `gui_tests [Class] [QTest options]`.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>
#include <cstring>

#include "gui/language.h"
#include "tests/gui/gui_test.h"
#include "tests/office_zone.h"

namespace norvane::gui_test {

std::vector<Registration>& registry() {
  static std::vector<Registration> tests;
  return tests;
}

const char* const kOfficeZone = test_zones::kOfficeZone;

namespace {

bool bind_port(int type, uint16_t port, uint16_t* bound_port) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  bool ok = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (ok && bound_port != nullptr) {
    socklen_t size = sizeof address;
    ok = getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    *bound_port = ntohs(address.sin_port);
  }
  close(fd);
  return ok;
}

}  // namespace

uint16_t find_free_port() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    uint16_t port = 0;
    if (bind_port(SOCK_DGRAM, 0, &port) && bind_port(SOCK_STREAM, port, nullptr)) return port;
  }
  return 0;
}

bool write_file(const QString& path, const QString& text) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  return file.write(text.toUtf8()) == text.toUtf8().size();
}

QString read_file(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll());
}

QStringList dig(uint16_t port, const QString& name, const QString& type,
                const QStringList& options) {
  QProcess process;
  QStringList arguments{
      "+noedns", "+short", "+time=2", "+tries=2", "@127.0.0.1", "-p", QString::number(port)};
  arguments << options << name << type;
  process.start("dig", arguments);
  if (!process.waitForFinished(10'000)) {
    process.kill();
    process.waitForFinished();
    return {"dig did not finish"};
  }
  return QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

ServerTree::ServerTree(uint16_t port, const QString& zone, const QString& domain,
                       const QString& more_settings)
    : port_(port) {
  write_file(data() + "/name.db", zone);
  QDir().mkpath(user_store());
  write_file(store() + "/settings.ini",
             QStringLiteral("[Velisk]\nPort=%1\nAutoIf=0\nDirectory=%2/\nDomain=%3\n"
                            "Server=ns1\nAdministrator=hostmaster\n%4")
                 .arg(port)
                 .arg(data(), domain, more_settings));
}

void ServerTree::use() const {
  qputenv("NORVANE_MACHINE_STORE", store().toUtf8());
  qputenv("NORVANE_USER_STORE", user_store().toUtf8());
}

void load_shipped_language(Language& language, const char* locale, const QString& scratch) {
  const std::string shipped = QFileInfo(NORVANE_VELISK_PATH).path().toStdString() + "/";
  language.load_language(SettingsStore((scratch + "/user").toStdString()),
                         SettingsStore((scratch + "/machine").toStdString()), QLocale(locale),
                         shipped);
}

}  // namespace norvane::gui_test

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  QStringList arguments = QApplication::arguments();
  QString only;
  if (arguments.size() > 1 && !arguments[1].startsWith('-')) only = arguments.takeAt(1);
  int failures = 0;
  bool ran = false;
  for (const auto& test : norvane::gui_test::registry()) {
    if (!only.isEmpty() && only != QLatin1String(test.name)) continue;
    ran = true;
    std::unique_ptr<QObject> object = test.make();
    failures += QTest::qExec(object.get(), arguments);
  }
  if (!ran) {
    QTextStream(stderr) << "no test class named " << only << "\n";
    return 1;
  }
  return failures == 0 ? 0 : 1;
}
