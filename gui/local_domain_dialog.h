// The Local Domain dialog (Options > Local Domain): the domain's SOA values,
// the time the database was loaded, and on a secondary the button that
// starts a refresh from the primary. OK renames or re-parameterises the
// domain through administration, which rewrites name.db and reloads the
// database. GUI thread only; engine locks are held only while copying the
// values in, never across a message box.
#pragma once

#include <QDialog>
#include <memory>

#include "engine/zone_file.h"
#include "runtime/administration.h"

namespace Ui {
class LocalDomainDialog;
}

namespace norvane {

class Engine;
class Language;
class MainWindow;

class LocalDomainDialog : public QDialog {
  Q_OBJECT

 public:
  // `window` (may be null) is the main window whose Database view follows
  // the change; `refresh_start` starts a refresh from the primary without
  // waiting (may be empty: the button then starts nothing but still closes).
  LocalDomainDialog(Engine& engine, const Language& language, MainWindow* window,
                    RefreshStart refresh_start, QWidget* parent = nullptr);
  ~LocalDomainDialog() override;

  // The values as the fields hold them, or nothing after the NODOMAIN or
  // NOMAIL message. A number field that is empty or does not begin with a
  // number keeps the value shown when the dialog opened.
  std::optional<ZoneSoa> read_fields();

 public slots:
  // OK: saves the fields with save_zone_with_soa and closes; keeps the
  // dialog open after a message.
  void accept() override;
  // "Refresh from Primary Server": starts the refresh, lets the Database
  // view refill on the next three ticks and closes.
  void refresh_from_primary();

 private:
  void fill_fields();

  Engine& engine_;
  const Language& language_;
  MainWindow* window_;
  RefreshStart refresh_start_;
  std::unique_ptr<Ui::LocalDomainDialog> ui_;
  // The values as the dialog opened.
  ZoneSoa shown_;
};

}  // namespace norvane
