#include "engine/frame/EngineApi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <vector>
#include <chrono>
#include <new>
#include <stdexcept>
#include <thread>

#include "engine/frame/EngineApiGuard.h"
#include "engine/base/EngineLocks.h"
#include "engine/base/EngineSettings.h"
#include "engine/frame/WorkList.h"
#include "platform/File.h"
#include "tests/engine/frame/TaskTestSupport.h"

namespace {
// Set to make the next nothrow allocation fail (the engine allocates task
// objects with the nothrow form).
std::atomic<bool> g_fail_nothrow_new{false};
}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (g_fail_nothrow_new.exchange(false)) return nullptr;
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

namespace {

using frame_test::EngineTest;
using frame_test::MakeParams;
using testing_support::WaitFor;

constexpr uint32_t Exact = TW_FLAG_EXACT_TARGET;
constexpr uint32_t P2sp = TW_FLAG_P2SP;

TEST_F(EngineTest, DuplicateRules) {
    struct Case {
        const char* name;
        uint32_t first_flags;
        const char* first_target;
        const char* first_sources;
        const char* first_main;
        uint32_t second_flags;
        const char* second_target;
        const char* second_sources;
        const char* second_main;
        int32_t expected;
    };
    const std::array<Case, 8> cases{{
        {"same exact target", Exact, "/d/a.bin", nullptr, "", Exact, "/d/a.bin", nullptr, "", TW_DUPLICATE},
        {"exact target on one side only", Exact, "/d/a.bin", nullptr, "", 0, "/d/a.bin", nullptr, "", TW_OK},
        {"same torrent main source", P2sp, "/d/1", nullptr, "file:///t.torrent", P2sp, "/d/2", nullptr,
         "file:///t.torrent", TW_DUPLICATE},
        {"main source of an HTTP task does not count", P2sp, "/d/1", nullptr, "file:///t.torrent", 0, "/d/2",
         nullptr, "file:///t.torrent", TW_OK},
        {"4 sources, 2 shared", 0, "/d/1", "http://a\nhttp://b\n", "", 0, "/d/2",
         "http://a\r\nhttp://b\rhttp://c\nhttp://d", "", TW_DUPLICATE},
        {"4 sources, 1 shared", 0, "/d/1", "http://a", "", 0, "/d/2", "http://a\nhttp://b\nhttp://c\nhttp://d", "",
         TW_OK},
        {"sources compared after trimming", 0, "/d/1", "  http://a\t", "", 0, "/d/2", "http://a", "", TW_DUPLICATE},
        {"no sources, no flags", 0, "", nullptr, "", 0, "", nullptr, "", TW_OK},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TaskParams first = MakeParams(c.first_flags, c.first_target, c.first_sources, c.first_main);
        ASSERT_EQ(CreateTask(&first), TW_OK);
        TaskParams second = MakeParams(c.second_flags, c.second_target, c.second_sources, c.second_main);
        EXPECT_EQ(CreateTask(&second), c.expected);
        EXPECT_EQ(Status(first.handle).state, 0) << "the first task is unaffected";
        if (c.expected == TW_DUPLICATE) {
            EXPECT_EQ(second.handle, TaskHandle{0}) << "no handle for a refused task";
            // Restoring with force accepts what the duplicate test refuses.
            EXPECT_EQ(RecoverTask(&second, 1), TW_OK);
            EXPECT_EQ(RecoverTask(&second, 0), TW_DUPLICATE);
        }
        // Start each case from an empty list.
        EXPECT_EQ(EngineShutdown(), TW_OK);
        ASSERT_EQ(EngineInitialize(nullptr), TW_OK);
    }
}

TEST_F(EngineTest, UnknownHandlesAreRefusedWithoutBeingFollowed) {
    TaskParams params = MakeParams(0, "/d");
    ASSERT_EQ(CreateTask(&params), TW_OK);
    // An address that is not a task (and must never be dereferenced).
    const TaskHandle bogus = params.handle + 8;
    TaskStatus status;
    int32_t complete = 0;
    uint8_t bits[4] = {};
    struct Case {
        const char* name;
        int32_t result;
        int32_t expected;
    };
    const std::array<Case, 10> cases{{
        {"StartTask", StartTask(bogus), TW_UNKNOWN_HANDLE},
        {"StopTask", StopTask(bogus, 1), TW_UNKNOWN_HANDLE},
        {"QueryTaskStatus", QueryTaskStatus(bogus, &status), TW_UNKNOWN_HANDLE},
        {"IsTaskComplete", IsTaskComplete(bogus, &complete), TW_UNKNOWN_HANDLE},
        {"SetTaskSpeedLimit", SetTaskSpeedLimit(bogus, 1, 10), TW_UNKNOWN_HANDLE},
        {"SetTaskConnectionLimits", SetTaskConnectionLimits(bogus, 1, 1), TW_UNKNOWN_HANDLE},
        {"ClearTaskIpSources", ClearTaskIpSources(bogus), TW_UNKNOWN_HANDLE},
        {"AddTaskIpSources", AddTaskIpSources(bogus, "http://a", "h"), TW_UNKNOWN_HANDLE},
        {"GetTaskBitfield", GetTaskBitfield(bogus, bits, 4), TW_BITFIELD_FAILED},
        {"GetTaskBitfieldLength", GetTaskBitfieldLength(bogus), TW_BITFIELD_FAILED},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.result, c.expected);
    }
}

TEST_F(EngineTest, ArgumentAndAllocationFailures) {
    TaskParams params = MakeParams(0, "/d");
    ASSERT_EQ(CreateTask(&params), TW_OK);
    int32_t complete = 0;
    EXPECT_EQ(CreateTask(nullptr), TW_BAD_ARGUMENT);
    EXPECT_EQ(CreateAndStartTask(nullptr), TW_BAD_ARGUMENT);
    EXPECT_EQ(RecoverTask(nullptr, 1), TW_BAD_ARGUMENT);
    EXPECT_EQ(RecoverAndContinueTask(nullptr, 1), TW_BAD_ARGUMENT);
    EXPECT_EQ(SetTaskSpeedLimit(params.handle, 2, 10), TW_BAD_ARGUMENT);
    EXPECT_EQ(QueryTaskStatus(params.handle, nullptr), TW_BAD_ARGUMENT);
    EXPECT_EQ(IsTaskComplete(params.handle, &complete), TW_OK);
    EXPECT_EQ(complete, 0);

    TaskParams other = MakeParams(0, "/e");
    g_fail_nothrow_new = true;
    EXPECT_EQ(CreateTask(&other), TW_NO_MEMORY);
    g_fail_nothrow_new = false;
}

TEST_F(EngineTest, InitialisationNeedsSocketVersionTwo) {
    ASSERT_EQ(EngineShutdown(), TW_OK);
    struct Case {
        const char* name;
        engine::SocketStartup startup;
        int32_t expected;
    };
    const std::array<Case, 4> cases{{
        {"start-up fails", [](uint16_t*) { return false; }, TW_NO_SOCKETS},
        {"version 1.1", [](uint16_t* v) { *v = 0x0101; return true; }, TW_NO_SOCKETS},
        {"start-up throws", [](uint16_t*) -> bool { throw std::runtime_error("no"); }, TW_TASK_FAILED},
        {"version 2.2", [](uint16_t* v) { *v = 0x0202; return true; }, TW_OK},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engine::SetSocketStartup(c.startup);
        EXPECT_EQ(EngineInitialize(nullptr), c.expected);
    }
    engine::SetSocketStartup(nullptr);
    EXPECT_EQ(EngineInitialize(nullptr), TW_OK) << "already initialised";
}

TEST(EngineApiGuard, ExceptionBecomesTheFailureCodeAndReleasesTheLock) {
    int32_t result = engine::LockedCall<int32_t>(TW_TASK_FAILED, []() -> int32_t { throw std::logic_error("x"); });
    EXPECT_EQ(result, TW_TASK_FAILED);
    EXPECT_EQ(engine::EngineApiMutex().Owner(), 0u);
    EXPECT_EQ(engine::GuardedCall<int32_t>(TW_BITFIELD_FAILED, []() -> int32_t { throw 1; }), TW_BITFIELD_FAILED);
}

TEST_F(EngineTest, SpeedLimitsAreNormalised) {
    TaskParams params = MakeParams(0, "/d");
    ASSERT_EQ(CreateTask(&params), TW_OK);
    engine::TWorkThread* task = engine::FindTask(params.handle);
    struct Case {
        int32_t direction;
        int32_t value;
        int32_t download;
        int32_t upload;
    };
    const std::array<Case, 5> cases{{
        {1, 32766, 32766, 0},
        {1, 32767, 0, 0},
        {0, 100, 0, 100},
        {0, -1, 0, 0},
        {1, 1, 1, 0},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(SetTaskSpeedLimit(params.handle, c.direction, c.value), TW_OK);
        EXPECT_EQ(task->Options().download_limit_kib, c.download);
        EXPECT_EQ(task->Options().upload_limit_kib, c.upload);
    }
    EXPECT_EQ(SetTaskConnectionLimits(params.handle, 5, 40), TW_OK);
    EXPECT_EQ(task->WebLimit(), 5);
    EXPECT_EQ(task->BtLimit(), 40);
}

TEST_F(EngineTest, StatusReportsCompleteWheneverProgressPassesNineNineNineNine) {
    struct Case {
        const char* name;
        uint32_t pieces_done;
        int32_t code;
        int32_t progress;
        int32_t state;
    };
    const std::array<Case, 4> cases{{
        {"half", 5, 0, 5000, 0},
        {"nine of ten with disk full", 9, TW_STATE_DISK_FULL, 9000, TW_STATE_DISK_FULL},
        {"all with disk full", 10, TW_STATE_DISK_FULL, 10000, TW_STATE_COMPLETE},
        {"all with no source", 10, TW_STATE_NO_SOURCE, 10000, TW_STATE_COMPLETE},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto* task = NewScriptedTask(MakeParams(Exact, m_sandbox.File(c.name)));
        task->BuildPieces(engine::MetainfoSummary{10 * 16384, 16384, 10, "x", ""});
        task->SetProgress(uint64_t{c.pieces_done} * 16384, c.pieces_done);
        task->SetLiveCode(c.code);
        task->UpdateProgress();
        task->PublishStatus(true, true);
        TaskStatus status = Status(Handle(task));
        EXPECT_EQ(status.progress, c.progress);
        EXPECT_EQ(status.state, c.state);
        EXPECT_EQ(status.total_kib, 160);
        EXPECT_EQ(status.downloaded_bytes, uint64_t{c.pieces_done} * 16384);
        int32_t complete = -1;
        EXPECT_EQ(IsTaskComplete(Handle(task), &complete), TW_OK);
        EXPECT_EQ(complete, c.progress > 9999 ? 1 : 0);
    }
}

TEST_F(EngineTest, StatusComesFromThePublishedBlock) {
    auto* task = NewScriptedTask(MakeParams(0, "/d"));
    task->BuildPieces(engine::MetainfoSummary{10 * 16384, 16384, 10, "x", ""});
    task->SetProgress(10 * 16384, 10);
    task->SetLiveCode(TW_STATE_DISK_FULL);
    TaskStatus status = Status(Handle(task));
    EXPECT_EQ(status.state, 0) << "nothing published yet";
    EXPECT_EQ(status.progress, 0);
}

TEST_F(EngineTest, BitfieldCopiesUpToTheBufferAndCountsPieces) {
    auto* task = NewScriptedTask(MakeParams(0, "/d"));
    task->BuildPieces(engine::MetainfoSummary{10 * 16384, 16384, 10, "x", ""});
    task->SetProgress(3 * 16384, 3);
    uint8_t bits[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(GetTaskBitfieldLength(Handle(task)), 2);
    EXPECT_EQ(GetTaskBitfield(Handle(task), bits, 4), 10);
    EXPECT_EQ(bits[0], 0xE0);
    EXPECT_EQ(bits[1], 0x00);
    EXPECT_EQ(bits[2], 0xFF) << "nothing written past the bitfield";
    bits[0] = bits[1] = 0xAA;
    EXPECT_EQ(GetTaskBitfield(Handle(task), bits, 1), 10) << "the pieces of the whole bitfield, not of the copy";
    EXPECT_EQ(bits[0], 0xE0);
    EXPECT_EQ(bits[1], 0xAA) << "only one byte copied";
    EXPECT_EQ(GetTaskBitfield(Handle(task), nullptr, 4), 0);
    EXPECT_EQ(GetTaskBitfield(Handle(task), bits, 0), 0);
}

TEST_F(EngineTest, AddressSourcesAreListedAndCleared) {
    TaskParams params = MakeParams(0, "/d");
    ASSERT_EQ(CreateTask(&params), TW_OK);
    engine::TWorkThread* task = engine::FindTask(params.handle);
    EXPECT_EQ(AddTaskIpSources(params.handle, "http://1.2.3.4/a\r\nhttp://5.6.7.8/a", "cdn.example"), TW_OK);
    EXPECT_TRUE(task->IpSourcesInUse());
    EXPECT_EQ(task->IpSourceUrls().size(), 2u);
    EXPECT_EQ(task->IpSourceHosts().size(), 1u);
    EXPECT_EQ(ClearTaskIpSources(params.handle), TW_OK);
    EXPECT_FALSE(task->IpSourcesInUse());
    EXPECT_TRUE(task->IpSourceUrls().empty());
}

TEST_F(EngineTest, StopTasksMarksUnknownHandlesAndStopsTheRest) {
    auto* a = NewScriptedTask(MakeParams(0, "/a"));
    auto* b = NewScriptedTask(MakeParams(0, "/b"));
    a->candidates = 1;
    b->candidates = 1;
    ASSERT_EQ(StartTask(Handle(a)), TW_OK);
    ASSERT_EQ(StartTask(Handle(b)), TW_OK);
    const TaskHandle handles[3] = {Handle(a), Handle(a) + 16, Handle(b)};
    int32_t results[3] = {99, 99, 99};
    EXPECT_EQ(StopTasks(handles, 3, 1, results), TW_OK);
    EXPECT_EQ(results[0], TW_OK);
    EXPECT_EQ(results[1], TW_UNKNOWN_HANDLE);
    EXPECT_EQ(results[2], TW_OK);
    EXPECT_FALSE(a->IsRunning());
    EXPECT_FALSE(b->IsRunning());
    // Without a results array the engine keeps its own.
    ASSERT_EQ(StartTask(Handle(a)), TW_OK);
    EXPECT_EQ(StopTasks(handles, 3, 0, nullptr), TW_OK);
    EXPECT_FALSE(a->IsRunning());
}

TEST_F(EngineTest, ShutdownDestroysEveryTask) {
    TaskParams params = MakeParams(0, "/d");
    ASSERT_EQ(CreateAndStartTask(&params), TW_OK);
    ASSERT_EQ(EngineShutdown(), TW_OK);
    EXPECT_EQ(StartTask(params.handle), TW_UNKNOWN_HANDLE);
    EXPECT_TRUE(engine::WorkListSnapshot().empty());
    EXPECT_FALSE(engine::IsTimeThreadRunning());
    ASSERT_EQ(EngineInitialize(nullptr), TW_OK);
}

TEST_F(EngineTest, DiskFreeBytesNeedsAnAbsolutePath) {
    EXPECT_EQ(GetDiskFreeBytes("relative/path"), 0);
    EXPECT_EQ(GetDiskFreeBytes(""), 0);
    EXPECT_EQ(GetDiskFreeBytes(nullptr), 0);
    int64_t here = GetDiskFreeBytes(m_sandbox.Path().c_str());
    EXPECT_GT(here, 0);
    // A folder that does not exist yet answers for its nearest existing parent.
    EXPECT_GT(GetDiskFreeBytes(m_sandbox.File("not/yet/there").c_str()), 0);
}

TEST_F(EngineTest, AllocatedSizeFallsBackToTheTemporaryName) {
    std::string data(100000, 'x');
    std::string whole = m_sandbox.Write("whole.bin", data);
    m_sandbox.Write("partial.bin.twtmp", data);
    std::string blocker = m_sandbox.Write("plainfile", "x");
    struct Case {
        const char* name;
        std::string path;
        int64_t expected;
    };
    const std::array<Case, 4> cases{{
        {"existing file", whole, platform::AllocatedSize(whole)},
        {"only the .twtmp exists", m_sandbox.File("partial.bin"), platform::AllocatedSize(whole)},
        {"neither exists", m_sandbox.File("missing.bin"), 0},
        {"a file in the way", blocker + "/inside.bin", -1},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(GetFileAllocatedSize(c.path.c_str()), c.expected);
    }
    EXPECT_GT(GetFileAllocatedSize(whole.c_str()), 0);
}

TEST_F(EngineTest, MessageBoxIsHandedToTheFrontEndWithTheDeviceCode) {
    std::atomic<int> code_requests{0};
    engine::SetDeviceCodeProvider([&] {
        ++code_requests;
        return std::string("DEV42");
    });
    std::mutex lock;
    std::vector<std::string> shown;
    std::atomic<bool> release{false};
    std::atomic<int> finished{0};
    engine::SetMessageHandler([&](void*, const std::string& text, const std::string& caption, uint32_t) {
        {
            std::lock_guard<std::mutex> g(lock);
            shown.push_back(caption + "|" + text);
        }
        // A modal box keeps its worker for as long as the user likes.
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ++finished;
    });
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(ShowMessageBoxAsync(nullptr, "磁盘空间不足", "雾港长歌高速下载器", 0), 1);
    EXPECT_EQ(ShowMessageBoxAsync(nullptr, "second", "c", 0), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(2000));
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> g(lock);
        return shown.size() == 2;
    }));
    release = true;
    ASSERT_TRUE(WaitFor([&] { return finished == 2; }));
    {
        std::lock_guard<std::mutex> g(lock);
        std::sort(shown.begin(), shown.end());
        EXPECT_EQ(shown[0], "c|second\n（DEV42）");
        EXPECT_EQ(shown[1], "雾港长歌高速下载器|磁盘空间不足\n（DEV42）");
    }
    EXPECT_EQ(code_requests, 1) << "the device code is asked once";
    engine::SetMessageHandler(nullptr);
    engine::SetDeviceCodeProvider(nullptr);
}

TEST_F(EngineTest, SwitchesAreStored) {
    EXPECT_EQ(SetListenPort(0), TW_OK);
    EXPECT_EQ(engine::ListenPort(), 8080);
    EXPECT_EQ(SetListenPort(6881), TW_OK);
    EXPECT_EQ(engine::ListenPort(), 6881);
    EXPECT_EQ(SetP2PEnabled(2), TW_OK);
    EXPECT_TRUE(engine::IsP2PEnabled());
    EXPECT_EQ(SetP2PEnabled(0), TW_OK);
    EXPECT_FALSE(engine::IsP2PEnabled());
    SetHttpHandshakePrefix(1);
    EXPECT_TRUE(engine::IsHttpHandshakePrefixEnabled());
    SetHttpHandshakePrefix(0);
    SetListenPort(0);
}

}  // namespace
