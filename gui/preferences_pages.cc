// The four pages of the Preferences sheet.
#include "gui/preferences_pages.h"

#include <QHeaderView>
#include <QMetaObject>
#include <QPointer>
#include <QRegularExpressionValidator>
#include <QScrollBar>
#include <QStyle>
#include <QTreeWidget>
#include <array>
#include <limits>
#include <optional>

#include "engine/engine.h"
#include "engine/text_helpers.h"
#include "gui/dialog_helpers.h"
#include "gui/language.h"
#include "gui/main_window.h"
#include "runtime/administration.h"
#include "runtime/language_file.h"
#include "runtime/settings.h"
#include "ui_preferences_cache.h"
#include "ui_preferences_general.h"
#include "ui_preferences_language.h"
#include "ui_preferences_server.h"

namespace norvane {
namespace {

// ClientTTL's "no maximum", shown as an empty field.
constexpr uint32_t kNoClientTtl = 0xFFFFFFFF;
// Byte budget of the language file's Common entries LANGUAGE and VERSION.
constexpr size_t kLanguageEntrySize = 32;

// Column widths of the language list in percent of its client width less a
// vertical scroll bar, and the rows it has room for.
constexpr std::array<int, 3> kLanguageColumnPercent = {36, 44, 25};
constexpr int kLanguageListRows = 10;

uint32_t parse_address_field(const QLineEdit* field) {
  constexpr int kAddressChars = 15;
  const std::string text = field->text().left(kAddressChars).toStdString();
  return parse_ipv4(text.c_str());
}

std::optional<std::string> common_entry(const std::string& path, const char* key, size_t size) {
  const std::optional<LanguageFile> file = LanguageFile::load(path);
  return file ? file->value("Common", key, size) : std::nullopt;
}

}  // namespace

uint32_t cache_field_value(std::string_view text, uint32_t neutral, uint32_t current) {
  if (text.empty()) return neutral;
  if (text.front() < '0' || text.front() > '9') return current;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > std::numeric_limits<uint32_t>::max()) return std::numeric_limits<uint32_t>::max();
  }
  return static_cast<uint32_t>(value);
}

void PreferencesPage::open() {
  if (opened_) return;
  fill();
  // Filling the fields is not a change: only what follows enables Apply.
  opened_ = true;
}

void PreferencesPage::notify_changed() {
  if (opened_) emit changed();
}

bool PreferencesPage::store_settings(const SettingsImage& image) {
  const auto bytes = encode_settings_image(image);
  const bool stored = apply_settings(context_.engine, context_.machine, bytes);
  if (!stored) report_store_failure();
  return stored;
}

void PreferencesPage::report_store_failure() {
  // The built-in text and the budget of the message.
  constexpr int kNoSaveId = 45;
  constexpr size_t kNoSaveSize = 128;
  error_box(this, context_.language.window_title(),
            context_.language.load_text(kNoSaveId, "NOSAVE", kNoSaveSize));
}

// --- General -------------------------------------------------------------

GeneralPage::GeneralPage(PreferencesContext& context) : FormPage(context, "General") {
  // The system counts as the NT line: there is no start-at-boot entry of
  // the window program, the service program is installed on its own.
  ui_->SERVICE->hide();
  QAbstractButton* const buttons[] = {ui_->ICONIC, ui_->TRAY, ui_->LOG, ui_->DAILY, ui_->MONTHLY};
  for (QAbstractButton* button : buttons)
    connect(button, &QAbstractButton::clicked, this, &GeneralPage::notify_changed);
  connect(ui_->LOG, &QAbstractButton::clicked, this, &GeneralPage::enable_log_period);
}

GeneralPage::~GeneralPage() = default;

void GeneralPage::fill() {
  const SettingsStore& machine = context_.machine;
  ui_->TRAY->setChecked(machine.store_read_number(kMainKey, "TrayIcon", 1) != 0);
  ui_->ICONIC->setChecked(machine.store_read_number(kMainKey, "Iconic", 0) == 1);
  ui_->LOG->setChecked(context_.engine.log.level() != 0);
  const uint32_t create_log = context_.engine.settings.create_log.load();
  ui_->DAILY->setChecked(create_log == 1);
  ui_->MONTHLY->setChecked(create_log == 0);
  enable_log_period();
}

