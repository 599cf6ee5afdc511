#include "platform/DnsServers.h"

#include <fstream>
#include <sstream>

namespace platform {

std::vector<std::string> DnsServerAddresses(const std::string& config_path) {
    std::vector<std::string> servers;
    std::ifstream in(config_path);
    std::string line;
    // resolv.conf(5): "nameserver Name-server-address", one per line; "#"
    // and ";" start comments. A few dozen lines at most are read.
    for (int lines = 0; lines < 1000 && std::getline(in, line); ++lines) {
        std::istringstream words(line);
        std::string keyword;
        std::string address;
        if (!(words >> keyword) || keyword != "nameserver") continue;
        if (words >> address && address[0] != '#' && address[0] != ';') servers.push_back(address);
    }
    return servers;
}

}  // namespace platform
