// Dynamic update. Not available yet: every update is answered "not
// implemented" so clients learn at once that they cannot change the zone.
#include "engine/dynamic_update.h"

#include "engine/dns_message.h"

namespace norvane {

int update_apply(Engine& engine, const RequestContext& /*context*/, Reply& reply,
                 std::span<const uint8_t> request) {
  return error_reply(engine, kRcodeNotImp, reply, request);
}

}  // namespace norvane
