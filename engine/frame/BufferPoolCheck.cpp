#include "engine/frame/BufferPoolCheck.h"

#include <mutex>

namespace engine {

namespace {
std::mutex g_hooks_lock;
BufferPoolHooks& Hooks() {
    static BufferPoolHooks hooks;
    return hooks;
}
BufferPoolHooks CurrentHooks() {
    std::lock_guard<std::mutex> lock(g_hooks_lock);
    return Hooks();
}
constexpr uint64_t OneMiBInKiB = 1024;
}  // namespace

void SetBufferPoolHooks(BufferPoolHooks hooks) {
    std::lock_guard<std::mutex> lock(g_hooks_lock);
    Hooks() = std::move(hooks);
}

std::optional<uint64_t> PoolCheckLimit(BufferPoolId pool, BufferPoolUsage usage, int threshold_percent) {
    if (threshold_percent <= 0) return std::nullopt;
    uint64_t total_kib = usage.total_bytes / 1024;
    uint64_t in_use_kib = usage.in_use_bytes / 1024;
    if (pool == BufferPoolId::BlockRequest && total_kib <= OneMiBInKiB) return std::nullopt;
    if (pool == BufferPoolId::Socket && (total_kib < in_use_kib || total_kib - in_use_kib <= OneMiBInKiB)) {
        return std::nullopt;
    }
    if (total_kib == 0) return std::nullopt;
    if (in_use_kib * 100 / total_kib >= static_cast<uint64_t>(threshold_percent)) return std::nullopt;
    return in_use_kib * 1024 / 5;
}

void RunPoolCheck(BufferPoolId pool, int threshold_percent) {
    BufferPoolHooks hooks = CurrentHooks();
    if (!hooks.usage || !hooks.trim) return;
    std::optional<uint64_t> limit = PoolCheckLimit(pool, hooks.usage(pool), threshold_percent);
    if (limit) hooks.trim(pool, *limit);
}

void TrimPool(BufferPoolId pool, uint64_t limit_bytes) {
    BufferPoolHooks hooks = CurrentHooks();
    if (hooks.trim) hooks.trim(pool, limit_bytes);
}

}  // namespace engine
