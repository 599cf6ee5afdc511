#pragma once
// The DNS servers this machine asks, for diagnostics (the resolve-failure
// event names them). On POSIX systems they are the "nameserver" lines of the
// resolver configuration file.

#include <string>
#include <vector>

namespace platform {

// Server addresses as text, in configuration order; empty when the file is
// missing or names none. `config_path` lets tests point at their own file.
std::vector<std::string> DnsServerAddresses(const std::string& config_path = "/etc/resolv.conf");

}  // namespace platform
