// The About dialog (Help > About): product title and version, a notice
// text in English or German, and a link to the product's site that looks
// visited once it has been followed in this process. GUI thread only.
#pragma once

#include <QColor>
#include <QDialog>
#include <QLocale>
#include <QPushButton>
#include <QUrl>
#include <functional>
#include <memory>

namespace Ui {
class AboutDialog;
}

namespace norvane {

class Language;

// A push button drawn as a hyperlink: centred text with an underline, pure
// blue until any link button of the process has been clicked once, then in
// the plain text colour for the rest of the process.
class LinkButton : public QPushButton {
  Q_OBJECT

 public:
  explicit LinkButton(QWidget* parent = nullptr);

  // True once a link button has been clicked in this process.
  static bool visited();
  // The colour the text and underline are drawn in now.
  QColor link_colour() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

class AboutDialog : public QDialog {
  Q_OBJECT

 public:
  using OpenUrl = std::function<void(const QUrl&)>;

  static const char* const kSiteAddress;
  static const char* const kSiteText;
  static const char* const kEnglishNotice;
  static const char* const kGermanNotice;

  // `language` gives the caption; `locale` chooses the notice (German for
  // German, English for every other language). `open` follows the link;
  // without it the desktop's handler for web addresses does.
  AboutDialog(const Language& language, const QLocale& locale = QLocale(), OpenUrl open = {},
              QWidget* parent = nullptr);
  ~AboutDialog() override;

 private:
  std::unique_ptr<Ui::AboutDialog> ui_;
  OpenUrl open_;
};

}  // namespace norvane
