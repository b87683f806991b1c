// Access control: which client addresses may query, update and transfer the
// zone. Thread-safe: serving threads test against an immutable list that is
// replaced whole.
#pragma once

#include <cstdint>

#include "engine/server_settings.h"

namespace norvane {

class AccessControl {
 public:
  explicit AccessControl(const ServerSettings& settings) : settings_(settings) {}

  // 1 when the client `address` (network order) may use `right` ('Q' query,
  // 'U' update, 'Z' zone transfer); 0 when refused. Everything is allowed
  // while the access-control switch is off.
  int access_allowed(uint32_t address, char right) const;

 private:
  [[maybe_unused]] const ServerSettings& settings_;
};

}  // namespace norvane
