// Where the windowed program finds its language files ("Languages/") and help
// documents ("doc/"). Thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace norvane {

// The resource directory, always ending in one "/": NORVANE_RESOURCE_DIR when it
// is set and not empty; else "<prefix>/share/norvane/" when the program runs
// from "<prefix>/bin/" (or "sbin/") and that folder exists; else the
// program's own folder.
std::string resource_directory();

// The same choice from explicit inputs: the variable's value (empty = unset)
// and the program's folder ending in "/". `share_exists` tells whether a
// candidate "<prefix>/share/norvane/" folder exists.
std::string choose_resource_directory(std::string_view environment_value,
                                      const std::string& program_folder,
                                      bool (*share_exists)(const std::string&));

}  // namespace norvane
