// The log viewer dialog.
#include "gui/log_viewer_dialog.h"

#include <QComboBox>
#include <QFile>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QPrinter>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyle>
#include <QTableView>
#include <cmath>
#include <mutex>

#include "engine/text_helpers.h"
#include "gui/language.h"
#include "gui/log_printer.h"
#include "runtime/log_lines.h"
#include "ui_log_viewer_dialog.h"

// The icons sit in their own resource file, registered on first use so that
// the dialog works in any program that links the library. The macro must
// stand outside any namespace.
static void init_log_viewer_resources() { Q_INIT_RESOURCE(log_viewer); }

namespace norvane {
namespace {

// Sizes of the controls in dialog units, as a dialog template would give
// them: the margin, the label, the drop-down list's width and the buttons.
constexpr int kMarginUnits = 5;
constexpr int kLabelWidthUnits = 40;
constexpr int kLabelHeightUnits = 8;
constexpr int kFileListWidthUnits = 110;
constexpr int kButtonWidthUnits = 50;
constexpr int kButtonHeightUnits = 14;

// Column widths in percent of the list's width less a scroll bar.
constexpr int kColumnPercent[LogLineModel::kColumnCount] = {4, 13, 11, 60};
// Titles: built-in ids and keys, loaded into 16-byte buffers.
constexpr size_t kTitleSize = 16;

void ensure_resources() {
  static std::once_flag once;
  std::call_once(once, [] { init_log_viewer_resources(); });
}

}  // namespace

DialogUnits DialogUnits::of(const QFont& font) {
  const QFontMetrics metrics(font);
  DialogUnits units;
  // The average width of the 52 letters, rounded, like dialog templates use.
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  units.base_x = std::max(1, (letters / 26 + 1) / 2);
  units.base_y = std::max(1, metrics.height());
  return units;
}

int DialogUnits::x(int units) const { return (units * base_x + 2) / 4; }
int DialogUnits::y(int units) const { return (units * base_y + 4) / 8; }

LogViewerDialog::LogViewerDialog(const Language& language, std::string data_directory,
                                 uint32_t create_log, QWidget* parent, std::time_t now)
    : QDialog(parent),
      language_(language),
      data_directory_(std::move(data_directory)),
      ui_(std::make_unique<Ui::LogViewerDialog>()) {
  ensure_resources();
  ui_->setupUi(this);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  units_ = DialogUnits::of(font());

  language_.translate_control(this, nullptr, "PROTOCOL");
  language_.translate_control(this, ui_->FILE, "FILE");
  language_.translate_control(this, ui_->PRINT, "PRINT");
  print_failed_text_ = language_.load_text(0, "PRINT_FAILED", 256);
  if (print_failed_text_.isEmpty()) print_failed_text_ = QStringLiteral("Printing failed:");

  const LogFileChoice choice = choose_log_files(data_directory_, now, create_log);
  for (const std::string& name : choice.names)
    ui_->file_list->addItem(QString::fromStdString(name));
  ui_->file_list->setCurrentIndex(static_cast<int>(choice.selected));

  model_.set_titles({QString(), language_.load_text(23, "DATE", kTitleSize),
                     language_.load_text(24, "TIME", kTitleSize),
                     language_.load_text(25, "OPER", kTitleSize)});
  model_.set_icons(QIcon(QStringLiteral(":/icons/log_query.png")),
                   QIcon(QStringLiteral(":/icons/log_other.png")));
  QTableView* list = ui_->log_list;
  list->setModel(&model_);
  list->setIconSize(QSize(16, 16));
  // Rows of one height let the view place a million of them without
  // measuring each one.
  QHeaderView* rows = list->verticalHeader();
  rows->setSectionResizeMode(QHeaderView::Fixed);
  rows->setDefaultSectionSize(std::max(18, QFontMetrics(list->font()).height() + 4));
  list->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  list->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  // The icon column is narrower than a header's usual minimum.
  list->horizontalHeader()->setMinimumSectionSize(1);

  connect(&model_, &LogLineModel::loaded, this, &LogViewerDialog::on_loaded);
  connect(ui_->file_list, &QComboBox::activated, this,
          [this](int index) { show_file(ui_->file_list->itemText(index)); });
  connect(ui_->PRINT, &QPushButton::clicked, this, [this] { print_chosen_file(); });
  connect(ui_->ok_button, &QPushButton::clicked, this, [this] { done(1); });

  model_.load(join_path(data_directory_, choice.current));

  status_bar_ = new QStatusBar(this);
  status_bar_->setObjectName(QStringLiteral("status_bar"));
  status_bar_->setProperty("id", 1004);
  status_bar_->setSizeGripEnabled(true);

  ui_->file_list->resize(units_.x(kFileListWidthUnits), ui_->file_list->sizeHint().height());
  // The label is as tall as the drop-down list beside it, so that its
  // vertically centred text lines up with the list's.
  ui_->FILE->resize(units_.x(kLabelWidthUnits),
                    std::max(units_.y(kLabelHeightUnits), ui_->file_list->height()));
  for (QPushButton* button : {ui_->PRINT, ui_->ok_button}) {
    const QSize hint = button->sizeHint();
    button->resize(std::max(units_.x(kButtonWidthUnits), hint.width()),
                   std::max(units_.y(kButtonHeightUnits), hint.height()));
  }
  setMinimumSize(units_.size(kMinimumWidthUnits, kMinimumHeightUnits));
  resize(units_.size(kWidthUnits, kHeightUnits));
  lay_out();
}

LogViewerDialog::~LogViewerDialog() = default;

QTableView* LogViewerDialog::log_list() const { return ui_->log_list; }
QComboBox* LogViewerDialog::file_list() const { return ui_->file_list; }
QPushButton* LogViewerDialog::print_button() const { return ui_->PRINT; }
QPushButton* LogViewerDialog::ok_button() const { return ui_->ok_button; }

QString LogViewerDialog::path_of(const QString& name) const {
  return QString::fromStdString(join_path(data_directory_, name.toStdString()));
}

bool LogViewerDialog::show_file(const QString& name) {
  if (name.isEmpty()) return false;
  model_.clear();
  return model_.load(join_path(data_directory_, name.toStdString()));
}

bool LogViewerDialog::print_chosen_file() {
  const QString name = ui_->file_list->currentText();
  if (name.isEmpty()) return true;
  status_bar_->clearMessage();
  QPrinter printer(QPrinter::HighResolution);
  const QString path = path_of(name);
  const bool printed = print_log_file(this, printer, path);
  if (!printed) status_bar_->showMessage(print_failed_text_ + ' ' + path);
  return printed;
}

void LogViewerDialog::reject() { done(1); }

void LogViewerDialog::on_loaded(int rows) {
  if (rows > 0) ui_->log_list->scrollToBottom();
  emit file_shown(rows);
}

void LogViewerDialog::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  lay_out();
}

