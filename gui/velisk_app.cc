// The velisk program: start-up, the event loop and the exit sequence.
#include "gui/velisk_app.h"

#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <QApplication>
#include <QIcon>
#include <QLocale>
#include <QSocketNotifier>
#include <clocale>

#include "gui/add_entry_dialog.h"
#include "gui/dialog_helpers.h"
#include "gui/language.h"
#include "gui/local_domain_dialog.h"
#include "gui/log_viewer_dialog.h"
#include "gui/main_window.h"
#include "gui/preferences_dialog.h"
#include "gui/server_thread.h"
#include "gui/single_instance.h"
#include "gui/tray_icon.h"
#include "gui/window_observer.h"
#include "runtime/network_server.h"
#include "runtime/program_directory.h"
#include "runtime/resource_directory.h"
#include "runtime/settings.h"

// Resources compiled into a static library are registered by hand; the
// macro declares a function and so must stand outside any namespace.
static void init_velisk_resources() { Q_INIT_RESOURCE(velisk); }

namespace norvane {
namespace {

int signal_pipe[2] = {-1, -1};

void on_stop_signal(int) {
  const char byte = 1;
  // Only wakes the event loop; the exit sequence runs there.
  [[maybe_unused]] const ssize_t written = write(signal_pipe[1], &byte, 1);
}

// SIGTERM (the session ends, the system shuts down) and SIGINT (Ctrl+C in
// the terminal that started it) run the exit sequence, so the cache dump is
// saved and the log closed as with File > Exit.
void exit_on_stop_signals(MainWindow& window, QObject& owner) {
  if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read, &owner);
  QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
    char byte = 0;
    while (read(signal_pipe[0], &byte, 1) > 0) {
    }
    window.exit_program();
  });
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

int initialisation_failed(const Language& language) {
  error_box(nullptr, language.window_title(), language.load_text(15, "ERROR_INIT", 128));
  return 0;
}

}  // namespace

int velisk_main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  init_velisk_resources();
  const QIcon icon(QStringLiteral(":/icons/velisk.png"));
  QApplication::setWindowIcon(icon);

  MainWindow::Options options;
  options.service_mode = argc > 1 && strcasecmp(argv[1], "-service") == 0;

  SingleInstance instance(instance_name());
  if (instance.ask_running_instance()) return 0;
  instance.listen();

  const SettingsStore machine = SettingsStore::machine();
  const SettingsStore user = SettingsStore::user();
  Language language;
  language.load_language(user, machine, QLocale(), resource_directory());
  const std::string directory = program_directory();
  if (!directory.empty() && chdir(directory.c_str()) != 0) {
    // Only relative paths depend on it; the data directory is absolute.
  }
  if (!network_startup()) return initialisation_failed(language);

  options.tray_icon = machine.store_read_number(kMainKey, "TrayIcon", 1) != 0;
  options.iconic = machine.store_read_number(kMainKey, "Iconic", 0) == 1;
  // "%x" dates in the dialogs follow the user's settings.
  std::setlocale(LC_TIME, "");

  WindowObserver observer;
  ServerThread server(machine, &observer);
  MainWindow window(server.engine(), language, user, options,
                    std::make_unique<SystemTrayIcon>(icon));
  window.setWindowIcon(icon);
  observer.set_window(&window);
  window.set_stop_hook([&server] { server.stop_and_join(); });
  window.set_command_hook(kCommandViewLog, [&window, &language] {
    Engine& engine = window.engine();
    launch_dialog(&window, language, [&](QWidget* owner) {
      return std::make_unique<LogViewerDialog>(language, *engine.settings.data_directory.get(),
                                               engine.settings.create_log.load(), owner);
    });
  });
  window.set_command_hook(kCommandLocalDomain, [&window, &language, &server] {
    launch_dialog(&window, language, [&](QWidget* owner) {
      return std::make_unique<LocalDomainDialog>(
          window.engine(), language, &window,
          [&server] { return server.host().zone_refresh_start() ? 1 : 0; }, owner);
    });
  });
  window.set_command_hook(kCommandAddEntry, [&window, &language] {
    launch_dialog(&window, language, [&](QWidget* owner) {
      return std::make_unique<AddEntryDialog>(window.engine(), language, &window, owner);
    });
  });
  window.set_command_hook(kCommandPreferences, [&window, &language, &machine, &user] {
    launch_dialog(&window, language, [&](QWidget* owner) {
      PreferencesContext context{window.engine(),      machine,  user, language, &window,
                                 resource_directory(), QLocale()};
      return std::make_unique<PreferencesDialog>(std::move(context), owner);
    });
  });
  QObject::connect(&instance, &SingleInstance::restore_requested, &window,
                   &MainWindow::restore_window);

  exit_on_stop_signals(window, window);
  window.apply_stored_rectangle();
  window.build_menus();
  window.show_and_start();
  if (!server.start()) {
    window.exit_program(false);
    return initialisation_failed(language);
  }
  const int code = QApplication::exec();
  // Reports still queued for the window are dropped with it; the server
  // thread has ended or been given up on by now.
  observer.set_window(nullptr);
  return code;
}

}  // namespace norvane
