// The log viewer (File > View Log): the transaction log files of the data
// directory in a drop-down list, the rows of one file with an icon and their
// date, time and operation, and printing. It only reads the files while the
// server goes on writing them. GUI thread only.
//
// Sizes are given in dialog units and mapped to pixels the way dialog
// templates are: a horizontal unit is a quarter of the dialog font's average
// character width (the width of "A".."Z" "a".."z" over 52, rounded), a
// vertical unit an eighth of the font's height.
#pragma once

#include <QDialog>
#include <QSize>
#include <ctime>
#include <memory>
#include <string>

#include "gui/log_line_model.h"

class QComboBox;
class QPushButton;
class QStatusBar;
class QTableView;

namespace Ui {
class LogViewerDialog;
}

namespace norvane {

class Language;

// Dialog units of one font, and their conversion to pixels (rounded).
struct DialogUnits {
  int base_x = 0;  // average character width
  int base_y = 0;  // character height
  static DialogUnits of(const QFont& font);
  int x(int units) const;
  int y(int units) const;
  QSize size(int width_units, int height_units) const { return {x(width_units), y(height_units)}; }
};

class LogViewerDialog : public QDialog {
  Q_OBJECT

 public:
  // Sizes of the dialog in dialog units: as it opens, and the smallest it
  // can be made.
  static constexpr int kWidthUnits = 392;
  static constexpr int kHeightUnits = 182;
  static constexpr int kMinimumWidthUnits = 380;
  static constexpr int kMinimumHeightUnits = 100;

  // `data_directory` is the Directory setting as the engine holds it;
  // `create_log` non-zero means daily files; `now` names the current file.
  LogViewerDialog(const Language& language, std::string data_directory, uint32_t create_log,
                  QWidget* parent = nullptr, std::time_t now = std::time(nullptr));
  ~LogViewerDialog() override;

  // The path of a file of the data directory.
  QString path_of(const QString& name) const;
  // What choosing an entry of the drop-down list does: empty the list and
  // load that file. False when it cannot be opened.
  bool show_file(const QString& name);
  // Prints the file chosen in the drop-down list; false on failure, which
  // the status bar reports.
  bool print_chosen_file();

  LogLineModel& model() { return model_; }
  QTableView* log_list() const;
  QComboBox* file_list() const;
  QPushButton* print_button() const;
  QPushButton* ok_button() const;
  QStatusBar* status_bar() const { return status_bar_; }
  const DialogUnits& units() const { return units_; }

 public slots:
  // OK and Cancel both end the dialog with result 1.
  void reject() override;

 signals:
  // The file being loaded has been read to its end and its last row shown.
  void file_shown(int rows);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void lay_out();
  void size_columns();
  void on_loaded(int rows);

  const Language& language_;
  std::string data_directory_;
  std::unique_ptr<Ui::LogViewerDialog> ui_;
  QStatusBar* status_bar_ = nullptr;
  LogLineModel model_;
  DialogUnits units_;
  QString print_failed_text_;
};

}  // namespace norvane
