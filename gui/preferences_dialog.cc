// The Preferences sheet.
#include "gui/preferences_dialog.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTabWidget>

#include "gui/language.h"
#include "ui_preferences_dialog.h"

namespace norvane {
namespace {

// Byte budgets of the sheet's caption and of a page title.
constexpr size_t kTitleSize = 32;

}  // namespace

PreferencesDialog::PreferencesDialog(PreferencesContext context, QWidget* parent)
    : QDialog(parent),
      context_(std::move(context)),
      ui_(std::make_unique<Ui::PreferencesDialog>()) {
  ui_->setupUi(this);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  const Language& language = context_.language;
  setWindowTitle(language.load_text(16, "PREFERENCES", kTitleSize));

  general_ = new GeneralPage(context_);
  server_ = new ServerPage(context_);
  cache_ = new CachePage(context_);
  language_page_ = new LanguagePage(context_);
  for (int index = 0; index < kPageCount; ++index) {
    PreferencesPage& sheet_page = page(index);
    // Without a translation a page keeps the caption of its own form.
    QString title = language.load_text(0, sheet_page.title_key(), kTitleSize);
    if (title.isEmpty()) title = sheet_page.windowTitle();
    ui_->pages->addTab(&sheet_page, title);
    connect(&sheet_page, &PreferencesPage::changed, this,
            [this] { apply_button()->setEnabled(true); });
  }
  // Cancel is a translated control; OK and Apply keep the platform's texts.
  cancel_button()->setObjectName(QStringLiteral("CANCEL"));
  apply_button()->setEnabled(false);
  connect(ui_->pages, &QTabWidget::currentChanged, this, [this](int index) {
    if (index >= 0 && index < kPageCount) page(index).open();
  });
  ui_->pages->setCurrentIndex(kGeneral);
  general_->open();

  connect(ui_->buttons, &QDialogButtonBox::accepted, this, &PreferencesDialog::accept);
  connect(ui_->buttons, &QDialogButtonBox::rejected, this, &PreferencesDialog::reject);
  connect(apply_button(), &QPushButton::clicked, this, &PreferencesDialog::apply_opened_pages);
}

PreferencesDialog::~PreferencesDialog() = default;

PreferencesPage& PreferencesDialog::page(int index) {
  switch (index) {
    case kServer:
      return *server_;
    case kCache:
      return *cache_;
    case kLanguage:
      return *language_page_;
    default:
      return *general_;
  }
}

bool PreferencesDialog::apply_opened_pages() {
  bool stored = true;
  for (int index = 0; index < kPageCount; ++index) {
    PreferencesPage& sheet_page = page(index);
    if (sheet_page.opened()) stored = sheet_page.apply() && stored;
  }
  apply_button()->setEnabled(false);
  return stored;
}

void PreferencesDialog::accept() {
  // A page that could not store its values has said so; the live settings
  // are what the store holds, so the sheet closes all the same.
  apply_opened_pages();
  QDialog::accept();
}

QTabWidget* PreferencesDialog::tabs() const { return ui_->pages; }
QPushButton* PreferencesDialog::ok_button() const {
  return ui_->buttons->button(QDialogButtonBox::Ok);
}
QPushButton* PreferencesDialog::cancel_button() const {
  return ui_->buttons->button(QDialogButtonBox::Cancel);
}
QPushButton* PreferencesDialog::apply_button() const {
  return ui_->buttons->button(QDialogButtonBox::Apply);
}

}  // namespace norvane
