// Printing a transaction log file.
#include "gui/log_printer.h"

#include <QFile>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "runtime/log_lines.h"

namespace norvane {
namespace {

constexpr int kPrintPointSize = 10;
// The header line and the blank line below it.
constexpr int kHeaderLines = 2;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

QString header_text(const QString& path, int page) {
  return QStringLiteral("%1  --  %2").arg(path).arg(page);
}

}  // namespace

QFont log_print_font() {
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPointSize(kPrintPointSize);
  return font;
}

LogPrintLayout log_print_layout(QPrinter& printer, size_t limit) {
  const QFontMetrics metrics(QFont(log_print_font(), &printer), &printer);
  LogPrintLayout layout;
  layout.line_height = std::max(1, metrics.height() + std::max(0, metrics.leading()));
  // A page too small for its header still takes one line, so that a listing
  // always ends.
  layout.lines_per_page = std::max(1, printer.height() / layout.line_height - kHeaderLines);
  const size_t lines = std::min(limit == 0 ? kPrintLineCeiling : limit, kPrintLineCeiling);
  layout.pages = static_cast<int>((lines + layout.lines_per_page - 1) / layout.lines_per_page);
  return layout;
}

bool print_log_file(QWidget* owner, QPrinter& printer, const QString& path, size_t limit) {
  printer.setCopyCount(1);
  printer.setCollateCopies(true);
  QPrintDialog dialog(&printer, owner);
  dialog.setOption(QAbstractPrintDialog::PrintCollateCopies, true);
  if (dialog.exec() != QDialog::Accepted) return true;
  return print_log_file_to(printer, path, limit);
}

bool print_log_file_to(QPrinter& printer, const QString& path, size_t limit) {
  limit = std::min(limit == 0 ? kPrintLineCeiling : limit, kPrintLineCeiling);
  std::unique_ptr<std::FILE, FileCloser> file(
      std::fopen(QFile::encodeName(path).constData(), "rb"));
  if (!file) return false;

  const int copies = std::max(1, printer.copyCount());
  const bool collate = printer.collateCopies();
  printer.setCopyCount(1);
  const LogPrintLayout layout = log_print_layout(printer, limit);
  const QFont font(log_print_font(), &printer);
  const int ascent = QFontMetrics(font, &printer).ascent();

  printer.setDocName(path);
  QPainter painter;
  if (!painter.begin(&printer)) return false;
  painter.setFont(font);

  bool first_page = true;
  const auto print_page = [&](int number, const std::vector<std::string>& lines) {
    if (!first_page && !printer.newPage()) return false;
    first_page = false;
    // Text is placed by its top edge, as lines are counted from the top.
    painter.drawText(QPointF(0, ascent), header_text(path, number));
    int y = kHeaderLines * layout.line_height;
    for (const std::string& line : lines) {
      painter.drawText(QPointF(0, y + ascent),
                       QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size())));
      y += layout.line_height;
    }
    return true;
  };

  bool ran_to_end = true;
  const int listings = collate ? copies : 1;
  const int repeats = collate ? 1 : copies;
  std::vector<std::string> lines;
  std::string text;
  for (int listing = 0; listing < listings && ran_to_end; ++listing) {
    std::rewind(file.get());
    LogPieceReader reader(file.get());
    size_t printed = 0;
    bool end_of_file = false;
    for (int page = 1; page <= layout.pages && ran_to_end; ++page) {
      lines.clear();
      bool line_end = false;
      while (static_cast<int>(lines.size()) < layout.lines_per_page && printed < limit) {
        if (!reader.next(&text, &line_end)) {
          end_of_file = true;
          break;
        }
        lines.push_back(text);
        ++printed;
      }
      // A file that ends with a full page gets no empty page after it; an
      // empty file still gets its headed first page.
      if (lines.empty() && page > 1) break;
      for (int repeat = 0; repeat < repeats && ran_to_end; ++repeat)
        ran_to_end = print_page(page, lines);
      if (end_of_file || printed >= limit) break;
    }
  }
  const bool ended = painter.end();
  return ran_to_end && ended;
}

}  // namespace norvane
