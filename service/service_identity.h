// The identity of the DNS service: its name with the service manager and the
// system log, the word in every console message, and its description.
#pragma once

namespace norvane {

// The service's name with the service manager (DNSserver.service) and the
// ident of its system log entries.
inline constexpr const char* kServiceName = "DNSserver";
// The word in every console message.
inline constexpr const char* kDisplayName = "DNS Server";
inline constexpr const char* kServiceDescription = "Resolves Internet names to IP addresses";

}  // namespace norvane
