// Helpers the dialogs share: the error message box and the dialog-launch
// rule. GUI thread only; never call them with an engine lock held, since
// both run a nested event loop.
#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QString>
#include <functional>
#include <memory>

namespace norvane {

class Language;

// Shows `text` with the window title as caption, a stop icon and OK (or the
// given buttons), modal to the application. True when the user pressed OK.
bool error_box(QWidget* owner, const QString& caption, const QString& text,
               QMessageBox::StandardButtons buttons = QMessageBox::Ok);

// Runs a modal dialog owned by `owner`, made by `make`. When it cannot be
// made (null), shows the FAILED text in the error box and returns -1;
// otherwise returns the dialog's result.
int launch_dialog(QWidget* owner, const Language& language,
                  const std::function<std::unique_ptr<QDialog>(QWidget*)>& make);

}  // namespace norvane
