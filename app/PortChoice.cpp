#include "app/PortChoice.h"

#include <algorithm>
#include <array>

namespace app {

namespace {

constexpr std::array<uint16_t, 8> ReservedPorts = {40412, 40421, 40422, 40423, 40426, 43958, 44444, 47262};
constexpr uint32_t PortSpan = 10000;

// The next port after `port` that is not reserved; past 50000 the round
// goes on at 40000.
uint32_t NextCandidate(uint32_t port) {
    do {
        ++port;
    } while (IsReservedListenPort(static_cast<uint16_t>(port)));
    return port > HighestListenPort ? LowestListenPort : port;
}

}  // namespace

bool IsReservedListenPort(uint16_t port) {
    return std::find(ReservedPorts.begin(), ReservedPorts.end(), port) != ReservedPorts.end();
}

uint16_t ChooseListenPort(uint32_t random, const std::function<bool(uint16_t port)>& in_use) {
    uint32_t start = random % PortSpan + LowestListenPort;
    do {
        ++start;
    } while (IsReservedListenPort(static_cast<uint16_t>(start)));
    uint32_t candidate = start;
    do {
        if (!in_use(static_cast<uint16_t>(candidate))) return static_cast<uint16_t>(candidate);
        candidate = NextCandidate(candidate);
    } while (candidate != start);
    return 0;
}

}  // namespace app
