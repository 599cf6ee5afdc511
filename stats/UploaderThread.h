#pragma once
// Stand-in for the engine's QThread until it is available to this layer: the
// subset of its start/stop protocol the statistics uploader uses (Start,
// Stop, IsRunning, IsStopRequested, GetThreadId, Run). DataUpload derives
// from this class; switching it to QThread changes only its base.
//
// Threads: any thread may call; Run executes on the started thread. m_lock
// guards m_thread; the flags are atomic because the run reads them unlocked.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace engine {

class UploaderThread {
public:
    UploaderThread() = default;
    // Derived classes stop the thread in their own destructor, while their
    // members still exist.
    virtual ~UploaderThread();
    UploaderThread(const UploaderThread&) = delete;
    UploaderThread& operator=(const UploaderThread&) = delete;

    virtual void Run() = 0;
    virtual void UpdateProgress() = 0;

    // Starts a run named `name`; false when already running or when the
    // thread cannot be created.
    bool Start(const char* name);
    // Requests a stop and waits until the run has ended; from the thread itself
    // it returns at once.
    bool Stop();
    bool IsRunning() const { return m_running.load(std::memory_order_acquire); }
    bool IsStopRequested() const { return m_stop.load(std::memory_order_acquire); }
    uint64_t GetThreadId() const { return IsRunning() ? m_thread_id.load(std::memory_order_acquire) : 0; }

private:
    void ThreadProc(std::string name);

    std::mutex m_lock;
    std::thread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stop{false};
    std::atomic<uint64_t> m_thread_id{0};
};

}  // namespace engine
