#include "engine/base/TaskTypes.h"

namespace engine {

namespace {
int32_t Within(int32_t value, int32_t low, int32_t high, int32_t fallback) {
    return value < low || value > high ? fallback : value;
}
}  // namespace

void TaskOptions::Normalise() {
    // 32767 KiB/s and more means "no limit": the rate layer keeps the limit
    // in a 16-bit signed field.
    peer_ceiling = Within(peer_ceiling, 1, 20480, 52);
    tuning2 = Within(tuning2, 1, 20, 1);
    cache_units = Within(cache_units, 1, 8000, 64);
    seeding_hours = Within(seeding_hours, 0, 20480, 12);
    download_limit_kib = Within(download_limit_kib, 0, 32766, 0);
    upload_limit_kib = Within(upload_limit_kib, 0, 32766, 0);
    spare_limit_kib = Within(spare_limit_kib, 0, 32766, 0);
}

int32_t ProgressOf(uint64_t downloaded, uint64_t total) {
    if (total == 0) return 0;
    return static_cast<int32_t>(downloaded * 10000 / total);
}

int32_t TaskStatusBlock::Progress() const { return ProgressOf(downloaded_bytes, total_bytes); }

}  // namespace engine
