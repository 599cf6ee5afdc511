#pragma once
// The process-wide disk lock and its holder. Every write of piece data, every
// read of piece data and every file growth of every task happens under this
// one lock, so tasks never hit the disk concurrently. It is innermost in the
// engine's lock order (below a task's own lock). Recursive, so a holder can
// be nested inside code that already holds it.
//
// TDiskLockHolder belongs to one call sequence on one thread: it remembers
// whether it holds the lock, so a sequence of operations takes it once and
// releases it once (also on early return, in its destructor).

#include <mutex>

namespace engine {

class TDiskLock {
public:
    static std::recursive_mutex& Mutex();
};

class TDiskLockHolder {
public:
    TDiskLockHolder() = default;
    ~TDiskLockHolder() { Unlock(); }
    TDiskLockHolder(const TDiskLockHolder&) = delete;
    TDiskLockHolder& operator=(const TDiskLockHolder&) = delete;

    void Lock() {
        if (!m_held) {
            TDiskLock::Mutex().lock();
            m_held = true;
        }
    }
    void Unlock() {
        if (m_held) {
            m_held = false;
            TDiskLock::Mutex().unlock();
        }
    }
    bool IsHeld() const { return m_held; }

private:
    bool m_held = false;
};

}  // namespace engine
