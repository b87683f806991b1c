// Access control: the covering and granting rules, list replacement with
// stable listing handles, and the listing image.
#include "engine/access_control.h"

#include <arpa/inet.h>

#include <utility>

namespace norvane {
namespace {

void put_le(uint8_t* out, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

bool AccessRange::covers(uint32_t host_address) const {
  if (first == 0 && last == 0) return true;
  if (last == 0) return first == host_address;
  return first <= host_address && host_address <= last;
}

bool AccessRange::grants(char right) const {
  // The dialog separates its letters with blanks; without this check a
  // request for the right ' ' would be granted by "Q ".
  if (right != 'Q' && right != 'U' && right != 'Z') return false;
  return rights.find(right) != std::string::npos;
}

int AccessControl::access_allowed(uint32_t address, char right) const {
  if (settings_.access_control.load(std::memory_order_relaxed) == 0) return 1;
  const uint32_t host_address = ntohl(address);
  const auto list = list_.get();
  for (const AccessRange& range : list->ranges) {
    if (range.covers(host_address) && range.grants(right)) return 1;
  }
  return 0;
}

void AccessControl::replace_access_list(std::vector<AccessRange> ranges) {
  for (AccessRange& range : ranges) {
    if (range.rights.size() > kMaxAccessRights) range.rights.resize(kMaxAccessRights);
    if (range.first == 0 && range.last != 0) {
      range.first = range.last;
      range.last = 0;
    }
  }
  std::lock_guard<std::mutex> guard(replace_lock_);
  const auto former = list_.get();
  List fresh;
  fresh.handles.reserve(ranges.size());
  for (size_t i = 0; i < ranges.size(); ++i) {
    fresh.handles.push_back(i < former->handles.size() ? former->handles[i] : next_handle_++);
  }
  fresh.ranges = std::move(ranges);
  list_.set(std::move(fresh));
}

std::vector<AccessRange> AccessControl::access_list() const { return list_.get()->ranges; }

std::optional<std::array<uint8_t, kAccessRangeImageSize>> AccessControl::access_range_image(
    uint64_t handle) const {
  const auto list = list_.get();
  size_t index = 0;
  if (handle != 0) {
    while (index < list->handles.size() && list->handles[index] != handle) ++index;
  }
  if (index >= list->ranges.size()) return std::nullopt;

  const AccessRange& range = list->ranges[index];
  std::array<uint8_t, kAccessRangeImageSize> image{};
  const uint64_t next = index + 1 < list->handles.size() ? list->handles[index + 1] : 0;
  put_le(&image[0], next, 8);
  // Ranges are cut to seven characters when installed; the eighth byte stays
  // the terminator either way.
  for (size_t i = 0; i < range.rights.size() && i < kMaxAccessRights; ++i) {
    image[8 + i] = static_cast<uint8_t>(range.rights[i]);
  }
  put_le(&image[16], range.first, 4);
  put_le(&image[20], range.last, 4);
  return image;
}

}  // namespace norvane
