// The transaction log file and its switching by date.
#include "runtime/log_file.h"

#include "engine/text_helpers.h"

namespace norvane {

std::string log_file_name(std::time_t when, uint32_t create_log) {
  std::tm local{};
  localtime_r(&when, &local);
  char name[16];
  std::strftime(name, sizeof name, create_log == 0 ? "dns%y%m.log" : "dns%y%m%d.log", &local);
  return name;
}

void LogFile::use_console(std::FILE* console) {
  close();
  console_ = console;
  engine_.log.set_stream(console);
}

std::FILE* LogFile::log_roll(std::time_t now) {
  TransactionLog& log = engine_.log;
  if (log.level() == 0) {
    close();
    log.set_stream(nullptr);
    return nullptr;
  }
  if (console_ != nullptr) {
    // A log level raised from 0 reattaches the console.
    log.set_stream(console_);
    return console_;
  }
  // The loop turns once per batch of requests; the date is worked out again
  // only when the second has changed.
  const uint32_t create_log = engine_.settings.create_log.load();
  if (file_ != nullptr && now == checked_at_ && create_log == checked_create_log_) return file_;
  checked_at_ = now;
  checked_create_log_ = create_log;
  const std::string name = log_file_name(now, create_log);
  if (file_ != nullptr && name == name_) return file_;

  close();
  name_ = name;
  const std::string path = join_path(*engine_.settings.data_directory.get(), name);
  std::FILE* file = std::fopen(path.c_str(), "a+");
  if (file == nullptr) {
    // Logging stays off until the settings are read again.
    log.set_level(0);
    return nullptr;
  }
  // Lines are flushed at every turn of the listener loop, not one by one.
  std::setvbuf(file, nullptr, _IOFBF, 1 << 16);
  file_ = file;
  log.set_stream(file_);
  // A blank line sets each start apart from the lines of the one before.
  if (log.enabled(2)) {
    log.with_stream([&log](std::FILE* stream) {
      std::fprintf(stream, "\n%s %s log started\n", log.timestamp_locked(), kProductTitle);
    });
  }
  return file_;
}

void LogFile::close() {
  if (file_ == nullptr) return;
  engine_.log.set_stream(nullptr);
  std::fclose(file_);
  file_ = nullptr;
}

}  // namespace norvane