void GeneralPage::enable_log_period() {
  const bool logging = ui_->LOG->isChecked();
  ui_->DAILY->setEnabled(logging);
  ui_->MONTHLY->setEnabled(logging);
}

bool GeneralPage::apply() {
  SettingsImage image = capture_settings(context_.engine);
  // A higher level set in the store by hand becomes 1: the box has two states.
  image.log_level = ui_->LOG->isChecked() ? 1 : 0;
  image.create_log = ui_->DAILY->isChecked() ? 1 : 0;
  const bool stored = store_settings(image);
  const bool tray = ui_->TRAY->isChecked();
  SettingsStore& machine = context_.machine;
  const bool window_values =
      machine.store_write_number(kMainKey, "TrayIcon", tray ? 1 : 0, 1) != 0 &&
      machine.store_write_number(kMainKey, "Iconic", ui_->ICONIC->isChecked() ? 1 : 0, 0) != 0;
  // The icon follows at the next menu build.
  if (context_.window != nullptr) context_.window->set_tray_icon_option(tray);
  // One box for one failed apply.
  if (stored && !window_values) report_store_failure();
  return stored && window_values;
}

// --- Server --------------------------------------------------------------

ServerPage::ServerPage(PreferencesContext& context) : FormPage(context, "Server") {
  QLineEdit* const fields[] = {ui_->primary_address, ui_->dns1, ui_->dns2, ui_->dns3, ui_->dns4};
  for (QLineEdit* field : fields)
    connect(field, &QLineEdit::textChanged, this, &ServerPage::notify_changed);
  QAbstractButton* const boxes[] = {ui_->SECONDARY, ui_->AUTO_DNS, ui_->AUTO_IF};
  for (QAbstractButton* button : boxes) {
    connect(button, &QAbstractButton::clicked, this, [this] {
      enable_fields();
      notify_changed();
    });
  }
}

ServerPage::~ServerPage() = default;

void ServerPage::fill() {
  const ServerSettings& settings = context_.engine.settings;
  const uint32_t primary = settings.primary.load();
  ui_->SECONDARY->setChecked(primary != 0);
  ui_->primary_address->set_address(primary);
  // The automatic boxes exist only where the network configuration probe
  // succeeded at start-up.
  const bool automatic = settings.network_configuration.load() != 0;
  ui_->AUTO_IF->setVisible(automatic);
  ui_->AUTO_DNS->setVisible(automatic);
  ui_->AUTO_IF->setChecked(automatic && settings.auto_interfaces.load() != 0);
  ui_->AUTO_DNS->setChecked(automatic && settings.auto_dns.load() != 0);
  const auto servers = settings.external_servers.get();
  const std::array<Ipv4Edit*, kMaxExternalServers> fields = external_fields();
  for (size_t i = 0; i < fields.size(); ++i)
    fields[i]->set_address(i < servers->size() ? (*servers)[i].address : 0);
  enable_fields();
}

std::array<Ipv4Edit*, kMaxExternalServers> ServerPage::external_fields() const {
  return {ui_->dns1, ui_->dns2, ui_->dns3, ui_->dns4};
}

void ServerPage::enable_fields() {
  ui_->primary_address->setEnabled(ui_->SECONDARY->isChecked());
  const bool manual = !ui_->AUTO_DNS->isChecked();
  for (Ipv4Edit* field : external_fields()) field->setEnabled(manual);
}

