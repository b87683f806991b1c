// The access list as the settings store keeps it: string values "0", "1", ...
// under "<main key>\Access", each "rights,first" or "rights,first-last" with
// dotted-quad addresses and "*" for every address. Safe while serving threads
// run: the live list is replaced whole.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/access_control.h"
#include "engine/engine.h"
#include "runtime/settings_store.h"

namespace norvane {

// Reads one stored value. The rights are the text before the first ",", cut
// to seven characters; the rest splits at its first "-" into the first and
// the last address, each read as a dotted quad (blanks before it skipped, text
// after its fourth number ignored) and kept in host order. "*" as the first
// address means 0; so does an empty first address when a last address
// follows, and then the last address becomes the single address of the range.
// A last address that does not read counts as 0, so "10.0.0.1-x" is the
// single address 10.0.0.1. Nothing, so that the value is skipped, when there
// is no ",", when the first address is neither empty, "*" nor readable, when
// the first address is 0 and the last does not read, or when no address is
// given at all: reading any of these as 0 would turn a damaged value into a
// grant to every address. A range whose first address lies above its last is kept; it covers
// nothing, and keeping it lets the security dialog show it for repair.
std::optional<AccessRange> parse_access_range(std::string_view text);

// The stored form of one range as the security dialog writes it: the letters
// "Q ", "Z ", "U" for the rights present, in that order, then "," and the
// first address ("*" for every address), then "-" and the last address when
// there is one.
std::string format_access_range(const AccessRange& range);

// Replaces the engine's live list with the values "0", "1", ... of
// "<subkey>\Access", up to the first missing number. Values that do not parse
// (see parse_access_range) or are longer than 255 characters are skipped; the
// numbering still goes on past them. A missing key gives an empty list.
void load_access_list(Engine& engine, const SettingsStore& store,
                      std::string_view subkey = "Velisk");

// Writes the engine's live list to "<subkey>\Access" as "0", "1", ... in list
// order, in one rewrite of the store, and deletes every other numbered value
// of that key, so that no stale value behind a former gap in the numbering
// can return at the next load. Ranges that grant none of Q, Z and U are not
// written (the dialog drops such rows; they have no effect). Other value
// names are left alone. 1 on success, 0 when the store could not be written.
int save_access_list(const Engine& engine, SettingsStore& store,
                     std::string_view subkey = "Velisk");

}  // namespace norvane
