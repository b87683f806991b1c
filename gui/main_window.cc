// The main window of velisk.
#include "gui/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QHeaderView>
#include <QItemSelection>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QTableView>
#include <QUrl>
#include <algorithm>
#include <mutex>
#include <unordered_set>

#include "engine/record_view.h"
#include "runtime/resource_directory.h"
#include "ui_main_window.h"

namespace norvane {
namespace {

constexpr int kTextSize = 64;
constexpr int kShortTextSize = 32;
// The window's smallest tracking size; Qt has no separate system minimum
// window size, so it is also the floor for a stored width and height.
constexpr int kMinimumWidth = 250;
constexpr int kMinimumHeight = 200;

// Removes the record behind one row through its owner. False when the
// record is already gone.
bool remove_record(Engine& engine, RecordSource source, uint64_t handle) {
  if (source == RecordSource::kCache) return engine.cache.cache_remove(handle);
  LocalZone::Guard guard = engine.zone.hold();
  const std::optional<ZoneRecord> record = guard.live().find_handle(handle);
  return record && engine.zone.remove_zone_record(*record);
}

QString key_of(const QObject* object) { return object->property("key").toString(); }

}  // namespace

MainWindow::MainWindow(Engine& engine, Language& language, SettingsStore user, Options options,
                       std::unique_ptr<TrayIcon> tray, QWidget* parent)
    : QMainWindow(parent),
      engine_(engine),
      language_(language),
      user_(std::move(user)),
      options_(options),
      ui_(std::make_unique<Ui::MainWindow>()),
      tray_(std::move(tray)) {
  ui_->setupUi(this);
  setWindowTitle(Language::product_title());
  top_label_ = new QLabel(ui_->top_status_bar);
  bottom_label_ = new QLabel(ui_->bottom_status_bar);
  ui_->top_status_bar->addWidget(top_label_, 1);
  ui_->bottom_status_bar->addWidget(bottom_label_, 1);

  ui_->record_list->setModel(&model_);
  ui_->record_list->horizontalHeader()->setSectionsClickable(true);
  ui_->record_list->horizontalHeader()->setSortIndicatorShown(false);
  ui_->record_list->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  ui_->record_list->verticalHeader()->setDefaultSectionSize(
      ui_->record_list->fontMetrics().height() + 4);
  connect(ui_->record_list->horizontalHeader(), &QHeaderView::sectionClicked, this,
          &MainWindow::sort_by_column);
  connect(ui_->record_list, &QWidget::customContextMenuRequested, this,
          &MainWindow::show_item_menu);
  ui_->record_list->installEventFilter(this);

  for (QAction* action : findChildren<QAction*>()) {
    const QVariant command = action->property("command");
    if (!command.isValid()) continue;
    action->setProperty("builtin_text", action->text());
    connect(action, &QAction::triggered, this, [this, id = command.toInt()] { run_command(id); });
  }
  for (QMenu* menu : ui_->menu_bar->findChildren<QMenu*>())
    menu->setProperty("builtin_text", menu->title());

  timer_.setInterval(1000);
  connect(&timer_, &QTimer::timeout, this, &MainWindow::on_timer);
}

MainWindow::~MainWindow() { remove_tray_icon(); }

QTableView* MainWindow::record_list() const { return ui_->record_list; }

void MainWindow::apply_stored_rectangle() {
  QRect screen(0, 0, 1024, 768);
  if (const QScreen* primary = QGuiApplication::primaryScreen()) screen = primary->geometry();
  const WindowRectangle rectangle =
      read_window_rectangle(user_, screen.width(), screen.height(), kMinimumWidth, kMinimumHeight);
  move(rectangle.left, rectangle.top);
  resize(rectangle.width, rectangle.height);
}

WindowRectangle MainWindow::current_rectangle() const {
  const QRect frame = frameGeometry();
  return WindowRectangle{frame.x(), frame.y(), width(), height()};
}

void MainWindow::build_menus() {
  entries_text_ = language_.load_text(11, "ENTRIES", kTextSize);
  ready_text_ = language_.load_text(12, "READY", kTextSize);
  error_port_text_ = language_.load_text(13, "ERROR_PORT", kTextSize);

  // The menu afresh: built-in texts first, then the language file's.
  for (QMenu* menu : ui_->menu_bar->findChildren<QMenu*>()) {
    menu->setTitle(menu->property("builtin_text").toString());
    language_.translate_menu_item(menu, key_of(menu).toLatin1().constData());
  }
  for (QAction* action : findChildren<QAction*>()) {
    if (!action->property("command").isValid()) continue;
    action->setText(action->property("builtin_text").toString());
    language_.translate_menu_item(action, key_of(action).toLatin1().constData());
  }
  ui_->action_database->setChecked(view_mode_ == ViewMode::kDatabase);
  ui_->action_cache->setChecked(view_mode_ == ViewMode::kCache);

  remove_text_ = language_.load_text(9, "REMOVE", kShortTextSize);
  exit_text_ = language_.load_text(10, "EXIT", kShortTextSize);
  set_columns();

  auto item_menu = std::make_unique<QMenu>(this);
  connect(item_menu->addAction(remove_text_), &QAction::triggered, this,
          [this] { run_command(kCommandRemove); });
  auto tray_menu = std::make_unique<QMenu>(this);
  QAction* exit = tray_menu->addAction(exit_text_);
  tray_menu->setDefaultAction(exit);
  connect(exit, &QAction::triggered, this, [this] { run_command(kCommandExit); });
  // The icon holds the old tray menu; it gets the new one when re-added.
  const bool had_tray = tray_shown_;
  if (had_tray) remove_tray_icon();
  item_menu_ = std::move(item_menu);
  tray_menu_ = std::move(tray_menu);

  setWindowTitle(language_.window_title());
  if (options_.tray_icon) {
    if (!tray_shown_) add_tray_icon();
  } else if (tray_shown_) {
    remove_tray_icon();
  }
  refresh_countdown_ = 1;
}

void MainWindow::show_and_start() {
  if (options_.iconic) {
    hide();
  } else {
    show();
  }
  timer_.start();
}

void MainWindow::set_command_hook(int command, std::function<void()> hook) {
  command_hooks_[command] = std::move(hook);
}

void MainWindow::run_command(int command) {
  switch (command) {
    case kCommandExit:
      exit_program();
      return;
    case kCommandDatabase:
      set_view_mode(ViewMode::kDatabase);
      return;
    case kCommandCache:
      set_view_mode(ViewMode::kCache);
      return;
    case kCommandContents:
      open_document("dns.htm", "dns-d.htm");
      return;
    case kCommandLicense:
      open_document("license.txt", "lizenz.txt");
      return;
    case kCommandRemove:
      remove_selected();
      return;
    case kCommandMinimise:
      hide_minimised();
      return;
    case kCommandRestore:
      restore_window();
      return;
    default:
      break;
  }
  auto hook = command_hooks_.find(command);
  if (hook != command_hooks_.end() && hook->second) hook->second();
  if (command == kCommandAddEntry) refresh_countdown_ = 2;
}

void MainWindow::open_document(const char* english, const char* german) {
  const bool use_german = QLocale().language() == QLocale::German;
  const QString path = QString::fromStdString(resource_directory()) + QStringLiteral("doc/") +
                       QLatin1String(use_german ? german : english);
  QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void MainWindow::server_ready(uint16_t port, bool listening) {
  port_ = port;
  server_failed_ = !listening;
  refresh(true);
}

void MainWindow::server_stopped() {
  server_failed_ = true;
  refresh(false);
}

QString MainWindow::top_status_text() const { return top_label_->text(); }
QString MainWindow::bottom_status_text() const { return bottom_label_->text(); }

void MainWindow::set_top_status(int rows) {
  top_label_->setText(QStringLiteral(" %1 %2").arg(rows).arg(entries_text_));
}

void MainWindow::refresh(bool refill) {
  const uint32_t port = engine_.settings.port.load();
  const QString bottom =
      QStringLiteral(" %1 %2").arg(server_failed_ ? error_port_text_ : ready_text_).arg(port);
  if (refill) {
    // Rows are overwritten in place, so the selection is carried over by
    // record, not by row number: Remove must delete what the operator picked.
    QItemSelectionModel* selection = ui_->record_list->selectionModel();
    std::unordered_set<uint64_t> selected;
    for (const QModelIndex& index : selection->selectedRows())
      selected.insert(model_.record(index.row()).handle);
    int rows = 0;
    if (view_mode_ == ViewMode::kDatabase) {
      rows = model_.refill(database_rows(engine_.zone), RecordSource::kDatabase, 0);
    } else {
      const uint32_t now = engine_.cache.now();
      rows = model_.refill(cache_rows(engine_.cache, now), RecordSource::kCache, now);
    }
    if (!selected.empty()) {
      QItemSelection reselect;
      for (int row = 0; row < rows; ++row) {
        if (selected.count(model_.record(row).handle) != 0)
          reselect.select(model_.index(row, 0), model_.index(row, model_.columnCount() - 1));
      }
      selection->select(reselect, QItemSelectionModel::ClearAndSelect);
    }
    set_top_status(rows);
  }
  if (bottom_label_->text() != bottom) bottom_label_->setText(bottom);
  if (refresh_countdown_ > 0) --refresh_countdown_;
}

void MainWindow::on_timer() {
  refresh(refresh_countdown_ != 0);
  if (options_.service_mode && options_.tray_icon && !tray_shown_) add_tray_icon();
}

void MainWindow::set_view_mode(ViewMode mode) {
  view_mode_ = mode;
  ui_->action_database->setChecked(mode == ViewMode::kDatabase);
  ui_->action_cache->setChecked(mode == ViewMode::kCache);
  refresh(true);
}

void MainWindow::sort_by_column(int column) { model_.sort_by_column(column); }

int MainWindow::remove_selected() {
  QItemSelectionModel* selection = ui_->record_list->selectionModel();
  int removed = 0;
  for (;;) {
    const QModelIndexList rows = selection->selectedRows();
    if (rows.isEmpty()) break;
    const int row = std::min_element(rows.begin(), rows.end(),
                                     [](const QModelIndex& left, const QModelIndex& right) {
                                       return left.row() < right.row();
                                     })
                        ->row();
    if (!remove_record(engine_, model_.source(), model_.record(row).handle)) break;
    model_.remove_record_row(row);
    ++removed;
  }
  set_top_status(model_.rowCount());
  refresh_countdown_ = 2;
  return removed;
}

void MainWindow::show_item_menu(const QPoint& position) {
  if (!ui_->record_list->selectionModel()->hasSelection() || !item_menu_) return;
  activateWindow();
  item_menu_->exec(ui_->record_list->viewport()->mapToGlobal(position));
}

void MainWindow::restore_window() {
  minimised_ = false;
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
  if (QWidget* modal = QApplication::activeModalWidget(); modal != nullptr && modal != this) {
    modal->raise();
    modal->activateWindow();
  }
}

void MainWindow::hide_minimised() {
  minimised_ = true;
  hide();
}

void MainWindow::add_tray_icon() {
  if (!tray_) return;
  tray_shown_ = tray_->add(windowTitle(), tray_menu_.get(), [this] { restore_window(); });
}

void MainWindow::remove_tray_icon() {
  if (tray_) tray_->remove();
  tray_shown_ = false;
}

void MainWindow::set_columns() {
  model_.set_titles({language_.load_text(17, "NAME", kShortTextSize),
                     language_.load_text(18, "TYPE", kShortTextSize),
                     language_.load_text(19, "RESOURCE", kShortTextSize),
                     language_.load_text(20, "TTL", kShortTextSize)});
  size_columns();
}

void MainWindow::size_columns() {
  QTableView* list = ui_->record_list;
  const int width =
      list->contentsRect().width() - list->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
  for (int column = 0; column < RecordTableModel::kColumnCount; ++column)
    list->setColumnWidth(
        column, RecordTableModel::kColumnShares[static_cast<size_t>(column)] * width / 100);
}

void MainWindow::exit_program(bool quit) {
  if (exiting_) return;
  exiting_ = true;
  if (!minimised_) write_window_rectangle(user_, current_rectangle());
  remove_tray_icon();
  timer_.stop();
  if (stop_hook_) stop_hook_();
  if (quit) QCoreApplication::exit(0);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // Closing minimises, and a minimised window hides: the server keeps serving.
  event->ignore();
  if (!exiting_) hide_minimised();
}

void MainWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized() && !exiting_) {
    // Hiding inside the state change confuses some window managers; do it
    // right after.
    QMetaObject::invokeMethod(
        this, [this] { hide_minimised(); }, Qt::QueuedConnection);
  }
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  // The list gets its final size from the layout after the window's own
  // resize, so the columns follow the list's resize, not the window's.
  if (watched == ui_->record_list && event->type() == QEvent::Resize) size_columns();
  return QMainWindow::eventFilter(watched, event);
}

}  // namespace norvane
