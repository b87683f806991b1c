// The Statistics dialog (File > Statistics): the server's first ten request
// counters, shown again every second while the dialog is open. It only reads
// the counters, which are atomics. GUI thread only.
#pragma once

#include <QBasicTimer>
#include <QDialog>
#include <QString>
#include <array>
#include <memory>

class QLabel;

namespace Ui {
class StatisticsDialog;
}

namespace norvane {

class Language;
struct QueryStatistics;

class StatisticsDialog : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kCounterCount = 10;
  static constexpr int kRefreshMs = 1000;

  // `statistics` and `language` must outlive the dialog.
  StatisticsDialog(const QueryStatistics& statistics, const Language& language,
                   QWidget* parent = nullptr);
  ~StatisticsDialog() override;

  // The value fields in counter order: A, NS, CNAME, MX, zone transfers,
  // PTR, queries, answers, forwarded, updates.
  QLabel* value_field(int counter) const { return fields_[counter]; }
  // Shows every counter again.
  void show_counters();
  bool refreshing() const { return timer_.isActive(); }

 public slots:
  // The window's close box and Escape: the refresh stops with the dialog.
  void reject() override;

 protected:
  void timerEvent(QTimerEvent* event) override;

 private:
  const QueryStatistics& statistics_;
  std::unique_ptr<Ui::StatisticsDialog> ui_;
  std::array<QLabel*, kCounterCount> fields_{};
  QBasicTimer timer_;
};

}  // namespace norvane
