// The Preferences sheet (Options > Preferences): the General, Server, Cache
// and Language pages as tabs over OK, Cancel and Apply. A page is filled when
// it is first shown; OK and Apply apply every page shown so far, in page
// order; Cancel leaves what was not applied. GUI thread only.
#pragma once

#include <QDialog>
#include <memory>

#include "gui/preferences_pages.h"

class QPushButton;
class QTabWidget;

namespace Ui {
class PreferencesDialog;
}

namespace norvane {

class PreferencesDialog : public QDialog {
  Q_OBJECT

 public:
  enum Page { kGeneral = 0, kServer = 1, kCache = 2, kLanguage = 3, kPageCount = 4 };

  explicit PreferencesDialog(PreferencesContext context, QWidget* parent = nullptr);
  ~PreferencesDialog() override;

  // Applies every opened page in page order, then turns Apply off. False
  // when a page could not store its values (it has shown the error box).
  bool apply_opened_pages();

  QTabWidget* tabs() const;
  QPushButton* ok_button() const;
  QPushButton* cancel_button() const;
  QPushButton* apply_button() const;
  GeneralPage& general() { return *general_; }
  ServerPage& server() { return *server_; }
  CachePage& cache() { return *cache_; }
  LanguagePage& language_page() { return *language_page_; }
  PreferencesPage& page(int index);

 public slots:
  void accept() override;

 private:
  PreferencesContext context_;
  std::unique_ptr<Ui::PreferencesDialog> ui_;
  // Owned by the tab widget.
  GeneralPage* general_ = nullptr;
  ServerPage* server_ = nullptr;
  CachePage* cache_ = nullptr;
  LanguagePage* language_page_ = nullptr;
};

}  // namespace norvane
