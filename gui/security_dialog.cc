// The Security dialog.
#include "gui/security_dialog.h"

#include <arpa/inet.h>

#include <QCheckBox>
#include <QEvent>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTreeWidget>
#include <mutex>

#include "engine/engine.h"
#include "engine/text_helpers.h"
#include "gui/dialog_helpers.h"
#include "gui/language.h"
#include "runtime/administration.h"
#include "runtime/settings.h"
#include "ui_security_dialog.h"

// The button bitmaps sit in their own resource file, registered on first use
// so that the dialog works in any program that links the library. The macro
// must stand outside any namespace.
static void init_security_resources() { Q_INIT_RESOURCE(security); }

namespace norvane {
namespace {

enum Column { kRightsColumn = 0, kFirstColumn = 1, kLastColumn = 2, kColumnCount = 3 };
constexpr int kColumnPercent[kColumnCount] = {20, 40, 40};
// Column titles are loaded into buffers of this size.
constexpr size_t kTitleSize = 32;
constexpr const char* kEveryAddress = "*";

void ensure_resources() {
  static std::once_flag once;
  std::call_once(once, [] { init_security_resources(); });
}

// The host-order address at the start of `text` (its first 15 characters,
// any text behind the quad ignored); nothing when it does not start with one.
std::optional<uint32_t> read_address(const QString& text) {
  const QByteArray bytes = text.left(SecurityDialog::kAddressLength).toLatin1();
  uint32_t address = 0;
  if (parse_ipv4_prefix(bytes.constData(), &address) == nullptr) return std::nullopt;
  return ntohl(address);
}

QString dotted(uint32_t host_address) {
  char buffer[kIpv4TextSize];
  return QString::fromLatin1(format_ipv4(htonl(host_address), buffer));
}

}  // namespace

QString access_rights_text(bool queries, bool transfers, bool updates) {
  QString text;
  if (queries) text += QStringLiteral("Q ");
  if (transfers) text += QStringLiteral("Z ");
  if (updates) text += QStringLiteral("U");
  return text;
}

AccessRow access_row(const AccessRange& range) {
  AccessRow row;
  row.rights = QString::fromStdString(range.rights);
  if (range.first == 0 && range.last == 0) {
    row.first = kEveryAddress;
    return row;
  }
  if (range.first != 0) row.first = dotted(range.first);
  if (range.last != 0) row.last = dotted(range.last);
  return row;
}

std::vector<AccessRange> access_ranges(const std::vector<AccessRow>& rows) {
  std::vector<AccessRange> ranges;
  for (const AccessRow& row : rows) {
    if (row.rights.isEmpty()) continue;
    AccessRange range;
    range.rights = row.rights.left(kMaxAccessRights).toStdString();
    range.first = read_address(row.first).value_or(0);
    range.last = read_address(row.last).value_or(0);
    if (range.first == 0) {
      range.first = range.last;
      range.last = 0;
    }
    ranges.push_back(std::move(range));
  }
  return ranges;
}

SecurityDialog::SecurityDialog(Engine& engine, SettingsStore store, const Language& language,
                               QWidget* parent)
    : QDialog(parent),
      engine_(engine),
      store_(std::move(store)),
      language_(language),
      ui_(std::make_unique<Ui::SecurityDialog>()) {
  ensure_resources();
  ui_->setupUi(this);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  language_.translate_control(this, nullptr, "SECURITY");
  language_.translate_dialog(this);
  ui_->add_button->setIcon(QIcon(QStringLiteral(":/icons/range_add.png")));
  ui_->remove_button->setIcon(QIcon(QStringLiteral(":/icons/range_remove.png")));

  QTreeWidget* list = ui_->range_list;
  list->setHeaderLabels({language_.load_text(21, "ACCESS", kTitleSize),
                         language_.load_text(22, "RANGE", kTitleSize), QString()});
  list->header()->setSectionResizeMode(QHeaderView::Interactive);
  list->installEventFilter(this);
  for (const AccessRange& range : engine_.access.access_list()) {
    auto* item = new QTreeWidgetItem(list);
    set_row(item, access_row(range));
  }

  const bool enabled = engine_.settings.access_control.load() != 0;
  ui_->ACCESS->setChecked(enabled);
  enable_ranges(enabled);

  connect(ui_->ACCESS, &QCheckBox::clicked, this, &SecurityDialog::enable_ranges);
  // A click shows the selected row again (undoing a half-typed address);
  // a row selected with the keyboard is shown too, so that the edits never
  // speak for another row than the one they change.
  connect(list, &QTreeWidget::itemClicked, this, [this] { show_selected_row(); });
  connect(list, &QTreeWidget::itemSelectionChanged, this, [this] { show_selected_row(); });
  for (QCheckBox* box : {ui_->READ, ui_->TRANSFER, ui_->WRITE})
    connect(box, &QCheckBox::clicked, this, &SecurityDialog::on_right_clicked);
  // Only what the user types edits the row; the dialog's own filling of the
  // edits does not.
  connect(ui_->first_address, &QLineEdit::textEdited, this, &SecurityDialog::on_first_edited);
  connect(ui_->last_address, &QLineEdit::textEdited, this, &SecurityDialog::on_last_edited);
  connect(ui_->add_button, &QPushButton::clicked, this, &SecurityDialog::on_add);
  connect(ui_->remove_button, &QPushButton::clicked, this, &SecurityDialog::on_remove);
  connect(ui_->ok_button, &QPushButton::clicked, this, &SecurityDialog::accept);
  connect(ui_->CANCEL, &QPushButton::clicked, this, &SecurityDialog::reject);
}

SecurityDialog::~SecurityDialog() = default;

QCheckBox* SecurityDialog::access_box() const { return ui_->ACCESS; }
QTreeWidget* SecurityDialog::range_list() const { return ui_->range_list; }
QPushButton* SecurityDialog::add_button() const { return ui_->add_button; }
QPushButton* SecurityDialog::remove_button() const { return ui_->remove_button; }
QCheckBox* SecurityDialog::queries_box() const { return ui_->READ; }
QCheckBox* SecurityDialog::transfers_box() const { return ui_->TRANSFER; }
QCheckBox* SecurityDialog::updates_box() const { return ui_->WRITE; }
QLineEdit* SecurityDialog::first_edit() const { return ui_->first_address; }
QLineEdit* SecurityDialog::last_edit() const { return ui_->last_address; }
QPushButton* SecurityDialog::ok_button() const { return ui_->ok_button; }
QPushButton* SecurityDialog::cancel_button() const { return ui_->CANCEL; }

std::vector<AccessRow> SecurityDialog::rows() const {
  std::vector<AccessRow> result;
  const QTreeWidget* list = ui_->range_list;
  for (int i = 0; i < list->topLevelItemCount(); ++i)
    result.push_back(row_of(list->topLevelItem(i)));
  return result;
}

int SecurityDialog::selected_row() const {
  QTreeWidgetItem* item = selected_item();
  return item == nullptr ? -1 : ui_->range_list->indexOfTopLevelItem(item);
}

QTreeWidgetItem* SecurityDialog::selected_item() const {
  const QList<QTreeWidgetItem*> selected = ui_->range_list->selectedItems();
  return selected.isEmpty() ? nullptr : selected.first();
}

void SecurityDialog::set_row(QTreeWidgetItem* item, const AccessRow& row) {
  item->setText(kRightsColumn, row.rights);
  item->setText(kFirstColumn, row.first);
  item->setText(kLastColumn, row.last);
}

AccessRow SecurityDialog::row_of(const QTreeWidgetItem* item) const {
  return {item->text(kRightsColumn), item->text(kFirstColumn), item->text(kLastColumn)};
}

void SecurityDialog::show_selected_row() {
  QTreeWidgetItem* item = selected_item();
  if (item == nullptr) return;
  const AccessRow row = row_of(item);
  ui_->first_address->setText(row.first);
  ui_->last_address->setText(row.last);
  ui_->READ->setChecked(row.rights.contains('Q'));
  ui_->TRANSFER->setChecked(row.rights.contains('Z'));
  ui_->WRITE->setChecked(row.rights.contains('U'));
}

void SecurityDialog::enable_ranges(bool enabled) {
  for (QWidget* control : std::initializer_list<QWidget*>{
           ui_->range_list, ui_->first_address, ui_->last_address, ui_->READ, ui_->TRANSFER,
           ui_->WRITE, ui_->add_button, ui_->remove_button})
    control->setEnabled(enabled);
}

void SecurityDialog::on_right_clicked() {
  QTreeWidgetItem* item = selected_item();
  if (item == nullptr) return;
  item->setText(kRightsColumn,
                access_rights_text(ui_->READ->isChecked(), ui_->TRANSFER->isChecked(),
                                   ui_->WRITE->isChecked()));
  ui_->range_list->setFocus();
}

void SecurityDialog::on_first_edited(const QString& text) {
  QTreeWidgetItem* item = selected_item();
  if (item == nullptr) return;
  if (!text.isEmpty()) {
    // A partly typed address leaves the row as it was.
    if (read_address(text)) item->setText(kFirstColumn, text.left(kAddressLength));
    return;
  }
  item->setText(kFirstColumn, ui_->last_address->text().isEmpty() ? kEveryAddress : "");
}

void SecurityDialog::on_last_edited(const QString& text) {
  QTreeWidgetItem* item = selected_item();
  if (item == nullptr) return;
  if (!text.isEmpty() && !read_address(text)) return;
  item->setText(kLastColumn, text.left(kAddressLength));
  const QString first = ui_->first_address->text();
  if (first.isEmpty()) item->setText(kFirstColumn, text.isEmpty() ? kEveryAddress : "");
  // "*" up to an address would read as every address; a last address
  // typed behind it makes the row that single address.
  if (!text.isEmpty() && first == kEveryAddress) {
    item->setText(kFirstColumn, QString());
    ui_->first_address->clear();
  }
}

void SecurityDialog::on_add() {
  QTreeWidget* list = ui_->range_list;
  QTreeWidgetItem* selected = selected_item();
  const int position =
      selected != nullptr ? list->indexOfTopLevelItem(selected) : list->topLevelItemCount();
  if (selected != nullptr) selected->setSelected(false);
  auto* item = new QTreeWidgetItem();
  set_row(item, {access_rights_text(true, false, false), kEveryAddress, QString()});
  list->insertTopLevelItem(position, item);
  ui_->first_address->setText(kEveryAddress);
  ui_->last_address->clear();
  ui_->READ->setChecked(true);
  ui_->TRANSFER->setChecked(false);
  ui_->WRITE->setChecked(false);
  list->setCurrentItem(item);
  item->setSelected(true);
}

void SecurityDialog::on_remove() {
  QTreeWidget* list = ui_->range_list;
  if (QTreeWidgetItem* selected = selected_item()) delete selected;
  // With no row left the edits keep their texts; no row takes them.
  if (QTreeWidgetItem* first = list->topLevelItem(0)) {
    list->setCurrentItem(first);
    first->setSelected(true);
    show_selected_row();
  }
}

void SecurityDialog::accept() {
  // The list goes live before the switch, so that turning access control on
  // never meets the former list for even one query.
  const bool enabled = ui_->ACCESS->isChecked();
  bool stored = replace_access_list(engine_, store_, access_ranges(rows()));
  std::atomic<uint32_t>& live = engine_.settings.access_control;
  const uint32_t previous = live.exchange(enabled ? 1 : 0);
  if (settings_write(engine_, store_, kMainKey) == 0) {
    // Not stored, so not in force either: the next start would forget it.
    live.store(previous);
    stored = false;
  }
  if (!stored) {
    constexpr int kNoSaveId = 45;
    constexpr size_t kNoSaveSize = 128;
    error_box(this, language_.window_title(),
              language_.load_text(kNoSaveId, "NOSAVE", kNoSaveSize));
  }
  done(QDialog::Accepted);
}

bool SecurityDialog::eventFilter(QObject* watched, QEvent* event) {
  // The columns share the list's width, whenever that is known or changes.
  if (watched == ui_->range_list &&
      (event->type() == QEvent::Resize || event->type() == QEvent::Show))
    size_columns();
  return QDialog::eventFilter(watched, event);
}

void SecurityDialog::size_columns() {
  QTreeWidget* list = ui_->range_list;
  const int scroll_bar = list->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, list);
  const int client = std::max(
      0, list->viewport()->width() - (list->verticalScrollBar()->isVisible() ? 0 : scroll_bar));
  for (int column = 0; column < kColumnCount; ++column)
    list->setColumnWidth(column, client * kColumnPercent[column] / 100);
}

}  // namespace norvane
