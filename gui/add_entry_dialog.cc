// The Add Entry dialog.
#include "gui/add_entry_dialog.h"

#include <QMetaObject>
#include <QPushButton>
#include <array>

#include "engine/dns_message.h"
#include "engine/engine.h"
#include "engine/text_helpers.h"
#include "gui/dialog_helpers.h"
#include "gui/language.h"
#include "gui/main_window.h"
#include "gui/zone_dialog_text.h"
#include "runtime/administration.h"
#include "ui_add_entry_dialog.h"

namespace norvane {
namespace {

// Texts of the type list and the messages go into 64-byte buffers, the
// per-type labels into 32-byte ones.
constexpr size_t kTypeTextSize = 64;
constexpr size_t kLabelSize = 32;

struct EntryType {
  uint16_t type;
  int list_id;
  const char* list_key;
  // Built-in ids and keys of the labels 1017, 1018 and 1019.
  int name_id;
  const char* name_key;
  int address_id;
  const char* address_key;
  int more_id;
  const char* more_key;
  // Whether the address field (else the target field) and the mail server
  // field are shown.
  bool address_field;
  bool mail_server_field;
};

constexpr std::array<EntryType, 4> kEntryTypes = {{
    {kTypeA, 41, "A", 29, "NAME_A", 33, "ADDR_A", 37, "MORE_A", true, false},
    {kTypeNs, 42, "NS", 30, "NAME_NS", 34, "ADDR_NS", 38, "MORE_NS", false, false},
    {kTypeCname, 43, "CNAME", 31, "NAME_CNAME", 35, "ADDR_CNAME", 39, "MORE_CNAME", false, false},
    {kTypeMx, 44, "MX", 32, "NAME_MX", 36, "ADDR_MX", 40, "MORE_MX", true, true},
}};

std::string field_text(const QLineEdit* field) {
  return field->text().toStdString().substr(0, kEnteredNameSize);
}

// The record the form asks for.
struct Entry {
  uint16_t type = 0;
  std::string owner;
  uint32_t datum = 0;
  std::string target;
};

}  // namespace

AddEntryDialog::AddEntryDialog(Engine& engine, const Language& language, MainWindow* window,
                               QWidget* parent)
    : QDialog(parent),
      engine_(engine),
      language_(language),
      window_(window),
      ui_(std::make_unique<Ui::AddEntryDialog>()) {
  ui_->setupUi(this);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  language_.translate_control(this, nullptr, "ADD");
  for (const EntryType& entry : kEntryTypes)
    ui_->type_list->addItem(language_.load_text(entry.list_id, entry.list_key, kTypeTextSize));
  ui_->type_list->setCurrentIndex(kTypeIndexA);
  ui_->address->set_address(0);
  show_type(kTypeIndexA);
  connect(ui_->type_list, &QComboBox::currentIndexChanged, this, [this](int index) {
    show_type(index);
    ui_->name->setFocus();
  });
  connect(ui_->ok_button, &QPushButton::clicked, this, &AddEntryDialog::accept);
  connect(ui_->CANCEL, &QPushButton::clicked, this, &AddEntryDialog::reject);
}

AddEntryDialog::~AddEntryDialog() = default;

void AddEntryDialog::show_type(int index) {
  if (index < 0 || index >= static_cast<int>(kEntryTypes.size())) return;
  const EntryType& entry = kEntryTypes[static_cast<size_t>(index)];
  ui_->name_label->setText(language_.load_text(entry.name_id, entry.name_key, kLabelSize));
  ui_->address_label->setText(language_.load_text(entry.address_id, entry.address_key, kLabelSize));
  ui_->more_label->setText(language_.load_text(entry.more_id, entry.more_key, kLabelSize));
  ui_->address->setVisible(entry.address_field);
  ui_->target->setVisible(!entry.address_field);
  ui_->mail_server->setVisible(entry.mail_server_field);
}

void AddEntryDialog::accept() {
  const int index = ui_->type_list->currentIndex();
  if (index < 0 || index >= static_cast<int>(kEntryTypes.size())) {
    QDialog::reject();
    return;
  }
  std::string domain;
  {
    const LocalZone::Guard zone = engine_.zone.hold();
    domain = zone.domain();
  }
  const std::string name = field_text(ui_->name);
  const std::optional<std::string> owner = qualify_entered_name(name, domain);
  if (!owner) return;

  Entry entry{kEntryTypes[static_cast<size_t>(index)].type, *owner, 0, {}};
  switch (index) {
    case kTypeIndexA: {
      int valid = 0;
      entry.datum = parse_ipv4(field_text(ui_->address).c_str(), &valid);
      if (name.empty() || valid == 0 || entry.datum == 0 || entry.datum == 0xFFFFFFFFu) return;
      break;
    }
    case kTypeIndexNs:
    case kTypeIndexCname: {
      const std::string target = field_text(ui_->target);
      if (index == kTypeIndexCname && name.empty()) return;
      std::optional<std::string> qualified = qualify_entered_name(target, domain);
      if (target.empty() || !qualified) return;
      entry.target = std::move(*qualified);
      break;
    }
    case kTypeIndexMx: {
      const std::optional<uint32_t> preference = leading_unsigned(field_text(ui_->address));
      const std::string mail_server = field_text(ui_->mail_server);
      std::optional<std::string> qualified = qualify_entered_name(mail_server, domain);
      if (!preference || mail_server.empty() || !qualified) return;
      entry.datum = *preference;
      entry.target = std::move(*qualified);
      break;
    }
  }
  // TTL 0 takes the domain's default TTL as it stands under the database
  // lock, at the moment the record is added.
  const AddResult result =
      add_record_and_save(engine_, entry.type, entry.owner, 0, entry.datum, entry.target);
  if (result == AddResult::kRefused) {
    error_box(nullptr, language_.window_title(), language_.load_text(5, "EXIST", kTypeTextSize));
    return;
  }
  if (window_ != nullptr) {
    QMetaObject::invokeMethod(
        window_, [window = window_] { window->refresh(false); }, Qt::QueuedConnection);
  }
  QDialog::accept();
}

}  // namespace norvane
