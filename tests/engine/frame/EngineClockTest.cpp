#include "engine/base/EngineClock.h"

#include <gtest/gtest.h>

#include <array>

#include "engine/base/QTimeThread.h"
#include "tests/engine/frame/ManualClockFixture.h"

namespace {

using engine::AdvanceClock;
using engine::ClockBase;
using engine::ClockReading;
using testing_support::WaitFor;

TEST(AdvanceClock, CountsWholeSecondsFromTheBaseAndWrapsByOne) {
    struct Case {
        const char* name;
        uint32_t base_tick;
        uint32_t tick;
        int64_t wall;
        uint32_t uptime;
        bool rebased;
    };
    constexpr int64_t W = 1000;
    const std::array<Case, 5> cases{{
        {.name = "same tick", .base_tick = 5000, .tick = 5000, .wall = W, .uptime = 10, .rebased = false},
        {.name = "999 ms is no second", .base_tick = 5000, .tick = 5999, .wall = W, .uptime = 10, .rebased = false},
        {.name = "2.5 s", .base_tick = 5000, .tick = 7500, .wall = W + 2, .uptime = 12, .rebased = false},
        {.name = "wrap", .base_tick = 0xFFFFFF00u, .tick = 0x10, .wall = W + 8, .uptime = 18, .rebased = true},
        {.name = "up to the top", .base_tick = 0, .tick = 0xFFFFFFFFu, .wall = W + 4294967,
         .uptime = 10 + 4294967, .rebased = false},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClockBase base{c.base_tick, W, 10};
        // The current values may have run ahead of the base (7 s here).
        ClockReading current{W + 7, 17};
        ClockReading next = AdvanceClock(base, c.tick, current);
        EXPECT_EQ(next.wall_seconds, c.wall);
        EXPECT_EQ(next.uptime_seconds, c.uptime);
        EXPECT_EQ(base.tick, c.rebased ? c.tick : c.base_tick);
    }
}

TEST(AdvanceClock, NoDriftOverManyUnevenSteps) {
    ClockBase base{0, 0, 1};
    ClockReading now{0, 1};
    for (uint32_t tick = 0; tick <= 100'000; tick += 333) now = AdvanceClock(base, tick, now);
    EXPECT_EQ(now.uptime_seconds, 1u + 99'999 / 1000);
}

using EngineClock = frame_test::ManualClockTest;

TEST_F(EngineClock, TickWrapAdvancesTheClockByOneSecond) {
    m_clock.SetTicks(0xFFFFF000u);
    engine::EnsureTimeThread();
    ASSERT_TRUE(WaitFor([] { return engine::ClockWallSeconds() == StartWall; }));
    uint32_t uptime = engine::GetUptimeSeconds();

    m_clock.SetTicks(0x20);
    ASSERT_TRUE(WaitFor([&] { return engine::ClockUptimeSeconds() == uptime + 1; }));
    EXPECT_EQ(engine::GetClockSeconds(), StartWall + 1);

    // Counting goes on from the new base.
    m_clock.SetTicks(0x20 + 3000);
    ASSERT_TRUE(WaitFor([&] { return engine::ClockUptimeSeconds() == uptime + 4; }));
    EXPECT_EQ(engine::GetClockSeconds(), StartWall + 4);
}

TEST_F(EngineClock, FollowsTheTickSourceAndStopsOnRequest) {
    uint32_t uptime = engine::GetUptimeSeconds();
    EXPECT_TRUE(engine::IsTimeThreadRunning());
    AdvanceSeconds(45);
    EXPECT_EQ(engine::GetUptimeSeconds(), uptime + 45);
    engine::StopTimeThread();
    EXPECT_FALSE(engine::IsTimeThreadRunning());
    EXPECT_GE(engine::ClockUptimeSeconds(), uptime + 45) << "uptime survives a clock restart";
}

TEST_F(EngineClock, WallSecondsStartFromTheSystemTime) {
    EXPECT_EQ(engine::GetClockSeconds(), StartWall);
}

}  // namespace
