#include "engine/pieces/QBufferPool.h"

#include <algorithm>
#include <cassert>
#include <iterator>
#include <new>

namespace engine {

namespace {

// The periodic check only bothers with pools above 1 MiB (in KiB).
constexpr int64_t CheckFloorKiB = 1024;

}  // namespace

QBufferPool::QBufferPool() = default;

QBufferPool::~QBufferPool() {
    for (auto& [size, p] : m_idle) delete[] p;
    for (auto& [p, size] : m_in_use) delete[] static_cast<const uint8_t*>(p);
}

void QBufferPool::CheckInvariant() const {
#ifndef NDEBUG
    int64_t idle = 0;
    for (const auto& entry : m_idle) idle += entry.first;
    int64_t used = 0;
    for (const auto& entry : m_in_use) used += entry.second;
    assert(idle == m_idle_bytes);
    assert(used == m_in_use_bytes);
#endif
}

uint8_t* QBufferPool::Alloc(int64_t n) {
    n = std::max<int64_t>(n, 1);
    {
        QTMutexLocker lock(m_mutex);
        const int64_t tolerance = std::min<int64_t>(n, ReuseTolerance);
        // Of equal buffers the one returned last: it is the likeliest to be
        // in the processor's cache still, and filling a cold buffer costs
        // a trip to memory for every line written.
        auto [first, it] = m_idle.equal_range(n);
        if (first != it) {
            it = std::prev(it);
        } else {
            // The smallest idle buffer with n < s < n + tolerance.
            it = m_idle.upper_bound(n);
            if (it != m_idle.end() && it->first >= n + tolerance) it = m_idle.end();
        }
        if (it != m_idle.end()) {
            const int64_t size = it->first;
            uint8_t* p = it->second;
            m_idle.erase(it);
            m_idle_bytes -= size;
            m_in_use.emplace(p, size);
            m_in_use_bytes += size;
            ++m_reuse_count;
            p[n] = 0;
            return p;
        }
    }
    auto* p = new (std::nothrow) uint8_t[static_cast<size_t>(n) + 1];
    if (!p) return nullptr;
    p[n] = 0;
    QTMutexLocker lock(m_mutex);
    m_in_use.emplace(p, n);
    m_in_use_bytes += n;
    return p;
}

void QBufferPool::Free(void* pointer) {
    if (!pointer) return;
    QTMutexLocker lock(m_mutex);
    auto it = m_in_use.find(pointer);
    if (it == m_in_use.end()) return;
    const int64_t size = it->second;
    m_in_use.erase(it);
    m_in_use_bytes -= size;
    m_idle.emplace(size, static_cast<uint8_t*>(pointer));
    m_idle_bytes += size;
}

void QBufferPool::FreeList(std::vector<uint8_t*>& list) {
    for (uint8_t* p : list) Free(p);
    list.clear();
}

void QBufferPool::Trim(int64_t limit_bytes) {
    std::vector<uint8_t*> doomed;
    {
        QTMutexLocker lock(m_mutex);
        CheckInvariant();
        int64_t kept = 0;
        for (auto it = m_idle.begin(); it != m_idle.end();) {
            if (kept + it->first <= limit_bytes) {
                kept += it->first;
                ++it;
            } else {
                doomed.push_back(it->second);
                m_idle_bytes -= it->first;
                it = m_idle.erase(it);
            }
        }
        CheckInvariant();
    }
    for (uint8_t* p : doomed) delete[] p;
}

int64_t QBufferPool::Usage(int64_t* in_use_bytes) {
    QTMutexLocker lock(m_mutex);
    if (in_use_bytes) *in_use_bytes = m_in_use_bytes;
    return m_in_use_bytes + m_idle_bytes;
}

int64_t QBufferPool::TryUsage(int64_t* in_use_bytes) {
    if (!m_mutex.TryLock()) {
        if (in_use_bytes) *in_use_bytes = 0;
        return 0;
    }
    const int64_t total = m_in_use_bytes + m_idle_bytes;
    if (in_use_bytes) *in_use_bytes = m_in_use_bytes;
    m_mutex.Unlock();
    return total;
}

int64_t QBufferPool::SizeOf(const void* pointer) {
    QTMutexLocker lock(m_mutex);
    auto it = m_in_use.find(pointer);
    return it == m_in_use.end() ? 0 : it->second;
}

int64_t QBufferPool::ReuseCount() {
    QTMutexLocker lock(m_mutex);
    return m_reuse_count;
}

int64_t QBufferPool::IdleCount() {
    QTMutexLocker lock(m_mutex);
    return static_cast<int64_t>(m_idle.size());
}

namespace BufferPools {

// Never destroyed: buffers may still be returned while other static objects
// are torn down at exit.
#define TIDEWELL_POOL(name)                    \
    QBufferPool& name() {                      \
        static auto* pool = new QBufferPool(); \
        return *pool;                          \
    }
TIDEWELL_POOL(SocketBuffers)
TIDEWELL_POOL(UdpPackets)
TIDEWELL_POOL(PieceBuffers)
TIDEWELL_POOL(Sha1States)
TIDEWELL_POOL(BlockRequests)
#undef TIDEWELL_POOL

bool Check(QBufferPool& pool, CheckKind kind, int32_t threshold_percent) {
    if (threshold_percent <= 0) return false;
    int64_t in_use = 0;
    const int64_t total_kib = pool.Usage(&in_use) / 1024;
    const int64_t in_use_kib = in_use / 1024;
    if (kind == CheckKind::BlockRequests && total_kib <= CheckFloorKiB) return false;
    if (kind == CheckKind::SocketBuffers && total_kib - in_use_kib <= CheckFloorKiB) return false;
    if (total_kib <= 0 || in_use_kib * 100 / total_kib >= threshold_percent) return false;
    pool.Trim(in_use_kib * 1024 / 5);
    return true;
}

}  // namespace BufferPools

}  // namespace engine
