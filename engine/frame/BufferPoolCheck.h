#pragma once
// The work threads keep the process-wide buffer pools small. The pools
// themselves belong to the buffer layer, which plugs its usage and trim
// operations in here; until then the checks have nothing to act on.
// Thread-safe: the hooks are installed once and copied under a mutex.

#include <cstdint>
#include <functional>
#include <optional>

namespace engine {

enum class BufferPoolId { Socket, UdpPacket, Piece, Sha1State, BlockRequest };

struct BufferPoolUsage {
    uint64_t total_bytes = 0;  // in use plus idle
    uint64_t in_use_bytes = 0;
};

struct BufferPoolHooks {
    std::function<BufferPoolUsage(BufferPoolId)> usage;
    // Keeps idle buffers up to `limit_bytes` in all.
    std::function<void(BufferPoolId, uint64_t limit_bytes)> trim;
};
void SetBufferPoolHooks(BufferPoolHooks hooks);

// The trim limit the pool check asks for, or nothing. The block-request pool
// is examined only above 1 MiB in all, the socket pool only with more than
// 1 MiB idle; below `threshold_percent` use, idle buffers up to a fifth of the
// bytes in use are kept.
std::optional<uint64_t> PoolCheckLimit(BufferPoolId pool, BufferPoolUsage usage, int threshold_percent);
void RunPoolCheck(BufferPoolId pool, int threshold_percent);
void TrimPool(BufferPoolId pool, uint64_t limit_bytes);

}  // namespace engine
