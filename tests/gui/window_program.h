// One main window with its server thread, put together as velisk does, for
// the window and dialog tests; and a tray icon that only counts. GUI thread
// only.
#pragma once

#include <QItemSelectionModel>
#include <QTableView>
#include <functional>
#include <memory>
#include <set>

#include "gui/main_window.h"
#include "gui/server_thread.h"
#include "gui/tray_icon.h"
#include "gui/window_observer.h"
#include "tests/gui/gui_test.h"

namespace norvane::gui_test {

inline constexpr int kReadyWaitMs = 15'000;

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
  explicit Program(const gui_test::ServerTree& tree, MainWindow::Options options = {}) {
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

// The text the bottom status bar shows once the server listens.
inline QString ready_text(uint16_t port) { return QString(" Ready on Port %1").arg(port); }

}  // namespace norvane::gui_test
