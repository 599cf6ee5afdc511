// Replies that do not agree with what was asked, or whose bytes are wrong,
// never end up in a finished piece: a P2SP task downloads from a spoiling
// server of our own next to a good nginx, and its file comes out exact.

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "engine/base/EngineEvents.h"

#include "tests/engine/peers/HttpTestSupport.h"
#include "tests/support/FaultHttpServer.h"

namespace http_test {
namespace {

using testing_support::HttpFault;

class HttpFaults : public EngineFixture, public ::testing::WithParamInterface<HttpFault> {};

TEST_P(HttpFaults, BadRepliesNeverReachAFinishedPiece) {
    const std::string content = RandomContent((8 << 20) + 777, 11);
    std::filesystem::create_directories(m_sandbox.File("root"));
    WriteFile(m_sandbox.File("root/f.bin"), content);
    // The good server is slow, so the spoiling one takes part from the start.
    LoggedNginx nginx(m_sandbox.File("root"), m_sandbox.File("ranges.log"), "limit_rate 1m;\n");
    ASSERT_TRUE(nginx.Server().Started()) << nginx.Server().Failure();
    testing_support::FaultHttpServer bad(content, GetParam(), 6);
    ASSERT_TRUE(bad.Started());
    const std::string torrent = m_sandbox.File("f.torrent");
    WriteFile(torrent, MakeTorrent(content, "f.bin", 262144));
    const std::string target = m_sandbox.File("f.bin");
    // A piece check that fails leaves the engine as a statistics event
    // naming the web source.
    std::mutex events_lock;
    std::vector<std::pair<int32_t, std::string>> events;
    engine::SetEngineEventSink([&](int32_t code, const std::string& text, int32_t) {
        std::lock_guard hold(events_lock);
        events.emplace_back(code, text);
    });

    RunResult r = RunTask(target, bad.Url() + "\n" + nginx.Url("/f.bin"), torrent, std::chrono::seconds(120));
    ASSERT_FALSE(r.timed_out) << "progress " << r.status.progress;
    EXPECT_EQ(r.status.state, TW_STATE_COMPLETE);
    EXPECT_GE(bad.SpoiledReplies(), 1);
    EXPECT_TRUE(ReadFile(target) == content) << "a piece marked done holds bytes the source spoiled";
    // Bytes a failed piece check threw away were not kept: the counts add up
    // to the file.
    EXPECT_EQ(r.status.web_bytes + r.status.peer_bytes, content.size());
    engine::SetEngineEventSink(nullptr);
    if (GetParam() == HttpFault::Garbage) {
        std::lock_guard hold(events_lock);
        const bool reported = std::any_of(events.begin(), events.end(), [&](const auto& e) {
            return e.first == 11500101 && e.second.find(bad.Url()) != std::string::npos;
        });
        EXPECT_TRUE(reported) << "no verification-failure event names the spoiling source";
    }
}

INSTANTIATE_TEST_SUITE_P(Replies, HttpFaults,
                         ::testing::Values(HttpFault::WrongContentRange, HttpFault::LongerBody, HttpFault::ShorterBody,
                                           HttpFault::Garbage),
                         [](const ::testing::TestParamInfo<HttpFault>& fault) {
                             switch (fault.param) {
                                 case HttpFault::WrongContentRange: return std::string("WrongContentRange");
                                 case HttpFault::LongerBody: return std::string("LongerBody");
                                 case HttpFault::ShorterBody: return std::string("ShorterBody");
                                 case HttpFault::Garbage: return std::string("Garbage");
                                 default: return std::string("Other");
                             }
                         });

}  // namespace
}  // namespace http_test
