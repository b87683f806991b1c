// The folder of the running program: the default data directory and the
// "Path" value the service writes at start. Thread-safe.
#pragma once

#include <string>

namespace norvane {

// The path of /proc/self/exe cut behind its last "/", the "/" kept; an empty
// text when the link cannot be read or holds no "/".
std::string program_directory();

}  // namespace norvane
