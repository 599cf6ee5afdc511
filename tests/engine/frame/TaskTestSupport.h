#pragma once
// Fixtures for task tests: a manual clock, an initialised engine that is shut
// down after each test, creation records, and a task whose lower layers are
// scripted through the seams the peer and piece layers will fill.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <string>

#include "engine/frame/EngineApi.h"
#include "engine/frame/EngineApiHooks.h"
#include "engine/frame/EngineApiInternal.h"
#include "engine/frame/TWorkThread.h"
#include "tests/engine/frame/ManualClockFixture.h"

namespace frame_test {

inline TaskParams MakeParams(uint32_t flags, const std::string& target, const char* sources = nullptr,
                             const std::string& main_source = "") {
    TaskParams params;
    std::memset(&params, 0, sizeof params);
    params.flags = flags;
    std::strncpy(params.target, target.c_str(), sizeof params.target - 1);
    std::strncpy(params.main_source, main_source.c_str(), sizeof params.main_source - 1);
    params.source_text = sources;
    return params;
}

// A torrent "parser" for tests: any bytes starting with 'd' describe 10
// pieces of 16 KiB named "demo.bin".
inline bool FakeLoader(const std::string& bytes, engine::MetainfoSummary* out) {
    if (bytes.empty() || bytes[0] != 'd') return false;
    *out = engine::MetainfoSummary{10 * 16384, 16384, 10, "demo.bin", std::string(40, 'a')};
    return true;
}

class ScriptedTask : public engine::TWorkThread {
public:
    ~ScriptedTask() override { Stop(); }

    std::atomic<int> candidates{0};
    std::atomic<int> connect_web_calls{0};
    // Pieces the task "finds" when it loads its resume state.
    std::optional<engine::MetainfoSummary> pieces_on_load;
    uint32_t pieces_done_on_load = 0;

    void SetProgress(uint64_t downloaded, uint32_t done) { SetPieceProgress(downloaded, done); }
    void BuildPieces(const engine::MetainfoSummary& summary) { BuildPieceMap(summary); }
    engine::QTMutex& ObjectLockForTest() { return ObjectLock(); }
    void SetLiveCode(int32_t code) {
        Lock();
        m_live.code = code;
        Unlock();
    }

protected:
    void LoadTaskInfo() override {
        if (!pieces_on_load) return;
        BuildPieceMap(*pieces_on_load);
        SetPieceProgress(uint64_t{pieces_done_on_load} * pieces_on_load->piece_length, pieces_done_on_load);
    }
    size_t CandidateCount() override { return static_cast<size_t>(candidates.load()); }
    void ConnectWebSources() override { ++connect_web_calls; }
};

class EngineTest : public ManualClockTest {
protected:
    void SetUp() override {
        ManualClockTest::SetUp();
        engine::SetMetainfoLoader(FakeLoader);
        ASSERT_EQ(EngineInitialize(m_sandbox.Path().c_str()), TW_OK);
    }
    void TearDown() override {
        EXPECT_EQ(EngineShutdown(), TW_OK);
        engine::SetMetainfoLoader(nullptr);
        ManualClockTest::TearDown();
    }

    // A scripted task configured from `params`, already in the WorkList.
    ScriptedTask* NewScriptedTask(const TaskParams& params) {
        auto* task = new ScriptedTask;
        task->Configure(params, true);
        return task;
    }
    static TaskHandle Handle(engine::TWorkThread* task) { return engine::HandleOf(task); }
    static TaskStatus Status(TaskHandle handle) {
        TaskStatus status;
        EXPECT_EQ(QueryTaskStatus(handle, &status), TW_OK);
        return status;
    }

    testing_support::Sandbox m_sandbox;
};

}  // namespace frame_test
