#pragma once
// Time sources for the whole program. Every time-dependent rule reads time
// through here, so tests can install their own source and move time without
// sleeping. Thread-safe: the installed source is read atomically.

#include <cstdint>
#include <string>

namespace platform {

// Where ticks and wall seconds come from. The default reads CLOCK_MONOTONIC and
// CLOCK_REALTIME; tests install a ManualClockSource.
class ClockSource {
public:
    virtual ~ClockSource() = default;
    // Milliseconds since an arbitrary start, truncated to 32 bits: it wraps
    // after about 49.7 days, and callers must handle the wrap.
    virtual uint32_t Ticks() = 0;
    // Seconds since 1970-01-01 UTC.
    virtual int64_t WallSeconds() = 0;
};

// A source whose values only change when a test says so.
class ManualClockSource final : public ClockSource {
public:
    explicit ManualClockSource(uint32_t ticks = 0, int64_t wall = 1'700'000'000);
    uint32_t Ticks() override;
    int64_t WallSeconds() override;
    void SetTicks(uint32_t ticks);
    // Moves both counters: ticks by `ms` (wrapping), wall seconds by the whole
    // seconds that the tick advance crossed.
    void Advance(uint32_t ms);
    void SetWallSeconds(int64_t wall);

private:
    struct State;
    State* m_state;
public:
    ~ManualClockSource() override;
    ManualClockSource(const ManualClockSource&) = delete;
    ManualClockSource& operator=(const ManualClockSource&) = delete;
};

// Installs `source` (not owned) for the whole process; nullptr restores the
// system clock.
void SetClockSource(ClockSource* source);

uint32_t TickCount();
int64_t WallSeconds();

// Sleeps on the real clock; not affected by the installed source.
void SleepMs(uint32_t ms);

// CPU time used so far by the calling thread and by the whole process, in
// seconds (benchmarks tell a helper thread's share from the rest).
double ThreadCpuSeconds();
double ProcessCpuSeconds();

// Local time broken down, and the local offset from UTC in seconds.
struct LocalTime {
    int year, month, day, hour, minute, second, weekday;
};
LocalTime ToLocalTime(int64_t wall_seconds);
int64_t LocalUtcOffsetSeconds(int64_t wall_seconds);
// strftime over the local time of `wall_seconds`.
std::string FormatLocalTime(const char* format, int64_t wall_seconds);

}  // namespace platform
