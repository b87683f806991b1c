// The commands of the control channel: one request in, one reply out, for a
// connection whose privilege is already known. No sockets here, so the whole
// command set can be driven directly by tests and the fuzzer. The commands
// that change the server decode their request, call the operation of
// runtime/administration.h and encode its result; the rest read the engine.
// Thread-safety: ControlCommands serialises every command under its command
// lock (the outermost lock of the system: command, database, cache, log);
// a ControlSession belongs to one connection thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "control/control_messages.h"
#include "engine/engine.h"
#include "runtime/administration.h"
#include "runtime/settings_store.h"

namespace norvane {

// Open searches and open files per connection; a request beyond this answers
// as "not found" / "could not be opened" so that one client cannot exhaust
// the server's descriptors.
inline constexpr size_t kMaxSearchesPerConnection = 16;
inline constexpr size_t kMaxFilesPerConnection = 16;
// A search remembers at most this many matching names.
inline constexpr size_t kMaxSearchEntries = 4096;

// The state of one connection: its privilege, decided once at its first
// message, and the searches and files it opened. Destroying the session
// closes them, so a client that disconnects without closing leaks nothing.
class ControlSession {
 public:
  explicit ControlSession(bool privileged) : privileged_(privileged) {}
  ControlSession(const ControlSession&) = delete;
  ControlSession& operator=(const ControlSession&) = delete;

  bool privileged() const { return privileged_; }
  size_t open_searches() const { return searches_.size(); }
  size_t open_files() const { return files_.size(); }
  // The file open under `handle`; null when none is.
  std::FILE* file_of(uint64_t handle) const {
    const auto open = files_.find(handle);
    return open == files_.end() ? nullptr : open->second.get();
  }

 private:
  friend class ControlCommands;

  struct FileCloser {
    void operator()(std::FILE* file) const {
      if (file != nullptr) std::fclose(file);
    }
  };
  struct Search {
    std::vector<FindRecord> found;
    size_t next = 0;
  };

  bool privileged_;
  std::map<uint64_t, Search> searches_;
  std::map<uint64_t, std::unique_ptr<std::FILE, FileCloser>> files_;
};

// The identity of a connecting process as the kernel reports it.
struct PeerCredentials {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
};

// True when `peer` could write the settings store kept in `folder`: root, or
// write and search permission on the folder (on its nearest existing parent
// when it does not exist yet) and write permission on settings.ini when that
// exists, each through the owner, group or other bits that apply to the peer.
bool peer_may_write_store(const PeerCredentials& peer, const std::string& folder);

class ControlCommands {
 public:
  ControlCommands(Engine& engine, SettingsStore& store);
  ControlCommands(const ControlCommands&) = delete;
  ControlCommands& operator=(const ControlCommands&) = delete;

  // Command 15 calls the hook to start a refresh from the primary on a thread
  // of its own; a nonzero result means it was started. Without a hook the
  // command fails with its code.
  void set_refresh_hook(std::function<int()> hook);
  // Commands 31-34 change routes through the hook (1 ok, 0 failure). Without
  // one every route change counts as failed.
  void set_route_hook(std::function<int(uint32_t, uint32_t, uint32_t)> hook);

  // The privilege test of a new connection: privileged exactly when the peer
  // could write the machine store; for such a peer "Used" = "1" is written
  // under the main key. Takes the command lock.
  bool privilege_test(const PeerCredentials& peer);

  // Executes one request under the command lock and returns the reply: at
  // least 4 bytes (the status), at most kControlMessageSize. Bytes the
  // request did not carry read as zero; bytes of the request that the reply
  // covers and the command did not overwrite come back unchanged. Returns an
  // empty reply, running nothing, for a request longer than
  // kControlMessageSize (the caller ends the connection). Never throws.
  std::vector<uint8_t> handle_control_message(ControlSession& session,
                                              std::span<const uint8_t> request);

 private:
  using Buffer = std::array<uint8_t, kControlMessageSize>;

  // Each runs one command with the command lock held; returns the reply
  // length and leaves the status in the buffer.
  size_t run_locked(ControlSession& session, Buffer& buffer);
  size_t set_settings_locked(Buffer& buffer);
  size_t get_zone_locked(Buffer& buffer);
  size_t save_zone_locked(Buffer& buffer);
  size_t next_record_locked(Buffer& buffer);
  size_t add_record_locked(Buffer& buffer);
  size_t remove_record_locked(Buffer& buffer);
  size_t refresh_locked(Buffer& buffer);
  size_t write_setting_locked(Buffer& buffer);
  size_t remove_records_locked(Buffer& buffer);
  // The status field already holds 0 here, so the code is passed along.
  size_t routes_locked(uint32_t code, Buffer& buffer);
  // control_files.cc
  size_t list_files_first_locked(ControlSession& session, Buffer& buffer);
  size_t list_files_next_locked(ControlSession& session, Buffer& buffer);
  size_t list_files_end_locked(ControlSession& session, Buffer& buffer);
  size_t open_file_locked(ControlSession& session, Buffer& buffer);
  size_t close_file_locked(ControlSession& session, Buffer& buffer);
  size_t read_line_locked(ControlSession& session, Buffer& buffer);
  // Writes the search's next record with its handle; false when it has none.
  bool put_next_found_locked(ControlSession::Search& search, uint64_t handle, Buffer& buffer);
  uint64_t new_handle_locked() { return next_handle_++; }

  Engine& engine_;
  SettingsStore& store_;
  std::mutex command_lock_;
  // Guarded by command_lock_.
  RefreshStart refresh_hook_;
  RouteHook route_hook_;
  // Search and file handles: never 0, never reused within the process, so a
  // closed handle can never name a newer object.
  uint64_t next_handle_ = 1;
};

}  // namespace norvane
