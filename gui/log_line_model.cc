// The log viewer's rows, read lazily from the file.
#include "gui/log_line_model.h"

#include <QElapsedTimer>
#include <algorithm>

namespace norvane {
namespace {

// Rows read from the file together, and how many such blocks stay cached: a
// screenful of rows costs one read, and scrolling back and forth a little
// costs none.
constexpr size_t kBlockRows = 256;
constexpr size_t kCachedBlocks = 16;
// One slice of loading reads this much at a time, and reads on until this
// much time has passed, then lets the event loop run.
constexpr size_t kSliceBytes = 1 << 20;
constexpr qint64 kSliceMilliseconds = 15;

QString field_text(std::string_view field) {
  // Log lines are bytes; Latin-1 shows every one of them as one character.
  return QString::fromLatin1(field.data(), static_cast<qsizetype>(field.size()));
}

}  // namespace

LogLineModel::LogLineModel(QObject* parent) : QAbstractTableModel(parent) {
  slice_timer_.setInterval(0);
  connect(&slice_timer_, &QTimer::timeout, this, &LogLineModel::load_slice);
}

LogLineModel::~LogLineModel() = default;

void LogLineModel::set_titles(const QStringList& titles) {
  titles_ = titles;
  emit headerDataChanged(Qt::Horizontal, 0, kColumnCount - 1);
}

void LogLineModel::set_icons(const QIcon& query, const QIcon& other) {
  query_icon_ = query;
  other_icon_ = other;
  if (rows_ > 0) emit dataChanged(index(0, kIconColumn), index(rows_ - 1, kIconColumn));
}

void LogLineModel::clear() {
  slice_timer_.stop();
  beginResetModel();
  index_.reset();
  rows_ = 0;
  blocks_.clear();
  endResetModel();
}

bool LogLineModel::load(const std::string& path) {
  auto index = std::make_unique<LogIndex>();
  if (!index->open(path)) return false;
  clear();
  index_ = std::move(index);
  slice_timer_.start();
  return true;
}

void LogLineModel::load_slice() {
  if (!index_) {
    slice_timer_.stop();
    return;
  }
  QElapsedTimer elapsed;
  elapsed.start();
  bool more = true;
  while (more && elapsed.elapsed() < kSliceMilliseconds) more = index_->index_more(kSliceBytes);
  publish_rows();
  if (!more) {
    slice_timer_.stop();
    emit loaded(rows_);
  }
}

void LogLineModel::finish_loading() {
  if (!loading()) return;
  while (index_->index_more(kSliceBytes)) {
  }
  publish_rows();
  slice_timer_.stop();
  emit loaded(rows_);
}

void LogLineModel::publish_rows() {
  // A list view counts its rows in int.
  const int indexed = static_cast<int>(std::min<size_t>(index_->size(), INT32_MAX));
  if (indexed <= rows_) return;
  beginInsertRows(QModelIndex(), rows_, indexed - 1);
  rows_ = indexed;
  endInsertRows();
}

const std::string* LogLineModel::cached_row(int row) const {
  if (!index_ || row < 0 || row >= rows_) return nullptr;
  const size_t number = static_cast<size_t>(row) / kBlockRows;
  const size_t offset = static_cast<size_t>(row) % kBlockRows;
  for (auto block = blocks_.begin(); block != blocks_.end(); ++block) {
    if (block->number != number) continue;
    // A block read while its last rows were still being indexed is read
    // again once they are there.
    if (offset >= block->texts.size()) {
      blocks_.erase(block);
      break;
    }
    if (block != blocks_.begin()) {
      Block moved = std::move(*block);
      blocks_.erase(block);
      blocks_.push_front(std::move(moved));
    }
    return &blocks_.front().texts[offset];
  }
  Block block;
  block.number = number;
  block.texts = index_->rows(number * kBlockRows, kBlockRows);
  if (offset >= block.texts.size()) return nullptr;
  blocks_.push_front(std::move(block));
  if (blocks_.size() > kCachedBlocks) blocks_.pop_back();
  return &blocks_.front().texts[offset];
}

QString LogLineModel::row_text(int row) const {
  const std::string* text = cached_row(row);
  return text != nullptr ? field_text(*text) : QString();
}

bool LogLineModel::is_query_row(int row) const {
  const std::string* text = cached_row(row);
  return text != nullptr && is_query_line(*text);
}

int LogLineModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_; }

int LogLineModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant LogLineModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rows_ || index.column() >= kColumnCount) return {};
  if (role != Qt::DisplayRole && role != Qt::DecorationRole) return {};
  const std::string* text = cached_row(index.row());
  if (text == nullptr) return {};
  if (index.column() == kIconColumn) {
    if (role != Qt::DecorationRole) return {};
    return is_query_line(*text) ? query_icon_ : other_icon_;
  }
  if (role != Qt::DisplayRole) return {};
  const LogFields fields = split_log_line(*text);
  switch (index.column()) {
    case kDateColumn:
      return field_text(fields.date);
    case kTimeColumn:
      return field_text(fields.time);
    default:
      return field_text(fields.operation);
  }
}

QVariant LogLineModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  if (section < 0 || section >= titles_.size()) return {};
  return titles_[section];
}

}  // namespace norvane
