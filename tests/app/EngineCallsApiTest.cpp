#include "app/EngineCallsApi.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The adapter reaches the real engine interface: an unknown handle is
// refused by the engine, and an over-long path never reaches it.
TEST(EngineCallsApi, ForwardsToTheEngineAndRefusesOverlongTexts) {
    app::EngineCallsApi engine;
    int dummy = 0;
    EXPECT_EQ(engine.ClearTaskIpSources(&dummy), -106);
    EXPECT_EQ(engine.AddTaskIpSources(&dummy, "http://10.0.0.1/f", "null"), -106);
    EXPECT_EQ(engine.SetP2PEnabled(false), 0);

    app::TaskRequest request;
    request.target = std::string(4096, 'a');
    EXPECT_EQ(engine.RecoverAndContinueTask(request, true), -101);
    EXPECT_EQ(request.handle, nullptr);
}

}  // namespace
