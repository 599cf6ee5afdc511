#include "platform/Clock.h"

#include <atomic>
#include <ctime>
#include <mutex>

namespace platform {

namespace {

class SystemClockSource final : public ClockSource {
public:
    uint32_t Ticks() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1'000'000u;
        return static_cast<uint32_t>(ms);
    }
    int64_t WallSeconds() override { return static_cast<int64_t>(::time(nullptr)); }
};

SystemClockSource g_system_clock;
std::atomic<ClockSource*> g_source{&g_system_clock};

}  // namespace

struct ManualClockSource::State {
    std::mutex lock;
    uint32_t ticks;
    int64_t wall;
    uint32_t sub_second_ms = 0;
};

ManualClockSource::ManualClockSource(uint32_t ticks, int64_t wall) : m_state(new State{{}, ticks, wall}) {}
ManualClockSource::~ManualClockSource() { delete m_state; }

uint32_t ManualClockSource::Ticks() {
    std::lock_guard<std::mutex> g(m_state->lock);
    return m_state->ticks;
}

int64_t ManualClockSource::WallSeconds() {
    std::lock_guard<std::mutex> g(m_state->lock);
    return m_state->wall;
}

void ManualClockSource::SetTicks(uint32_t ticks) {
    std::lock_guard<std::mutex> g(m_state->lock);
    m_state->ticks = ticks;
}

void ManualClockSource::Advance(uint32_t ms) {
    std::lock_guard<std::mutex> g(m_state->lock);
    m_state->ticks += ms;  // unsigned: wraps like the real counter
    uint64_t total = static_cast<uint64_t>(m_state->sub_second_ms) + ms;
    m_state->wall += static_cast<int64_t>(total / 1000);
    m_state->sub_second_ms = static_cast<uint32_t>(total % 1000);
}

void ManualClockSource::SetWallSeconds(int64_t wall) {
    std::lock_guard<std::mutex> g(m_state->lock);
    m_state->wall = wall;
}

void SetClockSource(ClockSource* source) {
    g_source.store(source ? source : &g_system_clock, std::memory_order_release);
}

uint32_t TickCount() { return g_source.load(std::memory_order_acquire)->Ticks(); }
int64_t WallSeconds() { return g_source.load(std::memory_order_acquire)->WallSeconds(); }

namespace {

double CpuSeconds(clockid_t clock) {
    timespec ts{};
    if (clock_gettime(clock, &ts) != 0) return 0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

double ThreadCpuSeconds() { return CpuSeconds(CLOCK_THREAD_CPUTIME_ID); }

double ProcessCpuSeconds() { return CpuSeconds(CLOCK_PROCESS_CPUTIME_ID); }

void SleepMs(uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

LocalTime ToLocalTime(int64_t wall_seconds) {
    time_t t = static_cast<time_t>(wall_seconds);
    tm parts{};
    localtime_r(&t, &parts);
    return {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
            parts.tm_min, parts.tm_sec, parts.tm_wday};
}

int64_t LocalUtcOffsetSeconds(int64_t wall_seconds) {
    time_t t = static_cast<time_t>(wall_seconds);
    tm parts{};
    localtime_r(&t, &parts);
    return parts.tm_gmtoff;
}

std::string FormatLocalTime(const char* format, int64_t wall_seconds) {
    time_t t = static_cast<time_t>(wall_seconds);
    tm parts{};
    localtime_r(&t, &parts);
    char buf[256];
    size_t n = strftime(buf, sizeof buf, format, &parts);
    return std::string(buf, n);
}

}  // namespace platform
