#pragma once
// How the user's limits are divided among the running download tasks. Pure
// functions; the controller applies the results through the engine.

#include <cstdint>
#include <utility>
#include <vector>

namespace app {

// The download limit as the controller stores it: 0 (none) is kept as this.
constexpr int32_t NoSpeedLimit = 32767;
// No task is limited below this many KiB/s.
constexpr int32_t MinTaskSpeedLimit = 10;

// KiB/s each task gets out of `limit_kib` (NoSpeedLimit = none) when
// `running` tasks run: the limit divided among them when more than one runs,
// at least MinTaskSpeedLimit; 0 (no limit) when there is no limit at all.
int32_t TaskSpeedLimit(int32_t limit_kib, int running);

// The (web, BitTorrent) connection limits of each of `running` tasks, in file
// order: http / n and bt / n, the first (limit mod n) tasks one more, every
// task at least 1. Empty when nothing runs.
std::vector<std::pair<int32_t, int32_t>> ShareConnectionLimits(int32_t http_limit, int32_t bt_limit, int running);

}  // namespace app
