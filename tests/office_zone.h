// The zone the system and window tests serve, shared so that both drive a
// server with the same records.
#pragma once

namespace norvane::test_zones {

// The zone most system tests serve: every record type the server answers
// from, two addresses on one name, a TTL of its own and a wildcard.
inline constexpr char kOfficeZone[] =
    "$ORIGIN office.lan.\n"
    "@\tSOA\tns1.office.lan.\thostmaster.office.lan. 2026120701 3600 600 86400 300\n"
    "@ \tNS\tns1\n"
    "@ \tMX\t10\tmail\n"
    "ns1\tA\t192.168.10.1\n"
    "host\tA\t192.168.10.20\n"
    "host\tA\t192.168.10.21\n"
    "mail\tA\t192.168.10.25\n"
    "www\tCNAME\thost\n"
    "printer\t600\tA\t192.168.10.40\n"
    "*.lab\t300\tA\t192.168.10.99\n";

}  // namespace norvane::test_zones
