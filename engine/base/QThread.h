#pragma once
// Base of every long-running engine activity (download tasks, the clock
// thread, the UDP server, the statistics uploader): one start/stop protocol
// with a stop request, a pause request, a start generation and an object lock.
//
// Owner: whoever created the object (tasks belong to the WorkList). Threads:
// any thread may call the operations; Run executes on the created thread.
// Lock: m_lock (the object lock; tasks use it as the task lock) guards every
// field. The stop, pause, running and id flags are atomic because
// IsStopRequested and GetThreadId read them without the lock.
//
// Unlike a bare OS thread handle, the std::thread of the latest run is kept
// and joined once that run has ended (by Stop, the next Start or the
// destructor), so no thread outlives the object that ran it.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "engine/base/QTMutex.h"

namespace engine {

// An object handed to Start that lives exactly as long as that run.
class QThreadOwned {
public:
    virtual ~QThreadOwned() = default;
};

class QThread {
public:
    QThread();
    // Stops the thread first. Derived classes whose Run uses their own
    // members must call Stop in their own destructor.
    virtual ~QThread();
    QThread(const QThread&) = delete;
    QThread& operator=(const QThread&) = delete;

    // The thread body.
    virtual void Run() = 0;
    // Refreshes derived progress counters (tasks copy their piece counts).
    virtual void UpdateProgress() = 0;
    // Sleeps in 1-second steps; returns n - 1 when n <= 1, else stops early
    // and returns true (1) when a stop is requested.
    virtual int SleepSeconds(int n);
    virtual void OnHook(intptr_t argument);

    // Starts a new run named `name` (for diagnostics only). A running
    // thread refuses and leaves `owned` with the caller; otherwise `owned` is
    // taken (and deleted at once when the thread cannot be created). The
    // pointer is taken by lvalue reference so that a converted temporary can
    // never swallow the caller's object on a refusal.
    bool Start(const char* name, std::unique_ptr<QThreadOwned>& owned);
    bool Start(const char* name);
    // Requests a stop and waits for the run to end; from the thread itself it
    // returns at once (whether it is not running).
    bool Stop();
    // Sets the stop request without waiting; `id` receives the thread id to
    // pass to HasEnded. Returns whether the thread was running.
    bool RequestStop(uint64_t* id);
    // True once the run `id` has ended (and then clears it).
    bool HasEnded(uint64_t id);
    bool IsRunning();
    // The stop flag; while a pause is requested the calling (worker) thread
    // parks here, checking once a second, until resumed or stopped.
    bool IsStopRequested();
    bool SetPause(bool pause);
    bool IsPaused();
    uint64_t GetThreadId() const;
    bool Lock() { return m_lock.Lock(); }
    bool Unlock() { return m_lock.Unlock(); }

    void SetAutoDelete(bool auto_delete);
    uint32_t StartGeneration();
    // Uptime second at which the current run began (0 before).
    uint32_t StartTime();
    QThreadOwned* OwnedObject() { return m_owned.get(); }

protected:
    QTMutex& ObjectLock() { return m_lock; }

    // Polling step of Start and Stop.
    static constexpr uint32_t WaitStepMs = 50;

private:
    static void ThreadProc(QThread* self, uint64_t id, std::string name);
    void ClearRun();
    bool IsRunningLocked() const;
    bool StartLocked(const char* name, std::unique_ptr<QThreadOwned>& owned, std::thread& previous,
                     bool* delete_self);

    bool m_auto_delete = false;
    // Start is still waiting on this object: an auto-deleting run that ends
    // meanwhile leaves the deletion to Start (m_delete_after_start).
    bool m_start_waiting = false;
    bool m_delete_after_start = false;
    QTMutex m_lock;
    std::unique_ptr<QThreadOwned> m_owned;
    std::atomic<uint64_t> m_thread_id{0};
    std::thread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_pause{false};
    uint32_t m_start_time = 0;
    uint32_t m_start_generation = 0;
    // Generation of the last run whose thread reached the running state.
    uint32_t m_began_generation = 0;
};

}  // namespace engine
