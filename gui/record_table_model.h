// The model of the window's record list: rows of RecordView values for the
// Database or the Cache view, refilled in place so that selection and scroll
// position survive, and sorted by the one shared sort-flip flag. GUI thread
// only.
#pragma once

#include <QAbstractTableModel>
#include <QStringList>
#include <array>
#include <cstdint>
#include <vector>

#include "engine/record_view.h"

namespace norvane {

class RecordTableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { kName, kType, kResource, kTtl, kColumnCount };
  // Shares of the list's width, in percent.
  static constexpr std::array<int, kColumnCount> kColumnShares = {36, 12, 36, 16};

  explicit RecordTableModel(QObject* parent = nullptr);

  // Writes `rows` over the current rows in list order: changed rows are
  // announced with dataChanged, rows beyond the old count are inserted at the
  // end, surplus rows are removed from the end. Never resets the model.
  // `now` is the time the Cache view's remaining lifetimes count from.
  // Returns the number of rows.
  int refill(std::vector<RecordView> rows, RecordSource source, uint32_t now);

  void set_titles(const QStringList& titles);

  // Flips the sort-descending flag, then sorts by `column` (stable, so rows
  // that compare equal keep their order); persistent indexes follow their rows.
  void sort_by_column(int column);
  bool sort_descending() const { return sort_descending_; }

  RecordSource source() const { return source_; }
  const RecordView& record(int row) const { return rows_[static_cast<size_t>(row)]; }
  // Removes one row (after its record was removed from the engine).
  void remove_record_row(int row);
  // The row showing `handle`, -1 when none.
  int row_of(uint64_t handle) const;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  std::vector<RecordView> rows_;
  RecordSource source_ = RecordSource::kDatabase;
  uint32_t now_ = 0;
  bool sort_descending_ = false;
  QStringList titles_;
};

}  // namespace norvane
