#include "engine/base/EngineClock.h"

#include <atomic>

#include "engine/base/CTidewellLog.h"
#include "engine/base/EngineLocks.h"
#include "engine/base/QTimeThread.h"
#include "platform/Clock.h"

namespace engine {

namespace {
std::atomic<int64_t> g_wall_seconds{0};
std::atomic<uint32_t> g_uptime_seconds{1};
std::atomic<QTimeThread*> g_time_thread{nullptr};
}  // namespace

int64_t ClockWallSeconds() { return g_wall_seconds.load(std::memory_order_acquire); }
uint32_t ClockUptimeSeconds() { return g_uptime_seconds.load(std::memory_order_acquire); }

void SetClockCounters(int64_t wall_seconds, uint32_t uptime_seconds) {
    g_wall_seconds.store(wall_seconds, std::memory_order_release);
    g_uptime_seconds.store(uptime_seconds, std::memory_order_release);
}

void EnsureTimeThread() {
    if (g_time_thread.load(std::memory_order_acquire)) return;
    QTMutexLocker lock(WorkListMutex());
    if (g_time_thread.load(std::memory_order_acquire)) return;
    g_wall_seconds.store(0, std::memory_order_release);
    auto* thread = new QTimeThread;
    g_time_thread.store(thread, std::memory_order_release);
    thread->Start("TimeEnsure");
}

uint32_t GetUptimeSeconds() {
    EnsureTimeThread();
    return ClockUptimeSeconds();
}

int64_t GetClockSeconds() {
    EnsureTimeThread();
    int64_t wall = ClockWallSeconds();
    return wall != 0 ? wall : platform::WallSeconds();
}

bool IsTimeThreadRunning() {
    QTMutexLocker lock(WorkListMutex());
    QTimeThread* thread = g_time_thread.load(std::memory_order_acquire);
    return thread && thread->IsRunning();
}

void StopTimeThread() {
    QTimeThread* thread = nullptr;
    {
        QTMutexLocker lock(WorkListMutex());
        thread = g_time_thread.exchange(nullptr, std::memory_order_acq_rel);
    }
    if (!thread) return;
    thread->Stop();
    LogLine("Time Ensure Thread Stopped.. ", 22);
    delete thread;
}

}  // namespace engine
