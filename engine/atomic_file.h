// Replacing a file so that readers and crashes only ever see the old or the
// new contents whole. Thread-safe for different paths; callers serialise
// saves of one path themselves.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace norvane {

// Writes `text` to a temporary file in `directory` (the folder of `path`),
// flushes it to disk, renames it over `path` and syncs the folder so the
// rename survives a crash. The new file gets `mode`, or the mode of the file
// it replaces when `keep_mode` is set and one exists. Returns false when any
// step fails; the temporary is then removed and `path` is left as it was.
bool replace_file_atomically(const std::string& directory, const std::string& path,
                             std::string_view text, mode_t mode = 0644, bool keep_mode = false);

}  // namespace norvane
