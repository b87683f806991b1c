// The Security dialog (Options > Security): the access-control switch and
// the trusted address ranges with their rights. It edits a copy of the list
// in its rows; OK puts the rows in force and in the store, Cancel forgets
// them. GUI thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <memory>
#include <vector>

#include "engine/access_control.h"
#include "runtime/settings_store.h"

class QCheckBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace Ui {
class SecurityDialog;
}

namespace norvane {

class Engine;
class Language;

// One row of the list as the user sees it: the rights letters ("Q Z U" and
// shorter), the first address or "*", and the last address or nothing.
struct AccessRow {
  QString rights;
  QString first;
  QString last;
  bool operator==(const AccessRow&) const = default;
};

// The rights text of the three boxes, always in the order "Q ", "Z ", "U".
QString access_rights_text(bool queries, bool transfers, bool updates);
// The row showing a range of the live list.
AccessRow access_row(const AccessRange& range);
// The ranges the rows stand for, in row order. Rows without rights are
// dropped; an address text that does not read counts as 0, and a range whose
// first address is 0 becomes the single address of its last one.
std::vector<AccessRange> access_ranges(const std::vector<AccessRow>& rows);

class SecurityDialog : public QDialog {
  Q_OBJECT

 public:
  // Address edits use this many characters.
  static constexpr int kAddressLength = 15;

  // `engine` and `language` must outlive the dialog; `store` is the machine
  // store that OK writes.
  SecurityDialog(Engine& engine, SettingsStore store, const Language& language,
                 QWidget* parent = nullptr);
  ~SecurityDialog() override;

  // The rows as they stand.
  std::vector<AccessRow> rows() const;
  // The selected row's index, -1 without one.
  int selected_row() const;

  QCheckBox* access_box() const;
  QTreeWidget* range_list() const;
  QPushButton* add_button() const;
  QPushButton* remove_button() const;
  QCheckBox* queries_box() const;
  QCheckBox* transfers_box() const;
  QCheckBox* updates_box() const;
  QLineEdit* first_edit() const;
  QLineEdit* last_edit() const;
  QPushButton* ok_button() const;
  QPushButton* cancel_button() const;

 public slots:
  // OK: the switch and the rows go live and into the store; a store that
  // cannot be written is reported with the error box.
  void accept() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QTreeWidgetItem* selected_item() const;
  void set_row(QTreeWidgetItem* item, const AccessRow& row);
  AccessRow row_of(const QTreeWidgetItem* item) const;
  void show_selected_row();
  void enable_ranges(bool enabled);
  void on_right_clicked();
  void on_first_edited(const QString& text);
  void on_last_edited(const QString& text);
  void on_add();
  void on_remove();
  void size_columns();

  Engine& engine_;
  SettingsStore store_;
  const Language& language_;
  std::unique_ptr<Ui::SecurityDialog> ui_;
};

}  // namespace norvane
