// The Add Entry dialog (Options > Add Entry): one A, NS, CNAME or MX record
// for the local domain, added to the live database through administration,
// which raises the serial by one and rewrites name.db. GUI thread only;
// engine locks are held only while reading the domain name, never across a
// message box.
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class AddEntryDialog;
}

namespace norvane {

class Engine;
class Language;
class MainWindow;

class AddEntryDialog : public QDialog {
  Q_OBJECT

 public:
  // The entries of the type list, in their order.
  enum TypeIndex : int { kTypeIndexA = 0, kTypeIndexNs, kTypeIndexCname, kTypeIndexMx };

  // `window` (may be null) hears the refresh message after an added record.
  AddEntryDialog(Engine& engine, const Language& language, MainWindow* window,
                 QWidget* parent = nullptr);
  ~AddEntryDialog() override;

 public slots:
  // OK: adds the record and closes. Invalid input keeps the dialog open
  // without a message; a record the database refuses shows EXIST.
  void accept() override;

 private:
  // The labels and fields of type `index`.
  void show_type(int index);

  Engine& engine_;
  const Language& language_;
  MainWindow* window_;
  std::unique_ptr<Ui::AddEntryDialog> ui_;
};

}  // namespace norvane
