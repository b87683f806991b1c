// Opening the log viewer on logs of 10,000, 100,000 and 1,000,000 lines (about
// 100 bytes each, so the largest is about 100 MB) on Qt's offscreen platform:
// the time from the dialog's creation until its last row is shown, the
// longest time the event loop was held up meanwhile, and the process's
// memory once the largest log is shown. Files are read from the page cache
// (they have just been written). Run by hand:
//   QT_QPA_PLATFORM=offscreen build/default/bench/log_viewer_bench [folder]
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTableView>
#include <QTimer>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

#include "gui/language.h"
#include "gui/log_viewer_dialog.h"
#include "runtime/log_file.h"

namespace norvane {
namespace {

// The process's resident and peak resident memory in MB.
double memory_mb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::stod(line.substr(prefix.size())) / 1024.0;
  }
  return 0;
}

void write_log(const std::string& path, int lines) {
  std::ofstream file(path, std::ios::trunc);
  char line[256];
  for (int i = 0; i < lines; ++i) {
    const int second = i % 86400;
    if (i % 3 == 0) {
      std::snprintf(line, sizeof line,
                    "2026-12-08 %02d:%02d:%02d query (192.168.%d.%d udp) "
                    "workstation%07d.branch-office.example.lan "
                    "IN A\n",
                    second / 3600, second / 60 % 60, second % 60, i / 250 % 250, i % 250, i);
    } else {
      std::snprintf(
          line, sizeof line,
          "2026-12-08 %02d:%02d:%02d local workstation%07d.branch-office.example.lan 3600 IN A "
          "10.%d.%d.%d\n",
          second / 3600, second / 60 % 60, second % 60, i, i / 65536 % 256, i / 256 % 256, i % 256);
    }
    file << line;
  }
}

struct Result {
  qint64 open_ms = 0;
  qint64 longest_stall_ms = 0;
  int rows = 0;
  bool last_row_shown = false;
  double rss_mb = 0;
  double peak_mb = 0;
};

Result open_viewer(const Language& language, const std::string& directory) {
  Result result;
  QElapsedTimer clock;
  clock.start();
  LogViewerDialog dialog(language, directory, 0, nullptr, std::time(nullptr));
  // The ticker measures how long the event loop goes without turning.
  QElapsedTimer since_tick;
  since_tick.start();
  QTimer ticker;
  ticker.setInterval(1);
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    result.longest_stall_ms = std::max(result.longest_stall_ms, since_tick.restart());
  });
  ticker.start();
  bool shown = false;
  QObject::connect(&dialog, &LogViewerDialog::file_shown, [&](int rows) {
    result.rows = rows;
    shown = true;
  });
  dialog.show();
  while (!shown) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
  QApplication::processEvents();  // the repaint at the bottom of the list
  result.open_ms = clock.elapsed();
  QTableView* list = dialog.log_list();
  const QRect last = list->visualRect(
      dialog.model().index(dialog.model().rowCount() - 1, LogLineModel::kDateColumn));
  result.last_row_shown = last.isValid() && list->viewport()->rect().intersects(last);
  // Memory while the viewer shows the file.
  result.rss_mb = memory_mb("VmRSS");
  result.peak_mb = memory_mb("VmHWM");
  return result;
}

}  // namespace
}  // namespace norvane

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  const QString folder = argc > 1 ? QString(argv[1]) : QDir::tempPath() + "/norvane-log-bench";
  norvane::Language english;
  std::printf("%10s %12s %10s %16s %12s %12s\n", "lines", "file MB", "open ms", "longest stall ms",
              "RSS MB", "peak RSS MB");
  for (const int lines : {10'000, 100'000, 1'000'000}) {
    const QString directory = folder + QString("/%1/").arg(lines);
    QDir().mkpath(directory);
    // This month's file, which the viewer opens first.
    const std::string path =
        directory.toStdString() + norvane::log_file_name(std::time(nullptr), 0);
    norvane::write_log(path, lines);
    const double file_mb =
        static_cast<double>(QFileInfo(QString::fromStdString(path)).size()) / 1e6;
    const norvane::Result result = norvane::open_viewer(english, directory.toStdString());
    std::printf("%10d %12.1f %10lld %16lld %12.1f %12.1f %s\n", result.rows, file_mb,
                static_cast<long long>(result.open_ms),
                static_cast<long long>(result.longest_stall_ms), result.rss_mb, result.peak_mb,
                result.last_row_shown ? "" : "(last row not shown)");
    QDir(directory).removeRecursively();
  }
  return 0;
}
