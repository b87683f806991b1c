// Replacing a file so that readers and crashes only ever see the old or the
// new contents whole. Thread-safe for different paths; callers serialise
// saves of one path themselves.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <ctime>
#include <initializer_list>
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

// A temporary that a save of "<base>" in `directory` writes before renaming it
// into place: the template "<directory>/<base>.tmp-<pid>-XXXXXX" for mkostemp.
// The pid names the writer, so that a later start can tell a temporary left
// by an interrupted save from one that a live process is writing.
std::string temporary_template(const std::string& directory, std::string_view base);

// A temporary is stale once it has not been written to for this long and its
// writer is gone (its pid names no process, or names this process, which at
// start-up has not saved anything yet: after a restart the pid may well be
// the same). A save writes and renames its temporary within moments.
inline constexpr std::time_t kStaleTemporarySeconds = 60;
// Stale whatever its pid: the pid of a long-dead writer may have been reused.
inline constexpr std::time_t kAbandonedTemporarySeconds = 3600;

// Removes the stale temporaries of `bases` from `directory` (not its
// sub-folders): regular files named exactly as temporary_template makes them
// and stale by the rules above, judged at `now`. Nothing else is touched, not
// even a file that merely begins with "<base>." (an administrator's
// "name.db.backup"). Returns the number of files removed; 0 also when the
// folder cannot be read. Call it at start-up, before this process saves.
size_t remove_stale_temporaries(const std::string& directory,
                                std::initializer_list<std::string_view> bases, std::time_t now);

}  // namespace norvane
