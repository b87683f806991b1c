// The main window of velisk: menus with their command ids, the two status
// bars, the record list, the tray icon, the one-second timer with the refresh
// countdown, and the exit sequence. GUI thread only; the server thread
// reaches it through queued calls (server_ready, server_stopped).
#pragma once

#include <QMainWindow>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>

#include "engine/engine.h"
#include "gui/language.h"
#include "gui/record_table_model.h"
#include "gui/tray_icon.h"
#include "gui/window_rectangle.h"
#include "runtime/settings_store.h"

class QMenu;
class QTableView;
class QLabel;

namespace Ui {
class MainWindow;
}

namespace norvane {

// Command ids of the menus and of the commands sent to the window.
enum Command : int {
  kCommandMinimise = 1,
  kCommandPreferences = 120,
  kCommandSecurity = 121,
  kCommandLocalDomain = 122,
  kCommandStatistics = 123,
  kCommandExit = 124,
  kCommandAddEntry = 125,
  kCommandContents = 126,
  kCommandLicense = 127,
  kCommandAbout = 129,
  kCommandRemove = 131,
  kCommandDatabase = 132,
  kCommandCache = 133,
  kCommandViewLog = 134,
  kCommandRestore = 0xF120,
};

enum class ViewMode { kDatabase = 0, kCache = 1 };

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  struct Options {
    bool service_mode = false;
    // TrayIcon and Iconic of the machine store.
    bool tray_icon = true;
    bool iconic = false;
  };

  // `engine`, `language` and the stores must outlive the window. `tray` may
  // be null (no tray at all).
  MainWindow(Engine& engine, Language& language, SettingsStore user, Options options,
             std::unique_ptr<TrayIcon> tray, QWidget* parent = nullptr);
  ~MainWindow() override;

  // Places the window by the stored rectangle and the screen.
  void apply_stored_rectangle();
  // Menu building: texts, menu translation, check marks, columns, tray icon,
  // title, refresh countdown 1. Called at start and after a language change.
  void build_menus();
  // Shows the window (hidden with Iconic) and starts the one-second timer.
  void show_and_start();

  // A command of the command table.
  void run_command(int command);
  // What a menu command of a dialog Part does (they plug in here); Add Entry
  // sets the refresh countdown to 2 afterwards.
  void set_command_hook(int command, std::function<void()> hook);
  // Called by the exit sequence to stop the server; it returns once the
  // server thread ended or its bound passed.
  void set_stop_hook(std::function<void()> hook) { stop_hook_ = std::move(hook); }
  // A changed TrayIcon: the icon follows at the next build_menus.
  void set_tray_icon_option(bool shown) { options_.tray_icon = shown; }

  // From the server thread through queued calls.
  void server_ready(uint16_t port, bool listening);
  void server_stopped();

  // The refresh message: the bottom status text, and with `refill` the list
  // and the top status text; then the countdown goes down by one.
  void refresh(bool refill);
  // The one-second tick: a refresh that refills while the countdown is above 0.
  void on_timer();
  void set_view_mode(ViewMode mode);
  void sort_by_column(int column);
  // Removes the selected rows' records, stopping at the first that fails.
  // Returns the number removed.
  int remove_selected();
  // Shows the window normally, makes it active and raises an open modal
  // dialog too (what a second start of the program asks for).
  void restore_window();
  // The exit sequence; `quit` ends the event loop at the end.
  void exit_program(bool quit = true);

  // State for tests and the dialogs.
  ViewMode view_mode() const { return view_mode_; }
  int refresh_countdown() const { return refresh_countdown_; }
  void set_refresh_countdown(int countdown) { refresh_countdown_ = countdown; }
  bool tray_shown() const { return tray_shown_; }
  bool hidden_by_minimise() const { return minimised_; }
  QString top_status_text() const;
  QString bottom_status_text() const;
  RecordTableModel& model() { return model_; }
  QTableView* record_list() const;
  QMenu* item_menu() const { return item_menu_.get(); }
  QMenu* tray_menu() const { return tray_menu_.get(); }
  Engine& engine() { return engine_; }
  Language& language() { return language_; }
  WindowRectangle current_rectangle() const;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void open_document(const char* english, const char* german);
  void set_columns();
  void size_columns();
  void show_item_menu(const QPoint& position);
  void add_tray_icon();
  void remove_tray_icon();
  void hide_minimised();
  void set_top_status(int rows);

  Engine& engine_;
  Language& language_;
  SettingsStore user_;
  Options options_;
  std::unique_ptr<Ui::MainWindow> ui_;
  QLabel* top_label_ = nullptr;
  QLabel* bottom_label_ = nullptr;
  RecordTableModel model_;
  std::unique_ptr<TrayIcon> tray_;
  std::unique_ptr<QMenu> item_menu_;
  std::unique_ptr<QMenu> tray_menu_;
  QTimer timer_;
  std::map<int, std::function<void()>> command_hooks_;
  std::function<void()> stop_hook_;

  ViewMode view_mode_ = ViewMode::kDatabase;
  int refresh_countdown_ = 1;
  bool tray_shown_ = false;
  bool minimised_ = false;
  bool exiting_ = false;
  // The server's stop flag as the window knows it: set when the listeners
  // could not be bound or the server stopped.
  bool server_failed_ = false;
  uint16_t port_ = 0;

  // Texts reloaded at each menu build.
  QString entries_text_;
  QString ready_text_;
  QString error_port_text_;
  QString remove_text_;
  QString exit_text_;
};

}  // namespace norvane
