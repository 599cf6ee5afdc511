#pragma once
// The engine's lock: recursive for its owning thread, with owner bookkeeping
// so that a release by a thread that does not hold it is refused instead of
// being undefined. Any thread may use it. The owner id is atomic because
// other threads read it to decide whether they already hold the lock; the
// recursion count is touched only by the owner.
//
// Process-wide lock order, outermost first: EngineApiMutex -> WorkListMutex ->
// a task's own lock (its QThread object lock) -> socket lock / storage lock /
// buffer-pool locks / UDP server lock. The log has its own independent lock.

#include <atomic>
#include <cstdint>

#include "engine/base/QBaseMutex.h"

namespace engine {

class QTMutex final : public QBaseMutex {
public:
    QTMutex();
    ~QTMutex() override;

    bool Create() override;
    void Destroy() override;
    // Waits without time limit; re-entering by the owner only counts.
    bool Lock() override;
    // Never waits for another owner.
    bool TryLock() override;
    // False (and nothing changes) when the caller is not the owner.
    bool Unlock() override;

    // Releases every hold the calling thread has; returns how many there
    // were (0 when it held none). Used by threads whose body threw so that
    // no recursive hold survives them.
    int UnlockAll();

    bool IsHeldByCurrentThread() const;
    // Engine thread id of the owner, 0 when unowned.
    uint64_t Owner() const { return m_owner.load(std::memory_order_acquire); }

private:
    void TakeOwnership(uint64_t owner);

    std::atomic<uint64_t> m_owner{0};
    int m_count = 0;
};

// Holds a QTMutex for a scope.
class QTMutexLocker {
public:
    explicit QTMutexLocker(QTMutex& mutex) : m_mutex(mutex) { m_mutex.Lock(); }
    ~QTMutexLocker() { m_mutex.Unlock(); }
    QTMutexLocker(const QTMutexLocker&) = delete;
    QTMutexLocker& operator=(const QTMutexLocker&) = delete;

private:
    QTMutex& m_mutex;
};

}  // namespace engine
