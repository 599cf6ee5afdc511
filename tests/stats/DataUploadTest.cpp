#include "stats/DataUpload.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "engine/base/CTidewellLog.h"
#include "stats/DataUploadApi.h"
#include "stats/DeviceInfo.h"
#include "tests/stats/CollectServer.h"
#include "tests/stats/StatsTestSupport.h"
#include "tests/support/Sandbox.h"

namespace {

using namespace engine;
using namespace stats_test;
using testing_support::CollectServer;
using testing_support::Sandbox;
using testing_support::WaitFor;

// Holds the uploader between passes until the test lets one pass run, so that
// "reports made within one pass" does not depend on timing. A waiting
// uploader also leaves when asked to stop, and never waits unboundedly.
class PassGate {
public:
    void Wait(DataUpload& uploader) {
        std::unique_lock<std::mutex> lock(m_lock);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (m_tickets == 0 && !uploader.IsStopRequested() && std::chrono::steady_clock::now() < deadline) {
            m_cv.wait_for(lock, std::chrono::milliseconds(5));
        }
        if (m_tickets > 0) --m_tickets;
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_tickets;
        m_cv.notify_all();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    int m_tickets = 0;
};

std::vector<std::string> g_log_lines;
std::mutex g_log_lines_lock;
void CaptureLog(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_log_lines_lock);
    g_log_lines.push_back(line);
}

class Uploader : public testing::Test {
protected:
    void SetUp() override {
        m_log.SetLevels(CTidewellLogApi::LevelOff, 2);
        m_log.SetDebugSink(&CaptureLog);
        SetTidewellLog(&m_log);
        ResetStatsDifferences();
        SetDataUploadIntervalWait([this](DataUpload& self) { m_gate.Wait(self); });
    }
    void TearDown() override {
        StopDataUpload();
        SetDataUploadIntervalWait({});
        SetTidewellLog(nullptr);
        std::lock_guard<std::mutex> lock(g_log_lines_lock);
        g_log_lines.clear();
    }

    DataUpload::Counters Counters() { return CurrentDataUpload()->GetCounters(); }

