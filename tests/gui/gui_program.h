// The main window with its server as velisk puts them together, for the
// tests that drive the window or its dialogs against a real engine, and a
// tray icon that only counts. GUI thread only.
#pragma once

#include <QApplication>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <functional>
#include <memory>
#include <set>
#include <utility>

#include "gui/main_window.h"
#include "gui/server_thread.h"
#include "gui/tray_icon.h"
#include "gui/window_observer.h"
#include "tests/gui/gui_test.h"

namespace norvane::gui_test {

inline constexpr int kReadyWaitMs = 15'000;

// The text the bottom status bar shows once the server listens.
inline QString ready_text(uint16_t port) { return QString(" Ready on Port %1").arg(port); }

// Counts the icon's additions and removals; "shown" as a desktop with a
// tray would.
class FakeTray : public TrayIcon {
 public:
  explicit FakeTray(bool available = true) : available_(available) {}
  bool add(const QString& tooltip, QMenu* menu, std::function<void()> restore) override {
    ++adds;
    this->tooltip = tooltip;
    this->menu = menu;
    this->restore = std::move(restore);
    return available_;
  }
  void remove() override { ++removes; }
  int adds = 0;
  int removes = 0;
  QString tooltip;
  QMenu* menu = nullptr;
  std::function<void()> restore;

 private:
  bool available_;
};

// One window with its server, as velisk puts them together.
struct Program {
  explicit Program(const ServerTree& tree, MainWindow::Options options = {}) {
    tree.use();
    language.load_language(SettingsStore(tree.user_store().toStdString()),
                           SettingsStore(tree.store().toStdString()), QLocale("en_US"), "");
    server = std::make_unique<ServerThread>(SettingsStore(tree.store().toStdString()), &observer);
    auto fake = std::make_unique<FakeTray>();
    tray = fake.get();
    window = std::make_unique<MainWindow>(server->engine(), language,
                                          SettingsStore(tree.user_store().toStdString()), options,
                                          std::move(fake));
    observer.set_window(window.get());
    window->set_stop_hook([this] { server->stop_and_join(); });
    window->apply_stored_rectangle();
    window->build_menus();
    window->show_and_start();
    server->start();
  }
  ~Program() {
    window->exit_program(false);
    observer.set_window(nullptr);
  }
  QStringList column(int column) const {
    QStringList texts;
    const RecordTableModel& model = window->model();
    for (int row = 0; row < model.rowCount(); ++row)
      texts << model.data(model.index(row, column)).toString();
    return texts;
  }
  QStringList row_texts() const {
    QStringList rows;
    const RecordTableModel& model = window->model();
    for (int row = 0; row < model.rowCount(); ++row) {
      QStringList cells;
      for (int column = 0; column < model.columnCount(); ++column)
        cells << model.data(model.index(row, column)).toString();
      rows << cells.join('|');
    }
    return rows;
  }
  void select_rows(const std::set<int>& rows) {
    QItemSelectionModel* selection = window->record_list()->selectionModel();
    selection->clearSelection();
    for (int row : rows)
      selection->select(window->model().index(row, 0),
                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
  }

  Language language;
  WindowObserver observer;
  std::unique_ptr<ServerThread> server;
  FakeTray* tray = nullptr;
  std::unique_ptr<MainWindow> window;
};

// The serial of the SOA record dig gets for `domain`; 0 when none.
inline uint32_t soa_serial(uint16_t port, const QString& domain = "office.lan") {
  const QStringList soa = dig(port, domain, "SOA");
  if (soa.isEmpty()) return 0;
  const QStringList fields = soa.first().split(' ');
  return fields.size() > 2 ? fields[2].toUInt() : 0;
}

// A program serving `zone` for office.lan on a free port.
struct OfficeProgram {
  explicit OfficeProgram(const QString& more_settings = {}, const QString& zone = kOfficeZone)
      : tree(find_free_port(), zone, "office.lan", more_settings), program(tree) {}
  // Waits until the window reports the server ready; false after 15 s.
  bool ready() {
    const QString text = ready_text(tree.port());
    return QTest::qWaitFor([&] { return program.window->bottom_status_text() == text; },
                           kReadyWaitMs);
  }
  uint16_t port() const { return tree.port(); }
  QString zone_file() const { return read_file(tree.data() + "/name.db"); }

  ServerTree tree;
  Program program;
};

// Runs `action` and answers every message box it opens with OK (boxes run
// their own event loop, so they are found by a timer). Returns their texts
// in order.
inline QStringList messages_during(const std::function<void()>& action) {
  QStringList texts;
  QTimer answer;
  answer.setInterval(20);
  QObject::connect(&answer, &QTimer::timeout, [&texts] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(widget);
      if (box == nullptr || !box->isVisible()) continue;
      texts << box->text();
      box->done(QMessageBox::Ok);
    }
  });
  answer.start();
  action();
  return texts;
}

// A dialog of type `Dialog` made from `arguments` and shown the way exec
// would show it, driven through its named children.
template <class Dialog>
struct ShownDialog {
  template <class... Arguments>
  explicit ShownDialog(Arguments&&... arguments) : dialog(std::forward<Arguments>(arguments)...) {
    dialog.show();
  }
  QLineEdit* field(const char* name) { return dialog.template findChild<QLineEdit*>(name); }
  QString text(const char* name) { return field(name)->text(); }
  // Empties the field and types `text` into it key by key.
  void type(const char* name, const QString& text) {
    field(name)->clear();
    QTest::keyClicks(field(name), text);
  }
  QPushButton* button(const char* name) { return dialog.template findChild<QPushButton*>(name); }
  // Clicks a button; the texts of the message boxes it opened.
  QStringList click(const char* name) {
    return messages_during([&] { QTest::mouseClick(button(name), Qt::LeftButton); });
  }
  Dialog dialog;
};

}  // namespace norvane::gui_test
