#include "app/LimitSharing.h"

#include <algorithm>

namespace app {

int32_t TaskSpeedLimit(int32_t limit_kib, int running) {
    // "No limit" is a large number internally; divided among several tasks it
    // would become a real cap (32767 / 3 = 10922 KiB/s each), so it stays "none".
    if (limit_kib <= 0 || limit_kib >= NoSpeedLimit) return 0;
    int32_t per_task = running > 1 ? limit_kib / running : limit_kib;
    return std::max(per_task, MinTaskSpeedLimit);
}

std::vector<std::pair<int32_t, int32_t>> ShareConnectionLimits(int32_t http_limit, int32_t bt_limit, int running) {
    std::vector<std::pair<int32_t, int32_t>> shares;
    if (running <= 0) return shares;
    for (int k = 0; k < running; ++k) {
        int32_t web = http_limit / running + (k < http_limit % running ? 1 : 0);
        int32_t bt = bt_limit / running + (k < bt_limit % running ? 1 : 0);
        shares.emplace_back(std::max(web, 1), std::max(bt, 1));
    }
    return shares;
}

}  // namespace app
