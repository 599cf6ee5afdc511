#include "stats/CDataStatisticsImp.h"

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <filesystem>

#include "stats/DeviceFacts.h"
#include "stats/DeviceInfo.h"
#include "stats/FormEncoding.h"
#include "tests/stats/CollectServer.h"
#include "tests/stats/StatsTestSupport.h"
#include "tests/support/Sandbox.h"

namespace {

using namespace engine;
using namespace stats_test;
using testing_support::CollectServer;
using testing_support::Sandbox;

class StatisticsComponent : public testing::Test {
protected:
    Sandbox m_box;
    DeviceInfo m_device;
    CDataStatisticsImp m_stats{m_device};

    std::unique_ptr<CollectServer> StartServer(const std::string& name, CollectServer::Mode mode) {
        std::filesystem::create_directories(m_box.Path() / name);
        auto server = std::make_unique<CollectServer>((m_box.Path() / name).string(), mode);
        EXPECT_TRUE(server->Started());
        return server;
    }
};

TEST_F(StatisticsComponent, BatchArrivesWithExactBodyAndFlatEventObjects) {
    auto server = StartServer("a", CollectServer::Mode::Ok);
    m_stats.SetConfigPath(WriteConfig(m_box, {server->BatchUrl()}));
    ASSERT_EQ(m_stats.AddEvent("11010000", EventText("first").c_str(), 0), StatsOk);
    ASSERT_EQ(m_stats.AddEvent("11020000", EventText(R"(a \"quoted\" one)").c_str(), 0), StatsOk);
    ASSERT_EQ(m_stats.SubmitEventDownloadSeveral(), StatsOk);

    const std::string info1 = "{" + IdentityMembers(m_device, 1) + EventText("first") + "}";
    const std::string info2 = "{" + IdentityMembers(m_device, 2) + EventText(R"(a \"quoted\" one)") + "}";
    const std::string batch = "[{\"code\":\"11010000\",\"info\":" + JsonQuoted(info1) +
                              "},{\"code\":\"11020000\",\"info\":" + JsonQuoted(info2) + "}]\n";
    ASSERT_EQ(server->RequestBodies().size(), 1u);
    EXPECT_EQ(server->RequestBodies()[0], FormEncodeData(batch));

    auto events = server->Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].code, "11010000");
    EXPECT_EQ(events[0].info, info1);
    EXPECT_EQ(events[1].info, info2);
    // Identity and event members form one object the server can read.
    Json::Value parsed = ParseJson(events[1].info);
    ASSERT_TRUE(parsed.isObject());
    EXPECT_EQ(parsed["GameID"].asString(), "311");
    EXPECT_EQ(parsed["Errormsg"].asString(), "a \"quoted\" one");
    EXPECT_EQ(parsed["Sequence"].asUInt64(), 2u);
    EXPECT_EQ(parsed["MachId"].asString().size(), 16u);
}

TEST_F(StatisticsComponent, ErrorReplyIsNotSuccessAndTheNextServerIsTried) {
    auto refusing = StartServer("refusing", CollectServer::Mode::Error);
    auto accepting = StartServer("accepting", CollectServer::Mode::Ok);
    m_stats.SetConfigPath(WriteConfig(m_box, {refusing->BatchUrl(), accepting->BatchUrl()}));
    ASSERT_EQ(m_stats.AddEvent("11010000", EventText("x").c_str(), 0), StatsOk);
    EXPECT_EQ(m_stats.SubmitEventDownloadSeveral(), StatsOk);
    EXPECT_EQ(refusing->RequestBodies().size(), 1u);
    ASSERT_EQ(accepting->RequestBodies().size(), 1u);
    EXPECT_EQ(accepting->RequestBodies()[0], refusing->RequestBodies()[0]);
    EXPECT_EQ(accepting->Events().size(), 1u);
}

TEST_F(StatisticsComponent, NoServerAcceptingDiscardsTheBatch) {
    auto refusing = StartServer("refusing", CollectServer::Mode::Error);
    m_stats.SetConfigPath(WriteConfig(m_box, {refusing->BatchUrl()}));
    ASSERT_EQ(m_stats.AddEvent("11010000", EventText("x").c_str(), 0), StatsOk);
    EXPECT_EQ(m_stats.SubmitEventDownloadSeveral(), StatsNothingSent);
    EXPECT_EQ(m_stats.SubmitEventDownloadSeveral(), StatsNothingSent);
    EXPECT_EQ(refusing->RequestBodies().size(), 1u);  // never retried
}