bool ServerPage::apply() {
  SettingsImage image = capture_settings(context_.engine);
  image.primary = ui_->SECONDARY->isChecked() ? parse_address_field(ui_->primary_address) : 0;
  const bool automatic = !ui_->AUTO_IF->isHidden();
  image.auto_interfaces = automatic && ui_->AUTO_IF->isChecked() ? 1 : 0;
  image.auto_dns = automatic && ui_->AUTO_DNS->isChecked() ? 1 : 0;
  // Empty and partial fields are skipped, so later servers move up. The
  // page has no port field: every server it enters gets the DNS port.
  constexpr uint16_t kExternalServerPort = 53;
  uint32_t count = 0;
  for (const Ipv4Edit* field : external_fields()) {
    const uint32_t address = parse_address_field(field);
    if (address == 0) continue;
    image.external_addresses[count] = address;
    image.external_ports[count] = kExternalServerPort;
    ++count;
  }
  for (uint32_t i = count; i < kMaxExternalServers; ++i) {
    image.external_addresses[i] = 0;
    image.external_ports[i] = kExternalServerPort;
  }
  image.external_server_count = count;
  return store_settings(image);
}

// --- Cache ---------------------------------------------------------------

CachePage::CachePage(PreferencesContext& context) : FormPage(context, "Cache") {
  for (QLineEdit* field : {ui_->server_ttl, ui_->client_ttl, ui_->cache_entries}) {
    // Digits only, as a number-style edit takes them from the keyboard.
    field->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), field));
    connect(field, &QLineEdit::textChanged, this, &CachePage::notify_changed);
  }
  connect(ui_->CACHEDUMP, &QAbstractButton::clicked, this, &CachePage::notify_changed);
  connect(ui_->CACHECLEAR, &QAbstractButton::clicked, this, &CachePage::clear_cache_now);
}

CachePage::~CachePage() = default;

void CachePage::fill() {
  const ServerSettings& settings = context_.engine.settings;
  const uint32_t server_ttl = settings.server_ttl.load();
  const uint32_t client_ttl = settings.client_ttl.load();
  ui_->server_ttl->setText(server_ttl != 0 ? QString::number(server_ttl) : QString());
  ui_->client_ttl->setText(client_ttl != kNoClientTtl ? QString::number(client_ttl) : QString());
  ui_->cache_entries->setText(QString::number(settings.cache_entries.load()));
  ui_->CACHEDUMP->setChecked(settings.cache_dump.load() != 0);
}

void CachePage::clear_cache_now() {
  // A dump that cannot be rewritten still leaves the memory empty; the
  // entries would only come back at the next start.
  clear_cache(context_.engine);
  QPointer<MainWindow> window = context_.window;
  if (window == nullptr || window->view_mode() != ViewMode::kCache) return;
  // The refresh message, handled by the window's own queue while the sheet
  // stays open.
  QMetaObject::invokeMethod(
      window,
      [window] {
        if (window) window->refresh(true);
      },
      Qt::QueuedConnection);
}

bool CachePage::apply() {
  SettingsImage image = capture_settings(context_.engine);
  auto value = [](const QLineEdit* field, uint32_t neutral, uint32_t current) {
    constexpr int kNumberChars = 31;
    const std::string text = field->text().left(kNumberChars).toStdString();
    return cache_field_value(text, neutral, current);
  };
  image.server_ttl = value(ui_->server_ttl, 0, image.server_ttl);
  image.client_ttl = value(ui_->client_ttl, kNoClientTtl, image.client_ttl);
  constexpr uint32_t kNeutralCacheEntries = 1024;
  image.cache_entries = value(ui_->cache_entries, kNeutralCacheEntries, image.cache_entries);
  image.cache_dump = ui_->CACHEDUMP->isChecked() ? 1 : 0;
  return store_settings(image);
}

// --- Language ------------------------------------------------------------

LanguagePage::LanguagePage(PreferencesContext& context) : FormPage(context, "Language") {
  QHeaderView* header = ui_->language_list->header();
  header->setSectionsClickable(false);
  header->setSectionsMovable(false);
  connect(ui_->language_list, &QTreeWidget::itemClicked, this, &LanguagePage::show_author);
}

LanguagePage::~LanguagePage() = default;

void LanguagePage::show_current_language() {
  const Language& language = context_.language;
  std::optional<std::string> current;
  if (language.in_use())
    current = language.choice().file->value("Common", "LANGUAGE", kLanguageEntrySize);
  ui_->current_language->setText(current ? QString::fromStdString(*current)
                                         : QString::fromLatin1(kBuiltinName));
}

