#include "app/EngineCallsApi.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/Sandbox.h"

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
    EXPECT_EQ(engine.CreateAndStartTask(request), -101);
    EXPECT_EQ(request.handle, nullptr);
}

TEST(EngineCallsApi, TaskCallsRefuseUnknownHandles) {
    app::EngineCallsApi engine;
    int dummy = 0;
    app::TaskHandle h = &dummy;
    app::TaskStatusInfo status;
    status.progress = 77;
    EXPECT_EQ(engine.QueryTaskStatus(h, &status), -106);
    EXPECT_EQ(status.progress, 77);  // untouched
    bool complete = true;
    EXPECT_EQ(engine.IsTaskComplete(h, &complete), -106);
    EXPECT_FALSE(complete);
    EXPECT_EQ(engine.StartTask(h), -106);
    EXPECT_EQ(engine.StopTask(h, false), -106);
    EXPECT_EQ(engine.SetTaskSpeedLimit(h, app::DirectionDownload, 10), -106);
    EXPECT_EQ(engine.SetTaskConnectionLimits(h, 9, 27), -106);
    EXPECT_EQ(engine.StopTasks({}, false), 0);
}

TEST(EngineCallsApi, DiskQueries) {
    testing_support::Sandbox box;
    app::EngineCallsApi engine;
    EXPECT_GT(engine.GetDiskFreeBytes(box.File("not/yet/made")), 0);
    EXPECT_EQ(engine.GetFileAllocatedSize(box.File("absent")), 0);
    box.Write("part.twtmp", std::string(20000, 'x'));
    EXPECT_GE(engine.GetFileAllocatedSize(box.File("part")), 20000);
}

}  // namespace
