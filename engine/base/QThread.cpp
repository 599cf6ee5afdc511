#include "engine/base/QThread.h"

#include <system_error>

#include "engine/base/EngineClock.h"
#include "engine/base/EngineThreadId.h"
#include "platform/Clock.h"
#include "platform/Thread.h"

namespace engine {

namespace {

// Joins a finished run's thread, or lets it go when it is the caller itself
// (a thread cannot join itself; it is past the point of touching the object).
void JoinOrDetach(std::thread& thread) {
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
    } else {
        thread.join();
    }
}

}  // namespace

QThread::QThread() = default;

QThread::~QThread() {
    Stop();
    std::thread last;
    {
        QTMutexLocker lock(m_lock);
        last = std::move(m_thread);
    }
    JoinOrDetach(last);
}

int QThread::SleepSeconds(int n) {
    for (;;) {
        platform::SleepMs(1000);
        if (n <= 1) return n - 1;
        if (IsStopRequested()) return 1;
        --n;
    }
}

void QThread::OnHook(intptr_t) {}

bool QThread::IsRunningLocked() const {
    return m_thread_id.load(std::memory_order_acquire) != 0 && m_running.load(std::memory_order_acquire);
}

void QThread::ClearRun() {
    try {
        m_owned.reset();
    } catch (...) {
    }
    m_thread_id.store(0, std::memory_order_release);
    m_running.store(false, std::memory_order_release);
}

bool QThread::Start(const char* name) {
    std::unique_ptr<QThreadOwned> none;
    return Start(name, none);
}

bool QThread::Start(const char* name, std::unique_ptr<QThreadOwned>& owned) {
    std::thread previous;
    bool delete_self = false;
    bool started = StartLocked(name, owned, previous, &delete_self);
    // The previous run's thread has ended its run or has been superseded (it
    // returns as soon as it sees the new id), so joining it outside the lock
    // is bounded.
    JoinOrDetach(previous);
    if (delete_self) delete this;
    return started;
}

bool QThread::StartLocked(const char* name, std::unique_ptr<QThreadOwned>& owned, std::thread& previous,
                          bool* delete_self) {
    QTMutexLocker lock(m_lock);
    if (IsRunningLocked()) return false;
    previous = std::move(m_thread);
    ClearRun();
    m_stop.store(false, std::memory_order_release);
    m_pause.store(false, std::memory_order_release);
    m_start_time = 0;
    uint32_t generation = ++m_start_generation;

    uint64_t id = NewEngineThreadId();
    try {
        m_thread = std::thread(&QThread::ThreadProc, this, id, std::string(name ? name : ""));
    } catch (const std::system_error&) {
        owned.reset();
        return false;
    }
    m_thread_id.store(id, std::memory_order_release);
    m_owned = std::move(owned);
    m_start_waiting = true;
    while (!m_running.load(std::memory_order_acquire) && m_thread_id.load(std::memory_order_acquire) == id) {
        m_lock.Unlock();
        platform::SleepMs(WaitStepMs);
        m_lock.Lock();
    }
    m_start_waiting = false;
    *delete_self = m_delete_after_start;
    m_delete_after_start = false;
    // A run that began counts as started even when it has already ended
    // (a task that fails at once must not be reported as "not startable").
    return m_began_generation == generation;
}

bool QThread::Stop() {
    std::thread finished;
    {
        QTMutexLocker lock(m_lock);
        uint64_t id = m_thread_id.load(std::memory_order_acquire);
        if (!IsRunningLocked() || id == CurrentEngineThreadId()) return !IsRunningLocked();
        uint32_t generation = m_start_generation;
        m_stop.store(true, std::memory_order_release);
        while (m_running.load(std::memory_order_acquire) && m_thread_id.load(std::memory_order_acquire) == id) {
            m_lock.Unlock();
            platform::SleepMs(WaitStepMs);
            m_lock.Lock();
        }
        if (m_thread_id.load(std::memory_order_acquire) == id) ClearRun();
        // Only the thread of the run we waited for is ours to join; a Start
        // that slipped in while the lock was released owns m_thread now.
        if (generation == m_start_generation) finished = std::move(m_thread);
    }
    JoinOrDetach(finished);
    return true;
}

