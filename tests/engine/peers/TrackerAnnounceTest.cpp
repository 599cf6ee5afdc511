// A task's announces through the call interface, P2P on, to the trackers its
// torrent lists. Each tracker is asked with its own path and with the task's
// counts of the moment, also when the tracker object comes from the peer
// pool after serving another tracker; the reply's interval and peer counts
// reach the task's status. Two real opentrackers on one torrent both learn
// the task's listener.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "engine/frame/EngineApiInternal.h"
#include "engine/base/EngineClock.h"
#include "engine/base/EngineSettings.h"
#include "engine/frame/SharedServices.h"
#include "engine/frame/TWorkThread.h"
#include "engine/peers/TrackerProtocol.h"
#include "platform/Clock.h"
#include "tests/engine/peers/HttpTestSupport.h"
#include "tests/engine/peers/SwarmTestSupport.h"
#include "tests/support/FaultHttpServer.h"
#include "tests/support/OpentrackerServer.h"
#include "tests/support/Process.h"

namespace {

using http_test::CopyText;
using http_test::RandomContent;
using http_test::WriteFile;

constexpr uint8_t EngineOctet = 9;
constexpr int64_t PieceLength = 256 * 1024;
// 4 MiB at 512 KiB/s from one web connection: the download is still under
// way when the trackers are asked again.
constexpr size_t ContentSize = size_t{4} << 20;
constexpr int64_t WebRate = 512 * 1024;

// A query value of an announce request line ("GET /p?a=1&b=2 HTTP/1.0").
int64_t QueryNumber(const std::string& line, const std::string& key) {
    const size_t at = line.find("&" + key + "=");
    if (at == std::string::npos) return -1;
    return std::strtoll(line.c_str() + at + key.size() + 2, nullptr, 10);
}

class TaskTrackers : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(m_sandbox.File("work"));
        m_listen_address = platform::MakeIpv4(127, 0, 0, EngineOctet);
        engine::SetListenAddressOverride(m_listen_address);
        m_listen_port = swarm_test::FreePort(m_listen_address);
        ASSERT_NE(m_listen_port, 0);
        ASSERT_EQ(EngineInitialize(m_sandbox.File("work").c_str()), TW_OK);
        SetListenPort(m_listen_port);
        SetP2PEnabled(1);
    }
    void TearDown() override {
        EXPECT_EQ(EngineShutdown(), TW_OK);
        SetP2PEnabled(0);
        engine::SetListenAddressOverride(0);
        engine::SetListenPortValue(0);
        StopTicking();
    }

    // The engine's clocks follow a manual source that keeps pace with real
    // time until the test moves it on.
    void StartTicking() {
        engine::StopTimeThread();
        platform::SetClockSource(&m_clock);
        m_ticking = true;
        m_ticker = std::thread([this] {
            while (m_ticking) {
                m_clock.Advance(10);
                platform::SleepMs(10);
            }
        });
    }
    void StopTicking() {
        if (!m_ticker.joinable()) return;
        m_ticking = false;
        m_ticker.join();
        engine::StopTimeThread();
        platform::SetClockSource(nullptr);
    }

    // Starts a P2SP task for the torrent with one web source; one web and
    // one BitTorrent connection at a time, so the trackers are asked one
    // per connection cycle.
    TaskHandle StartP2spTask(const std::string& torrent_bytes, const std::string& web_url) {
        const std::string torrent = m_sandbox.File("f.torrent");
        WriteFile(torrent, torrent_bytes);
        TaskParams params;
        std::memset(&params, 0, sizeof params);
        params.flags = TW_FLAG_P2SP | TW_FLAG_EXACT_TARGET;
        CopyText(params.main_source, "file://" + torrent);
        params.source_text = web_url.c_str();
        CopyText(params.target, m_sandbox.File("f.bin"));
        CopyText(params.info_path, m_sandbox.File("f.twinfo"));
        EXPECT_EQ(CreateTask(&params), TW_OK);
        EXPECT_EQ(SetTaskConnectionLimits(params.handle, 1, 1), TW_OK);
        EXPECT_EQ(StartTask(params.handle), TW_OK);
        return params.handle;
    }
    static TaskStatus Status(TaskHandle handle) {
        TaskStatus status{};
        EXPECT_EQ(QueryTaskStatus(handle, &status), TW_OK);
        return status;
    }

    testing_support::Sandbox m_sandbox;
    uint32_t m_listen_address = 0;
    uint16_t m_listen_port = 0;
    platform::ManualClockSource m_clock{0x1000, 1'700'000'000};
    std::atomic<bool> m_ticking{false};
    std::thread m_ticker;
};

