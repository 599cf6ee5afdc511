#pragma once
// The engine's view of the platform resolver: converts the platform's answers
// into the engine's resolver codes. Blocking; any thread.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/net/NameResolver.h"

namespace engine {

// Asks the system for the IPv4 addresses of `host`.
ResolveAnswer SystemResolve(const std::string& host);
// The addresses of this machine's host name (network order); when they are
// only loopback, the first non-loopback interface address instead.
std::vector<uint32_t> SystemLocalAddresses();
// The DNS servers in use, as text.
std::vector<std::string> SystemDnsServers();

}  // namespace engine
