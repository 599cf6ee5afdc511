#include "engine/base/QTMutex.h"

#include "engine/base/EngineThreadId.h"

namespace engine {

QTMutex::QTMutex() { Create(); }

QTMutex::~QTMutex() { Destroy(); }

bool QTMutex::Create() {
    if (!m_handle) m_handle = std::make_unique<std::mutex>();
    return m_handle != nullptr;
}

void QTMutex::TakeOwnership(uint64_t owner) {
    m_count = 1;
    m_owner.store(owner, std::memory_order_release);
}

bool QTMutex::Lock() {
    uint64_t me = CurrentEngineThreadId();
    if (Owner() == me) {
        ++m_count;
        return true;
    }
    if (!m_handle) return false;
    m_handle->lock();
    TakeOwnership(me);
    return true;
}

bool QTMutex::TryLock() {
    uint64_t me = CurrentEngineThreadId();
    uint64_t owner = Owner();
    if (owner == me) {
        ++m_count;
        return true;
    }
    if (owner != 0 || !m_handle) return false;
    if (!m_handle->try_lock()) return false;
    TakeOwnership(me);
    return true;
}

bool QTMutex::Unlock() {
    if (Owner() != CurrentEngineThreadId() || !m_handle) return false;
    if (--m_count > 0) return true;
    m_owner.store(0, std::memory_order_release);
    m_handle->unlock();
    return true;
}

int QTMutex::UnlockAll() {
    if (Owner() != CurrentEngineThreadId() || !m_handle) return 0;
    int held = m_count;
    m_count = 1;
    Unlock();
    return held;
}

bool QTMutex::IsHeldByCurrentThread() const { return Owner() == CurrentEngineThreadId(); }

void QTMutex::Destroy() {
    if (!m_handle) return;
    if (Owner() != CurrentEngineThreadId()) {
        m_handle->lock();
        TakeOwnership(CurrentEngineThreadId());
    }
    std::unique_ptr<std::mutex> handle = std::move(m_handle);
    m_owner.store(0, std::memory_order_release);
    m_count = 0;
    handle->unlock();
}

}  // namespace engine
