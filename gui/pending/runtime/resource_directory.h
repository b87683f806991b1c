// Stand-in until the runtime's own resource_directory lands.
#pragma once
#include <string>
namespace norvane {
// NORVANE_RESOURCE_DIR, else <prefix>/share/norvane/ when running from
// <prefix>/bin, else the program directory; always ends in "/".
std::string resource_directory();
}  // namespace norvane