bool QThread::RequestStop(uint64_t* id) {
    QTMutexLocker lock(m_lock);
    if (id) *id = m_thread_id.load(std::memory_order_acquire);
    bool running = IsRunningLocked();
    if (running) m_stop.store(true, std::memory_order_release);
    return running;
}

bool QThread::HasEnded(uint64_t id) {
    QTMutexLocker lock(m_lock);
    uint64_t current = m_thread_id.load(std::memory_order_acquire);
    if (m_running.load(std::memory_order_acquire) && current == id) return false;
    if (current == id) ClearRun();
    return true;
}

bool QThread::IsRunning() {
    QTMutexLocker lock(m_lock);
    return IsRunningLocked();
}

bool QThread::IsStopRequested() {
    if (!m_pause.load(std::memory_order_acquire)) return m_stop.load(std::memory_order_acquire);
    QTMutexLocker lock(m_lock);
    while (m_thread_id.load(std::memory_order_acquire) != 0 && !m_stop.load(std::memory_order_acquire) &&
           m_pause.load(std::memory_order_acquire)) {
        m_lock.Unlock();
        platform::SleepMs(1000);
        m_lock.Lock();
    }
    return m_stop.load(std::memory_order_acquire);
}

bool QThread::SetPause(bool pause) {
    QTMutexLocker lock(m_lock);
    bool running = IsRunningLocked();
    m_pause.store(running && pause, std::memory_order_release);
    return running;
}

bool QThread::IsPaused() {
    QTMutexLocker lock(m_lock);
    return m_thread_id.load(std::memory_order_acquire) != 0 && m_pause.load(std::memory_order_acquire);
}

uint64_t QThread::GetThreadId() const {
    return m_running.load(std::memory_order_acquire) ? m_thread_id.load(std::memory_order_acquire) : 0;
}

void QThread::SetAutoDelete(bool auto_delete) {
    QTMutexLocker lock(m_lock);
    m_auto_delete = auto_delete;
}

uint32_t QThread::StartGeneration() {
    QTMutexLocker lock(m_lock);
    return m_start_generation;
}

uint32_t QThread::StartTime() {
    QTMutexLocker lock(m_lock);
    return m_start_time;
}

void QThread::ThreadProc(QThread* self, uint64_t id, std::string name) {
    AdoptEngineThreadId(id);
    platform::SetCurrentThreadName(name);
    if (!self) return;
    // The clock may have to be started; do it before taking the object lock,
    // since starting it takes the WorkListMutex, which ranks above task locks.
    EnsureTimeThread();
    uint32_t uptime = GetUptimeSeconds();

    self->m_lock.Lock();
    if (self->m_thread_id.load(std::memory_order_acquire) != id) {
        self->m_lock.Unlock();
        return;
    }
    uint32_t generation = self->m_start_generation;
    self->m_running.store(true, std::memory_order_release);
    self->m_began_generation = generation;
    self->m_start_time = uptime;
    bool stop_requested = self->m_stop.load(std::memory_order_acquire);
    self->m_lock.Unlock();

    platform::SleepMs(5);
    bool threw = false;
    if (!stop_requested) {
        try {
            self->Run();
        } catch (...) {
            threw = true;
        }
    }

    // Everything below happens under the object lock and the object is never
    // touched after the final release: a waiting Stop may delete it then.
    self->m_lock.Lock();
    if (generation == self->m_start_generation && self->m_thread_id.load(std::memory_order_acquire) == id) {
        self->ClearRun();
    }
    bool auto_delete = self->m_auto_delete;
    if (auto_delete) {
        self->m_auto_delete = false;
        if (self->m_start_waiting) {
            self->m_delete_after_start = true;
            auto_delete = false;
        }
        if (self->m_thread.joinable() && self->m_thread.get_id() == std::this_thread::get_id()) {
            self->m_thread.detach();
        }
    }
    if (threw) {
        self->m_lock.UnlockAll();
    } else {
        self->m_lock.Unlock();
    }
    if (auto_delete) delete self;
}

}  // namespace engine
