// The Statistics dialog.
#include "gui/statistics_dialog.h"

#include <QLabel>
#include <QTimerEvent>

#include "engine/query_statistics.h"
#include "gui/language.h"
#include "ui_statistics_dialog.h"

namespace norvane {

StatisticsDialog::StatisticsDialog(const QueryStatistics& statistics, const Language& language,
                                   QWidget* parent)
    : QDialog(parent), statistics_(statistics), ui_(std::make_unique<Ui::StatisticsDialog>()) {
  ui_->setupUi(this);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  language.translate_control(this, nullptr, "STATISTICS");
  language.translate_dialog(this);
  fields_ = {ui_->a_queries_value,  ui_->ns_queries_value,     ui_->cname_queries_value,
             ui_->mx_queries_value, ui_->zone_transfers_value, ui_->ptr_queries_value,
             ui_->queries_value,    ui_->answers_value,        ui_->forwarded_value,
             ui_->updates_value};
  show_counters();
  timer_.start(kRefreshMs, this);
}

StatisticsDialog::~StatisticsDialog() = default;

void StatisticsDialog::show_counters() {
  // The eleventh counter, error replies, is not shown.
  const auto counters = statistics_.snapshot();
  for (int i = 0; i < kCounterCount; ++i)
    fields_[i]->setText(QStringLiteral("%1 ").arg(counters[static_cast<size_t>(i)]));
}

void StatisticsDialog::reject() {
  timer_.stop();
  QDialog::reject();
}

void StatisticsDialog::timerEvent(QTimerEvent* event) {
  if (event->timerId() == timer_.timerId()) {
    show_counters();
    return;
  }
  QDialog::timerEvent(event);
}

}  // namespace norvane