TEST_F(StatisticsComponent, TwentyFirstEventIsRefusedUntilTheNextSubmission) {
    auto server = StartServer("a", CollectServer::Mode::Ok);
    m_stats.SetConfigPath(WriteConfig(m_box, {server->BatchUrl()}));
    for (int i = 0; i < 25; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(m_stats.AddEvent("11010000", EventText(std::to_string(i)).c_str(), 0),
                  i < 20 ? StatsOk : StatsBatchFull);
    }
    ASSERT_EQ(m_stats.SubmitEventDownloadSeveral(), StatsOk);
    auto events = server->Events();
    ASSERT_EQ(events.size(), 20u);
    EXPECT_EQ(events.back().batch, 1);
    EXPECT_EQ(m_stats.AddEvent("11010000", EventText("after").c_str(), 0), StatsOk);
}

TEST_F(StatisticsComponent, EventWithoutRequiredMemberNeverReachesTheBatch) {
    auto server = StartServer("a", CollectServer::Mode::Ok);
    m_stats.SetConfigPath(WriteConfig(m_box, {server->BatchUrl()}));
    const std::string no_game_id = ",\"DVersion\":\"1.8\",\"AppVersion\":\"2.0\",\"GVersion\":\"1.0\"";
    EXPECT_EQ(m_stats.AddEvent("11010000", no_game_id.c_str(), 0), StatsMissingInputKey);
    EXPECT_EQ(m_stats.AddEvent(nullptr, EventText("x").c_str(), 0), StatsNothingSent);
    EXPECT_EQ(m_stats.AddEvent("11010000", nullptr, 0), StatsNothingSent);
    EXPECT_EQ(m_stats.SubmitEventDownloadSeveral(), StatsNothingSent);
    EXPECT_TRUE(server->RequestBodies().empty());
}

// Twenty refused events used to leave the count at its limit for good.
TEST_F(StatisticsComponent, RefusedEventsDoNotBlockLaterBatches) {
    auto server = StartServer("a", CollectServer::Mode::Ok);
    m_stats.SetConfigPath(WriteConfig(m_box, {server->BatchUrl()}));
    for (int i = 0; i < 21; ++i) m_stats.AddEvent("11010000", ",\"nothing\":\"\"", 0);
    EXPECT_EQ(m_stats.SubmitEventDownloadSeveral(), StatsNothingSent);
    EXPECT_EQ(m_stats.AddEvent("11010000", EventText("x").c_str(), 0), StatsOk);
}

TEST_F(StatisticsComponent, MissingConfigurationRefusesEventsAndSendsNothing) {
    m_stats.SetConfigPath(m_box.File("absent.ini"));
    EXPECT_EQ(m_stats.AddEvent("11010000", EventText("x").c_str(), 0), StatsNoConfig);
    EXPECT_EQ(m_stats.SubmitEventDownloadSeveral(), StatsNothingSent);
}

TEST_F(StatisticsComponent, EmptyPathMeansServerlistIniInTheCurrentFolder) {
    auto server = StartServer("a", CollectServer::Mode::Ok);
    WriteConfig(m_box, {server->BatchUrl()});
    const auto saved = std::filesystem::current_path();
    std::filesystem::current_path(m_box.Path());
    m_stats.SetConfigPath("");
    EXPECT_EQ(m_stats.AddEvent("11010000", EventText("x").c_str(), 0), StatsOk);
    EXPECT_EQ(m_stats.SubmitEventDownloadSeveral(), StatsOk);
    std::filesystem::current_path(saved);
    EXPECT_EQ(server->Events().size(), 1u);
}

TEST_F(StatisticsComponent, EventLackingSubmitKeyIsSentAsNull) {
    auto server = StartServer("a", CollectServer::Mode::Ok);
    m_stats.SetConfigPath(WriteConfig(m_box, {server->BatchUrl()}, "MachId;Mac;OS;Nowhere"));
    ASSERT_EQ(m_stats.AddEvent("11010000", EventText("x").c_str(), 0), StatsOk);
    EXPECT_EQ(m_stats.SubmitEventDownloadSeveral(), StatsOk);
    auto events = server->Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].is_null);
}

