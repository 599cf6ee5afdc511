#include "engine/net/SystemResolver.h"

#include <algorithm>

#include "platform/DnsServers.h"
#include "platform/Socket.h"

namespace engine {

ResolveAnswer SystemResolve(const std::string& host) {
    ResolveAnswer answer;
    std::vector<uint32_t> addresses;
    switch (platform::ResolveIpv4(host, &addresses)) {
        case platform::ResolveStatus::Ok:
            answer.answered = true;
            answer.address_length = 4;
            answer.addresses = std::move(addresses);
            if (answer.addresses.empty()) {
                answer.answered = false;
                answer.error = ResolveError::NoData;
            }
            break;
        case platform::ResolveStatus::HostNotFound:
            answer.error = ResolveError::HostNotFound;
            break;
        case platform::ResolveStatus::TryAgain:
            answer.error = ResolveError::TryAgain;
            break;
        case platform::ResolveStatus::Failed:
            answer.error = ResolveError::NoRecovery;
            break;
    }
    return answer;
}

std::vector<uint32_t> SystemLocalAddresses() {
    std::vector<uint32_t> addresses;
    const std::string name = platform::LocalHostName();
    if (!name.empty()) platform::ResolveIpv4(name, &addresses);
    // Linux hosts often map their own name to 127.0.1.1 only; the address
    // others can reach is then an interface's.
    const bool only_loopback = std::all_of(addresses.begin(), addresses.end(),
                                           [](uint32_t a) { return platform::IsLoopbackIpv4(a); });
    if (only_loopback) {
        const uint32_t interface_address = platform::FirstNonLoopbackIpv4();
        if (interface_address != 0) return {interface_address};
    }
    return addresses;
}

std::vector<std::string> SystemDnsServers() { return platform::DnsServerAddresses(); }

}  // namespace engine
