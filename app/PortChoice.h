#pragma once
// The choice of the TCP port the engine listens on: a random start in
// 40000-50000, the ports other programs are known to use skipped, the first
// port no socket of the machine uses taken. Pure logic; the caller supplies
// the random number and the test for a port in use.

#include <cstdint>
#include <functional>

namespace app {

inline constexpr uint16_t LowestListenPort = 40000;
inline constexpr uint16_t HighestListenPort = 50000;

// Ports in the range that well-known programs use; never chosen.
bool IsReservedListenPort(uint16_t port);

// The first port at or after the start (random % 10000 + 40001, reserved
// ports skipped) that is not in use, wrapping from 50000 to 40000; 0 when a
// whole round finds none.
uint16_t ChooseListenPort(uint32_t random, const std::function<bool(uint16_t port)>& in_use);

}  // namespace app
