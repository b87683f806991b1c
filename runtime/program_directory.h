// The folder of the running program, and the folders an installed program
// finds relative to it: the default data directory and machine store.
// Thread-safe.
#pragma once

#include <optional>
#include <string>

namespace norvane {

// The path of /proc/self/exe cut behind its last "/", the "/" kept; an empty
// text when the link cannot be read or holds no "/".
std::string program_directory();

// The installation prefix of a program in `program_folder` (ending in "/"):
// the folder above a final "bin/" or "sbin/", with its "/" ("/usr/bin/" gives
// "/usr/"). Nothing for a folder of any other name, such as the build tree's.
std::optional<std::string> install_prefix(const std::string& program_folder);

// The folder of the host-specific configuration ("etc") or of the variable
// state ("var") of the tree under `prefix`, ending in "/". A program under
// "/usr/" or "/" keeps them in the system's "/etc/" and "/var/" (the
// Filesystem Hierarchy Standard has no /usr/etc or /usr/var); any other
// prefix keeps them inside itself ("/opt/nv/" gives "/opt/nv/etc/").
std::string prefix_folder(const std::string& prefix, const std::string& name);

// The data directory used when the settings name none: for an installed
// program "<var>/lib/norvane/" when `exists` finds it, else the program's own
// folder (where the build tree keeps its data).
std::string default_data_directory(const std::string& program_folder,
                                   bool (*exists)(const std::string&));
std::string default_data_directory();

// The machine store's folder (no final "/"): "<etc>/norvane" of a program
// installed under another prefix than "/usr/" or "/" when `exists` finds it,
// else "/etc/norvane".
std::string default_machine_store(const std::string& program_folder,
                                  bool (*exists)(const std::string&));
std::string default_machine_store();

}  // namespace norvane