void LogViewerDialog::lay_out() {
  if (status_bar_ == nullptr) return;
  const int width = this->width();
  const int height = this->height();
  const int margin_x = units_.x(kMarginUnits);
  const int margin_y = units_.y(kMarginUnits);
  const int status_height = status_bar_->sizeHint().height();
  status_bar_->setGeometry(0, height - status_height, width, status_height);
  // The other controls share what the status bar leaves, so that the bottom
  // row sits above it rather than under it.
  const int bottom = height - status_height;
  ui_->log_list->setGeometry(margin_x, margin_y, std::max(0, width - 2 * margin_x),
                             std::max(0, bottom - 6 * margin_y));
  QWidget* label = ui_->FILE;
  label->move(margin_x, bottom - label->height() - margin_y);
  QWidget* files = ui_->file_list;
  files->move(10 * margin_x, bottom - files->height() - margin_y);
  QWidget* print = ui_->PRINT;
  print->move(width - 4 * margin_x - 2 * print->width(), bottom - print->height() - margin_y);
  QWidget* ok = ui_->ok_button;
  ok->move(width - 2 * margin_x - ok->width(), bottom - ok->height() - margin_y);
  size_columns();
}

void LogViewerDialog::size_columns() {
  QTableView* list = ui_->log_list;
  const int scroll_bar = list->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, list);
  const int client = std::max(0, list->contentsRect().width() - scroll_bar);
  for (int column = 0; column < LogLineModel::kColumnCount; ++column)
    list->setColumnWidth(column, client * kColumnPercent[column] / 100);
}

}  // namespace norvane
