// The language in use by the window and its dialogs.
#include "gui/language.h"

#include <QAbstractButton>
#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QWidget>

#include "runtime/language_file.h"
#include "runtime/settings.h"

namespace norvane {
namespace {

constexpr size_t kMenuTextSize = 256;
constexpr size_t kControlTextSize = 256;
constexpr size_t kLanguageValueSize = 32;

}  // namespace

Language::Language() : choice_(std::make_unique<LanguageChoice>()) {}
Language::~Language() = default;

QString Language::product_title() { return QString::fromStdString(std::string(kProductTitle)); }

bool Language::in_use() const { return choice_->file.has_value(); }

QString Language::window_title() const {
  return choice_->window_title.empty() ? product_title()
                                       : QString::fromStdString(choice_->window_title);
}

QString Language::failed_text() const {
  return choice_->failed_text.empty() ? QString::fromStdString(std::string(builtin_string(4)))
                                      : QString::fromStdString(choice_->failed_text);
}

void Language::load_language(const SettingsStore& user, const SettingsStore& machine,
                             const QLocale& locale, const std::string& resource_directory) {
  const std::string user_value = user.store_read_text(kMainKey, "Language", "", kLanguageValueSize);
  const std::string machine_value =
      user_value.empty() ? machine.store_read_text(kMainKey, "Language", "", kLanguageValueSize)
                         : std::string();
  // The language code ("de") stands for the primary language id.
  const std::string code = QLocale::languageToCode(locale.language()).toStdString();
  *choice_ = choose_language(user_value, machine_value, code, resource_directory);
}

QString Language::file_name() const {
  if (!in_use()) return {};
  const size_t slash = choice_->path.rfind('/');
  return QString::fromStdString(slash == std::string::npos ? choice_->path
                                                           : choice_->path.substr(slash + 1));
}

QString Language::load_text(int id, const char* key, size_t size) const {
  return QString::fromStdString(norvane::load_text(*choice_, id, key, size));
}

void Language::translate_menu_item(QAction* item, const char* key) const {
  if (!in_use() || item == nullptr) return;
  if (auto text = choice_->file->value("Menu", key, kMenuTextSize))
    item->setText(QString::fromStdString(*text));
}

void Language::translate_menu_item(QMenu* menu, const char* key) const {
  if (menu != nullptr) translate_menu_item(menu->menuAction(), key);
}

void Language::translate_control(QWidget* dialog, QWidget* control, const char* key) const {
  if (!choice_->file) return;
  if (control == nullptr) {
    if (dialog == nullptr) return;
    if (auto text = choice_->file->value("Strings", key, kControlTextSize))
      dialog->setWindowTitle(QString::fromStdString(*text));
    return;
  }
  if (auto text = choice_->file->value("Control", key, kControlTextSize))
    set_control_text(control, QString::fromStdString(*text));
}

void Language::translate_dialog(QWidget* dialog) const {
  if (!choice_->file || dialog == nullptr) return;
  for (QWidget* child : dialog->findChildren<QWidget*>()) {
    const QByteArray key = child->objectName().toLatin1();
    // Edit fields hold data, not captions.
    if (key.isEmpty() || key.startsWith("qt_") || qobject_cast<QLineEdit*>(child)) continue;
    translate_control(dialog, child, key.constData());
  }
}

void set_control_text(QWidget* control, const QString& text) {
  if (auto* label = qobject_cast<QLabel*>(control)) {
    label->setText(text);
  } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
    button->setText(text);
  } else if (auto* group = qobject_cast<QGroupBox*>(control)) {
    group->setTitle(text);
  } else if (auto* edit = qobject_cast<QLineEdit*>(control)) {
    edit->setText(text);
  }
}

QString control_text(const QWidget* control) {
  if (auto* label = qobject_cast<const QLabel*>(control)) return label->text();
  if (auto* button = qobject_cast<const QAbstractButton*>(control)) return button->text();
  if (auto* group = qobject_cast<const QGroupBox*>(control)) return group->title();
  if (auto* edit = qobject_cast<const QLineEdit*>(control)) return edit->text();
  return {};
}

}  // namespace norvane
