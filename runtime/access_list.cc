// Loading and saving the access list in the settings store.
#include "runtime/access_list.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/text_helpers.h"

namespace norvane {
namespace {

// A stored value longer than this is not one the system wrote.
constexpr size_t kMaxStoredRange = 255;

std::string access_key(std::string_view subkey) { return std::string(subkey) + "\\Access"; }

// A host-order address read from the start of `text` (blanks skipped, the
// rest after the quad ignored), or nothing when it does not start with one.
std::optional<uint32_t> read_address(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  const std::string terminated(text);
  uint32_t address = 0;
  if (parse_ipv4_prefix(terminated.c_str(), &address) == nullptr) return std::nullopt;
  return ntohl(address);
}

std::string dotted(uint32_t host_address) {
  char buffer[kIpv4TextSize];
  return format_ipv4(htonl(host_address), buffer);
}

bool grants_anything(const AccessRange& range) {
  return range.grants('Q') || range.grants('Z') || range.grants('U');
}

// The index of a value named in canonical decimal ("0", "17"; not "017",
// which the loader never reads); nothing for any other name. Names too long
// to count lie above every index that can be written.
std::optional<size_t> value_index(const std::string& name) {
  if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  if (name.size() > 1 && name[0] == '0') return std::nullopt;
  if (name.size() > 18) return SIZE_MAX;
  return static_cast<size_t>(std::stoull(name));
}

}  // namespace

std::optional<AccessRange> parse_access_range(std::string_view text) {
  const size_t comma = text.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  AccessRange range;
  range.rights = std::string(text.substr(0, std::min(comma, kMaxAccessRights)));

  std::string_view addresses = text.substr(comma + 1);
  std::string_view first_text = addresses;
  std::string_view last_text;
  const size_t dash = addresses.find('-');
  if (dash != std::string_view::npos) {
    first_text = addresses.substr(0, dash);
    last_text = addresses.substr(dash + 1);
  }
  while (!first_text.empty() && first_text.front() == ' ') first_text.remove_prefix(1);
  while (!first_text.empty() && first_text.back() == ' ') first_text.remove_suffix(1);
  while (!last_text.empty() && last_text.back() == ' ') last_text.remove_suffix(1);

  if (first_text == "*") {
    range.first = 0;
  } else if (first_text.empty()) {
    // The dialog leaves the first address empty when only a last address is
    // typed; with no last address either, nothing names a range.
    if (last_text.empty()) return std::nullopt;
  } else {
    const std::optional<uint32_t> first = read_address(first_text);
    if (!first) return std::nullopt;
    range.first = *first;
  }
  if (!last_text.empty()) {
    // A last address that does not read counts as 0, leaving the single
    // address `first`. When the first address is 0 (empty or "*"), the last
    // text is the single address itself: unreadable, it is skipped like an
    // unreadable first address, since 0 there would grant every address.
    const std::optional<uint32_t> last = read_address(last_text);
    if (range.first != 0) {
      range.last = last.value_or(0);
    } else if (last) {
      range.first = *last;
    } else {
      return std::nullopt;
    }
  }
  return range;
}

std::string format_access_range(const AccessRange& range) {
  std::string text;
  if (range.grants('Q')) text += "Q ";
  if (range.grants('Z')) text += "Z ";
  if (range.grants('U')) text += "U";
  text += ',';
  if (range.first == 0 && range.last == 0) {
    text += '*';
    return text;
  }
  // A range from 0 to an address cannot be written (it reads back as that
  // single address); the list never holds one, see replace_access_list.
  text += dotted(range.first);
  if (range.last != 0) {
    text += '-';
    text += dotted(range.last);
  }
  return text;
}

void load_access_list(Engine& engine, const SettingsStore& store, std::string_view subkey) {
  std::unordered_map<std::string, std::string> values;
  for (auto& [name, text] : store.store_read_key(access_key(subkey))) {
    values.emplace(std::move(name), std::move(text));
  }
  std::vector<AccessRange> ranges;
  for (size_t i = 0;; ++i) {
    const auto value = values.find(std::to_string(i));
    if (value == values.end()) break;
    if (value->second.size() > kMaxStoredRange) continue;
    if (std::optional<AccessRange> range = parse_access_range(value->second)) {
      ranges.push_back(std::move(*range));
    }
  }
  engine.access.replace_access_list(std::move(ranges));
}

int save_access_list(const Engine& engine, SettingsStore& store, std::string_view subkey) {
  const std::string key = access_key(subkey);
  StoreBatch batch;
  size_t written = 0;
  for (const AccessRange& range : engine.access.access_list()) {
    if (!grants_anything(range)) continue;
    const std::string text = format_access_range(range);
    batch.set_text(std::to_string(written), text.c_str());
    ++written;
  }
  for (const auto& [name, text] : store.store_read_key(key)) {
    const std::optional<size_t> index = value_index(name);
    if (index && *index >= written) batch.remove(name);
  }
  return store.store_apply(key, batch);
}

}  // namespace norvane
