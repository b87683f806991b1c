// IPv4 routes of the machine, changed on request of the control channel: the
// default route through the configured gateway and static routes through it.
// Every call reads the kernel's tables afresh and keeps no state; callers
// serialise route changes (the control channel's command lock).
#pragma once

#include <cstdint>

namespace norvane {

// The metric given to every route this program adds, so that an administrator
// can tell them from the routes of other tools.
inline constexpr uint32_t kRouteMetric = 26;

// Replaces the routes to `destination` in the main routing table. All
// addresses are IPv4 in network byte order.
//
// Deletes every IPv4 route of the main table whose destination equals
// `destination`, whatever its prefix length, gateway or interface; then, when
// `gateway` is not 0 and lies in the subnet of a local interface, adds
// destination/mask via the gateway on that interface, protocol static, metric
// kRouteMetric. A gateway on no local subnet adds nothing and still succeeds.
//
// Returns 1 on success, 0 on failure: the table cannot be read, a deletion or
// the creation is refused (for example without CAP_NET_ADMIN), or, with a
// gateway, `mask` is not a run of leading ones or `destination` has bits
// outside it. The two input checks come before any change, and a refused
// creation or deletion puts the routes already deleted back (best effort), so
// a failed call leaves the table as it found it.
int apply_route(uint32_t destination, uint32_t mask, uint32_t gateway);

// The index of the interface whose IPv4 subnet holds `gateway` (network byte
// order): the first local address, in the order getifaddrs lists them, that
// is not 0 and for which address AND netmask equals gateway AND netmask.
// Returns 0 when no address matches or the addresses cannot be read.
uint32_t interface_for_gateway(uint32_t gateway);

}  // namespace norvane