void LanguagePage::fill() {
  const Language& language = context_.language;
  show_current_language();
  QTreeWidget* list = ui_->language_list;
  constexpr size_t kColumnTitleSize = 32;
  list->setHeaderLabels({language.load_text(28, "MODULE", kColumnTitleSize),
                         language.load_text(27, "LANGUAGE", kColumnTitleSize),
                         language.load_text(8, "VERSION", kColumnTitleSize)});
  bool english_found = false;
  const std::string folder = context_.resource_directory + "Languages/";
  for (const std::string& name : list_language_files(context_.resource_directory)) {
    const std::optional<LanguageFile> file = LanguageFile::load(folder + name);
    auto entry = [&file](const char* key) {
      std::optional<std::string> text;
      if (file) text = file->value("Common", key, kLanguageEntrySize);
      return QString::fromStdString(text.value_or(std::string()));
    };
    const QString language_name = entry("LANGUAGE");
    if (language_name.compare(QLatin1String(kBuiltinName), Qt::CaseInsensitive) == 0)
      english_found = true;
    QString shown = QString::fromStdString(name);
    shown[0] = shown[0].toUpper();
    auto* item = new QTreeWidgetItem(list, {shown, language_name, entry("VERSION")});
    // The file system tells case apart, so the row keeps the name as stored.
    item->setData(0, Qt::UserRole, QString::fromStdString(name));
  }
  if (!english_found) {
    auto* item = new QTreeWidgetItem(list, {kBuiltinName, kBuiltinName, kBuiltinVersion});
    item->setData(0, Qt::UserRole, QString::fromLatin1(kBuiltinName));
  }
  list->setSortingEnabled(true);
  list->sortItems(0, Qt::AscendingOrder);
  // Kept sorted, but the headers are not for clicking: no arrow on them.
  list->header()->setSortIndicatorShown(false);
  const int row_height =
      list->sizeHintForRow(0) > 0 ? list->sizeHintForRow(0) : list->fontMetrics().height() + 4;
  list->setMinimumHeight(list->header()->sizeHint().height() + kLanguageListRows * row_height +
                         2 * list->frameWidth());
  size_columns();
}

void LanguagePage::size_columns() {
  QTreeWidget* list = ui_->language_list;
  const int width = list->width() - 2 * list->frameWidth() -
                    list->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, list);
  for (size_t column = 0; column < kLanguageColumnPercent.size(); ++column)
    list->setColumnWidth(static_cast<int>(column), width * kLanguageColumnPercent[column] / 100);
}

void LanguagePage::resizeEvent(QResizeEvent* event) {
  PreferencesPage::resizeEvent(event);
  size_columns();
}

void LanguagePage::showEvent(QShowEvent* event) {
  PreferencesPage::showEvent(event);
  size_columns();
}

void LanguagePage::show_author(QTreeWidgetItem* item) {
  if (item == nullptr) return;
  const std::string name = item->data(0, Qt::UserRole).toString().toStdString();
  constexpr size_t kAuthorSize = 64;
  const std::optional<std::string> author =
      common_entry(context_.resource_directory + "Languages/" + name, "AUTHOR", kAuthorSize);
  ui_->author->setText(QString::fromStdString(author.value_or(std::string())));
}

bool LanguagePage::apply() {
  const QList<QTreeWidgetItem*> selected = ui_->language_list->selectedItems();
  if (selected.isEmpty()) return true;
  // The stored value is cut to 63 characters.
  constexpr int kLanguageNameChars = 63;
  const std::string name =
      selected.first()->data(0, Qt::UserRole).toString().left(kLanguageNameChars).toStdString();
  if (context_.user.store_write_text(kMainKey, "Language", name.c_str()) == 0) {
    report_store_failure();
    return false;
  }
  context_.language.load_language(context_.user, context_.machine, context_.locale,
                                  context_.resource_directory);
  if (context_.window != nullptr) context_.window->build_menus();
  // The sheet stays open after Apply; its current language follows.
  show_current_language();
  return true;
}

}  // namespace norvane
