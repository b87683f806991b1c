// Registry and helpers of the window tests: every test class registers itself
// with NORVANE_GUI_TEST, and the runner executes one class (named on the
// command line, so CTest lists each class) or all. Scratch folders, a free
// port and dig run through QProcess. GUI thread only.
#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace norvane {
class Language;
}  // namespace norvane

namespace norvane::gui_test {

struct Registration {
  const char* name;
  std::function<std::unique_ptr<QObject>()> make;
};
std::vector<Registration>& registry();

struct Registrar {
  Registrar(const char* name, std::function<std::unique_ptr<QObject>()> make) {
    registry().push_back({name, std::move(make)});
  }
};

#define NORVANE_GUI_TEST(Class)                                  \
  static const ::norvane::gui_test::Registrar registrar_##Class( \
      #Class, [] { return std::make_unique<Class>(); })

// A port free for UDP and TCP at the moment of the call.
uint16_t find_free_port();

// Writes `text` to `path`, creating folders; false on failure.
bool write_file(const QString& path, const QString& text);
QString read_file(const QString& path);

// Runs dig against 127.0.0.1:`port` with +noedns +short (and `options`);
// its output lines. Bounded by dig's own timeouts and a 10 s process wait.
QStringList dig(uint16_t port, const QString& name, const QString& type,
                const QStringList& options = {});

// The zone most window tests serve.
extern const char* const kOfficeZone;

// A scratch machine store and data directory for one server, and a user store.
class ServerTree {
 public:
  ServerTree(uint16_t port, const QString& zone, const QString& domain = "office.lan",
             const QString& more_settings = {});
  uint16_t port() const { return port_; }
  QString root() const { return dir_.path(); }
  QString store() const { return dir_.path() + "/store"; }
  QString user_store() const { return dir_.path() + "/user"; }
  QString data() const { return dir_.path() + "/data"; }
  // Points NORVANE_MACHINE_STORE and NORVANE_USER_STORE at this tree.
  void use() const;

 private:
  QTemporaryDir dir_;
  uint16_t port_;
};

// Loads the language that `locale` chooses from the shipped files (the build
// copies them beside velisk as Languages/), with empty stores in `scratch`.
void load_shipped_language(Language& language, const char* locale, const QString& scratch);

}  // namespace norvane::gui_test
