#include "engine/frame/TWorkThread.h"
#include "engine/peers/TPeerObject.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/base/EngineLocks.h"
#include "engine/frame/WorkList.h"
#include "platform/File.h"
#include "tests/engine/frame/TaskTestSupport.h"

namespace {

using frame_test::EngineTest;
using frame_test::MakeParams;
using frame_test::ScriptedTask;
using testing_support::WaitFor;

using TaskLoop = EngineTest;

// Waits until the task has begun its loop (its start time is on the clock).
void WaitUntilLooping(ScriptedTask* task) {
    ASSERT_TRUE(WaitFor([&] { return task->StartTime() != 0; }));
    ASSERT_TRUE(WaitFor([&] { return task->LiveStatus().phase == engine::TaskPhase::Running; }));
}

TEST_F(TaskLoop, NoSizeWithinTheMetadataTimeOutEndsWith20209) {
    auto* task = NewScriptedTask(MakeParams(0, "/d", "http://127.0.0.1:1/a"));
    task->candidates = 1;  // a source that never delivers
    ASSERT_EQ(task->StartDownload(), 0);
    WaitUntilLooping(task);

    AdvanceSeconds(30);
    EXPECT_TRUE(task->IsRunning()) << "45 s have not passed";
    AdvanceSeconds(16);
    ASSERT_TRUE(WaitFor([&] { return !task->IsRunning(); }));
    EXPECT_EQ(Status(Handle(task)).state, TW_STATE_NO_SIZE);
    EXPECT_EQ(task->LiveStatus().phase, engine::TaskPhase::Stopped);
}

TEST_F(TaskLoop, NoSourceAfterFifteenSecondsEndsWith20214) {
    auto* task = NewScriptedTask(MakeParams(0, "/d"));
    ASSERT_EQ(task->StartDownload(), 0);
    WaitUntilLooping(task);

    AdvanceSeconds(10);
    EXPECT_TRUE(task->IsRunning());
    AdvanceSeconds(6);
    ASSERT_TRUE(WaitFor([&] { return !task->IsRunning(); }));
    EXPECT_EQ(Status(Handle(task)).state, TW_STATE_NO_SOURCE);
}

TEST_F(TaskLoop, UnreadableTorrentEndsWith20211WithoutTryingWebSources) {
    std::string not_torrent = m_sandbox.Write("html.torrent", "<html>not a torrent</html>");
    std::string too_short = m_sandbox.Write("short.torrent", "d");
    std::string broken = m_sandbox.Write("broken.torrent", "D8:announce");  // the loader refuses 'D'
    struct Case {
        const char* name;
        std::string path;
        const char* sources;
    };
    const std::array<Case, 4> cases{{
        {"missing file", m_sandbox.File("missing.torrent"), "http://127.0.0.1:1/a"},
        {"not bencode", not_torrent, "http://127.0.0.1:1/a"},
        {"two bytes or fewer", too_short, "http://127.0.0.1:1/a"},
        {"metainfo that does not parse, no web source", broken, nullptr},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto* task = NewScriptedTask(MakeParams(TW_FLAG_P2SP, c.name, c.sources, "FILE://" + c.path));
        ASSERT_EQ(task->StartDownload(), 0) << "a run that ends at once still started";
        ASSERT_TRUE(WaitFor([&] { return !task->IsRunning(); }));
        EXPECT_EQ(Status(Handle(task)).state, TW_STATE_TORRENT_UNREADABLE);
        EXPECT_EQ(task->connect_web_calls, 0);
    }
}

TEST_F(TaskLoop, TorrentThatDoesNotLoadLeavesTheWebSourcesRunning) {
    // Dictionary text, but not a metainfo the loader takes: the task runs on
    // without metainfo, tries its web sources, and ends only when no size
    // has come within the metadata time-out.
    std::string broken = m_sandbox.Write("broken.torrent", "D8:announce");
    auto* task = NewScriptedTask(MakeParams(TW_FLAG_P2SP, "broken", "http://127.0.0.1:1/a", "file://" + broken));
    task->candidates = 1;
    ASSERT_EQ(task->StartDownload(), 0);
    WaitUntilLooping(task);
    ASSERT_TRUE(WaitFor([&] { return task->connect_web_calls > 0; }));
    EXPECT_EQ(task->LiveStatus().code, 0);
    EXPECT_FALSE(task->IsMetadataReady());
    AdvanceSeconds(30);
    EXPECT_TRUE(task->IsRunning());
    AdvanceSeconds(16);
    ASSERT_TRUE(WaitFor([&] { return !task->IsRunning(); }));
    EXPECT_EQ(Status(Handle(task)).state, TW_STATE_NO_SIZE);
}

TEST_F(TaskLoop, ReadableTorrentGivesTheTaskItsSizeAndName) {
    std::string torrent = m_sandbox.Write("good.torrent", "d8:announce0:e");
    auto* task = NewScriptedTask(MakeParams(TW_FLAG_P2SP, m_sandbox.Path().string(), nullptr, "file://" + torrent));
    task->candidates = 1;
    ASSERT_EQ(task->StartDownload(), 0);
    ASSERT_TRUE(WaitFor([&] { return Status(Handle(task)).total_kib == 160; }));
    TaskStatus status = Status(Handle(task));
    EXPECT_STREQ(status.name, "demo.bin");
    EXPECT_EQ(status.state, 0);
    EXPECT_TRUE(task->IsMetadataReady());
    AdvanceSeconds(50);
    EXPECT_TRUE(task->IsRunning()) << "with a size, the metadata time-out does not apply";
    EXPECT_EQ(task->StopDownload(), 0);
}

TEST_F(TaskLoop, CompleteHttpTaskEndsAndDeletesItsInformationFile) {
    TaskParams params = MakeParams(TW_FLAG_EXACT_TARGET, m_sandbox.File("file.bin"));
    std::string info = m_sandbox.Write("file.bin.twinfo", "state");
    std::strncpy(params.info_path, info.c_str(), sizeof params.info_path - 1);
    auto* task = NewScriptedTask(params);
    task->pieces_on_load = engine::MetainfoSummary{4 * 16384, 16384, 4, "file.bin", ""};
    task->pieces_done_on_load = 4;
    ASSERT_EQ(task->StartDownload(), 0);
    ASSERT_TRUE(WaitFor([&] { return !task->IsRunning(); }));
    EXPECT_FALSE(platform::Exists(info));
    EXPECT_EQ(Status(Handle(task)).state, TW_STATE_COMPLETE);
    EXPECT_TRUE(task->IsComplete());
}

TEST_F(TaskLoop, CompleteTorrentTaskKeepsRunningToServePeers) {
    std::string torrent = m_sandbox.Write("seed.torrent", "d4:infoe");
    auto* task = NewScriptedTask(MakeParams(TW_FLAG_P2SP, m_sandbox.Path().string(), nullptr, "file://" + torrent));
    task->pieces_on_load = engine::MetainfoSummary{10 * 16384, 16384, 10, "demo.bin", ""};
    task->pieces_done_on_load = 10;
    ASSERT_EQ(task->StartDownload(), 0);
    WaitUntilLooping(task);
    // Prepare rebuilt an empty piece map from the torrent; the piece layer
    // then finds every piece on disk.
    task->SetProgress(10 * 16384, 10);
    // One second copies the counters, the next publishes them.
    AdvanceSeconds(1);
    AdvanceSeconds(1);
    ASSERT_TRUE(WaitFor([&] { return Status(Handle(task)).state == TW_STATE_COMPLETE; }));
    AdvanceSeconds(60);
    EXPECT_TRUE(task->IsRunning()) << "seeding lasts 12 hours by default";
    EXPECT_EQ(task->StopDownload(), 0);
}

TEST_F(TaskLoop, AFailingRunReleasesEveryLockItHeld) {
    class Throwing final : public ScriptedTask {
    public:
        ~Throwing() override { Stop(); }
        std::atomic<bool> armed{true};

    protected:
        void ConnectWebSources() override {
            if (!armed.exchange(false)) return;
            engine::WorkListMutex().Lock();
            Lock();
            Lock();
            engine::StorageMutex().Lock();
            throw std::runtime_error("peer layer failed");
        }
    };
    auto* task = new Throwing;
    task->Configure(MakeParams(0, "/d"), true);
    task->candidates = 1;
    ASSERT_EQ(task->StartDownload(), 0);
    ASSERT_TRUE(WaitFor([&] { return !task->IsRunning(); }));
    std::atomic<bool> all_free{false};
    std::thread other([&] {
        bool free = engine::WorkListMutex().TryLock() && task->ObjectLockForTest().TryLock() &&
                    engine::StorageMutex().TryLock();
        all_free = free;
        engine::WorkListMutex().Unlock();
        task->ObjectLockForTest().Unlock();
        engine::StorageMutex().Unlock();
    });
    other.join();
    EXPECT_TRUE(all_free);
    EXPECT_EQ(task->StartDownload(), 0) << "the task can run again";
    EXPECT_TRUE(task->IsRunning());
}

TEST_F(TaskLoop, StoppingAPausedTaskReleasesItWithinASecond) {
    auto* task = NewScriptedTask(MakeParams(0, "/d"));
    task->candidates = 1;
    ASSERT_EQ(task->StartDownload(), 0);
    WaitUntilLooping(task);
    EXPECT_EQ(task->PauseDownload(), 0);
    EXPECT_TRUE(task->IsPaused());
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(StopTask(Handle(task), 0), TW_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(2500));
    EXPECT_FALSE(task->IsRunning());
    EXPECT_EQ(task->PauseDownload(), TW_TASK_FAILED) << "a stopped task cannot pause";
}

TEST_F(TaskLoop, RestartDeletesTheTargetAndItsCompanions) {
    TaskParams params = MakeParams(TW_FLAG_EXACT_TARGET, m_sandbox.File("game.zip"));
    std::string info = m_sandbox.File("TWInfo/game.twinfo");
    std::strncpy(params.info_path, info.c_str(), sizeof params.info_path - 1);
    auto* task = NewScriptedTask(params);
    task->candidates = 1;
    ASSERT_EQ(task->StartDownload(), 0);
    std::vector<std::string> files = {m_sandbox.Write("game.zip", "a"), m_sandbox.Write("game.zip.twtmp", "b"),
                                      m_sandbox.Write("game.zip.twinfo", "c"),
                                      m_sandbox.Write("game.zip.twinfodf", "d"), m_sandbox.Write("TWInfo/game.twinfo", "e")};
    uint32_t generation = task->StartGeneration();
    EXPECT_EQ(task->RestartDownload(), 0);
    for (const std::string& file : files) EXPECT_FALSE(platform::Exists(file)) << file;
    EXPECT_TRUE(task->IsRunning());
    EXPECT_EQ(task->StartGeneration(), generation + 1);
    EXPECT_EQ(task->LiveStatus().downloaded_bytes, 0u);
}

TEST_F(TaskLoop, PerSecondStatisticsSmoothTheRateAndCountSources) {
    auto* task = NewScriptedTask(MakeParams(0, "/d"));
    task->candidates = 1;
    task->BuildPieces(engine::MetainfoSummary{100 << 20, 1 << 20, 100, "x", ""});
    ASSERT_EQ(task->StartDownload(), 0);
    WaitUntilLooping(task);
    // The first pass already ran the statistics; the next run needs a second.
    task->CountReceived(engine::PeerKindHttp, 1000, 400000);
    task->CountReceived(engine::PeerKindBt, 0, 16384);
    m_clock.Advance(1000);
    ASSERT_TRUE(WaitFor([&] { return task->LiveStatus().web_bytes == 400000; }));
    engine::TaskStatusBlock live = task->LiveStatus();
    EXPECT_EQ(live.peer_bytes, 16384u);
    EXPECT_EQ(live.download_rate, (3 * (400000 + 16384)) / 4);
    EXPECT_EQ(task->SpeedClass(), 4) << "417384 bytes in a second is above 300 KiB";
    m_clock.Advance(1000);
    ASSERT_TRUE(WaitFor([&] { return task->LiveStatus().download_rate == (3 * (400000 + 16384)) / 16; }));
    EXPECT_EQ(task->SpeedClass(), 5);
    EXPECT_EQ(task->StopDownload(), 0);
}

// A run that ends before its next per-second statistics (a fast download, a
// stop) still reports every block it kept, by kind of source, and the totals
// carry on over the task's next run.
TEST_F(TaskLoop, KeptBytesReachTheStatusWhenARunEndsWithinASecond) {
    auto* task = NewScriptedTask(MakeParams(0, "/d"));
    task->candidates = 1;
    task->BuildPieces(engine::MetainfoSummary{100 << 20, 1 << 20, 100, "x", ""});
    const TaskHandle handle = Handle(task);
    struct Run {
        uint64_t http, ftp, bt;
    };
    uint64_t web = 0;
    uint64_t peer = 0;
    for (const Run& run : {Run{400000, 16384, 32768}, Run{16384, 0, 0}, Run{0, 0, 49152}}) {
        ASSERT_EQ(task->StartDownload(), 0);
        WaitUntilLooping(task);
        // Protocol bytes are traffic, not kept data.
        task->CountReceived(engine::PeerKindHttp, 1000, run.http);
        task->CountReceived(engine::PeerKindFtp, 0, run.ftp);
        task->CountReceived(engine::PeerKindBt, 500, run.bt);
        EXPECT_EQ(task->StopDownload(), 0);
        web += run.http + run.ftp;
        peer += run.bt;
        const TaskStatus status = Status(handle);
        EXPECT_EQ(status.web_bytes, web);
        EXPECT_EQ(status.peer_bytes, peer);
    }
}

size_t ThreadsOfThisProcess() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
    return count;
}

TEST_F(TaskLoop, ManyTasksComeAndGoWithoutLeftovers) {
    // One warm-up cycle first: sanitizer runtimes start helper threads of
    // their own on first use.
    TaskParams warm_up = MakeParams(0, "/warm-up");
    ASSERT_EQ(CreateAndStartTask(&warm_up), TW_OK);
    ASSERT_EQ(EngineShutdown(), TW_OK);
    ASSERT_EQ(EngineInitialize(nullptr), TW_OK);
    const size_t threads_before = ThreadsOfThisProcess();
    for (int round = 0; round < 100; ++round) {
        TaskParams params = MakeParams(TW_FLAG_EXACT_TARGET, m_sandbox.File("f" + std::to_string(round)));
        ASSERT_EQ(CreateAndStartTask(&params), TW_OK);
        ASSERT_EQ(StopTask(params.handle, 1), TW_OK);
        if (round % 10 == 9) {
            ASSERT_EQ(EngineShutdown(), TW_OK);
            EXPECT_TRUE(engine::WorkListSnapshot().empty());
            ASSERT_EQ(EngineInitialize(nullptr), TW_OK);
        }
    }
    // Every work thread and the clock thread are gone (memory is checked by
    // the leak checker of the sanitizer build).
    EXPECT_TRUE(WaitFor([&] { return ThreadsOfThisProcess() <= threads_before; }))
        << ThreadsOfThisProcess() << " threads, " << threads_before << " before";
}

TEST(TaskOptions, NormalisationFallsBackToDefaults) {
    struct Case {
        const char* name;
        engine::TaskOptions in;
        engine::TaskOptions out;
    };
    engine::TaskOptions defaults;
    auto with = [](auto change) {
        engine::TaskOptions o;
        change(o);
        return o;
    };
    const std::array<Case, 6> cases{{
        {"defaults stay", defaults, defaults},
        {"peer ceiling 0", with([](auto& o) { o.peer_ceiling = 0; }), defaults},
        {"peer ceiling 20480 kept", with([](auto& o) { o.peer_ceiling = 20480; }),
         with([](auto& o) { o.peer_ceiling = 20480; })},
        {"cache 8001", with([](auto& o) { o.cache_units = 8001; }), defaults},
        {"seeding -1", with([](auto& o) { o.seeding_hours = -1; }), defaults},
        {"limits out of range", with([](auto& o) {
             o.download_limit_kib = 40000;
             o.upload_limit_kib = -5;
             o.spare_limit_kib = 32767;
             o.tuning2 = 21;
         }),
         defaults},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engine::TaskOptions o = c.in;
        o.Normalise();
        EXPECT_EQ(o.peer_ceiling, c.out.peer_ceiling);
        EXPECT_EQ(o.tuning2, c.out.tuning2);
        EXPECT_EQ(o.cache_units, c.out.cache_units);
        EXPECT_EQ(o.seeding_hours, c.out.seeding_hours);
        EXPECT_EQ(o.download_limit_kib, c.out.download_limit_kib);
        EXPECT_EQ(o.upload_limit_kib, c.out.upload_limit_kib);
        EXPECT_EQ(o.spare_limit_kib, c.out.spare_limit_kib);
    }
}

TEST_F(TaskLoop, AnIncompleteTaskWithoutActivityForFifteenMinutesStops) {
    // A real torrent and piece map, and no source at all: nothing arrives,
    // yet with its metainfo in hand the task never runs out of sources.
    engine::SetMetainfoLoader(nullptr);
    const std::string torrent = m_sandbox.Write(
        "idle.torrent", "d4:infod6:lengthi32768e4:name8:idle.bin12:piece lengthi16384e6:pieces40:" +
                            std::string(40, 'x') + "ee");
    TaskParams params = MakeParams(TW_FLAG_P2SP | TW_FLAG_EXACT_TARGET, m_sandbox.File("idle.bin"), nullptr,
                                   "file://" + torrent);
    const std::string info = m_sandbox.File("idle.bin.twinfo");
    std::strncpy(params.info_path, info.c_str(), sizeof params.info_path - 1);
    ASSERT_EQ(CreateTask(&params), TW_OK);
    engine::TWorkThread* task = engine::FindTask(params.handle);
    ASSERT_NE(task, nullptr);
    const auto run = [&] {
        ASSERT_EQ(StartTask(params.handle), TW_OK);
        ASSERT_TRUE(WaitFor([&] { return Status(params.handle).total_kib == 32; }));
    };
    // Each step is one statistics second of the loop; the clock thread may
    // take a step in a moment after the loop, so the end may come late.
    const auto stops_within = [&](int seconds) {
        for (int k = 0; k < seconds && task->IsRunning(); ++k) AdvanceSeconds(1);
        return WaitFor([&] { return !task->IsRunning(); }, std::chrono::seconds(2));
    };
    run();

    AdvanceSeconds(890);
    AdvanceSeconds(1);
    EXPECT_TRUE(task->IsRunning()) << "less than 900 seconds without activity";
    EXPECT_TRUE(stops_within(20));
    EXPECT_EQ(Status(params.handle).state, TW_STATE_NONE) << "the run ends without a state code";
    EXPECT_TRUE(platform::Exists(info)) << "the progress is kept";

    // The time a task sat stopped is not inactivity of its next run.
    AdvanceSeconds(3600);
    run();
    for (int k = 0; k < 12; ++k) AdvanceSeconds(1);
    EXPECT_TRUE(task->IsRunning());
    EXPECT_EQ(StopTask(params.handle, 0), TW_OK);
}

TEST(TaskConfiguration, SourceLinesAndTargets) {
    EXPECT_EQ(engine::TBaseWork::SplitLines("a\r\n\r\n b \rc\n\n"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_TRUE(engine::TBaseWork::SplitLines(nullptr).empty());
    EXPECT_TRUE(engine::TBaseWork::SplitLines(" \t\r\n").empty());

    frame_test::ScriptedTask bt;
    bt.Configure(MakeParams(TW_FLAG_BT | TW_FLAG_EXACT_TARGET, "/save/dir/file.iso", "http://t/x.torrent\nhttp://w/f"),
                 true);
    EXPECT_STREQ(bt.KindName(), "BT Task");
    EXPECT_EQ(bt.MainSource(), "http://t/x.torrent");
    EXPECT_EQ(bt.WebSources().front().mark, engine::SourceMark::Metainfo);
    EXPECT_EQ(bt.TargetFile(), "/save/dir/file.iso");
    EXPECT_EQ(bt.SaveFolder(), "/save/dir/");

    TaskParams p2sp_params = MakeParams(TW_FLAG_P2SP, "/save", "http://w/f", "file:///t.torrent");
    std::strcpy(p2sp_params.info_path, "/w/TWInfo/f.twinfo");
    frame_test::ScriptedTask p2sp;
    p2sp.Configure(p2sp_params, true);
    EXPECT_STREQ(p2sp.KindName(), "P2SP Task");
    EXPECT_EQ(p2sp.InfoPathDf(), "/w/TWInfo/f.twinfodf");
    EXPECT_EQ(p2sp.WebSources().front().mark, engine::SourceMark::None);

    // Marks of a run return to rest when it ends.
    bt.SetWebSourceMark(0, engine::SourceMark::MetainfoInUse);
    bt.SetWebSourceMark(1, engine::SourceMark::InUse);
    bt.ResetWebSourceMarks(true);
    EXPECT_EQ(bt.WebSources()[0].mark, engine::SourceMark::MetainfoInUse) << "the metainfo is held";
    EXPECT_EQ(bt.WebSources()[1].mark, engine::SourceMark::None);
    bt.ResetWebSourceMarks(false);
    EXPECT_EQ(bt.WebSources()[0].mark, engine::SourceMark::Metainfo);
}

TEST(TaskPeers, CreatePeerReusesPooledPeersOfTheSameKind) {
    class FakePeer final : public engine::TPeerObject {
    public:
        explicit FakePeer(int kind) : TPeerObject(kind) {}
        bool ReadInput() override { return true; }
        void ResetState() override {
            ++resets;
            TPeerObject::ResetState();
        }
        int resets = 0;
    };
    frame_test::ScriptedTask task;
    std::vector<int> made;
    task.SetPeerFactory([&](int kind) -> engine::TPeerObject* {
        made.push_back(kind);
        return new FakePeer(kind);
    });
    for (int kind : {1, 2, 4, 8}) {
        SCOPED_TRACE(kind);
        engine::TPeerObject* peer = task.CreatePeer(kind);
        ASSERT_NE(peer, nullptr);
        EXPECT_EQ(peer->Kind(), kind);
        EXPECT_EQ(peer->Task(), &task);
        task.ReleasePeer(peer);
    }
    EXPECT_EQ(task.CreatePeer(3), nullptr);
    EXPECT_EQ(task.CreatePeer(6), nullptr);
    EXPECT_EQ(made, (std::vector<int>{1, 2, 4, 8}));
    EXPECT_EQ(task.PooledPeers(), 4u);

    auto* http = static_cast<FakePeer*>(task.CreatePeer(2));
    EXPECT_EQ(made.size(), 4u) << "taken from the pool";
    const int resets = http->resets;
    task.ReleasePeer(http);
    engine::TPeerObject* bt = task.CreatePeer(1);
    EXPECT_NE(bt, http) << "another kind is not taken from the pool";
    task.ReleasePeer(bt);
    EXPECT_EQ(task.CreatePeer(2), http);
    EXPECT_GT(http->resets, resets) << "a reused peer is reset to idle";
    EXPECT_EQ(task.PooledPeers(), 3u);
    task.ReleasePeer(http);
}

}  // namespace
