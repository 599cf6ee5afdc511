#include "app/StatsReporterApi.h"

#include <gtest/gtest.h>

#include "app/AppState.h"
#include "stats/DataUploadApi.h"
#include "tests/stats/CollectServer.h"
#include "tests/stats/StatsTestSupport.h"
#include "tests/support/Sandbox.h"

namespace {

using testing_support::CollectServer;
using testing_support::Sandbox;
using testing_support::WaitFor;

// The downloader's three kinds of events travel through the uploader to the
// collection server with their codes as eight digits and their members.
TEST(StatsReporterApi, EventsReachTheCollectionServer) {
    Sandbox box;
    CollectServer server(box.Path().string(), CollectServer::Mode::Ok);
    ASSERT_TRUE(server.Started());
    engine::ResetStatsDifferences();
    app::StatsReporterApi stats;
    stats.SubmitEvent(app::EventDownloadBegins, "before the start", 7);  // dropped: no uploader yet
    stats.StartUploader(stats_test::WriteConfig(box, {server.BatchUrl()}), "991002359", "1.0.3", "v0.0.3.11", "1");

    app::TransferTotals totals;
    totals.seconds = 10;
    totals.total_bytes = 3000;
    totals.average_speed = 300;
    totals.web_bytes = 1000;
    totals.web_speed = 100;
    totals.peer_bytes = 2000;
    totals.peer_speed = 200;
    totals.progress = "12.34%";
    stats.SubmitStatsEvent(app::EventUserPaused, totals, "");
    stats.SubmitEvent(app::EventInstallClicked, "点击时已经验证过安装包分卷了", 0);
    stats.SubmitFileEvent(app::EventFileComplete, "WGCG01.cab", "");
    ASSERT_TRUE(WaitFor([&] { return server.Events().size() >= 3; }, std::chrono::seconds(20)));
    stats.StopUploader();
    EXPECT_EQ(engine::CurrentDataUpload(), nullptr);
    stats.SubmitEvent(app::EventDownloadBegins, "after the stop", 0);  // dropped

    auto events = server.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].code, "11020000");
    EXPECT_EQ(events[1].code, "11070000");
    EXPECT_EQ(events[2].code, "11080000");
    Json::Value paused = stats_test::ParseJson(events[0].info);
    ASSERT_TRUE(paused.isObject()) << events[0].info;
    EXPECT_EQ(paused["GameID"].asString(), "991002359");
    EXPECT_EQ(paused["GVersion"].asString(), "v0.0.3.11");
    EXPECT_EQ(paused["Dchannel"].asString(), "1");
    EXPECT_EQ(paused["Totaltime"].asString(), "10");
    EXPECT_EQ(paused["Totalbytes"].asString(), "3000");
    EXPECT_EQ(paused["Averagespeed"].asString(), "300");
    EXPECT_EQ(paused["Progress"].asString(), "12.34%");
    EXPECT_EQ(paused["Httptotalbytes"].asString(), "1000");
    EXPECT_EQ(paused["Httpaveragespeed"].asString(), "100");
    EXPECT_EQ(paused["P2ptotalbytes"].asString(), "2000");
    EXPECT_EQ(paused["P2paveragespeed"].asString(), "200");
    EXPECT_EQ(stats_test::ParseJson(events[1].info)["Errormsg"].asString(), "点击时已经验证过安装包分卷了");
    EXPECT_EQ(stats_test::ParseJson(events[2].info)["Filename"].asString(), "WGCG01.cab");
    EXPECT_EQ(stats_test::ParseJson(events[2].info)["Totalbytes"].asString(), "0");
}

TEST(StatsReporterApi, CodesAreEightDigits) {
    EXPECT_EQ(app::EventCodeText(11010000), "11010000");
    EXPECT_EQ(app::EventCodeText(1), "00000001");
}

}  // namespace