    Sandbox m_box;
    CTidewellLogApi m_log;
    PassGate m_gate;
};

TEST_F(Uploader, ReportsBeforeStartAreDroppedWithoutALogLine) {
    EXPECT_EQ(ReportEvent("11990001", "early", 0), -1);
    EXPECT_EQ(ReportFileEvent("11990002", "f", "early"), -1);
    std::lock_guard<std::mutex> lock(g_log_lines_lock);
    for (const auto& line : g_log_lines) EXPECT_EQ(line.find("1199000"), std::string::npos) << line;
}

TEST_F(Uploader, ReportReachesTheServerWithIdentityAndDifferences) {
    CollectServer server(m_box.Path().string(), CollectServer::Mode::Ok);
    ASSERT_TRUE(server.Started());
    ASSERT_EQ(StartDataUpload(WriteConfig(m_box, {server.BatchUrl()}).c_str(), "311", "2.0", "1.0", "web"), 0);
    EXPECT_EQ(StatsDeviceCode().size(), 22u);

    ASSERT_EQ(ReportStatsEvent("11020000", "", "", 5, 100, 0, "1%", 0, 0, 0, 0, 0, "a.zip", "", "", 3), 0);
    ASSERT_EQ(ReportStatsEvent("11020000", "", "", 0, 250, 0, "2%", 0, 0, 0, 0, 0, "a.zip", "", "", 0), 0);
    ASSERT_EQ(ReportStatsEvent("11020000", "", "", 9, 200, 0, "3%", 0, 0, 0, 0, 0, "a.zip", "", "", 0), 0);
    ASSERT_EQ(ReportFileEvent("11030000", "b.cab", "disk \"full\""), 0);
    m_gate.Release();
    ASSERT_TRUE(WaitFor([&] { return Counters().submissions == 1; }));
    EXPECT_EQ(Counters().last_submit_result, 1);

    auto events = server.Events();
    ASSERT_EQ(events.size(), 4u);
    struct Expect {
        const char* totaltime;
        const char* intime;
        const char* totalbytes;
        const char* intotalbytes;
    };
    const Expect expected[] = {{"5", "5", "100", "100"}, {"0", "0", "250", "150"}, {"9", "4", "200", "0"},
                               {"0", "0", "0", "0"}};
    for (size_t i = 0; i < events.size(); ++i) {
        SCOPED_TRACE(i);
        Json::Value info = ParseJson(events[i].info);
        ASSERT_TRUE(info.isObject()) << events[i].info;
        EXPECT_EQ(info["GameID"].asString(), "311");
        EXPECT_EQ(info["Dchannel"].asString(), "web");
        EXPECT_EQ(info["Totaltime"].asString(), expected[i].totaltime);
        EXPECT_EQ(info["Intime"].asString(), expected[i].intime);
        EXPECT_EQ(info["Totalbytes"].asString(), expected[i].totalbytes);
        EXPECT_EQ(info["Intotalbytes"].asString(), expected[i].intotalbytes);
    }
    EXPECT_TRUE(ParseJson(events[0].info).isMember("CPU"));  // kind 3
    EXPECT_EQ(ParseJson(events[3].info)["Errormsg"].asString(), "disk \"full\"");
    EXPECT_EQ(ParseJson(events[3].info)["Filename"].asString(), "b.cab");
}

TEST_F(Uploader, TwentyFiveReportsInOnePassGiveOneBatchOfTwenty) {
    CollectServer server(m_box.Path().string(), CollectServer::Mode::Ok);
    ASSERT_TRUE(server.Started());
    ASSERT_EQ(StartDataUpload(WriteConfig(m_box, {server.BatchUrl()}).c_str(), "311", "2.0", "1.0", ""), 0);
    for (int i = 0; i < 25; ++i) ASSERT_EQ(ReportEvent("11010000", std::to_string(i).c_str(), 0), 0);
    m_gate.Release();
    ASSERT_TRUE(WaitFor([&] { return Counters().submissions == 1; }));
    const auto counters = Counters();
    EXPECT_EQ(counters.accepted, 20u);
    EXPECT_EQ(counters.refused_full, 5u);
    auto events = server.Events();
    ASSERT_EQ(events.size(), 20u);
    EXPECT_EQ(events.front().batch, 1);
    EXPECT_EQ(events.back().batch, 1);
}

TEST_F(Uploader, NotReadyWithoutGameTextsAndEmptyRecordsAreLogged) {
    CollectServer server(m_box.Path().string(), CollectServer::Mode::Ok);
    ASSERT_TRUE(server.Started());
    const std::string config = WriteConfig(m_box, {server.BatchUrl()});
    ASSERT_EQ(StartDataUpload(config.c_str(), "311", nullptr, "1.0", "web"), 0);
    EXPECT_EQ(ReportEvent("11010000", "x", 0), -1);  // running, but not ready

    ASSERT_EQ(StartDataUpload(config.c_str(), "311", "2.0", "1.0", "web"), 0);
    auto uploader = CurrentDataUpload();
    ASSERT_TRUE(uploader->Queue({"", "", 0}));
    m_gate.Release();
    ASSERT_TRUE(WaitFor([&] { return uploader->QueuedCount() == 0 && uploader->GetCounters().submissions == 1; }));
    EXPECT_EQ(uploader->GetCounters().handed_over, 0u);
    std::lock_guard<std::mutex> lock(g_log_lines_lock);
    bool logged = false;
    for (const auto& line : g_log_lines) logged = logged || line.find("Data Upload Failed with Empty Code Or Body") != std::string::npos;
    EXPECT_TRUE(logged);
}

// The server takes the batch and never answers. Reports made meanwhile must
// return although the uploader is stuck in the post: the submission is still
// unfinished when they are done. Stopping then waits only for the post's
// time-out, and what was queued meanwhile is not sent.
TEST_F(Uploader, ReportingNeverWaitsForAHangingServer) {
    CollectServer server(m_box.Path().string(), CollectServer::Mode::Hang);
    ASSERT_TRUE(server.Started());
    ASSERT_EQ(StartDataUpload(WriteConfig(m_box, {server.BatchUrl()}).c_str(), "311", "2.0", "1.0", ""), 0);
    auto uploader = CurrentDataUpload();
    ASSERT_EQ(ReportEvent("11010000", "first", 0), 0);
    m_gate.Release();
    ASSERT_TRUE(WaitFor([&] { return server.RequestBodies().size() == 1; }));

    for (int i = 0; i < 50; ++i) ASSERT_EQ(ReportEvent("11010000", "while held", 0), 0);
    EXPECT_EQ(uploader->GetCounters().submissions, 0u);
    EXPECT_EQ(uploader->QueuedCount(), 50u);

    EXPECT_EQ(StopDataUpload(), 0);
    EXPECT_FALSE(uploader->IsRunning());
    EXPECT_EQ(uploader->GetCounters().submissions, 1u);
    EXPECT_EQ(uploader->GetCounters().last_submit_result, 0);
    EXPECT_EQ(ReportEvent("11010000", "after stop", 0), -1);
    EXPECT_EQ(server.RequestBodies().size(), 1u);
}

TEST_F(Uploader, RepeatedStartsAndStopsLeaveNoThreadBehind) {
    const std::string config = WriteConfig(m_box, {"http://127.0.0.1:9/launchersubmit/eventListSubmit"});
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(StartDataUpload(config.c_str(), "311", "2.0", "1.0", ""), 0);
        auto uploader = CurrentDataUpload();
        EXPECT_TRUE(uploader->IsRunning());
        EXPECT_EQ(ReportEvent("11010000", "x", 0), 0);
        EXPECT_EQ(StopDataUpload(), 0);
        EXPECT_FALSE(uploader->IsRunning());
    }
    EXPECT_EQ(StopDataUpload(), -1);
}

}  // namespace
