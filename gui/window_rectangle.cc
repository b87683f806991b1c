// The window rectangle in the user store.
#include "gui/window_rectangle.h"

#include <cstdint>
#include <string>

#include "runtime/settings.h"

namespace norvane {
namespace {

// The unsigned comparison folds a negative position (a window partly on a
// monitor to the left) and a missing one (0x80000000) into the same test as
// a position at the screen's far edge.
int clamp_position(uint32_t position, int screen_extent) {
  return position + 5 < static_cast<uint32_t>(screen_extent) ? static_cast<int>(position) : 0;
}

}  // namespace

WindowRectangle read_window_rectangle(const SettingsStore& user, int screen_width,
                                      int screen_height, int minimum_width, int minimum_height) {
  WindowRectangle rectangle;
  const uint32_t left = user.store_read_number(kMainKey, "left", 0x80000000u);
  const uint32_t top = user.store_read_number(kMainKey, "top", 0x80000000u);
  rectangle.left = clamp_position(left, screen_width);
  rectangle.top = clamp_position(top, screen_height);
  rectangle.width = static_cast<int>(user.store_read_number(kMainKey, "width", 500));
  rectangle.height = static_cast<int>(user.store_read_number(kMainKey, "height", 300));
  if (rectangle.width < minimum_width) rectangle.width = minimum_width;
  if (rectangle.height < minimum_height) rectangle.height = minimum_height;
  return rectangle;
}

int write_window_rectangle(SettingsStore& user, const WindowRectangle& rectangle) {
  StoreBatch batch;
  const auto put = [&batch](const char* value, int number) {
    if (number == 0) {
      batch.remove(value);
    } else {
      const std::string text = std::to_string(number);
      batch.set_text(value, text.c_str());
    }
  };
  put("left", rectangle.left);
  put("top", rectangle.top);
  put("width", rectangle.width);
  put("height", rectangle.height);
  return user.store_apply(kMainKey, batch);
}

}  // namespace norvane
