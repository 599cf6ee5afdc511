#pragma once
// QBufferPool: a pool of reusable byte buffers, recycled by size. A freed
// buffer stays idle in the pool and is handed out again for a request of the
// same size, or of a size up to min(n, 1024) bytes smaller; Trim releases idle
// buffers beyond a byte budget.
//
// Five pools exist once per process (BufferPools below) and are shared by all
// tasks: socket buffers, UDP packets, piece chunks and scratch buffers, SHA-1
// states and block-request entries. Thread: any; every list change takes the
// pool's own QTMutex, which is innermost in the engine's lock order. A new
// allocation happens outside the mutex.
//
// Every buffer of n bytes is allocated with one more byte, set to 0, so text
// code may treat it as terminated.

#include <cstddef>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <vector>

#include "engine/base/QTMutex.h"

namespace engine {

class QBufferPool {
public:
    // A buffer at most this much larger than asked for is reused (and never
    // more than the request itself: min(n, ReuseTolerance)).
    static constexpr int32_t ReuseTolerance = 1024;

    QBufferPool();
    ~QBufferPool();
    QBufferPool(const QBufferPool&) = delete;
    QBufferPool& operator=(const QBufferPool&) = delete;

    // A buffer of at least n bytes (n < 1 counts as 1); null only when memory
    // is exhausted.
    uint8_t* Alloc(int64_t n);
    // Returns a buffer of this pool to its idle list; null and unknown
    // pointers are ignored.
    void Free(void* pointer);
    // Frees every entry and empties the list.
    void FreeList(std::vector<uint8_t*>& list);
    // Keeps idle buffers while their running sum stays within `limit_bytes`
    // (smallest first) and deletes the others.
    void Trim(int64_t limit_bytes);
    // Total bytes (in use plus idle); `in_use_bytes` receives the bytes in use.
    int64_t Usage(int64_t* in_use_bytes);
    // As Usage, but gives 0 (and 0 in use) when the mutex is busy.
    int64_t TryUsage(int64_t* in_use_bytes);

    // Size of a buffer in use (what it was allocated with), 0 when unknown.
    int64_t SizeOf(const void* pointer);
    int64_t ReuseCount();
    int64_t IdleCount();

private:
    void CheckInvariant() const;

    QTMutex m_mutex;
    // In use: pointer → allocated size. Idle: size → pointers, so the exact
    // and the tolerance look-ups do not walk every idle buffer.
    std::unordered_map<const void*, int64_t> m_in_use;
    std::multimap<int64_t, uint8_t*> m_idle;
    int64_t m_in_use_bytes = 0;
    int64_t m_idle_bytes = 0;
    int64_t m_reuse_count = 0;
};

// The process-wide pools.
namespace BufferPools {
QBufferPool& SocketBuffers();
QBufferPool& UdpPackets();
QBufferPool& PieceBuffers();  // piece chunks and scratch buffers
QBufferPool& Sha1States();
QBufferPool& BlockRequests();

enum class CheckKind { BlockRequests, SocketBuffers };
// The work thread's periodic check: when the bytes in use fall below
// `threshold_percent` of the pool's bytes, idle buffers are trimmed to a
// fifth of the bytes in use. The block-request pool is only looked at above
// 1 MiB in all, the socket pool only with more than 1 MiB idle. Returns
// whether it trimmed.
bool Check(QBufferPool& pool, CheckKind kind, int32_t threshold_percent);
}  // namespace BufferPools

}  // namespace engine
