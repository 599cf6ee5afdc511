#pragma once
// Abstract base of the engine's lock wrappers. It holds the underlying OS
// mutex (null until Create); derived classes define how it is taken and
// released. Owned by whoever embeds it; the handle itself is not guarded:
// Create and Destroy must not race with Lock/Unlock.

#include <memory>
#include <mutex>

namespace engine {

class QBaseMutex {
public:
    QBaseMutex() = default;
    QBaseMutex(const QBaseMutex&) = delete;
    QBaseMutex& operator=(const QBaseMutex&) = delete;

    // Creates an unowned mutex; true when a handle was obtained.
    virtual bool Create() = 0;
    // Releases and closes the handle.
    virtual void Destroy() = 0;
    virtual ~QBaseMutex();
    virtual bool Lock() = 0;
    virtual bool TryLock() = 0;
    virtual bool Unlock() = 0;

protected:
    std::unique_ptr<std::mutex> m_handle;
};

}  // namespace engine
