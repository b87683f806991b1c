// The rows of one transaction log file for the log viewer's list: an icon
// column and the date, time and operation of each row. The model holds only
// the rows' offsets (LogIndex) and reads their texts from the file when the
// view asks, a few hundred rows at a time. Loading runs in slices on the event
// loop so that a file of a million lines never holds up the window. GUI
// thread only.
#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QStringList>
#include <QTimer>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "runtime/log_lines.h"

namespace norvane {

class LogLineModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column : int { kIconColumn = 0, kDateColumn, kTimeColumn, kOperationColumn, kColumnCount };

  explicit LogLineModel(QObject* parent = nullptr);
  ~LogLineModel() override;

  // Column titles (icon column first) and the two row icons: the query line
  // icon and the icon of every other line.
  void set_titles(const QStringList& titles);
  void set_icons(const QIcon& query, const QIcon& other);

  // Empties the list and stops a load in progress.
  void clear();
  // Starts loading the file at `path` in place of the current rows. False
  // when it cannot be opened: the rows stay as they are. Rows then arrive in
  // slices on the event loop, and loaded() reports the end.
  bool load(const std::string& path);
  bool loading() const { return slice_timer_.isActive(); }
  // Indexes the rest of the file at once (for callers without an event loop).
  void finish_loading();

  // The whole text of `row` (without its line end); empty past the end.
  QString row_text(int row) const;
  bool is_query_row(int row) const;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 signals:
  // The file has been read to its end; `rows` rows are listed.
  void loaded(int rows);

 private:
  // One run of consecutive rows read together.
  struct Block {
    size_t number = 0;
    std::vector<std::string> texts;
  };

  void load_slice();
  void publish_rows();
  const std::string* cached_row(int row) const;

  std::unique_ptr<LogIndex> index_;
  int rows_ = 0;
  QTimer slice_timer_;
  QStringList titles_;
  QIcon query_icon_;
  QIcon other_icon_;
  // The blocks read last, most recent at the front.
  mutable std::deque<Block> blocks_;
};

}  // namespace norvane