TEST_F(TaskTrackers, EachTrackerIsAskedWithItsOwnPathAndTheCountsOfTheMoment) {
    StartTicking();
    const std::string content = RandomContent(ContentSize, 41);
    testing_support::FaultHttpServer web(content, testing_support::HttpFault::None, 0, WebRate);
    testing_support::FaultHttpServer tracker_a("d8:intervali900e10:done peersi3e13:num completedi5e5:peers0:e",
                                               testing_support::HttpFault::None, 0);
    testing_support::FaultHttpServer tracker_b("d8:intervali30e10:done peersi4e13:num completedi6e5:peers0:e",
                                               testing_support::HttpFault::None, 0);
    ASSERT_TRUE(web.Started() && tracker_a.Started() && tracker_b.Started());
    const swarm_test::Torrent torrent = swarm_test::MakeTorrent(
        content, "f.bin", PieceLength, {tracker_a.Url("/a/announce?passkey=7"), tracker_b.Url("/b/tracker")});
    const TaskHandle task = StartP2spTask(torrent.bytes, web.Url("/f.bin"));

    // First round: both trackers, one after the other.
    ASSERT_TRUE(testing_support::WaitFor(
        [&] { return !tracker_a.RequestLines().empty() && !tracker_b.RequestLines().empty(); }));
    // The figures of whichever reply came last, the interval of 30 s taken
    // as 600.
    ASSERT_TRUE(testing_support::WaitFor([&] {
        return engine::FindTask(task)->PublishedStatus().tracker_interval_s != 0;
    }));
    const engine::TaskStatusBlock block = engine::FindTask(task)->PublishedStatus();
    const bool from_a = block.tracker_interval_s == 900;
    EXPECT_EQ(block.tracker_interval_s, from_a ? 900 : 600);
    EXPECT_EQ(block.tracker_done_peers, from_a ? 3 : 4);
    EXPECT_EQ(block.tracker_completed, from_a ? 5 : 6);

    // Some of the file arrives; ten minutes later both are asked again, by
    // tracker objects that served the other tracker or this one before.
    ASSERT_TRUE(testing_support::WaitFor([&] { return Status(task).downloaded_bytes >= (1u << 20); }));
    ASSERT_LT(Status(task).progress, 10000);
    m_clock.Advance(601 * 1000);
    ASSERT_TRUE(testing_support::WaitFor(
        [&] { return tracker_a.RequestLines().size() >= 2 && tracker_b.RequestLines().size() >= 2; }));

    struct Case {
        const char* name;
        testing_support::FaultHttpServer& server;
        std::string prefix;
    };
    const std::array<Case, 2> cases{{
        {"tracker with a query of its own", tracker_a, "GET /a/announce?info_hash="},
        {"tracker with a plain path", tracker_b, "GET /b/tracker?info_hash="},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::string> lines = c.server.RequestLines();
        ASSERT_GE(lines.size(), 2u);
        for (const std::string& line : lines) {
            EXPECT_EQ(line.rfind(c.prefix, 0), 0u) << line;
            EXPECT_GE(QueryNumber(line, "uploaded"), 0) << line;
        }
        EXPECT_NE(lines[0].find("?info_hash=" + engine::TrackerUrlEscape(torrent.info_hash.data(), 20) + "&"),
                  std::string::npos);
        const int64_t left_first = QueryNumber(lines.front(), "left");
        const int64_t left_later = QueryNumber(lines.back(), "left");
        const int64_t downloaded_later = QueryNumber(lines.back(), "downloaded");
        EXPECT_GT(left_first, 0) << lines.front();
        EXPECT_LE(left_first, static_cast<int64_t>(ContentSize)) << lines.front();
        EXPECT_LT(left_later, left_first) << lines.back();
        // The bytes received in the whole session, at least what is done.
        EXPECT_GE(downloaded_later, static_cast<int64_t>(ContentSize) - left_later) << lines.back();
        EXPECT_GT(downloaded_later, 0);
    }
    StopTask(task, 0);
}

TEST_F(TaskTrackers, TwoOpentrackersOnOneTorrentBothLearnTheListener) {
    const std::string content = RandomContent(ContentSize, 43);
    const swarm_test::Torrent draft =
        swarm_test::MakeTorrent(content, "f.bin", PieceLength, {"http://127.0.0.1:1/announce"});
    testing_support::OpentrackerServer first({draft.info_hash});
    testing_support::OpentrackerServer second({draft.info_hash});
    ASSERT_TRUE(first.Started()) << first.Failure();
    ASSERT_TRUE(second.Started()) << second.Failure();
    testing_support::FaultHttpServer web(content, testing_support::HttpFault::None, 0, WebRate);
    ASSERT_TRUE(web.Started());
    const swarm_test::Torrent torrent = swarm_test::MakeTorrent(
        content, "f.bin", PieceLength, {first.HttpAnnounceUrl(), second.HttpAnnounceUrl()});
    const TaskHandle task = StartP2spTask(torrent.bytes, web.Url("/f.bin"));

    // Another peer of the swarm, on 127.0.0.5, asks each tracker for peers:
    // both name the task's listener.
    std::string listener;
    listener += static_cast<char>(127);
    listener += std::string(2, '\0');
    listener += static_cast<char>(EngineOctet);
    listener += static_cast<char>(m_listen_port >> 8);
    listener += static_cast<char>(m_listen_port & 255);
    for (const testing_support::OpentrackerServer* tracker : {&first, &second}) {
        SCOPED_TRACE(tracker->Port());
        const std::string url = tracker->HttpAnnounceUrl() +
                                "?info_hash=" + engine::TrackerUrlEscape(torrent.info_hash.data(), 20) +
                                "&peer_id=OTHERPEER5xxxxxxxxxx&port=7005&left=0&compact=1";
        EXPECT_TRUE(testing_support::WaitFor([&] {
            const std::string reply =
                testing_support::RunProgram({"curl", "-s", "--interface", "127.0.0.5", url}).output;
            return reply.find(listener) != std::string::npos;
        }));
    }
    // Opentracker's own interval reaches the status.
    EXPECT_TRUE(testing_support::WaitFor(
        [&] { return engine::FindTask(task)->PublishedStatus().tracker_interval_s >= 61; }));
    StopTask(task, 0);
}

}  // namespace
