// The settings store: named text values under key paths, kept in one folder
// per hive as "settings.ini". Thread- and process-safe: every write rewrites
// the file under an exclusive flock on "settings.lock" and renames it into
// place, so readers (which take no lock) see either the old or the new file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace norvane {

// Changes to the values of one key, applied together by SettingsStore::store_apply
// so that a reader sees all of them or none.
class StoreBatch {
 public:
  // Sets `value` to `text`; a null text deletes the value.
  void set_text(std::string_view value, const char* text);
  void remove(std::string_view value) { set_text(value, nullptr); }
  // Deletes the value when `number` equals `fallback`, otherwise stores it as
  // decimal text: the store holds only what differs from the defaults.
  void set_number(std::string_view value, uint32_t number, uint32_t fallback);
  // Stores a network-order address as a dotted quad; 0 deletes the value.
  void set_address(std::string_view value, uint32_t address);

  struct Change {
    std::string value;
    bool remove = false;
    std::string text;
  };
  const std::vector<Change>& changes() const { return changes_; }

 private:
  std::vector<Change> changes_;
};

// One hive: a folder holding settings.ini (and the writers' settings.lock).
// Key paths are relative to "Software\Norvane" and written with backslashes
// ("Velisk", "Velisk\Access"); key and value names match without regard to
// ASCII case. Reads of a missing folder, file, key or value give the caller's
// fallback and never fail.
class SettingsStore {
 public:
  explicit SettingsStore(std::string folder);

  // $NORVANE_MACHINE_STORE, else default_machine_store() (/etc/norvane but
  // for a tree installed under another prefix): the servers' settings.
  static SettingsStore machine();
  // $NORVANE_USER_STORE, else $XDG_CONFIG_HOME/norvane, else
  // ~/.config/norvane (the home from $HOME, else the password database):
  // the windowed program's own preferences.
  static SettingsStore user();

  const std::string& folder() const { return folder_; }
  std::string file_path() const;

  // Removes the temporaries of settings.ini that interrupted writes left in
  // the folder (see remove_stale_temporaries in engine/atomic_file.h);
  // returns how many. Call it at start-up.
  size_t remove_stale_temporaries() const;

  // The text of the value, or `fallback` when the key or value is missing or
  // the text is longer than size - 1 characters (a buffer of `size` bytes
  // with its terminating zero). The fallback itself is cut to size - 1.
  std::string store_read_text(std::string_view subkey, std::string_view value,
                              std::string_view fallback, size_t size = 260) const;

  // Sets the value to `text` (creating the key, and the folder with mode 0755,
  // when needed); a null text deletes the value. 1 when the store now holds
  // exactly that, 0 when nothing was changed: no right to create or replace
  // the file, a name or text that cannot be stored (a line break, a NUL, a
  // "=" or leading "[" in a value name), or an existing file that could not
  // be read (rewriting it would lose its other values).
  int store_write_text(std::string_view subkey, std::string_view value, const char* text);

  // Deletes the value. 1 when it is absent afterwards (also when it was never
  // there) and the caller had the right to change the store; 0 otherwise.
  int store_delete(std::string_view subkey, std::string_view value);

  // The value read as unsigned decimal text of at most 63 characters
  // (surrounding blanks allowed; a leading "-" wraps around as C's "%u" does,
  // so signed numbers written by the window read back). `fallback` when the
  // value is missing, empty, not a number or larger than 32 bits.
  uint32_t store_read_number(std::string_view subkey, std::string_view value,
                             uint32_t fallback) const;

  // Deletes the value when `number` equals `fallback`, otherwise writes it
  // as "%u" text. 1 on success, 0 on failure as store_write_text.
  int store_write_number(std::string_view subkey, std::string_view value, uint32_t number,
                         uint32_t fallback);

  // A dotted quad of at most 15 characters, in network order; 0 when the
  // value is missing or malformed.
  uint32_t store_read_address(std::string_view subkey, std::string_view value) const;

  // All values of one key in file order; a name that occurs twice is listed
  // once, with the text that reads return.
  std::vector<std::pair<std::string, std::string>> store_read_key(std::string_view subkey) const;

  // Applies every change of `batch` to `subkey` in one rewrite of the file.
  // 1 on success; 0 with nothing changed on any failure (see store_write_text).
  int store_apply(std::string_view subkey, const StoreBatch& batch);

 private:
  std::string folder_;
};

}  // namespace norvane
