// Text helpers shared by the whole system: dotted-quad IPv4 formatting and
// parsing and the log timestamp. All functions are thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace norvane {

// Buffer size that holds any dotted quad with its terminating zero.
inline constexpr size_t kIpv4TextSize = 16;

// Writes "%u.%u.%u.%u" with the four bytes of a network-order address in their
// order into `buffer` (at least 16 bytes). Returns `buffer`.
char* format_ipv4(uint32_t address, char* buffer);

// Reads the whole text as exactly four decimal numbers of at most 255 separated
// by dots, with nothing before or behind them. Returns the address in network
// byte order, or 0 when the text does not qualify; `valid`, when given, is set
// to 1 for a valid text and 0 otherwise (which tells 0.0.0.0 from an error).
uint32_t parse_ipv4(const char* text, int* valid = nullptr);

// Reads a dotted quad at the start of `text`, where more text may follow.
// Stores the address (network order, 0 on failure) in `address` and returns the
// position behind the quad, or nullptr on failure.
const char* parse_ipv4_prefix(const char* text, uint32_t* address);

// Local time of `when` as "%Y-%m-%d %H:%M:%S" into `buffer` (at least 20
// bytes). Returns `buffer`.
char* format_timestamp(std::time_t when, char* buffer, size_t size);

// `directory` and `name` joined with exactly one "/" between them, whether or
// not the directory ends with one. An empty directory gives the name alone.
std::string join_path(std::string_view directory, std::string_view name);

}  // namespace norvane
