// The main window's rectangle in the user store ([Velisk] left, top, width,
// height) with the rules that keep a stored window on the screen. Qt-free;
// thread-safe as the settings store is.
#pragma once

#include "runtime/settings_store.h"

namespace norvane {

struct WindowRectangle {
  int left = 0;
  int top = 0;
  int width = 500;
  int height = 300;
  bool operator==(const WindowRectangle&) const = default;
};

// Reads the rectangle: "left" and "top" default to 0x80000000, "width" to 500,
// "height" to 300. A left for which left + 5 is not below the screen width,
// compared as unsigned 32-bit numbers, becomes 0 (so a missing, negative or
// far-edge value gives 0); top likewise against the screen height. A width or
// height below the minimum is raised to it.
WindowRectangle read_window_rectangle(const SettingsStore& user, int screen_width,
                                      int screen_height, int minimum_width, int minimum_height);

// Stores the four values as signed decimal text, deleting each that is 0, in
// one rewrite of the store. 1 on success, 0 when the store cannot be written.
int write_window_rectangle(SettingsStore& user, const WindowRectangle& rectangle);

}  // namespace norvane
