#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

class InstalledClock : public ::testing::Test {
protected:
    platform::ManualClockSource clock{0, 1'700'000'000};
    void SetUp() override { platform::SetClockSource(&clock); }
    void TearDown() override { platform::SetClockSource(nullptr); }
};

TEST_F(InstalledClock, TickCounterWrapsAndElapsedStaysRight) {
    clock.SetTicks(0xFFFF'FF00u);
    uint32_t start = platform::TickCount();
    clock.Advance(0x200);
    EXPECT_EQ(platform::TickCount(), 0x100u);
    // Unsigned difference is how callers measure across the wrap.
    EXPECT_EQ(static_cast<uint32_t>(platform::TickCount() - start), 0x200u);
}

TEST_F(InstalledClock, WallSecondsFollowWholeSecondsOfTickAdvance) {
    clock.Advance(600);
    EXPECT_EQ(platform::WallSeconds(), 1'700'000'000);
    clock.Advance(600);
    EXPECT_EQ(platform::WallSeconds(), 1'700'000'001);
    clock.SetWallSeconds(5);
    EXPECT_EQ(platform::WallSeconds(), 5);
}

TEST(SystemClock, RestoredAfterUninstallAndMonotonic) {
    platform::ManualClockSource manual(7, 7);
    platform::SetClockSource(&manual);
    EXPECT_EQ(platform::TickCount(), 7u);
    platform::SetClockSource(nullptr);
    EXPECT_GT(platform::WallSeconds(), 1'600'000'000);
    uint32_t a = platform::TickCount();
    platform::SleepMs(2);
    EXPECT_GE(static_cast<uint32_t>(platform::TickCount() - a), 2u);
}

TEST(LocalTimeFormat, UsesLocalZone) {
    ::setenv("TZ", "UTC-8", 1);  // POSIX sign: eight hours east of UTC
    ::tzset();
    EXPECT_EQ(platform::FormatLocalTime("%Y-%m-%d %H:%M:%S", 0), "1970-01-01 08:00:00");
    EXPECT_EQ(platform::LocalUtcOffsetSeconds(0), 8 * 3600);
    platform::LocalTime t = platform::ToLocalTime(0);
    EXPECT_EQ(t.year, 1970);
    EXPECT_EQ(t.hour, 8);
    EXPECT_EQ(t.weekday, 4);  // a Thursday
}

}  // namespace
