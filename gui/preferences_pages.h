// The four pages of the Preferences sheet: General, Server, Cache and
// Language. Each page fills its controls from the live settings when it is
// first shown ("opened"), tells the sheet when a control changes, and on
// apply writes its controls into the live settings through administration
// and the stores. GUI thread only.
#pragma once

#include <QLocale>
#include <QString>
#include <QWidget>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/server_settings.h"
#include "runtime/settings_store.h"

class QTreeWidgetItem;

namespace Ui {
class PreferencesGeneralPage;
class PreferencesServerPage;
class PreferencesCachePage;
class PreferencesLanguagePage;
}  // namespace Ui

namespace norvane {

class Engine;
class Ipv4Edit;
struct SettingsImage;
class Language;
class MainWindow;

// What the pages work on. Everything borrowed must outlive the sheet.
struct PreferencesContext {
  Engine& engine;
  // The servers' settings, TrayIcon and Iconic.
  SettingsStore machine;
  // The window's own values: Language.
  SettingsStore user;
  Language& language;
  // Rebuilt after a language change and refreshed by Clear Cache; may be null.
  MainWindow* window = nullptr;
  // Where "Languages/" lives, ending in "/".
  std::string resource_directory;
  QLocale locale;
};

// The Cache page's reading of a number field: an empty text gives `neutral`,
// a text that does not begin with a digit keeps `current`, otherwise the
// leading decimal digits, at most 0xFFFFFFFF.
uint32_t cache_field_value(std::string_view text, uint32_t neutral, uint32_t current);

class PreferencesPage : public QWidget {
  Q_OBJECT

 public:
  // `title_key` names the page's title in the language file's Strings.
  PreferencesPage(PreferencesContext& context, const char* title_key)
      : context_(context), title_key_(title_key) {}

  // The page's title without a translation is the caption of its own form.
  const char* title_key() const { return title_key_; }
  // Fills the controls the first time; later calls do nothing.
  void open();
  bool opened() const { return opened_; }
  // Writes the controls into the live settings and the stores. False when a
  // store could not be written; the page has then shown the error box.
  virtual bool apply() = 0;

 signals:
  // A control changed in a way that enables Apply.
  void changed();

 protected:
  virtual void fill() = 0;
  // Emits changed() once the page is open.
  void notify_changed();
  // Makes `image` the live settings and writes them (apply_settings); on a
  // failure shows the error box. Returns whether the store was written.
  bool store_settings(const SettingsImage& image);
  // Shows the error box for a store that could not be written.
  void report_store_failure();

  PreferencesContext& context_;

 private:
  const char* title_key_;
  bool opened_ = false;
};

// A page made from the Designer form `Form`.
template <class Form>
class FormPage : public PreferencesPage {
 public:
  FormPage(PreferencesContext& context, const char* title_key)
      : PreferencesPage(context, title_key), ui_(std::make_unique<Form>()) {
    ui_->setupUi(this);
  }
  Form& ui() { return *ui_; }

 protected:
  std::unique_ptr<Form> ui_;
};

class GeneralPage : public FormPage<Ui::PreferencesGeneralPage> {
 public:
  explicit GeneralPage(PreferencesContext& context);
  ~GeneralPage() override;
  bool apply() override;

 private:
  void fill() override;
  void enable_log_period();
};

class ServerPage : public FormPage<Ui::PreferencesServerPage> {
 public:
  explicit ServerPage(PreferencesContext& context);
  ~ServerPage() override;
  bool apply() override;

 private:
  void fill() override;
  void enable_fields();
  std::array<Ipv4Edit*, kMaxExternalServers> external_fields() const;
};

class CachePage : public FormPage<Ui::PreferencesCachePage> {
 public:
  explicit CachePage(PreferencesContext& context);
  ~CachePage() override;
  bool apply() override;
  // Clear Cache: empties the cache now and lets the Cache view follow.
  void clear_cache_now();

 private:
  void fill() override;
};

class LanguagePage : public FormPage<Ui::PreferencesLanguagePage> {
 public:
  // The row that stands for the built-in texts.
  static constexpr const char* kBuiltinName = "English";
  static constexpr const char* kBuiltinVersion = "1.5.3";

  explicit LanguagePage(PreferencesContext& context);
  ~LanguagePage() override;
  bool apply() override;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void fill() override;
  void show_current_language();
  void show_author(QTreeWidgetItem* item);
  void size_columns();
};

}  // namespace norvane
