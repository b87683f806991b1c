// The Local Domain dialog.
#include "gui/local_domain_dialog.h"

#include <QMetaObject>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "engine/engine.h"
#include "gui/dialog_helpers.h"
#include "gui/language.h"
#include "gui/main_window.h"
#include "gui/zone_dialog_text.h"
#include "ui_local_domain_dialog.h"

namespace norvane {
namespace {

// Message texts are loaded into 64-byte buffers.
constexpr size_t kMessageSize = 64;

// The text of a name field: one trailing "." dropped.
std::string entered_name(const QLineEdit* field) {
  std::string text = field->text().toStdString().substr(0, kEnteredNameSize);
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

uint32_t entered_number(const QLineEdit* field, uint32_t shown) {
  return leading_unsigned(field->text().toStdString()).value_or(shown);
}

}  // namespace

LocalDomainDialog::LocalDomainDialog(Engine& engine, const Language& language, MainWindow* window,
                                     RefreshStart refresh_start, QWidget* parent)
    : QDialog(parent),
      engine_(engine),
      language_(language),
      window_(window),
      refresh_start_(std::move(refresh_start)),
      ui_(std::make_unique<Ui::LocalDomainDialog>()) {
  ui_->setupUi(this);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  language_.translate_control(this, nullptr, "DOMAIN");
  const QRegularExpression digits(QStringLiteral("[0-9]*"));
  for (QLineEdit* number : {ui_->refresh, ui_->retry, ui_->expire, ui_->ttl})
    number->setValidator(new QRegularExpressionValidator(digits, number));
  connect(ui_->ok_button, &QPushButton::clicked, this, &LocalDomainDialog::accept);
  connect(ui_->CANCEL, &QPushButton::clicked, this, &LocalDomainDialog::reject);
  connect(ui_->RELOAD, &QPushButton::clicked, this, &LocalDomainDialog::refresh_from_primary);
  fill_fields();
}

LocalDomainDialog::~LocalDomainDialog() = default;

void LocalDomainDialog::fill_fields() {
  const bool secondary = engine_.settings.primary.load() != 0;
  std::time_t loaded_at = 0;
  std::time_t refreshed_at = 0;
  {
    const LocalZone::Guard zone = engine_.zone.hold();
    shown_ = ZoneSoa{zone.domain(),  zone.primary(), zone.mailbox(), zone.serial(),
                     zone.refresh(), zone.retry(),   zone.expire(),  zone.minimum()};
    loaded_at = zone.loaded_at();
    refreshed_at = zone.refreshed_at();
  }
  ui_->domain_name->setText(QString::fromStdString(shown_.domain));
  ui_->primary_server->setText(QString::fromStdString(shown_.primary));
  ui_->mailbox->setText(QString::fromStdString(mailbox_shown(shown_.mailbox)));
  ui_->serial->setText(QString::number(shown_.serial));
  ui_->refresh->setText(QString::number(shown_.refresh));
  ui_->retry->setText(QString::number(shown_.retry));
  ui_->expire->setText(QString::number(shown_.expire));
  ui_->ttl->setText(QString::number(shown_.minimum));
  ui_->load_time->setText(
      QString::fromLocal8Bit(load_time_text(secondary, loaded_at, refreshed_at).c_str()));
  ui_->RELOAD->setVisible(secondary);
  ui_->ok_button->setEnabled(true);
}

std::optional<ZoneSoa> LocalDomainDialog::read_fields() {
  ZoneSoa soa;
  soa.domain = entered_name(ui_->domain_name);
  if (soa.domain.empty()) {
    error_box(this, language_.window_title(), language_.load_text(6, "NODOMAIN", kMessageSize));
    return std::nullopt;
  }
  soa.primary = entered_name(ui_->primary_server);
  std::optional<std::string> mailbox =
      mailbox_stored(ui_->mailbox->text().toStdString().substr(0, kEnteredNameSize));
  if (!mailbox) {
    error_box(this, language_.window_title(), language_.load_text(7, "NOMAIL", kMessageSize));
    return std::nullopt;
  }
  soa.mailbox = std::move(*mailbox);
  soa.serial = entered_number(ui_->serial, shown_.serial);
  soa.refresh = entered_number(ui_->refresh, shown_.refresh);
  soa.retry = entered_number(ui_->retry, shown_.retry);
  soa.expire = entered_number(ui_->expire, shown_.expire);
  soa.minimum = entered_number(ui_->ttl, shown_.minimum);
  return soa;
}

void LocalDomainDialog::accept() {
  const std::optional<ZoneSoa> soa = read_fields();
  if (!soa) return;
  // A refusal or a failed write leaves the live zone as it was; there is
  // nothing to show beyond the list, which stays as the zone is.
  save_zone_with_soa(engine_, *soa);
  // The reload replaced every record, so the rows are refilled, not only
  // the status bar, before a Remove could pick one.
  if (window_ != nullptr && window_->view_mode() == ViewMode::kDatabase) {
    QMetaObject::invokeMethod(
        window_, [window = window_] { window->refresh(true); }, Qt::QueuedConnection);
  }
  QDialog::accept();
}

void LocalDomainDialog::refresh_from_primary() {
  refresh_from_primary_now(engine_, refresh_start_);
  if (window_ != nullptr && window_->view_mode() == ViewMode::kDatabase)
    window_->set_refresh_countdown(3);
  QDialog::accept();
}

}  // namespace norvane
