// Dynamic update (RFC 2136) of the local domain. Thread-safe: takes the
// database lock for its changes.
#pragma once

#include <cstddef>
#include <span>

#include "engine/engine.h"
#include "engine/query.h"

namespace norvane {

// Processes one update message and builds its reply into reply.message.
// Returns the reply length.
int update_apply(Engine& engine, const RequestContext& context, Reply& reply,
                 std::span<const uint8_t> request);

}  // namespace norvane
