// Helpers the dialogs share.
#include "gui/dialog_helpers.h"

#include "gui/language.h"

namespace norvane {

bool error_box(QWidget* owner, const QString& caption, const QString& text,
               QMessageBox::StandardButtons buttons) {
  QMessageBox box(QMessageBox::Critical, caption, text, buttons, owner);
  box.setWindowModality(Qt::ApplicationModal);
  return box.exec() == QMessageBox::Ok;
}

int launch_dialog(QWidget* owner, const Language& language,
                  const std::function<std::unique_ptr<QDialog>(QWidget*)>& make) {
  std::unique_ptr<QDialog> dialog = make ? make(owner) : nullptr;
  if (!dialog) {
    error_box(owner, language.window_title(), language.failed_text());
    return -1;
  }
  dialog->setModal(true);
  language.translate_dialog(dialog.get());
  return dialog->exec();
}

}  // namespace norvane
