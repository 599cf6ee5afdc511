#pragma once
// The holder of the process-wide disk lock (the engine's StorageMutex, the
// innermost lock). Every write of piece data, every read of piece data and
// every file growth of every task happens under it, so tasks never hit the
// disk concurrently.
//
// A holder belongs to one call sequence on one thread: it remembers whether
// it holds the lock, so a sequence of operations takes it once and releases it
// once (also on early return, in its destructor), and it can let go while the
// task waits for free disk space.

#include "engine/base/EngineLocks.h"

namespace engine {

class TDiskLockHolder {
public:
    TDiskLockHolder() = default;
    ~TDiskLockHolder() { Unlock(); }
    TDiskLockHolder(const TDiskLockHolder&) = delete;
    TDiskLockHolder& operator=(const TDiskLockHolder&) = delete;

    void Lock() {
        if (!m_held) m_held = StorageMutex().Lock();
    }
    void Unlock() {
        if (m_held) {
            m_held = false;
            StorageMutex().Unlock();
        }
    }
    bool IsHeld() const { return m_held; }

private:
    bool m_held = false;
};

}  // namespace engine
