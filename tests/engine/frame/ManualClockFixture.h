#pragma once
// Installs a manual tick/wall source for the whole process and restarts the
// engine's clock thread on it, so tests move engine time without sleeping.

#include <gtest/gtest.h>

#include <cstdint>

#include "engine/base/EngineClock.h"
#include "platform/Clock.h"
#include "tests/support/Sandbox.h"

namespace frame_test {

class ManualClockTest : public ::testing::Test {
protected:
    static constexpr int64_t StartWall = 1'700'000'000;

    void SetUp() override {
        engine::StopTimeThread();
        platform::SetClockSource(&m_clock);
    }
    void TearDown() override {
        engine::StopTimeThread();
        platform::SetClockSource(nullptr);
    }

    // Moves the ticks and waits until the clock thread has taken them in.
    void AdvanceSeconds(uint32_t seconds) {
        uint32_t before = engine::GetUptimeSeconds();
        m_clock.Advance(seconds * 1000);
        ASSERT_TRUE(testing_support::WaitFor([&] { return engine::ClockUptimeSeconds() >= before + seconds; }));
    }

    platform::ManualClockSource m_clock{0x1000, StartWall};
};

}  // namespace frame_test
