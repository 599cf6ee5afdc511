#pragma once
// The local ports the system's connection tables list: sockets bound or
// connected over TCP and UDP, IPv4 and IPv6. A port that appears here is
// taken by some program (ours included), so it is not offered to a router as
// the engine's listening port.

#include <cstdint>
#include <set>
#include <string>

namespace platform {

// Reads the tables now; an unreadable table adds nothing.
std::set<uint16_t> ListedLocalPorts();

// Adds the local ports of one table in the kernel's text layout ("sl
// local_address rem_address st ...", the address as hex "ADDRESS:PORT").
void AddListedLocalPorts(const std::string& table_text, std::set<uint16_t>& ports);

}  // namespace platform