TEST_F(StatisticsComponent, KindBitsAddHardwareEntries) {
    auto server = StartServer("a", CollectServer::Mode::Ok);
    m_stats.SetConfigPath(WriteConfig(m_box, {server->BatchUrl()}));
    ASSERT_EQ(m_stats.AddEvent("1", EventText("none").c_str(), 0), StatsOk);
    ASSERT_EQ(m_stats.AddEvent("2", EventText("all").c_str(), 7), StatsOk);
    ASSERT_EQ(m_stats.SubmitEventDownloadSeveral(), StatsOk);
    auto events = server->Events();
    ASSERT_EQ(events.size(), 2u);
    Json::Value none = ParseJson(events[0].info);
    Json::Value all = ParseJson(events[1].info);
    for (const char* member : {"CPU", "Memory", "Memory_Total_Capacity", "Video_Card"}) {
        SCOPED_TRACE(member);
        EXPECT_FALSE(none.isMember(member));
        EXPECT_TRUE(all.isMember(member));
    }
    EXPECT_TRUE(all["CPU"].isArray());
}

TEST_F(StatisticsComponent, DeviceCodeNeedsRoomForItsTerminator) {
    const std::string expected = DeviceCodeText(m_device.GetMachineId());
    ASSERT_EQ(expected.size(), 22u);
    char buffer[64] = {};
    uint32_t size = 22;  // the length alone leaves no room for the terminator
    EXPECT_EQ(m_stats.GetDeviceCode(buffer, &size), 22);
    EXPECT_EQ(size, 23u);
    EXPECT_EQ(buffer[0], '\0');
    size = sizeof buffer;
    EXPECT_EQ(m_stats.GetDeviceCode(buffer, &size), 1);
    EXPECT_EQ(std::string(buffer), expected);
}

// Any operation of the component arms the crash handler: a child process that
// crashes afterwards leaves its report in the current folder.
TEST(StatisticsComponentDeathTest, OperationsInstallTheCrashHandler) {
    GTEST_FLAG_SET(death_test_style, "fast");  // forked: the child shares this sandbox
    Sandbox box;
    auto crash = [&] {
        std::filesystem::current_path(box.Path());
        CDataStatisticsImp stats;
        stats.SetConfigPath("none.ini");
        std::raise(SIGSEGV);
        std::_Exit(3);
    };
    EXPECT_EXIT(crash(), testing::KilledBySignal(SIGSEGV), "");
    int reports = 0;
    for (const auto& entry : std::filesystem::directory_iterator(box.Path())) {
        reports += entry.path().extension() == ".dmp" ? 1 : 0;
    }
    EXPECT_EQ(reports, 1);
}

TEST(StatisticsReply, AcceptedOnlyWithErrorZeroAnywhere) {
    struct Case {
        const char* reply;
        bool accepted;
    };
    const std::array<Case, 5> cases = {{
        {"{\"error\":0}", true},
        {"{\"msg\":\"ok\",\"error\":0,\"n\":3}", true},
        {"{\"error\":1}", false},
        {"{\"error\": 0}", false},
        {"", false},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        EXPECT_EQ(CDataStatisticsImp::IsAcceptedReply(c.reply), c.accepted);
    }
}

TEST(StatisticsFactory, CreatesOnlyForItsIdentifierInAnyCase) {
    IDataStatisticsUser* object = nullptr;
    EXPECT_EQ(CreateStatisticsObject("{91095a15-3c46-43B5-ba5f-462064037e59}", &object), 0);
    ASSERT_NE(object, nullptr);
    delete object;
    IDataStatisticsUser* untouched = reinterpret_cast<IDataStatisticsUser*>(&object);
    EXPECT_EQ(CreateStatisticsObject("{00000000-3C46-43b5-BA5F-462064037E59}", &untouched), 0);
    EXPECT_EQ(untouched, reinterpret_cast<IDataStatisticsUser*>(&object));
}

}  // namespace
