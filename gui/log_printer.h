// Printing a transaction log file: the print dialog, then pages headed by the
// file's path and the page number, with the copies and their collation done
// here rather than by the printer driver, so that every printer (and a PDF
// file) gets the same pages in the same order. GUI thread only; runs a nested
// event loop, so never call it with an engine lock held.
#pragma once

#include <QFont>
#include <QString>
#include <cstddef>

class QPrinter;
class QWidget;

namespace norvane {

// The most lines one listing prints.
inline constexpr size_t kPrintLineCeiling = 30000;

// The font listings are printed in.
QFont log_print_font();

// How a listing fills the pages of `printer`: the line height of the print
// font on that device (height plus leading), the lines per page (the page
// height over the line height, less the two lines of the header) and the
// pages `limit` lines need.
struct LogPrintLayout {
  int line_height = 0;
  int lines_per_page = 0;
  int pages = 0;
};
LogPrintLayout log_print_layout(QPrinter& printer, size_t limit);

// print_log_file: shows the print dialog for `printer` (one copy, collated,
// preset) owned by `owner`; a cancelled dialog prints nothing and counts as
// success. Otherwise prints as print_log_file_to. `limit` 0 means no limit;
// any limit is capped at kPrintLineCeiling.
bool print_log_file(QWidget* owner, QPrinter& printer, const QString& path, size_t limit = 0);

// Prints `path` on `printer` as it is set up, taking its copy count and
// collation and printing the copies itself (the printer's own count is set
// to 1): collated, the whole listing once per copy; not collated, each page
// as many times in a row as there are copies. Each page: the header
// "path  --  n" at the top, then up to lines_per_page pieces of the file
// (as the viewer cuts lines) from the third line down. The listing ends at
// the end of the file, after the layout's pages, or at the line limit.
// False when the file cannot be opened or the document cannot be started
// (nothing printed), or when a page fails (the job stops there).
bool print_log_file_to(QPrinter& printer, const QString& path, size_t limit = 0);

}  // namespace norvane
