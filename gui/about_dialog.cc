// The About dialog and its link button.
#include "gui/about_dialog.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFontMetrics>
#include <QLabel>
#include <QPainter>

#include "gui/language.h"
#include "runtime/log_file.h"
#include "ui_about_dialog.h"

namespace norvane {
namespace {

// Whether a link button has been clicked in this process; GUI thread only.
bool link_visited = false;

const QColor kUnvisitedColour(0, 0, 255);

}  // namespace

const char* const AboutDialog::kSiteAddress = "https://norvane.example/dns/";
const char* const AboutDialog::kSiteText = "norvane.example/dns";
const char* const AboutDialog::kEnglishNotice =
    "A small DNS server for workstations and small networks.\n"
    "Copyright (c) Norvane DNS Server developers.\n"
    "Free software under the MIT License.";
const char* const AboutDialog::kGermanNotice =
    "Ein kleiner DNS-Server für Arbeitsplätze und kleine Netze.\n"
    "Copyright (c) Norvane DNS Server developers.\n"
    "Freie Software unter der MIT-Lizenz.";

LinkButton::LinkButton(QWidget* parent) : QPushButton(parent) {
  setFlat(true);
  setCursor(Qt::PointingHandCursor);
  connect(this, &QPushButton::clicked, this, [this] {
    link_visited = true;
    update();
  });
}

bool LinkButton::visited() { return link_visited; }

QColor LinkButton::link_colour() const {
  if (!link_visited && !isDown()) return kUnvisitedColour;
  return palette().color(QPalette::ButtonText);
}

void LinkButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QColor colour = link_colour();
  painter.setPen(QPen(colour, 1, Qt::SolidLine));
  painter.setFont(font());
  const QFontMetrics metrics(font());
  const int text_width = metrics.horizontalAdvance(text());
  const int text_height = metrics.height();
  const int width = this->width();
  const int height = this->height();
  // Centred, the text's top at a third of the height; the underline spans
  // the text at a quarter of the room left below it, counted from the
  // bottom (the division rounds toward zero).
  const int left = (width - text_width) / 2;
  const int right = width - (width - text_width) / 2;
  const int top = height / 3;
  painter.drawText(left, top + metrics.ascent(), text());
  const int underline = height - (height - text_height) / 4;
  painter.drawLine(left, underline, right, underline);
}

AboutDialog::AboutDialog(const Language& language, const QLocale& locale, OpenUrl open,
                         QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::AboutDialog>()), open_(std::move(open)) {
  ui_->setupUi(this);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setWindowTitle(language.window_title());
  const QIcon icon = QApplication::windowIcon();
  if (!icon.isNull()) ui_->icon_label->setPixmap(icon.pixmap(32, 32));
  // The product title and version are not translated.
  ui_->title_label->setText(
      QStringLiteral("%1 %2").arg(QLatin1String(kProductTitle), QLatin1String(kProductVersion)));
  ui_->notice_label->setText(
      QString::fromUtf8(locale.language() == QLocale::German ? kGermanNotice : kEnglishNotice));
  ui_->link_button->setText(QString::fromLatin1(kSiteText));
  if (!open_) open_ = [](const QUrl& url) { QDesktopServices::openUrl(url); };
  connect(ui_->link_button, &QPushButton::clicked, this,
          [this] { open_(QUrl(QString::fromLatin1(kSiteAddress))); });
  connect(ui_->ok_button, &QPushButton::clicked, this, &AboutDialog::accept);
}

AboutDialog::~AboutDialog() = default;

}  // namespace norvane
