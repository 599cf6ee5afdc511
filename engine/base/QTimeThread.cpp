#include "engine/base/QTimeThread.h"

#include "engine/base/EngineClock.h"
#include "platform/Clock.h"

namespace engine {

namespace {
// The counters advance once a second; the loop sleeps in tenths so that a
// stop request is noticed within 100 ms.
constexpr int SleepSteps = 10;
constexpr uint32_t SleepStepMs = 100;
}  // namespace

ClockReading AdvanceClock(ClockBase& base, uint32_t tick, ClockReading current) {
    if (tick < base.tick) {
        current.wall_seconds += 1;
        current.uptime_seconds += 1;
        base = ClockBase{tick, current.wall_seconds, current.uptime_seconds};
        return current;
    }
    uint32_t elapsed_s = (tick - base.tick) / 1000;
    return ClockReading{base.wall_seconds + elapsed_s, base.uptime_seconds + elapsed_s};
}

QTimeThread::~QTimeThread() { Stop(); }

void QTimeThread::Run() {
    ClockBase base{platform::TickCount(), ClockWallSeconds(), ClockUptimeSeconds()};
    if (base.wall_seconds == 0) {
        base.wall_seconds = platform::WallSeconds();
        SetClockCounters(base.wall_seconds, base.uptime_seconds);
    }
    for (;;) {
        ClockReading now = AdvanceClock(base, platform::TickCount(),
                                        ClockReading{ClockWallSeconds(), ClockUptimeSeconds()});
        SetClockCounters(now.wall_seconds, now.uptime_seconds);
        for (int i = 0; i < SleepSteps && !IsStopRequested(); ++i) platform::SleepMs(SleepStepMs);
        if (IsStopRequested()) break;
    }
}

}  // namespace engine
