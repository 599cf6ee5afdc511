#pragma once
// The engine clock: two second counters kept by the "TimeEnsure" thread
// (QTimeThread) so that every time-out and back-off in the engine counts in
// the same seconds, and tests can move them through platform::SetClockSource.
// Thread-safe: the counters are atomics; the time thread's creation and
// removal happen under the WorkListMutex.

#include <cstdint>

namespace engine {

// Starts the time thread when it does not exist yet.
void EnsureTimeThread();
// Seconds since the process started, beginning at 1.
uint32_t GetUptimeSeconds();
// Seconds since 1970; the system time until the time thread has first run.
int64_t GetClockSeconds();
// Stops and deletes the time thread, if any (logs at level 22).
void StopTimeThread();
bool IsTimeThreadRunning();

// Raw access for the time thread itself.
int64_t ClockWallSeconds();
uint32_t ClockUptimeSeconds();
void SetClockCounters(int64_t wall_seconds, uint32_t uptime_seconds);

}  // namespace engine
