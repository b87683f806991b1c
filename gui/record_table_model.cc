// The model of the window's record list.
#include "gui/record_table_model.h"

#include <algorithm>
#include <numeric>

namespace norvane {

RecordTableModel::RecordTableModel(QObject* parent)
    : QAbstractTableModel(parent),
      titles_{QStringLiteral("Name"), QStringLiteral("Type"), QStringLiteral("Resource"),
              QStringLiteral("TTL (s)")} {}

int RecordTableModel::refill(std::vector<RecordView> rows, RecordSource source, uint32_t now) {
  const int old_count = static_cast<int>(rows_.size());
  const int new_count = static_cast<int>(rows.size());
  // Switching views or moving the clock changes cells of rows whose values
  // stay: the Name of a cached PTR, every remaining lifetime.
  const bool all_changed = source != source_;
  const bool ttl_changed = source == RecordSource::kCache && now != now_;
  source_ = source;
  now_ = now;

  if (new_count < old_count) {
    beginRemoveRows(QModelIndex(), new_count, old_count - 1);
    rows_.resize(static_cast<size_t>(new_count));
    endRemoveRows();
  }
  const int kept = std::min(old_count, new_count);
  int run_start = -1;
  const auto close_run = [this, &run_start](int end) {
    if (run_start < 0) return;
    emit dataChanged(index(run_start, 0), index(end - 1, kColumnCount - 1));
    run_start = -1;
  };
  for (int row = 0; row < kept; ++row) {
    RecordView& current = rows_[static_cast<size_t>(row)];
    RecordView& fresh = rows[static_cast<size_t>(row)];
    if (all_changed || !(current == fresh)) {
      current = std::move(fresh);
      if (run_start < 0) run_start = row;
    } else {
      close_run(row);
    }
  }
  close_run(kept);
  if (ttl_changed && kept > 0) emit dataChanged(index(0, kTtl), index(kept - 1, kTtl));

  if (new_count > old_count) {
    beginInsertRows(QModelIndex(), old_count, new_count - 1);
    rows_.reserve(static_cast<size_t>(new_count));
    std::move(rows.begin() + old_count, rows.end(), std::back_inserter(rows_));
    endInsertRows();
  }
  return new_count;
}

void RecordTableModel::set_titles(const QStringList& titles) {
  titles_ = titles;
  emit headerDataChanged(Qt::Horizontal, 0, kColumnCount - 1);
}

void RecordTableModel::sort_by_column(int column) {
  sort_descending_ = !sort_descending_;
  if (column < 0 || column >= kColumnCount) return;
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  std::vector<int> order(rows_.size());
  std::iota(order.begin(), order.end(), 0);
  const bool descending = sort_descending_;
  std::stable_sort(order.begin(), order.end(), [this, column, descending](int left, int right) {
    const int result = compare_records(rows_[static_cast<size_t>(left)],
                                       rows_[static_cast<size_t>(right)], column);
    return descending ? result > 0 : result < 0;
  });
  std::vector<RecordView> sorted;
  sorted.reserve(rows_.size());
  std::vector<int> new_row(rows_.size());
  for (size_t position = 0; position < order.size(); ++position) {
    sorted.push_back(std::move(rows_[static_cast<size_t>(order[position])]));
    new_row[static_cast<size_t>(order[position])] = static_cast<int>(position);
  }
  rows_ = std::move(sorted);
  const QModelIndexList from = persistentIndexList();
  QModelIndexList to;
  to.reserve(from.size());
  for (const QModelIndex& old_index : from)
    to.append(index(new_row[static_cast<size_t>(old_index.row())], old_index.column()));
  changePersistentIndexList(from, to);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void RecordTableModel::remove_record_row(int row) {
  if (row < 0 || row >= static_cast<int>(rows_.size())) return;
  beginRemoveRows(QModelIndex(), row, row);
  rows_.erase(rows_.begin() + row);
  endRemoveRows();
}

int RecordTableModel::row_of(uint64_t handle) const {
  for (size_t row = 0; row < rows_.size(); ++row)
    if (rows_[row].handle == handle) return static_cast<int>(row);
  return -1;
}

int RecordTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int RecordTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant RecordTableModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount()) return {};
  const RecordView& row = rows_[static_cast<size_t>(index.row())];
  switch (index.column()) {
    case kName:
      return QString::fromStdString(record_name_text(row, source_));
    case kType:
      return QString::fromStdString(record_type_text(row));
    case kResource:
      return QString::fromStdString(record_resource_text(row));
    case kTtl:
      return QString::fromStdString(record_ttl_text(row, source_, now_));
    default:
      return {};
  }
}

QVariant RecordTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  if (section < 0 || section >= titles_.size()) return {};
  return titles_[section];
}

}  // namespace norvane
