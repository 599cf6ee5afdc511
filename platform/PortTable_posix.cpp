#include "platform/PortTable.h"

#include <fstream>
#include <sstream>

namespace platform {

namespace {

// Both protocols, both address families: the UDP server binds the same port
// as the TCP listener, so a port busy for either is no good.
constexpr const char* Tables[] = {"/proc/net/tcp", "/proc/net/tcp6", "/proc/net/udp", "/proc/net/udp6"};

bool ParsePortHex(const std::string& text, uint16_t* port) {
    if (text.empty() || text.size() > 4) return false;
    uint32_t value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else return false;
        value = value * 16 + static_cast<uint32_t>(digit);
    }
    *port = static_cast<uint16_t>(value);
    return true;
}

}  // namespace

void AddListedLocalPorts(const std::string& table_text, std::set<uint16_t>& ports) {
    std::istringstream lines(table_text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string slot, local;
        // The heading's first field is "sl"; entries start with "N:".
        if (!(fields >> slot >> local) || slot.empty() || slot.back() != ':') continue;
        const size_t colon = local.rfind(':');
        uint16_t port = 0;
        if (colon == std::string::npos || !ParsePortHex(local.substr(colon + 1), &port) || port == 0) continue;
        ports.insert(port);
    }
}

std::set<uint16_t> ListedLocalPorts() {
    std::set<uint16_t> ports;
    for (const char* table : Tables) {
        std::ifstream in(table);
        if (!in) continue;
        std::ostringstream text;
        text << in.rdbuf();
        AddListedLocalPorts(text.str(), ports);
    }
    return ports;
}

}  // namespace platform
