// The transaction log file: its daily or monthly name in the data directory,
// the switch to a new file when the date asks for it, and the console as the
// log stream in console mode. Used by the listener thread; the switch itself
// happens under the log lock.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>

#include "engine/engine.h"

namespace norvane {

inline constexpr const char* kProductTitle = "Norvane DNS Server";
inline constexpr const char* kProductVersion = "1.5.3";

// The file name for `when`: "dns%y%m.log" (monthly, create_log 0) or
// "dns%y%m%d.log" (daily).
std::string log_file_name(std::time_t when, uint32_t create_log);

class LogFile {
 public:
  explicit LogFile(Engine& engine) : engine_(engine) {}
  ~LogFile() { close(); }
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Makes `console` (not owned, e.g. stdout) the log stream; log_roll keeps it.
  void use_console(std::FILE* console);

  // Closes the current file when the log level is 0, keeps the console or a
  // file whose name still matches `now`, and otherwise opens the file of
  // `now` in the data directory for appending. When it cannot be opened the
  // log level becomes 0. Returns the stream in use, or null.
  std::FILE* log_roll(std::time_t now);

  // Closes the file (never the console) and detaches it from the log.
  void close();

  const std::string& current_name() const { return name_; }

 private:
  Engine& engine_;
  std::FILE* file_ = nullptr;
  std::FILE* console_ = nullptr;
  std::string name_;
  std::time_t checked_at_ = -1;
  uint32_t checked_create_log_ = 0;
};

}  // namespace norvane
