#pragma once
// The process-wide clock thread "TimeEnsure": once a second it derives the
// engine's wall and uptime second counters from the 32-bit millisecond tick
// counter. Created on first use by EnsureTimeThread, deleted by
// StopTimeThread (engine shutdown). Runs on its own thread; it shares no
// state but the atomic counters in EngineClock.

#include <cstdint>

#include "engine/base/QThread.h"

namespace engine {

// The tick and counter values the counters are measured from.
struct ClockBase {
    uint32_t tick = 0;
    int64_t wall_seconds = 0;
    uint32_t uptime_seconds = 0;
};

struct ClockReading {
    int64_t wall_seconds = 0;
    uint32_t uptime_seconds = 0;
};

// One clock step for tick `tick`. Whole seconds since the base tick are added
// to the base values (the base stays, so rounding never accumulates). A tick
// below the base means the 32-bit counter wrapped: the counters advance by one
// second and the current values become the new base.
ClockReading AdvanceClock(ClockBase& base, uint32_t tick, ClockReading current);

class QTimeThread final : public QThread {
public:
    QTimeThread() = default;
    ~QTimeThread() override;

    void Run() override;
    void UpdateProgress() override {}
};

}  // namespace engine
