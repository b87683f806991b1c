// The texts of the zone dialogs.
#include "gui/zone_dialog_text.h"

#include <limits>

namespace norvane {
namespace {

constexpr size_t kMaxQualifiedName = 255;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<std::string> qualify_entered_name(std::string_view name, std::string_view domain) {
  if (!name.empty() && name.back() == '.') {
    name.remove_suffix(1);
    return std::string(name);
  }
  if (domain.empty()) return std::nullopt;
  if (name.size() + 1 + domain.size() > kMaxQualifiedName) return std::nullopt;
  if (name.empty()) return std::string(domain);
  std::string qualified(name);
  qualified += '.';
  qualified += domain;
  return qualified;
}

std::string mailbox_shown(std::string_view stored) {
  std::string shown(stored);
  if (shown.find('@') != std::string::npos) return shown;
  const size_t dot = shown.find('.');
  if (dot != std::string::npos) shown[dot] = '@';
  return shown;
}

std::optional<std::string> mailbox_stored(std::string_view entered) {
  if (!entered.empty() && entered.back() == '.') entered.remove_suffix(1);
  const size_t at = entered.find('@');
  if (at == std::string_view::npos || at == 0 || at + 1 == entered.size()) return std::nullopt;
  std::string stored(entered);
  stored[at] = '.';
  return stored;
}

std::optional<uint32_t> leading_unsigned(std::string_view text) {
  size_t position = 0;
  while (position < text.size() && (text[position] == ' ' || text[position] == '\t')) ++position;
  if (position == text.size() || !is_digit(text[position])) return std::nullopt;
  uint64_t value = 0;
  for (; position < text.size() && is_digit(text[position]); ++position) {
    value = value * 10 + static_cast<uint64_t>(text[position] - '0');
    if (value > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

std::string load_time_text(bool secondary, std::time_t loaded_at, std::time_t refreshed_at) {
  const bool from_server = secondary && refreshed_at != 0;
  const std::time_t when = from_server ? refreshed_at : loaded_at;
  std::tm local{};
  localtime_r(&when, &local);
  char buffer[128];
  const size_t length = std::strftime(
      buffer, sizeof buffer, from_server ? "%x %H:%M:%S (server)" : "%x %H:%M:%S (db)", &local);
  return std::string(buffer, length);
}

}  // namespace norvane
