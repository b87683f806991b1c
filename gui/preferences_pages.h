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
  explicit PreferencesPage(PreferencesContext& context, QWidget* parent = nullptr)
      : QWidget(parent), context_(context) {}

  // The caption of the page's own form, used when the language file has no
  // title for it.
  virtual const char* title_key() const = 0;
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
  // Shows the error box for a store that could not be written.
  void report_store_failure();

  PreferencesContext& context_;

 private:
  bool opened_ = false;
};

class GeneralPage : public PreferencesPage {
  Q_OBJECT

 public:
  explicit GeneralPage(PreferencesContext& context, QWidget* parent = nullptr);
  ~GeneralPage() override;
  const char* title_key() const override { return "General"; }
  bool apply() override;
  Ui::PreferencesGeneralPage& ui() { return *ui_; }

 protected:
  void fill() override;

 private:
  void enable_log_period();
  std::unique_ptr<Ui::PreferencesGeneralPage> ui_;
};

class ServerPage : public PreferencesPage {
  Q_OBJECT

 public:
  explicit ServerPage(PreferencesContext& context, QWidget* parent = nullptr);
  ~ServerPage() override;
  const char* title_key() const override { return "Server"; }
  bool apply() override;
  Ui::PreferencesServerPage& ui() { return *ui_; }

 protected:
  void fill() override;

 private:
  void enable_fields();
  std::array<Ipv4Edit*, kMaxExternalServers> external_fields() const;
  std::unique_ptr<Ui::PreferencesServerPage> ui_;
};

class CachePage : public PreferencesPage {
  Q_OBJECT

 public:
  explicit CachePage(PreferencesContext& context, QWidget* parent = nullptr);
  ~CachePage() override;
  const char* title_key() const override { return "Cache"; }
  bool apply() override;
  // Clear Cache: empties the cache now and lets the Cache view follow.
  void clear_cache_now();
  Ui::PreferencesCachePage& ui() { return *ui_; }

 protected:
  void fill() override;

 private:
  std::unique_ptr<Ui::PreferencesCachePage> ui_;
};

class LanguagePage : public PreferencesPage {
  Q_OBJECT

 public:
  // The row that stands for the built-in texts.
  static constexpr const char* kBuiltinName = "English";
  static constexpr const char* kBuiltinVersion = "1.5.3";

  explicit LanguagePage(PreferencesContext& context, QWidget* parent = nullptr);
  ~LanguagePage() override;
  const char* title_key() const override { return "Language"; }
  bool apply() override;
  Ui::PreferencesLanguagePage& ui() { return *ui_; }

 protected:
  void fill() override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void show_author(QTreeWidgetItem* item);
  void size_columns();
  std::unique_ptr<Ui::PreferencesLanguagePage> ui_;
};

}  // namespace norvane
