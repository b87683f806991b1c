// The language in use by the window and its dialogs: which language file was
// chosen, and the functions that put its texts on menus, controls and
// dialog titles. GUI thread only.
#pragma once

#include <QLocale>
#include <QString>
#include <memory>
#include <string>

#include "runtime/settings_store.h"

class QAction;
class QMenu;
class QWidget;

namespace norvane {

struct LanguageChoice;

// The language state lives behind a pointer so that this header does not
// bring the language-file declarations into every window file.
class Language {
 public:
  Language();
  ~Language();
  Language(const Language&) = delete;
  Language& operator=(const Language&) = delete;

  // The built-in product title.
  static QString product_title();

  // load_language: the "Language" value of the user store, else of the
  // machine store, else "deutsch.ini" for a German `locale`; a file without
  // Common/LANGUAGE is not used. Also reloads the window title and the
  // FAILED text.
  void load_language(const SettingsStore& user, const SettingsStore& machine, const QLocale& locale,
                     const std::string& resource_directory);

  bool in_use() const;
  // The file name in use ("deutsch.ini"), empty for the built-in texts.
  QString file_name() const;
  // The translated title (the product title while no file gives one).
  QString window_title() const;
  QString failed_text() const;
  const LanguageChoice& choice() const { return *choice_; }

  // load_text: the Strings text of `key` cut to size - 1 bytes, else the
  // built-in string `id`, else (id 0) an empty text.
  QString load_text(int id, const char* key, size_t size) const;

  // translate_menu_item: the item gets the Menu text of `key` when a file is
  // in use and has it; otherwise it keeps its text.
  void translate_menu_item(QAction* item, const char* key) const;
  void translate_menu_item(QMenu* menu, const char* key) const;

  // translate_control: with a control, its Control text of `key`; without
  // one (null), the dialog's title from the Strings text of `key`. A missing
  // key changes nothing.
  void translate_control(QWidget* dialog, QWidget* control, const char* key) const;
  // Translates every child of `dialog` whose object name is a key.
  void translate_dialog(QWidget* dialog) const;

 private:
  std::unique_ptr<LanguageChoice> choice_;
};

// Sets the text of a label, button, group box or edit field.
void set_control_text(QWidget* control, const QString& text);
QString control_text(const QWidget* control);

}  // namespace norvane
